// The UART driver over the UARTE peripherals (EasyDMA): transfers of a
// buffer, each ending in an event in interrupt context.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  NRF_UART_BAUDRATE_1200 = 0x0004F000,
  NRF_UART_BAUDRATE_2400 = 0x0009D000,
  NRF_UART_BAUDRATE_4800 = 0x0013B000,
  NRF_UART_BAUDRATE_9600 = 0x00275000,
  NRF_UART_BAUDRATE_14400 = 0x003B0000,
  NRF_UART_BAUDRATE_19200 = 0x004EA000,
  NRF_UART_BAUDRATE_28800 = 0x0075F000,
  NRF_UART_BAUDRATE_31250 = 0x00800000,
  NRF_UART_BAUDRATE_38400 = 0x009D5000,
  NRF_UART_BAUDRATE_56000 = 0x00E50000,
  NRF_UART_BAUDRATE_57600 = 0x00EBF000,
  NRF_UART_BAUDRATE_76800 = 0x013A9000,
  NRF_UART_BAUDRATE_115200 = 0x01D7E000,
  NRF_UART_BAUDRATE_230400 = 0x03AFB000,
  NRF_UART_BAUDRATE_250000 = 0x04000000,
  NRF_UART_BAUDRATE_460800 = 0x075F7000,
  NRF_UART_BAUDRATE_921600 = 0x0EBED000,
  NRF_UART_BAUDRATE_1000000 = 0x10000000,
} nrf_uart_baudrate_t;

typedef enum { NRF_UART_HWFC_DISABLED = 0, NRF_UART_HWFC_ENABLED = 1 } nrf_uart_hwfc_t;
typedef enum { NRF_UART_PARITY_EXCLUDED = 0, NRF_UART_PARITY_INCLUDED = 0x0E } nrf_uart_parity_t;

#define NRF_UART_PSEL_DISCONNECTED 0xFFFFFFFFu

typedef struct {
  uint8_t inst_idx;
} nrf_drv_uart_t;
#define NRF_DRV_UART_INSTANCE(id) \
  { (id) }

typedef struct {
  uint32_t pseltxd;
  uint32_t pselrxd;
  uint32_t pselcts;
  uint32_t pselrts;
  void *p_context;
  nrf_uart_hwfc_t hwfc;
  nrf_uart_parity_t parity;
  nrf_uart_baudrate_t baudrate;
  uint8_t interrupt_priority;
  bool use_easy_dma;
} nrf_drv_uart_config_t;

typedef enum {
  NRF_DRV_UART_EVT_TX_DONE,
  NRF_DRV_UART_EVT_RX_DONE,
  NRF_DRV_UART_EVT_ERROR,
} nrf_drv_uart_evt_type_t;

typedef struct {
  uint8_t *p_data;
  uint32_t bytes;
} nrf_drv_uart_xfer_evt_t;

typedef struct {
  nrf_drv_uart_xfer_evt_t rxtx;
  uint32_t error_mask;
} nrf_drv_uart_error_evt_t;

typedef struct {
  nrf_drv_uart_evt_type_t type;
  union {
    nrf_drv_uart_xfer_evt_t rxtx;
    nrf_drv_uart_error_evt_t error;
  } data;
} nrf_drv_uart_event_t;

typedef void (*nrf_uart_event_handler_t)(nrf_drv_uart_event_t *p_event, void *p_context);

ret_code_t nrf_drv_uart_init(nrf_drv_uart_t const *p_instance,
                             nrf_drv_uart_config_t const *p_config,
                             nrf_uart_event_handler_t event_handler);
void nrf_drv_uart_uninit(nrf_drv_uart_t const *p_instance);
ret_code_t nrf_drv_uart_tx(nrf_drv_uart_t const *p_instance, uint8_t const *p_data, uint8_t length);
bool nrf_drv_uart_tx_in_progress(nrf_drv_uart_t const *p_instance);
void nrf_drv_uart_tx_abort(nrf_drv_uart_t const *p_instance);
ret_code_t nrf_drv_uart_rx(nrf_drv_uart_t const *p_instance, uint8_t *p_data, uint8_t length);
void nrf_drv_uart_rx_abort(nrf_drv_uart_t const *p_instance);

#ifdef __cplusplus
}  // extern "C"
#endif

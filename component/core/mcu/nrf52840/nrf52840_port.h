// What the files of the nRF52840 port share: the fatal-error path, the
// board's pins, the RTC2 time base and the serial ports' receive events.
#pragma once

#include <stdint.h>

#include "app_error.h"
#include "nrf.h"
#include "nrf_soc.h"
#include "udrv_serial.h"
#include "udrv_system.h"

// The boards this port runs on: their serial pins, I2C masters and USB
// product name (pins are port * 32 + pin).
#define NRF_PIN(port, pin) ((uint32_t)((port)*32u + (pin)))
#if defined(QIV_BOARD_MINACOR)
#define UART0_TX_PIN NRF_PIN(0, 20)
#define UART0_RX_PIN NRF_PIN(0, 19)
#define UART1_TX_PIN NRF_PIN(0, 16)
#define UART1_RX_PIN NRF_PIN(0, 15)
#define USB_PRODUCT_NAME "Minacor Serial COM"
// I2C port 0 on TWIM0.
#define BOARD_TWIM_COUNT 1u
#define BOARD_TWIM_SCL_PINS \
  { NRF_PIN(0, 14) }
#define BOARD_TWIM_SDA_PINS \
  { NRF_PIN(0, 13) }
#elif defined(QIV_BOARD_VOSTREL)
#define UART0_TX_PIN NRF_PIN(1, 2)
#define UART0_RX_PIN NRF_PIN(1, 1)
#define UART1_TX_PIN NRF_PIN(0, 6)  // the cellular modem's link
#define UART1_RX_PIN NRF_PIN(0, 8)
#define USB_PRODUCT_NAME "Vostrel Serial COM"
// I2C ports 0 and 1 on TWIM0 and TWIM1 (the board's sensors).
#define BOARD_TWIM_COUNT 2u
#define BOARD_TWIM_SCL_PINS \
  { NRF_PIN(0, 13), NRF_PIN(0, 20) }
#define BOARD_TWIM_SDA_PINS \
  { NRF_PIN(0, 14), NRF_PIN(0, 19) }
// The board switches its modem off once the high-frequency clock is
// released for sleep, and on again before the clock is requested after it.
#define BOARD_HAS_SLEEP_HOOKS 1
void board_sleep_enter(void);
void board_sleep_exit(void);
#endif

// Logs the failure's place, flushes the log and resets the MCU 100 ms
// later; never returns.
[[noreturn]] void on_error(void);
[[noreturn]] void port_reset(void);

// Events posted by the ports' receive paths and the timer/RTC interrupts
// (each a static record: the queue keeps a pointer).
extern udrv_system_event_t qiv_uart_event;
extern udrv_system_event_t qiv_usb_event;
extern udrv_system_event_t qiv_nfc_event;
extern udrv_system_event_t qiv_rtc_event;

// The log's time stamp: the RTC2 counter (32768 Hz).
uint32_t get_rtc_counter(void);

// The USB CDC-ACM port's enable (bring-up step 8), the one-wire switch back
// to receiving, and the UARTE baud-rate register for a requested rate.
void uhal_usb_enable(void);
// The USB port's event was taken from the queue: its handler reads every
// byte there is, so one event waits at most; bytes received from now on
// post the next.
void uhal_usb_event_taken(void);
void uhal_single_wire_rx_mode(SERIAL_PORT port);
uint32_t get_nrf_uart_baudrate(uint32_t baudrate);

// The timer slots' expiry (interrupt context).
void uhal_timer_handler_dispatcher(void *p_context);

// Busy wait of a polled flag: sleeps until the next interrupt (which is what
// moves the flag), so waiting costs no more than the spin it replaces.
static inline void port_wait(void) { __WFE(); }

// The CDC-ACM class (a serial port to the host): reads of a buffer that end
// at once when the bytes are there or later in an RX-done event, writes of
// at most one 64-byte packet at a time ending in a TX-done event, and the
// host opening and closing the port.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "app_usbd.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  APP_USBD_CDC_ACM_USER_EVT_RX_DONE,
  APP_USBD_CDC_ACM_USER_EVT_TX_DONE,
  APP_USBD_CDC_ACM_USER_EVT_PORT_OPEN,
  APP_USBD_CDC_ACM_USER_EVT_PORT_CLOSE,
} app_usbd_cdc_acm_user_event_t;

typedef enum { APP_USBD_CDC_COMM_PROTOCOL_NONE = 0 } app_usbd_cdc_comm_protocol_t;

typedef void (*app_usbd_cdc_acm_user_ev_handler_t)(app_usbd_class_inst_t const *p_inst,
                                                   app_usbd_cdc_acm_user_event_t event);

struct app_usbd_class_inst_s {
  int kind;
};

typedef struct {
  app_usbd_class_inst_t base;
  app_usbd_cdc_acm_user_ev_handler_t user_ev_handler;
  uint8_t comm_interface, data_interface;
  uint8_t comm_epin, data_epin, data_epout;
  app_usbd_cdc_comm_protocol_t protocol;
} app_usbd_cdc_acm_t;

#define NRF_DRV_USBD_EPIN1 0x81
#define NRF_DRV_USBD_EPIN2 0x82
#define NRF_DRV_USBD_EPOUT1 0x01

#define APP_USBD_CDC_ACM_GLOBAL_DEF(name, handler, comm_ifc, data_ifc, comm_ein, data_ein, \
                                    data_eout, protocol)                                   \
  static const app_usbd_cdc_acm_t name = {{1},        (handler),  (comm_ifc),  (data_ifc), \
                                          (comm_ein), (data_ein), (data_eout), (protocol)}

app_usbd_class_inst_t const *app_usbd_cdc_acm_class_inst_get(app_usbd_cdc_acm_t const *p_cdc_acm);
app_usbd_cdc_acm_t const *app_usbd_cdc_acm_class_get(app_usbd_class_inst_t const *p_inst);
// NRF_SUCCESS with the bytes read, NRF_ERROR_IO_PENDING (an RX-done event
// follows when they have come), NRF_ERROR_BUSY while a read is pending.
ret_code_t app_usbd_cdc_acm_read(app_usbd_cdc_acm_t const *p_cdc_acm, void *p_buf, size_t length);
size_t app_usbd_cdc_acm_rx_size(app_usbd_cdc_acm_t const *p_cdc_acm);
size_t app_usbd_cdc_acm_bytes_stored(app_usbd_cdc_acm_t const *p_cdc_acm);
// NRF_SUCCESS (a TX-done event follows once the host has taken the packet),
// NRF_ERROR_BUSY while the previous packet is on its way, NRF_ERROR_INVALID_STATE
// while the host has not opened the port or the device is suspended.
ret_code_t app_usbd_cdc_acm_write(app_usbd_cdc_acm_t const *p_cdc_acm, void const *p_buf,
                                  size_t length);

#ifdef __cplusplus
}  // extern "C"
#endif

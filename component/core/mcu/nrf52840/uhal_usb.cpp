// The USB CDC-ACM serial port (USB0) of the nRF52840 images: a 512-byte
// receive queue filled one byte at a time from the class's reads, and
// writes in 64-byte packets that each wait for the host to take them.
#include <string.h>

#include "app_timer.h"
#include "app_usbd.h"
#include "app_usbd_cdc_acm.h"
#include "app_usbd_serial_num.h"
#include "nrf52840_port.h"
#include "nrf_delay.h"
#include "nrf_drv_clock.h"
#include "nrf_drv_power.h"
#include "nrf_log.h"
#include "nrf_queue.h"
#include "udrv_powersave.h"

// The device as the host sees it: the module's maker and the board's name.
#ifndef USB_PRODUCT_NAME
#error "the image names its board (QIV_BOARD_...)"
#endif
const app_usbd_descriptor_config_t app_usbd_descriptor_config = {
    0x1915, 0x521F, 1,  0, 0, "Velnatronic", USB_PRODUCT_NAME, "Default configuration",
    0x0409, true,   100};

namespace {

constexpr uint32_t kPacketSize = 64;

NRF_QUEUE_DEF(uint8_t, usb_rxq, 512, NRF_QUEUE_MODE_NO_OVERFLOW);
uint8_t m_rx_buffer[1];
uint8_t m_tx_buffer[kPacketSize];
volatile bool usb_opened;
volatile bool tx_done;
volatile bool write_expired;
uint8_t usb_last_rx;  // the byte received before this one
// The port's event waits in the queue. One per received byte would leave,
// after a line's handler read the whole line, an event for each of its
// bytes behind, and a sleep the line asks for would be refused for them.
volatile bool usb_event_posted;
APP_TIMER_DEF(usb_write_timer);

void cdc_acm_user_ev_handler(app_usbd_class_inst_t const *p_inst,
                             app_usbd_cdc_acm_user_event_t event);

APP_USBD_CDC_ACM_GLOBAL_DEF(m_app_cdc_acm, cdc_acm_user_ev_handler, 0, 1, NRF_DRV_USBD_EPIN2,
                            NRF_DRV_USBD_EPIN1, NRF_DRV_USBD_EPOUT1,
                            APP_USBD_CDC_COMM_PROTOCOL_NONE);

void cdc_acm_user_ev_handler(app_usbd_class_inst_t const *, app_usbd_cdc_acm_user_event_t event) {
  switch (event) {
    case APP_USBD_CDC_ACM_USER_EVT_PORT_OPEN:
      NRF_LOG_INFO("APP_USBD_CDC_ACM_USER_EVT_PORT_OPEN");
      (void)app_usbd_cdc_acm_read(&m_app_cdc_acm, m_rx_buffer, 1);
      usb_opened = true;
      break;
    case APP_USBD_CDC_ACM_USER_EVT_PORT_CLOSE:
      NRF_LOG_INFO("APP_USBD_CDC_ACM_USER_EVT_PORT_CLOSE");
      usb_opened = false;
      break;
    case APP_USBD_CDC_ACM_USER_EVT_TX_DONE:
      tx_done = true;
      break;
    case APP_USBD_CDC_ACM_USER_EVT_RX_DONE: {
      NRF_LOG_INFO("Bytes waiting: %d",
                   static_cast<int>(app_usbd_cdc_acm_bytes_stored(&m_app_cdc_acm)));
      ret_code_t ret;
      bool news = false;
      do {
        uint8_t byte = m_rx_buffer[0];
        // An LF right after a CR is the rest of a line end that has already
        // arrived (a terminal's CR LF): it brings no new input, so it neither
        // ends a sleep the line asked for nor posts an event that would
        // refuse that sleep. It is queued and read with the next byte.
        news = news || byte != '\n' || usb_last_rx != '\r';
        usb_last_rx = byte;
        size_t size = app_usbd_cdc_acm_rx_size(&m_app_cdc_acm);
        if (!nrf_queue_is_full(&usb_rxq)) {
          NRF_LOG_DEBUG("RX: size: %lu char: 0x%x", static_cast<unsigned long>(size), byte);
          serial_fallback_handler(SERIAL_USB0, byte);
          (void)nrf_queue_push(&usb_rxq, &byte);
        } else {
          NRF_LOG_DEBUG("Drop: size: %lu char: %c(0x%x)", static_cast<unsigned long>(size), byte,
                        byte);
        }
        ret = app_usbd_cdc_acm_read(&m_app_cdc_acm, m_rx_buffer, 1);
      } while (ret == NRF_SUCCESS);
      if (news) {
        udrv_powersave_in_sleep = false;
        if (!usb_event_posted) {
          usb_event_posted = udrv_system_event_produce(&qiv_usb_event) == 0;
        }
      }
      break;
    }
  }
}

void usbd_user_ev_handler(app_usbd_event_type_t event) {
  switch (event) {
    case APP_USBD_EVT_POWER_DETECTED:
      NRF_LOG_INFO("USB power detected");
      nrf_drv_clock_hfclk_request(nullptr);
      while (!nrf_drv_clock_hfclk_is_running()) {
        port_wait();
      }
      if (!nrfx_usbd_is_enabled()) {
        app_usbd_enable();
      }
      break;
    case APP_USBD_EVT_POWER_REMOVED:
      NRF_LOG_INFO("USB power removed");
      app_usbd_stop();
      nrf_queue_reset(&usb_rxq);
      if (nrf_drv_clock_hfclk_is_running()) {
        nrf_drv_clock_hfclk_release();
      }
      break;
    case APP_USBD_EVT_POWER_READY:
      NRF_LOG_INFO("USB ready");
      app_usbd_start();
      break;
    case APP_USBD_EVT_STOPPED:
      app_usbd_disable();
      break;
    default:
      break;
  }
}

void write_timeout(void *) { write_expired = true; }

// Sends in 64-byte packets and the rest. Each packet waits while the class
// is busy and then until the host has taken it, both bounded by `timeout`
// ms in all: a host that keeps the port open but stops reading makes the
// write give up (-7) instead of holding the firmware for ever.
int32_t usbd_send(uint8_t const *data, uint16_t length, uint32_t timeout) {
  write_expired = false;
  bool timed = timeout != 0xFFFFFFFFu && length != 0;
  if (timed) {
    uint64_t ticks = (static_cast<uint64_t>(timeout) * 32768u + 500u) / 1000u;
    if (ticks < APP_TIMER_MIN_TIMEOUT_TICKS) {
      ticks = APP_TIMER_MIN_TIMEOUT_TICKS;
    }
    if (ticks > APP_TIMER_MAX_CNT_VAL) {
      ticks = APP_TIMER_MAX_CNT_VAL;
    }
    APP_ERROR_CHECK(app_timer_create(&usb_write_timer, APP_TIMER_MODE_SINGLE_SHOT, write_timeout));
    APP_ERROR_CHECK(app_timer_start(usb_write_timer, static_cast<uint32_t>(ticks), nullptr));
  }
  int32_t result = 0;
  for (uint32_t sent = 0; sent < length && result == 0;) {
    uint32_t piece = length - sent < kPacketSize ? length - sent : kPacketSize;
    memset(m_tx_buffer, 0, sizeof m_tx_buffer);
    memcpy(m_tx_buffer, data + sent, piece);
    tx_done = !usb_opened;
    ret_code_t ret;
    while ((ret = app_usbd_cdc_acm_write(&m_app_cdc_acm, m_tx_buffer, piece)) == NRF_ERROR_BUSY) {
      if (write_expired) {
        break;
      }
      for (int i = 0; i < 5; i++) {
        nrf_delay_ms(1);
      }
    }
    if (ret == NRF_SUCCESS) {
      while (!tx_done && usb_opened && !write_expired) {
        port_wait();
      }
    }
    if (write_expired &&
        (ret == NRF_ERROR_BUSY || (ret == NRF_SUCCESS && !tx_done && usb_opened))) {
      result = -UDRV_INTERNAL_ERR;
    }
    sent += piece;
  }
  if (timed) {
    (void)app_timer_stop(usb_write_timer);
  }
  return result;
}

void uhal_usb_init(SERIAL_PORT, uint32_t, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E, SERIAL_PARITY_E,
                   SERIAL_WIRE_MODE_E) {
  static const app_usbd_config_t usbd_config = {usbd_user_ev_handler};
  nrf_queue_reset(&usb_rxq);
  usb_event_posted = false;
  app_usbd_serial_num_generate();
  APP_ERROR_CHECK(app_usbd_init(&usbd_config));
  APP_ERROR_CHECK(app_usbd_class_append(app_usbd_cdc_acm_class_inst_get(&m_app_cdc_acm)));
}

void uhal_usb_deinit(SERIAL_PORT) {
  nrf_drv_power_usbevt_uninit();
  nrf_drv_power_uninit();
  app_usbd_stop();
  app_usbd_disable();
  (void)app_usbd_uninit();
}

int32_t uhal_usb_write(SERIAL_PORT, uint8_t const *data, uint32_t length, uint32_t timeout) {
  return usbd_send(data, static_cast<uint16_t>(length), timeout);
}

int32_t uhal_usb_read(SERIAL_PORT, uint8_t *buffer, uint32_t length, uint32_t) {
  return static_cast<int32_t>(nrf_queue_out(&usb_rxq, buffer, length));
}

int32_t uhal_usb_peek(SERIAL_PORT) {
  uint8_t byte;
  if (nrf_queue_peek(&usb_rxq, &byte) != NRF_SUCCESS) {
    return -UDRV_INTERNAL_ERR;
  }
  return byte;
}

void uhal_usb_flush(SERIAL_PORT, uint32_t) {}

int32_t uhal_usb_read_available(SERIAL_PORT) {
  return static_cast<int32_t>(nrf_queue_utilization_get(&usb_rxq));
}

int32_t uhal_usb_opened(SERIAL_PORT) { return usb_opened ? 1 : 0; }

}  // namespace

udrv_serial_api serial_usb_driver = {uhal_usb_init,           uhal_usb_deinit, uhal_usb_write,
                                     uhal_usb_read,           uhal_usb_peek,   uhal_usb_flush,
                                     uhal_usb_read_available, uhal_usb_opened};

void uhal_usb_event_taken(void) { usb_event_posted = false; }

void uhal_usb_enable(void) {
  APP_ERROR_CHECK(app_usbd_power_events_enable());
  if (NRF_POWER->USBREGSTATUS & POWER_USBREGSTATUS_VBUSDETECT_Msk) {
    static const app_usbd_internal_evt_t detected = {APP_USBD_EVT_POWER_DETECTED};
    app_usbd_event_add(&detected);
  }
}

void uhal_usb_suspend(void) { (void)app_usbd_suspend_req(); }
void uhal_usb_resume(void) { (void)app_usbd_wakeup_req(); }

// Start-up, event dispatcher and main loop of the nRF52840 images.
#include <stdint.h>

#include "nrf52840_port.h"
#include "nrf_ble_lesc.h"
#include "nrf_log.h"
#include "nrfx_gpiote.h"
#include "qiv_runtime.h"
#include "service_mode_cli.h"
#include "service_nvm.h"
#include "udrv_ble.h"
#ifdef SUPPORT_BLE
#include "uhal_ble_nrf.h"
#endif
#include "udrv_flash.h"
#include "udrv_gpio.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#include "udrv_timer.h"

void log_init(void);

udrv_system_event_t qiv_uart_event = {UDRV_SYS_EVT_OP_SERIAL_UART, nullptr};
udrv_system_event_t qiv_usb_event = {UDRV_SYS_EVT_OP_SERIAL_USB, nullptr};
udrv_system_event_t qiv_nfc_event = {UDRV_SYS_EVT_OP_SERIAL_NFC, nullptr};

static void open_port(SERIAL_PORT port, uint32_t baudrate) {
  udrv_serial_init(port, baudrate, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                   SERIAL_TWO_WIRE_NORMAL_MODE);
}

int32_t qiv_init(void) {
  NRF_POWER->DCDCEN = 1;
  APP_ERROR_CHECK(nrfx_gpiote_init());
  log_init();
  NRF_LOG_INFO("QIV Version: %s", sw_version);
  udrv_sys_clock_init();
  udrv_timer_init();
  // The USB port is set up before the configuration is loaded.
  open_port(SERIAL_USB0, 0);
  udrv_ble_stack_start();
  udrv_ble_services_start();
  uhal_usb_enable();
  udrv_flash_init();
  service_nvm_init_config();
  uint32_t const baudrate = service_nvm_get_baudrate_from_nvm();
  open_port(SERIAL_UART0, baudrate);
  open_port(SERIAL_UART1, baudrate);
  char mac[13] = {};
  service_nvm_get_ble_mac_from_nvm(reinterpret_cast<uint8_t *>(mac), 12);
  udrv_ble_set_macaddress(mac);
  udrv_ble_advertising_start(30);
  // The BLE serial port is in AT mode after every start.
  service_nvm_set_mode_type_to_nvm(SERIAL_BLE0, SERVICE_MODE_TYPE_CLI);
  open_port(SERIAL_BLE0, baudrate);
  open_port(SERIAL_NFC, baudrate);
  udrv_rtc_init(UDRV_RTC_2, nullptr);
  for (uint32_t p = 0; p < SERIAL_MAX; p++) {
    SERIAL_PORT port = static_cast<SERIAL_PORT>(p);
    if (service_nvm_get_mode_type_from_nvm(port) == SERVICE_MODE_TYPE_CLI) {
      service_mode_cli_init(port);
    }
  }
  return udrv_system_event_init();
}

// The NFC port's bytes go to the line editor while the port is in AT mode,
// whatever its lock state.
static void drain_nfc(void) {
  while (udrv_serial_read_available(SERIAL_NFC) > 0) {
    uint8_t ch;
    if (udrv_serial_read(SERIAL_NFC, &ch, 1) != 1) {
      return;
    }
    if (service_nvm_get_mode_type_from_nvm(SERIAL_NFC) == SERVICE_MODE_TYPE_CLI) {
      service_mode_cli_handler(SERIAL_NFC, static_cast<char>(ch));
    }
  }
}

void qiv_event_handler_func(void *p_event_data, uint16_t) {
  auto *event = static_cast<udrv_system_event_t *>(p_event_data);
  if (qiv_dispatch_shared_event(event)) {
    return;
  }
  switch (event->request) {
    case UDRV_SYS_EVT_OP_SERIAL_UART:
      qiv_serial_drain(SERIAL_UART1);
      qiv_serial_drain(SERIAL_UART0);
      break;
    case UDRV_SYS_EVT_OP_SERIAL_USB:
      uhal_usb_event_taken();
      qiv_serial_drain(SERIAL_USB0);
      break;
    case UDRV_SYS_EVT_OP_SERIAL_BLE:
#ifdef SUPPORT_BLE
      uhal_ble_usb_texts_flush();
#endif
      qiv_serial_drain(SERIAL_BLE0);
      break;
    case UDRV_SYS_EVT_OP_SERIAL_NFC:
      drain_nfc();
      break;
    case UDRV_SYS_EVT_OP_RTC:
      udrv_rtc_timer_handler_handler(nullptr);
      break;
    case UDRV_SYS_EVT_OP_USER_APP:
    default:
      break;
  }
}

int main(void) {
  qiv_init();
  qiv_setup();
  for (;;) {
    (void)nrf_ble_lesc_request_handler();
    qiv_running();
    if (!no_busy_loop) {
      qiv_loop();
    } else if (service_nvm_get_auto_sleep_time_from_nvm() != 0) {
      // A sleep refused (a wake lock, events just posted, a wake-up less
      // than 3 ms ago) waits for the next event instead of trying again at
      // once.
      if (udrv_sleep_ms(0) != 0) {
        (void)sd_app_evt_wait();
      }
    } else {
      // Nothing but an interrupt can bring new work: wait for one.
      (void)sd_app_evt_wait();
    }
  }
}

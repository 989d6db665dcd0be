// Start-up, event dispatcher and main loop of the cellular tracker board:
// the nRF52840 port's bring-up with the modem link on UART1, the modem's
// power control and status check, and the keep-modem-on window.
#include <stdint.h>

#include "nrf52840_port.h"
#include "nrf_ble_lesc.h"
#include "nrf_delay.h"
#include "nrf_gpio.h"
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
#include "vostrel_board.h"
#include "vostrel_sensor.h"

void log_init(void);

udrv_system_event_t qiv_uart_event = {UDRV_SYS_EVT_OP_SERIAL_UART, nullptr};
udrv_system_event_t qiv_usb_event = {UDRV_SYS_EVT_OP_SERIAL_USB, nullptr};

volatile bool keep_bg96_on = false;
static bool cellular_last_status = false;
static uint64_t reinit_start = 0;
static uint64_t reinit_end = 0;
static bool Uart0LastRecvEnter = false;
static bool Uart1LastRecvEnter = false;

static constexpr uint32_t kKeepOnMs = 60000;

static void open_port(SERIAL_PORT port, uint32_t baudrate) {
  udrv_serial_init(port, baudrate, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                   SERIAL_TWO_WIRE_NORMAL_MODE);
}

// ---------------------------------------------------------------- modem --

void Gsm_Gpio_Init(void) {
  nrf_gpio_cfg_output(BG96_RESET_PIN);
  nrf_gpio_cfg_output(BG96_PWRKEY_PIN);
  nrf_gpio_cfg_input(BG96_STATUS_PIN, NRF_GPIO_PIN_NOPULL);
}

uint8_t get_bg96_status(void) { return nrf_gpio_pin_read(BG96_STATUS_PIN) ? 1 : 0; }

void Gsm_PowerOff(void) {
  nrf_gpio_pin_set(BG96_PWRKEY_PIN);
  nrf_delay_ms(1000);
  nrf_gpio_pin_clear(BG96_PWRKEY_PIN);
  nrf_delay_ms(1000);
  // The modem's lines back to their reset state (input, buffer
  // disconnected), its supply switched off, then the link and the rest.
  static const uint8_t kModemPins[] = {31, 2, 28, 29, 26, 30, 3};
  for (uint8_t pin : kModemPins) {
    nrf_gpio_cfg_default(pin);
  }
  nrf_gpio_pin_clear(BG96_POWER_EN_PIN);
  static const uint8_t kOtherPins[] = {6, 8, 11, 7, 27, 32 + 9};
  for (uint8_t pin : kOtherPins) {
    nrf_gpio_cfg_default(pin);
  }
}

bool Gsm_PowerUp(void) {
  udrv_serial_log_printf("BG96_PowerUp\r\n");
  for (uint32_t attempt = 0; attempt < BG96_POWERUP_ATTEMPTS; attempt++) {
    Gsm_PowerOff();
    nrf_gpio_cfg_input(BG96_STATUS_PIN, NRF_GPIO_PIN_NOPULL);
    nrf_gpio_cfg_output(BG96_RESET_PIN);
    nrf_gpio_cfg_output(BG96_PWRKEY_PIN);
    nrf_gpio_cfg_output(BG96_AP_READY_PIN);
    nrf_gpio_cfg_input(26, NRF_GPIO_PIN_NOPULL);
    nrf_gpio_cfg_input(30, NRF_GPIO_PIN_NOPULL);
    nrf_gpio_cfg_input(3, NRF_GPIO_PIN_NOPULL);
    nrf_gpio_cfg_output(BG96_POWER_EN_PIN);
    nrf_gpio_cfg_output(BG96_LEVEL_EN_PIN);

    nrf_gpio_pin_clear(BG96_RESET_PIN);
    nrf_gpio_pin_set(BG96_PWRKEY_PIN);
    nrf_gpio_pin_set(BG96_AP_READY_PIN);
    nrf_delay_ms(200);
    nrf_gpio_pin_clear(BG96_PWRKEY_PIN);
    nrf_gpio_pin_set(BG96_POWER_EN_PIN);
    nrf_gpio_pin_set(BG96_LEVEL_EN_PIN);

    // Every attempt gets the whole poll window: a modem slow to come on is
    // not pulsed again before it could have answered.
    for (uint32_t poll = 0; poll < BG96_POLLS_PER_ATTEMPT; poll++) {
      uint8_t status = get_bg96_status();
      if (status) {
        NRF_LOG_INFO("BG96_STATUS(after ON)=%u\r\n", status);
        return true;
      }
      NRF_LOG_INFO("Wait ON..\r\n");
      nrf_delay_ms(100);
    }
    NRF_LOG_INFO("BG96_STATUS(after RESET)=%u\r\n", get_bg96_status());
  }
  return false;
}

void Gsm_Init(void) {
  Gsm_Gpio_Init();
  // A modem still on from before the reset is switched off first; the
  // power-off leaves the status pin's buffer disconnected, so it reads low.
  while (get_bg96_status()) {
    Gsm_PowerOff();
  }
  (void)Gsm_PowerUp();
}

void vostrel_modem_check(void) {
  if (reinit_end == 0) {
    reinit_start = udrv_rtc_get_timestamp(UDRV_RTC_2);
    reinit_end = reinit_start + 1000;
  }
  if (udrv_rtc_get_timestamp(UDRV_RTC_2) > reinit_end) {
    bool status = get_bg96_status() != 0;
    if (!cellular_last_status && status) {
      // The modem came on: its link is set up again.
      open_port(SERIAL_UART1, BG96_UART_BAUDRATE);
    }
    cellular_last_status = status;
    reinit_end = 0;
  }
}

// Sleep switches the modem off (after the clock is released) and on again
// (before the clock is requested); the window after the wake keeps it on.
void board_sleep_enter(void) { Gsm_PowerOff(); }
void board_sleep_exit(void) { (void)Gsm_PowerUp(); }

void qiv_user_application_timer_handler(void *) {
  NRF_LOG_INFO("End keeping BG96 on");
  keep_bg96_on = false;
  udrv_powersave_in_sleep = false;
}

static void keep_modem_on(void) {
  keep_bg96_on = true;
  (void)udrv_system_user_app_timer_stop();
  (void)udrv_system_user_app_timer_start(kKeepOnMs, nullptr);
}

// ------------------------------------------------------------ bring-up --

int32_t qiv_init(void) {
  NRF_POWER->DCDCEN = 1;
  APP_ERROR_CHECK(nrfx_gpiote_init());
  log_init();
  NRF_LOG_INFO("QIV Version: %s", sw_version);
  udrv_sys_clock_init();
  udrv_timer_init();
  open_port(SERIAL_USB0, 0);
  udrv_ble_stack_start();
  udrv_ble_services_start();
  uhal_usb_enable();
  udrv_flash_init();
  service_nvm_init_config();
  uint32_t const baudrate = service_nvm_get_baudrate_from_nvm();
  open_port(SERIAL_UART0, baudrate);
  // The modem link runs at the modem's rate whatever is stored.
  open_port(SERIAL_UART1, BG96_UART_BAUDRATE);
  char mac[13] = {};
  service_nvm_get_ble_mac_from_nvm(reinterpret_cast<uint8_t *>(mac), 12);
  udrv_ble_set_macaddress(mac);
  udrv_ble_advertising_start(30);
  service_nvm_set_mode_type_to_nvm(SERIAL_BLE0, SERVICE_MODE_TYPE_CLI);
  open_port(SERIAL_BLE0, baudrate);
  udrv_rtc_init(UDRV_RTC_2, nullptr);
  for (uint32_t p = 0; p < SERIAL_MAX; p++) {
    SERIAL_PORT port = static_cast<SERIAL_PORT>(p);
    if (service_nvm_get_mode_type_from_nvm(port) == SERVICE_MODE_TYPE_CLI) {
      service_mode_cli_init(port);
    }
  }
  int32_t ret = udrv_system_event_init();
  (void)udrv_system_user_app_timer_create(qiv_user_application_timer_handler, HTMR_ONESHOT);
  Gsm_Init();
  if (qiv_vostrel_sensor_init()) {
    udrv_serial_log_printf("Version: Vostrel\r\n");
  } else {
    udrv_serial_log_printf("Version: Vostrel-M\r\n");
  }
  return ret;
}

// ---------------------------------------------------------- dispatcher --

// One step of a UART in AT mode: one character (or one folded CR/LF pair)
// for the line editor. True when the UART has more for a later step.
static bool fold_step(SERIAL_PORT port, bool *owed) {
  for (;;) {
    uint8_t ch;
    if (*owed) {
      ch = '\n';
      *owed = false;
    } else if (udrv_serial_read_available(port) > 0) {
      if (udrv_serial_read(port, &ch, 1) != 1) {
        return false;
      }
    } else {
      return false;
    }
    if (service_nvm_get_mode_type_from_nvm(port) != SERVICE_MODE_TYPE_CLI) {
      continue;
    }
    SERIAL_WLOCK_STATE lock = udrv_serial_get_lock_state(port);
    if (lock == SERIAL_WLOCK_LOCKED) {
      udrv_serial_wlock_handler(port, ch);
      continue;
    }
    if (lock != SERIAL_WLOCK_OPEN) {
      continue;
    }
    if ((ch == '\r' || ch == '\n') && udrv_serial_read_available(port) > 0) {
      uint8_t next;
      if (udrv_serial_read(port, &next, 1) == 1) {
        if (next == '\r' || next == '\n') {
          *owed = true;
        } else {
          service_mode_cli_handler(port, static_cast<char>(ch));
          service_mode_cli_handler(port, static_cast<char>(next));
        }
        return *owed || udrv_serial_read_available(port) > 0;
      }
    }
    service_mode_cli_handler(port, static_cast<char>(ch));
    return udrv_serial_read_available(port) > 0;
  }
}

// The event a step posts for what it left behind (its own record, so that
// at most one such event waits in the queue: the receive interrupt already
// posts one event per byte, and more copies would only crowd out the other
// ports' events).
static uint8_t uart_rest_marker;
static udrv_system_event_t qiv_uart_rest_event = {UDRV_SYS_EVT_OP_SERIAL_UART, &uart_rest_marker};
static volatile bool uart_rest_posted = false;

static void serial_uart_event(const udrv_system_event_t *event) {
  if (event->p_context == &uart_rest_marker) {
    uart_rest_posted = false;
  }
  bool more = false;
  if (service_nvm_get_mode_type_from_nvm(SERIAL_UART1) == SERVICE_MODE_TYPE_CUSTOM) {
    bool any = false;
    while (udrv_serial_read_available(SERIAL_UART1) > 0) {
      uint8_t ch;
      if (udrv_serial_read(SERIAL_UART1, &ch, 1) != 1) {
        break;
      }
      udrv_serial_log_printf("%c", ch);
      any = true;
    }
    if (any && service_nvm_get_auto_sleep_time_from_nvm() != 0 && keep_bg96_on) {
      NRF_LOG_INFO("Continue keeping BG96 on");
      keep_modem_on();
    }
  } else {
    more = fold_step(SERIAL_UART1, &Uart1LastRecvEnter) || more;
  }
  if (service_nvm_get_mode_type_from_nvm(SERIAL_UART0) != SERVICE_MODE_TYPE_CUSTOM) {
    more = fold_step(SERIAL_UART0, &Uart0LastRecvEnter) || more;
  }
  // What one step left behind (the rest of a burst, an owed line end) gets
  // an event of its own, so that no byte waits for the next one to arrive.
  if (more && !uart_rest_posted) {
    uart_rest_posted = udrv_system_event_produce(&qiv_uart_rest_event) == 0;
  }
}

// A CR given to the line editor has ended its line: an LF right after it
// (a terminal's CR LF) is the same line end. It is dropped, so that it
// neither runs the line again (it may come while the line runs, from a
// wait that serves events) nor becomes the first byte of a raw upload the
// line opened.
static bool usb_line_ended_by_cr = false;

static void serial_usb_event(void) {
  if (service_nvm_get_mode_type_from_nvm(SERIAL_USB0) == SERVICE_MODE_TYPE_CUSTOM) {
    return;
  }
  while (udrv_serial_read_available(SERIAL_USB0) > 0) {
    uint8_t ch;
    if (udrv_serial_read(SERIAL_USB0, &ch, 1) != 1) {
      return;
    }
    bool const rest_of_line_end = usb_line_ended_by_cr && ch == '\n';
    usb_line_ended_by_cr = false;
    if (rest_of_line_end) {
      continue;
    }
    if (cellular_parser_enable) {
      service_mode_cli_cellular_handler(SERIAL_USB0, ch);
    } else {
      usb_line_ended_by_cr = ch == '\r';
      qiv_serial_byte(SERIAL_USB0, ch);
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
      serial_uart_event(event);
      break;
    case UDRV_SYS_EVT_OP_SERIAL_USB:
      uhal_usb_event_taken();
      serial_usb_event();
      break;
    case UDRV_SYS_EVT_OP_SERIAL_BLE:
#ifdef SUPPORT_BLE
      uhal_ble_usb_texts_flush();
#endif
      qiv_serial_drain(SERIAL_BLE0);
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
    vostrel_modem_check();
    (void)nrf_ble_lesc_request_handler();
    qiv_running();
    if (!no_busy_loop) {
      qiv_loop();
    } else if (service_nvm_get_auto_sleep_time_from_nvm() != 0 && !keep_bg96_on) {
      if (udrv_sleep_ms(0) == 0) {
        NRF_LOG_INFO("Start keeping BG96 on");
        keep_modem_on();
      }
    } else {
      // Nothing to do but the once-a-second status check: let time move to
      // the next event, at most a short step.
      nrf_delay_ms(10);
    }
  }
}

// ------------------------------------------------------------ failures --

void app_error_handler_bare(ret_code_t error_code) {
  NRF_LOG_ERROR("Got an error: 0x%08x!", static_cast<unsigned>(error_code));
  on_error();
}

// Start-up, event dispatcher and main loop of the Apollo3 image: `main`
// starts the kernel with the loop task, which runs `qiv_init`, the user
// program's setup, the work-mode banner and the main loop.
//
// With QIV_LORA_SERVICES_LINKED the LoRaWAN MAC and its service start here
// and the dispatcher runs the MAC's processing step; with
// QIV_LORA_CERTIFICATION_LINKED the certification packages too.
#include <stdio.h>
#include <string.h>

#include "apollo3_port.h"
#include "atcmd.h"
#include "qiv_runtime.h"
#include "service_mode_cli.h"
#include "service_nvm.h"
#include "udrv_ble.h"
#include "udrv_delay.h"
#include "udrv_flash.h"
#include "udrv_powersave.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#include "udrv_timer.h"

#if defined(QIV_LORA_SERVICES_LINKED) || defined(QIV_LORA_P2P_LINKED)
#include "radio.h"
#include "service_lora.h"
#endif

static TaskHandle_t _loopHandle;

int main(void) {
  am_log_init();
  APOLLO3_TRACE("QIV INNER MAIN - APOLLO3");
  APOLLO3_CHECK(am_hal_clkgen_control(AM_HAL_CLKGEN_CONTROL_SYSCLK_MAX, 0));
  APOLLO3_CHECK(am_hal_cachectrl_config(&am_hal_cachectrl_defaults));
  APOLLO3_CHECK(am_hal_cachectrl_enable());
  am_hal_sysctrl_fpu_enable();
  am_hal_sysctrl_fpu_stacking_enable(true);
  APOLLO3_CHECK(am_hal_pwrctrl_low_power_init());
  am_hal_rtc_osc_disable();
  xTaskCreate(loop_task, "loop", 4096, NULL, 1, &_loopHandle);
  vTaskStartScheduler();
  // The scheduler never returns; if it does, start again.
  NVIC_SystemReset();
  return 0;
}

void qiv_init(void) {
  APOLLO3_TRACE("QIV Version: %s", sw_version);
  udrv_timer_init();
  udrv_flash_init();
  service_nvm_init_config();
  static const SERIAL_PORT uarts[] = {SERIAL_UART0, SERIAL_UART1};
  for (SERIAL_PORT port : uarts) {
    udrv_serial_init(port, service_nvm_get_baudrate_from_nvm(), SERIAL_WORD_LEN_8,
                     SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
  }
#ifdef SUPPORT_BLE
  udrv_ble_stack_start();
  uhal_ble_apollo3_wait_ble_core();
  udrv_ble_services_start();
#if defined(QIV_LORA_SERVICES_LINKED)
  {
    uint8_t eui[8] = {0};
    service_lora_get_dev_eui(eui, sizeof eui);
    char name[16];
    int n = snprintf(name, sizeof name, "ZEM.%02X%02X%02X", eui[5], eui[6], eui[7]);
    udrv_ble_set_device_name(name, static_cast<uint8_t>(n));
  }
#endif
  {
    char mac[13] = {0};
    service_nvm_get_ble_mac_from_nvm(reinterpret_cast<uint8_t *>(mac), 12);
    udrv_ble_set_macaddress(mac);
  }
  service_nvm_set_mode_type_to_nvm(SERIAL_BLE0, SERVICE_MODE_TYPE_CLI);
  udrv_serial_init(SERIAL_BLE0, service_nvm_get_baudrate_from_nvm(), SERIAL_WORD_LEN_8,
                   SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
#endif
#if defined(QIV_LORA_SERVICES_LINKED)
  service_lora_mac_nvm_data_init();
  service_lora_init(service_nvm_get_band_from_nvm());
#endif
  for (int port = 0; port < SERIAL_MAX; ++port) {
    if (service_nvm_get_mode_type_from_nvm(static_cast<SERIAL_PORT>(port)) ==
        SERVICE_MODE_TYPE_CLI) {
      service_mode_cli_init(static_cast<SERIAL_PORT>(port));
    }
  }
  udrv_system_event_init();
#ifdef QIV_LORA_CERTIFICATION_LINKED
  if (service_nvm_get_certi_from_nvm() == 1) {
    service_lora_certification(1);
  }
#endif
}

void print_work_mode(void) {
#if defined(QIV_LORA_SERVICES_LINKED) || defined(QIV_LORA_P2P_LINKED)
  uint8_t mode = static_cast<uint8_t>(service_lora_get_nwm());
#else
  uint8_t mode = static_cast<uint8_t>(service_nvm_get_nwm_from_nvm());
#endif
  udrv_serial_log_printf("Current Work Mode: ");
  switch (mode) {
    case 1:
      udrv_serial_log_printf("LoRaWAN.\r\n");
      break;
    case 2:
      udrv_serial_log_printf("LoRa FSK.\r\n");
      break;
    case 0:
      udrv_serial_log_printf("LoRa P2P.\r\n");
      break;
    default:
      break;
  }
}

// The UART ports' drain: the wait window starts once per drain while busy
// looping is off, so that a line typed at a sleeping module keeps it awake.
static void drain_uart(SERIAL_PORT port) {
  if (no_busy_loop && service_nvm_get_mode_type_from_nvm(port) != SERVICE_MODE_TYPE_CUSTOM) {
    uhal_uart_wait_timer_start(10000);
  }
  qiv_serial_drain(port);
}

#if defined(QIV_LORA_SERVICES_LINKED) || defined(QIV_LORA_P2P_LINKED)
static void radio_background(void) {
  if (Radio.IrqProcess != nullptr) {
    Radio.IrqProcess();
  }
}
#endif

void qiv_event_handler_func(void *p_event_data, uint16_t) {
  auto *event = static_cast<udrv_system_event_t *>(p_event_data);
  if (qiv_dispatch_shared_event(event)) {
    return;
  }
  switch (event->request) {
    case UDRV_SYS_EVT_OP_SERIAL_UART:
      drain_uart(SERIAL_UART1);
      drain_uart(SERIAL_UART0);
      break;
#ifdef SUPPORT_BLE
    case UDRV_SYS_EVT_OP_SERIAL_BLE:
      qiv_serial_drain(SERIAL_BLE0);
      break;
#endif
    case UDRV_SYS_EVT_OP_LORAWAN:
#if defined(QIV_LORA_SERVICES_LINKED) || defined(QIV_LORA_P2P_LINKED)
      radio_background();
#endif
#ifdef QIV_LORA_SERVICES_LINKED
      LoRaMacProcess();
      service_lora_lptp_process();
#ifdef QIV_LORA_CERTIFICATION_LINKED
      LmHandlerPackagesProcess();
#endif
#endif
      break;
    case UDRV_SYS_EVT_OP_LORAWAN_JOIN_CB:
#ifdef QIV_LORA_SERVICES_LINKED
      if (service_lora_join_callback != nullptr) {
        service_lora_join_callback(
            static_cast<int32_t>(reinterpret_cast<uintptr_t>(event->p_context)));
      }
#endif
      break;
    case UDRV_SYS_EVT_OP_RTC:
      udrv_rtc_timer_handler_handler(NULL);
      break;
    case UDRV_SYS_EVT_OP_USER_APP:
    default:
      break;
  }
}

// One drain step of the loop task: the radio's interrupt processing, then
// the queue, with the drain lock so that no port task drains meanwhile.
static void loop_running(void) {
  apollo3_loop_drain_lock();
#if defined(QIV_LORA_SERVICES_LINKED) || defined(QIV_LORA_P2P_LINKED)
  radio_background();
#endif
  qiv_running();
  apollo3_loop_drain_unlock();
}

void loop_task(void *arg) {
  (void)arg;
  qiv_init();
  qiv_setup();
  print_work_mode();
  for (;;) {
    loop_running();
    if (!no_busy_loop) {
      if (rx_wait_active) {
        udrv_app_delay_ms(10000);
        rx_wait_active = false;
        static const uint8_t kSleep[] = "SLEEP\r\n";
        serial_uart_driver.SERIAL_WRITE(SERIAL_UART0, kSleep, 7, 0);
        serial_uart_driver.SERIAL_WRITE(SERIAL_UART1, kSleep, 7, 0);
      }
      qiv_loop();
    } else if (service_nvm_get_auto_sleep_time_from_nvm() != 0 && !rx_wait_active) {
      udrv_sleep_ms(0);
    } else {
      // Nothing but a port task or an interrupt brings new work: wait for
      // one instead of spinning.
      vTaskDelay(1);
    }
  }
}

// Start-up, event dispatcher and main loop of the STM32WLE5 images.
//
// The radio and the LoRa services join the start-up and the dispatcher with
// these macros:
//   QIV_RADIO_LINKED          the sub-GHz radio: its peripheral is set up
//                             before the LoRa services start
//   QIV_LORA_SERVICES_LINKED  the LoRaWAN MAC and its service: the MAC context
//                             load and the service start (which starts the
//                             point-to-point service in the P2P and FSK work
//                             modes), the MAC processing step and the join
//                             callback
//   QIV_LORA_CERTIFICATION_LINKED  the certification mode and the packages'
//                             processing step
//   QIV_LORA_P2P_LINKED       the work mode and the point-to-point service;
//                             without the MAC, start-up starts the service
//                             itself in the P2P and FSK work modes
//   QIV_WIFI_COPROCESSOR_LINKED  the Wi-Fi co-processor on UART1: the
//                             dispatcher passes the host port through to it
//                             in the ESP AT mode
#include <string.h>

#include "atcmd.h"
#include "qiv_runtime.h"
#include "qiv_board.h"
#include "service_mode_cli.h"
#include "service_nvm.h"
#include "stm32wle5xx_port.h"
#include "udrv_gpio.h"
#include "udrv_powersave.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#include "udrv_timer.h"

#if defined(QIV_LORA_SERVICES_LINKED) || defined(QIV_LORA_P2P_LINKED)
#include "service_lora.h"
#endif
#ifdef QIV_WIFI_COPROCESSOR_LINKED
#include "wifi_coprocessor.h"
#endif
#ifdef QIV_RADIO_LINKED
#include "board.h"
#include "radio.h"
// The sub-GHz peripheral (the board's radio part).
void MX_SUBGHZ_Init(void);
#endif

#if __has_include("service_debug.h")
#include "service_debug.h"
#else
#include <stdarg.h>
#include <stdio.h>
// Diagnostic lines, printed only at debug level 1.
[[maybe_unused]] static void service_debug(const char *fmt, ...) {
  if (service_nvm_get_debug_level_from_nvm() != 1) {
    return;
  }
  char text[UDRV_SERIAL_PRINT_BUFFER_SIZE];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  udrv_serial_log_printf("%s", text);
}
#endif

#if defined(QIV_LORA_P2P_LINKED) && !defined(QIV_LORA_SERVICES_LINKED)
// The LoRa start of an image without the LoRaWAN MAC: the radio bring-up, and
// the point-to-point service in the P2P and FSK work modes. As the LoRa start
// does in every work mode, the radio then sleeps until first used unless the
// stored LoRaWAN settings are class C or ABP.
static void start_lora_p2p(void) {
  BoardInitMcu();
  if (service_lora_get_nwm() == SERVICE_LORAWAN) {
    return;
  }
  service_lora_p2p_init();
  if (service_nvm_get_class_from_nvm() != SERVICE_LORA_CLASS_C &&
      service_nvm_get_njm_from_nvm() == SERVICE_LORA_OTAA) {
    Radio.Sleep();
  }
}
#endif

// The rate a port is opened at start-up: the stored rate, which the host sets
// with AT+BAUD. The co-processor's link keeps the co-processor's own rate: a
// host that changes its rate must not cut the module off its co-processor.
static uint32_t uart_rate(SERIAL_PORT port) {
#ifdef QIV_WIFI_COPROCESSOR_LINKED
  if (port == SERIAL_ESP32C2) {
    return WIFI_COPROCESSOR_BAUDRATE;
  }
#else
  (void)port;
#endif
  return service_nvm_get_baudrate_from_nvm();
}

void qiv_init(void) {
  SCB->VTOR = QIV_APP_VECTOR_TABLE;
  HAL_Init();
  SystemClock_Config();
  __HAL_RCC_DMAMUX1_CLK_ENABLE();
  __HAL_RCC_DMA1_CLK_ENABLE();
  HAL_NVIC_SetPriority(DMA1_Channel1_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(DMA1_Channel1_IRQn);
  if (qiv_board.gpioc_clock_at_init) {
    __HAL_RCC_GPIOC_CLK_ENABLE();
  }
  udrv_timer_init();
  service_nvm_init_config();
  // UART0 has no hardware on these boards and is not opened.
  static const SERIAL_PORT opened[] = {SERIAL_UART1, SERIAL_UART2};
  for (SERIAL_PORT port : opened) {
    udrv_serial_init(port, uart_rate(port), SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                     SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
  }
#ifdef QIV_RADIO_LINKED
  MX_SUBGHZ_Init();
#endif
#if defined(QIV_LORA_SERVICES_LINKED)
  service_lora_mac_nvm_data_init();
  service_lora_init(service_nvm_get_band_from_nvm());
#elif defined(QIV_LORA_P2P_LINKED)
  service_lora_mac_nvm_data_init();
  start_lora_p2p();
#endif
  static const SERIAL_PORT ports[] = {SERIAL_UART0, SERIAL_UART1, SERIAL_UART2};
  for (SERIAL_PORT port : ports) {
    if (qiv_board.cli_on_uart2_only && port != SERIAL_UART2) {
      continue;
    }
    if (service_nvm_get_mode_type_from_nvm(port) == SERVICE_MODE_TYPE_CLI) {
      service_mode_cli_init(port);
    }
  }
  udrv_system_event_init();
#ifdef QIV_LORA_CERTIFICATION_LINKED
  if (service_nvm_get_certi_from_nvm() == 1) {
    service_lora_certification(1);
  }
#endif
}

// The AT command table in RAM equals its load image again afterwards: read 4
// bytes at a time, each byte written only where it differs.
void restore_atcmd_table(void) {
#if defined(__arm__)
  static_assert(sizeof(at_cmd_info) == 20, "a command row is 20 bytes on the chip");
#endif
  const uint32_t size = static_cast<uint32_t>(At_CmdGetTotalNum()) * sizeof(at_cmd_info);
  const uint8_t *image = reinterpret_cast<const uint8_t *>(atcmd_info_tbl_load_image);
  uint8_t *ram = reinterpret_cast<uint8_t *>(atcmd_info_tbl);
  for (uint32_t offset = 0; offset < size; offset += 4) {
    uint8_t word[4];
    uint32_t n = size - offset < 4 ? size - offset : 4;
    memcpy(word, image + offset, n);
    for (uint32_t i = 0; i < n; ++i) {
      if (ram[offset + i] != word[i]) {
        ram[offset + i] = word[i];
      }
    }
  }
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
      udrv_serial_log_printf("FSK.\r\n");
      break;
    case 0:
      udrv_serial_log_printf("LoRa P2P.\r\n");
      break;
    default:
      break;
  }
}

void qiv_event_handler_func(void *p_event_data, uint16_t) {
  auto *event = static_cast<udrv_system_event_t *>(p_event_data);
  if (qiv_dispatch_shared_event(event)) {
    return;
  }
  switch (event->request) {
    case UDRV_SYS_EVT_OP_SERIAL_UART:
#ifdef QIV_WIFI_COPROCESSOR_LINKED
      wifi_coprocessor_serial_event();
      break;
#endif
      if (qiv_board.drain_uart2_only) {
        qiv_serial_drain(SERIAL_UART2);
      } else {
        qiv_serial_drain(SERIAL_UART0);
        qiv_serial_drain(SERIAL_UART1);
        qiv_serial_drain(SERIAL_UART2);
      }
      break;
    case UDRV_SYS_EVT_OP_LORAWAN:
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
    case UDRV_SYS_EVT_OP_USER_APP:
    case UDRV_SYS_EVT_OP_RTC:
    default:
      break;
  }
}

int main(void) {
  qiv_init();
  if (qiv_board.band_strap) {
    __HAL_RCC_GPIOB_CLK_ENABLE();
  }
#ifdef QIV_WIFI_COPROCESSOR_LINKED
  __HAL_RCC_GPIOB_CLK_ENABLE();
#endif
  restore_atcmd_table();
  update_permission();
  qiv_setup();
#ifdef QIV_BOARD_BAND_STRAP
  if (qiv_board.banner_high != nullptr) {
    service_debug("%s", BoardGetHardwareFreq() ? qiv_board.banner_high : qiv_board.banner_low);
    service_debug("Version:%s %s\r\n", sw_version, build_date);
  }
#endif
  print_work_mode();
  for (;;) {
    qiv_running();
    // Text interrupt handlers printed while a line was being written.
    uhal_uart_flush(SERIAL_UART1, udrv_serial_timeout);
    uhal_uart_flush(SERIAL_UART2, udrv_serial_timeout);
    if (!no_busy_loop) {
      qiv_loop();
    } else if (service_nvm_get_auto_sleep_time_from_nvm() != 0) {
      // A sleep refused for a wake lock lasts until the interrupt
      // that releases it.
      if (udrv_sleep_ms(0) == -UDRV_TEMP_LOCKED) {
        __WFI();
      }
    } else {
      // Nothing but an interrupt can bring new work: wait for one.
      __WFI();
    }
  }
}

// Start-up steps and dispatcher of the STM32WLE5 images.
#include <cstring>
#include <string>

#include "port_fixture.h"
#include "qiv_runtime.h"
#include "service_mode_cli.h"
#include "service_nvm.h"

namespace {
std::string g_out;
void capture(void*, int, const uint8_t* data, size_t len) {
  g_out.append(reinterpret_cast<const char*>(data), len);
}
}  // namespace

TEST_F(PortTest, TheCommandTableIsRestoredFromItsLoadImage) {
  const size_t size = static_cast<size_t>(At_CmdGetTotalNum()) * sizeof(at_cmd_info);
  ASSERT_GT(size, 0u);
  atcmd_info_tbl[0].permission ^= 0xFF;
  atcmd_info_tbl[At_CmdGetTotalNum() - 1].maxargu ^= 0x5A;
  restore_atcmd_table();
  EXPECT_EQ(std::memcmp(atcmd_info_tbl, atcmd_info_tbl_load_image, size), 0);
}

TEST_F(PortTest, TheWorkModeLineNamesTheStoredMode) {
  udrv_serial_init(SERIAL_UART2, 115200, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                   SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
  sim::host::uart_set_output(2, capture, nullptr);
  struct Case {
    SERVICE_LORA_WORK_MODE mode;
    const char* line;
  };
  const Case cases[] = {
      {static_cast<SERVICE_LORA_WORK_MODE>(0), "Current Work Mode: LoRa P2P.\r\n"},
      {static_cast<SERVICE_LORA_WORK_MODE>(1), "Current Work Mode: LoRaWAN.\r\n"},
      {static_cast<SERVICE_LORA_WORK_MODE>(2), "Current Work Mode: FSK.\r\n"},
      {static_cast<SERVICE_LORA_WORK_MODE>(7), "Current Work Mode: "},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(service_nvm_set_nwm_to_nvm(c.mode), 0);
    g_out.clear();
    print_work_mode();
    EXPECT_EQ(g_out, c.line);
  }
}

TEST_F(PortTest, AFallbackEventPutsThePortIntoATMode) {
  ASSERT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART1), SERVICE_MODE_TYPE_CUSTOM);
  udrv_system_event_t ev = {UDRV_SYS_EVT_OP_SERIAL_FALLBACK,
                            reinterpret_cast<void*>(uintptr_t{0x101})};
  qiv_event_handler_func(&ev, sizeof ev);
  EXPECT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART1), SERVICE_MODE_TYPE_CLI);
  EXPECT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART2), SERVICE_MODE_TYPE_CLI);
}

TEST_F(PortTest, ATimerEventRunsTheTimersHandlerInTheDispatcher) {
  static int handled;
  handled = 0;  // the program may run its tests more than once
  ASSERT_EQ(uhal_sys_timer_create(
                SYSTIMER_LORAWAN, [](void*) { ++handled; }, HTMR_ONESHOT),
            0);
  ASSERT_EQ(uhal_sys_timer_start(SYSTIMER_LORAWAN, 10, nullptr), 0);
  run_for(20000);
  udrv_system_event_consume();
  EXPECT_EQ(handled, 1);
}

TEST_F(PortTest, BytesOfAPortInCustomModeStayForTheUserProgram) {
  udrv_serial_init(SERIAL_UART1, 115200, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                   SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
  feed(1, "hello\r\n");
  run_for(5000);
  udrv_system_event_consume();
  EXPECT_EQ(uhal_uart_read_available(SERIAL_UART1), 7);
}

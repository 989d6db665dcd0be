#include <gtest/gtest.h>

#include <string>

#include "core_test_support.h"
#include "service_nvm.h"
#include "udrv_serial.h"

namespace {

using core_test::tx;
using core_test::type;

class Serial : public ::testing::Test {
 protected:
  void SetUp() override { core_test::boot(); }

  static uint8_t stored_lock_byte(SERIAL_PORT port) {
    return fake::port.flash_byte(SERVICE_NVM_CFG_ADDR +
                                 offsetof(PRE_qiv_cfg_t, serial_lock_status) + port);
  }
};

TEST_F(Serial, OperationResultsForBadUnopenedAndLockedPorts) {
  uint8_t byte = 'x';
  SERIAL_PORT const bad = SERIAL_MAX;
  EXPECT_EQ(udrv_serial_write(bad, &byte, 1), -3);
  EXPECT_EQ(udrv_serial_read(bad, &byte, 1), -3);
  EXPECT_EQ(udrv_serial_peek(bad), -3);
  EXPECT_EQ(udrv_serial_read_available(bad), -3);
  EXPECT_EQ(udrv_serial_get_lock_state(bad), SERIAL_WLOCK_OPEN);

  // UART0 has no hardware on these boards and is never opened.
  EXPECT_EQ(udrv_serial_write(SERIAL_UART0, &byte, 1), -1);
  EXPECT_EQ(udrv_serial_read(SERIAL_UART0, &byte, 1), -1);
  EXPECT_EQ(udrv_serial_peek(SERIAL_UART0), -1);
  EXPECT_EQ(udrv_serial_read_available(SERIAL_UART0), -1);

  EXPECT_EQ(udrv_serial_write(SERIAL_UART2, &byte, 1), 1);
  service_nvm_set_lock_status_to_nvm(SERIAL_UART2, SERIAL_WLOCK_LOCKED);
  EXPECT_EQ(udrv_serial_write(SERIAL_UART2, &byte, 1), -8);
  service_nvm_set_lock_status_to_nvm(SERIAL_UART2, SERIAL_WLOCK_DISABLED);
  EXPECT_EQ(udrv_serial_write(SERIAL_UART2, &byte, 1), -8);
  EXPECT_EQ(tx(SERIAL_UART2), "x");
}

TEST_F(Serial, ReopeningAPortClosesItFirst) {
  auto const &uart1 = fake::port.serial[SERIAL_UART1];
  int const inits = uart1.inits;
  int const deinits = uart1.deinits;
  udrv_serial_init(SERIAL_UART1, 9600, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                   SERIAL_TWO_WIRE_NORMAL_MODE);
  EXPECT_EQ(uart1.deinits, deinits + 1);
  EXPECT_EQ(uart1.inits, inits + 1);
  EXPECT_EQ(uart1.baudrate, 9600u);
}

TEST_F(Serial, LogPrintReachesEveryOpenedUnlockedAtPort) {
  // Defaults: UART2 in AT mode; UART0 and UART1 custom.
  EXPECT_EQ(udrv_serial_log_printf("+EVT:%s\r\n", "X"), 8);
  EXPECT_EQ(tx(SERIAL_UART2), "+EVT:X\r\n");
  EXPECT_EQ(tx(SERIAL_UART1), "");

  service_nvm_set_mode_type_to_nvm(SERIAL_UART1, SERVICE_MODE_TYPE_CLI);
  service_nvm_set_mode_type_to_nvm(SERIAL_UART0, SERVICE_MODE_TYPE_CLI);  // AT mode, never opened
  service_nvm_set_lock_status_to_nvm(SERIAL_UART2, SERIAL_WLOCK_LOCKED);
  udrv_serial_log_printf("%d", 42);
  EXPECT_EQ(tx(SERIAL_UART1), "42");
  EXPECT_EQ(tx(SERIAL_UART2), "+EVT:X\r\n");
}

TEST_F(Serial, LogPrintWithEveryPortInCustomModeWritesNothing) {
  service_nvm_set_mode_type_to_nvm(SERIAL_UART2, SERVICE_MODE_TYPE_CUSTOM);
  EXPECT_EQ(udrv_serial_log_printf("OK\r\n"), 0);
  for (auto const &s : fake::port.serial) {
    EXPECT_EQ(s.tx, "");
  }
}

TEST_F(Serial, LongRenderingsAreCutToThePrintBuffer) {
  std::string const long_text(600, 'a');
  EXPECT_EQ(udrv_serial_printf(SERIAL_UART1, "%s", long_text.c_str()), 511);
  EXPECT_EQ(tx(SERIAL_UART1), std::string(511, 'a'));
  udrv_serial_log_printf("%s-%s", long_text.c_str(), long_text.c_str());
  EXPECT_EQ(tx(SERIAL_UART2), std::string(511, 'a'));
}

TEST_F(Serial, PasswordLineDialogues) {
  struct Case {
    const char *typed;
    const char *output;
    SERIAL_WLOCK_STATE after;
  };
  const Case cases[] = {
      {"at+lock=?\r", "at+lock=?\r\nAT+LOCK=locked\r\nOK\r\n", SERIAL_WLOCK_LOCKED},
      {"AT+LOCK=?\n", "AT+LOCK=?\r\nAT+LOCK=locked\r\nOK\r\n", SERIAL_WLOCK_LOCKED},
      {"AT\r", "AT\r\nCOMMAND_LOCKED\r\n", SERIAL_WLOCK_LOCKED},
      {"58203761\r", "58203761\r\n", SERIAL_WLOCK_OPEN},
      {"58203761xy\r", "58203761x\r\nCOMMAND_LOCKED\r\n", SERIAL_WLOCK_LOCKED},
      {"5820376\r", "5820376\r\nCOMMAND_LOCKED\r\n", SERIAL_WLOCK_LOCKED},
      {"\r", "", SERIAL_WLOCK_LOCKED},
      {"\b\x7f"
       "58203761\r",
       "58203761\r\n", SERIAL_WLOCK_OPEN},
      {"58203760\b1\r", "582037601\r\n", SERIAL_WLOCK_OPEN},
      {"58203760\x7f"
       "1\r",
       "582037601\r\n", SERIAL_WLOCK_OPEN},
      {"5820\r3761\r", "5820\r\nCOMMAND_LOCKED\r\n3761\r\nCOMMAND_LOCKED\r\n", SERIAL_WLOCK_LOCKED},
  };
  for (Case const &c : cases) {
    core_test::boot();
    udrv_serial_lock();
    type(SERIAL_UART2, c.typed, udrv_serial_wlock_handler);
    EXPECT_EQ(tx(SERIAL_UART2), c.output) << c.typed;
    EXPECT_EQ(udrv_serial_get_lock_state(SERIAL_UART2), c.after) << c.typed;
    EXPECT_EQ(stored_lock_byte(SERIAL_UART2), c.after) << c.typed;
  }
}

TEST_F(Serial, LockingAndUnlockingChangeOnlyTheirStatesAndPersist) {
  service_nvm_set_lock_status_to_nvm(SERIAL_UART0, SERIAL_WLOCK_DISABLED);
  udrv_serial_lock();
  EXPECT_EQ(stored_lock_byte(SERIAL_UART0), SERIAL_WLOCK_DISABLED);
  EXPECT_EQ(stored_lock_byte(SERIAL_UART1), SERIAL_WLOCK_LOCKED);
  EXPECT_EQ(stored_lock_byte(SERIAL_UART2), SERIAL_WLOCK_LOCKED);

  // After a restart the ports are still locked.
  service_nvm_init_config();
  EXPECT_EQ(udrv_serial_get_lock_state(SERIAL_UART2), SERIAL_WLOCK_LOCKED);

  udrv_serial_enable(SERIAL_UART2);  // a locked port stays locked
  EXPECT_EQ(udrv_serial_get_lock_state(SERIAL_UART2), SERIAL_WLOCK_LOCKED);
  udrv_serial_enable(SERIAL_UART0);  // a disabled one is opened
  EXPECT_EQ(udrv_serial_get_lock_state(SERIAL_UART0), SERIAL_WLOCK_OPEN);

  udrv_serial_unlock();
  EXPECT_EQ(stored_lock_byte(SERIAL_UART1), SERIAL_WLOCK_OPEN);
  EXPECT_EQ(stored_lock_byte(SERIAL_UART2), SERIAL_WLOCK_OPEN);
}

TEST_F(Serial, PasswordLineIsSharedByTheLockedPorts) {
  service_nvm_set_mode_type_to_nvm(SERIAL_UART1, SERVICE_MODE_TYPE_CLI);
  udrv_serial_lock();
  type(SERIAL_UART1, "5820", udrv_serial_wlock_handler);
  type(SERIAL_UART2, "3761\r", udrv_serial_wlock_handler);
  EXPECT_EQ(tx(SERIAL_UART1), "5820");
  EXPECT_EQ(tx(SERIAL_UART2), "3761\r\n");
  EXPECT_EQ(udrv_serial_get_lock_state(SERIAL_UART1), SERIAL_WLOCK_OPEN);
  EXPECT_EQ(udrv_serial_get_lock_state(SERIAL_UART2), SERIAL_WLOCK_OPEN);
}

TEST_F(Serial, PasswordChecks) {
  struct Case {
    std::string text;
    int32_t result;
  };
  const Case cases[] = {
      {"123456789", -3},
      {std::string("abc\x1f", 4), -3},
      {std::string("abc\x7f", 4), -3},
      {std::string("abc\x80", 4), -3},
      {"pass word", -3},
      {"~ !Az09", 0},
      {"12345678", 0},
  };
  for (Case const &c : cases) {
    core_test::boot();
    EXPECT_EQ(udrv_serial_set_passwd(c.text.data(), c.text.size()), c.result) << c.text;
    char stored[9];
    int32_t const len = udrv_serial_get_passwd(stored, sizeof(stored));
    std::string const expected = c.result == 0 ? c.text : "58203761";
    EXPECT_EQ(std::string(stored, len), expected);
  }
  char small[8];
  EXPECT_EQ(udrv_serial_get_passwd(small, sizeof(small)), -3);
}

TEST_F(Serial, NewPasswordUnlocks) {
  ASSERT_EQ(udrv_serial_set_passwd("abc", 3), 0);
  udrv_serial_lock();
  type(SERIAL_UART2, "58203761\rabc\r", udrv_serial_wlock_handler);
  EXPECT_EQ(tx(SERIAL_UART2), "58203761\r\nCOMMAND_LOCKED\r\nabc\r\n");
  EXPECT_EQ(udrv_serial_get_lock_state(SERIAL_UART2), SERIAL_WLOCK_OPEN);
}

TEST_F(Serial, CustomModeEscapes) {
  struct Case {
    SERIAL_PORT port;
    const char *typed;
    int dfu_entries;
    int fallbacks;
  };
  const Case cases[] = {
      {SERIAL_UART1, "at+boot\r", 1, 0},
      {SERIAL_UART1, "AT+BOOT\n", 1, 0},
      {SERIAL_UART1, "AT+ATM\n", 0, 1},
      {SERIAL_UART1, "at+atm\r", 0, 1},
      {SERIAL_UART1, "AT+ATMX\r", 0, 0},
      {SERIAL_UART1, "AAT+ATM\r", 0, 1},
      {SERIAL_UART1, "AT+BOOTS\r", 0, 0},
      {SERIAL_UART1, "AT+BO\rAT+ATM\r", 0, 1},
      {SERIAL_UART1, "xxAT+ATM\r\nAT+ATM\r", 0, 2},
      {SERIAL_UART1, "AT+AATM\r", 0, 0},
      {SERIAL_UART2, "AT+BOOT\r", 0, 0},  // AT mode: the interpreter handles it
      {SERIAL_UART2, "AT+ATM\r", 0, 0},
  };
  for (Case const &c : cases) {
    core_test::boot();
    type(c.port, c.typed, serial_fallback_handler);
    udrv_system_event_consume();
    EXPECT_EQ(fake::port.dfu_entries, c.dfu_entries) << c.typed;
    ASSERT_EQ(static_cast<int>(core_test::events().size()), c.fallbacks) << c.typed;
    for (auto const &e : core_test::events()) {
      EXPECT_EQ(e.request, UDRV_SYS_EVT_OP_SERIAL_FALLBACK);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(e.p_context), uintptr_t{c.port});
    }
  }
}

}  // namespace

// System, sleep and serial-port commands.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "atcmd.h"
#include "cli_fakes.h"

using clifake::take;
using clifake::type;
using clifake::type_expecting_restart;
using clifake::world;

namespace {

constexpr SERIAL_PORT kTyping = SERIAL_UART2;
constexpr SERIAL_PORT kOther = SERIAL_UART1;

class CliSystem : public ::testing::Test {
 protected:
  void SetUp() override { clifake::reset(); }

  // The reply the typing port sees for one line (echo off).
  std::string run(const std::string &line) {
    type(kTyping, line + "\r");
    take(kOther);
    return take(kTyping);
  }
};

// Every refused form answers its error word and changes nothing: no stored
// setting, no flash page, no sleep, no reopened port, no restart, no lock.
TEST_F(CliSystem, RefusedFormsChangeNothing) {
  struct Case {
    std::string line;
    std::string reply;
  };
  const std::string P = "AT_PARAM_ERROR\r\n";
  const std::vector<Case> cases = {
      {"AT=1", P},
      {"AT=?", P},
      {"AT+BOOT=1", P},
      {"AT+BOOT=?", P},
      {"AT+BOOTVER", P},
      {"AT+BOOTVER=1", P},
      {"AT+BOOTVER=?:1", P},
      {"ATZ=1", P},
      {"ATZ=?", P},
      {"ATR=?", P},
      {"ATR=1", P},
      {"ATE=?", P},
      {"ATE=1", P},
      {"AT+FSN", P},
      {"AT+FSN=", P},
      {"AT+FSN=:", P},                    // empty value
      {"AT+FSN=1234567890123456789", P},  // 19 characters
      {"AT+FSN=AB-12", P},
      {"AT+FSN=AB 12", P},
      {"AT+FSN=AB:12", P},
      {"AT+FSN=\xC3\xA9", P},
      {"AT+FACTORY=1", P},
      {"AT+FACTORY=?", P},
      {"AT+SN", P},
      {"AT+SN=1", P},
      {"AT+SN=?:1", P},
      {"AT+BUILDTIME", P},
      {"AT+REPOINFO", P},
      {"AT+VER", P},
      {"AT+FIRMWAREVER", P},
      {"AT+CLIVER", P},
      {"AT+APIVER", P},
      {"AT+HWMODEL", P},
      {"AT+HWID", P},
      {"AT+HWID=x", P},
      {"AT+ALIAS", P},
      {"AT+ALIAS=:", P},
      {"AT+ALIAS=12345678901234567", P},  // 17 characters
      {"AT+ALIAS=a:b", P},
      {"AT+ALIAS=tab\there", P},
      {"AT+ALIAS=caf\xC3\xA9", P},
      {"AT+UID", P},
      {"AT+UID=1", P},
      {"AT+SLEEP=0", P},
      {"AT+SLEEP=00", P},
      {"AT+SLEEP=:", P},
      {"AT+SLEEP=-1", P},
      {"AT+SLEEP=1x", P},
      {"AT+SLEEP=1.5", P},
      {"AT+SLEEP=4294967296", P},  // saturates to the largest value
      {"AT+SLEEP=04294967295", P},
      {"AT+SLEEP=1:2", P},
      {"AT+SLEEP=?", P},
      {"AT+LPM", P},
      {"AT+LPM=2", P},
      {"AT+LPM=-1", P},
      {"AT+LPM=1:1", P},
      {"AT+LPM=on", P},
      {"AT+LPM=4294967297", P},
      {"AT+LPMLVL", P},
      {"AT+LPMLVL=0", P},
      {"AT+LPMLVL=3", P},
      {"AT+LPMLVL=:", P},
      {"AT+LPMLVL=1:2", P},
      {"AT+LOCK=1", P},
      {"AT+LOCK=?:1", P},
      {"AT+PWORD", P},
      {"AT+PWORD=:", P},
      {"AT+PWORD=123456789", P},  // 9 characters
      {"AT+PWORD=12:34", P},
      {"AT+PWORD=ab\x01", P},
      {"AT+PWORD=ab\xC3\xA9", P},
      {"AT+BAUD", P},
      {"AT+BAUD=:", P},
      {"AT+BAUD=0", P},
      {"AT+BAUD=00", P},
      {"AT+BAUD=299", P},
      {"AT+BAUD=115201", P},
      {"AT+BAUD=230400", P},
      {"AT+BAUD=99999999999", P},
      {"AT+BAUD=-9600", P},
      {"AT+BAUD=9600a", P},
      {"AT+BAUD=0x2580", P},
      {"AT+BAUD=9600:8", P},
      {"AT+ATM=1", P},
      {"AT+ATM=?", P},
      {"AT+DEBUG=2", P},
      {"AT+DEBUG=-1", P},
      {"AT+DEBUG=on", P},
      {"AT+DEBUG=00", P},
      {"AT+DEBUG=4294967297", P},
      {"AT+DEBUG=?1", P},
      // A wrong number of arguments is AT_ERROR for this command only.
      {"AT+DEBUG", "AT_ERROR\r\n"},
      {"AT+DEBUG=1:2", "AT_ERROR\r\n"},
      {"AT+DEBUG=?:1", "AT_ERROR\r\n"},
      {"AT+DEBUG=:", P},  // one empty value
      {"AT+BAT", P},
      {"AT+BAT=1", P},
      {"AT+BAT=?:1", P},
      {"AT+SYSV", P},
      {"AT+SYSV=3", P},
      {"AT+SYSV=?:?", P},
  };
  clifake::flash_fill(SERVICE_NVM_CFG_ADDR, "record");
  const auto flash_before = world.flash;
  const clifake::Store store_before = world.store;
  for (const auto &c : cases) {
    EXPECT_EQ(run(c.line), c.reply) << c.line;
  }
  EXPECT_TRUE(world.store == store_before);
  EXPECT_EQ(world.flash, flash_before);
  EXPECT_TRUE(world.erases.empty());
  EXPECT_TRUE(world.sleeps.empty());
  EXPECT_TRUE(world.inits.empty());
  EXPECT_EQ(world.reboots, 0);
  EXPECT_EQ(world.dfu_entries, 0);
  EXPECT_EQ(world.defaults_calls, 0);
  EXPECT_EQ(world.cfg_writes, 0);
  EXPECT_EQ(world.lock_calls, 0);
}

TEST_F(CliSystem, BuildTimeTexts) {
  struct Case {
    std::string line;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"AT+VER=?", sw_version},
      {"AT+APIVER=?", api_version},
      {"AT+HWID=?", chip_id},
      {"AT+REPOINFO=?", repo_info},
      {"AT+BUILDTIME=?", std::string(build_date) + "-" + build_time},
  };
  for (const auto &c : cases) {
    std::string name = c.line.substr(0, c.line.find('='));
    EXPECT_EQ(run(c.line), name + "=" + c.value + "\r\nOK\r\n") << c.line;
  }
  EXPECT_STREQ(chip_id, "stm32wle5xx");
  EXPECT_STREQ(api_version, "3.2.11");
  EXPECT_EQ(strlen(build_date), 8u);
  EXPECT_EQ(strlen(build_time), 6u);
}

TEST_F(CliSystem, StoredVersionTexts) {
  strcpy(world.store.firmware_ver, "fw-1");
  strcpy(world.store.hwmodel, "Brisola-T");
  // A 32-character text has no terminator in the record and prints whole.
  memcpy(world.store.cli_ver, "0123456789abcdef0123456789ABCDEF", 32);
  EXPECT_EQ(run("AT+FIRMWAREVER=?"), "AT+FIRMWAREVER=fw-1\r\nOK\r\n");
  EXPECT_EQ(run("AT+HWMODEL=?"), "AT+HWMODEL=Brisola-T\r\nOK\r\n");
  EXPECT_EQ(run("AT+CLIVER=?"), "AT+CLIVER=0123456789abcdef0123456789ABCDEF\r\nOK\r\n");
  world.getter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+CLIVER=?"), "AT_ERROR\r\n");
}

TEST_F(CliSystem, SerialNumberIsWrittenOnce) {
  EXPECT_EQ(run("AT+SN=?"), "AT+SN=\r\nOK\r\n");
  EXPECT_EQ(run("AT+FSN=ABC123xyz"), "OK\r\n");
  EXPECT_EQ(std::string(world.store.sn, 18), std::string("ABC123xyz") + std::string(9, '\0'));
  EXPECT_EQ(run("AT+SN=?"), "AT+SN=ABC123xyz\r\nOK\r\n");
  EXPECT_EQ(run("AT+FSN=?"), "AT+FSN=ABC123xyz\r\nOK\r\n");
  EXPECT_EQ(run("AT+FSN=OTHER1"), "AT_ERROR\r\n");
  EXPECT_EQ(std::string(world.store.sn), "ABC123xyz");
}

TEST_F(CliSystem, SerialNumberPrintsNoZeroBytes) {
  memcpy(world.store.sn, "AB\0CD", 5);
  EXPECT_EQ(run("AT+SN=?"), "AT+SN=ABCD\r\nOK\r\n");
}

TEST_F(CliSystem, SerialNumberStoreFailures) {
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+FSN=123456789012345678"), "AT_ERROR\r\n");
  world.setter_result = 0;
  world.getter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+FSN=1"), "AT_ERROR\r\n");
  EXPECT_EQ(run("AT+SN=?"), "AT_ERROR\r\n");
  world.getter_result = 0;
  EXPECT_EQ(run("AT+FSN=123456789012345678"), "OK\r\n");
}

TEST_F(CliSystem, Alias) {
  EXPECT_EQ(run("AT+ALIAS=my node 17 chars!"), "AT_PARAM_ERROR\r\n");
  EXPECT_EQ(run("AT+ALIAS=my node 16 chars"), "OK\r\n");
  EXPECT_EQ(run("AT+ALIAS=?"), "AT+ALIAS=my node 16 chars\r\nOK\r\n");
  EXPECT_EQ(run("AT+ALIAS=x"), "OK\r\n");
  EXPECT_EQ(run("AT+ALIAS=?"), "AT+ALIAS=x\r\nOK\r\n");
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+ALIAS=y"), "AT_ERROR\r\n");
  world.setter_result = 0;
  world.getter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+ALIAS=y"), "AT_ERROR\r\n");
  EXPECT_EQ(run("AT+ALIAS=?"), "AT_ERROR\r\n");
}

TEST_F(CliSystem, EchoToggles) {
  EXPECT_EQ(run("ATE"), "OK\r\n");
  EXPECT_EQ(world.store.echo, 1);
  type(kTyping, "ATE\r");
  EXPECT_EQ(take(kTyping), "ATE\n\rOK\r\n");
  EXPECT_EQ(world.store.echo, 0);
}

TEST_F(CliSystem, BootloaderVersionRecord) {
  clifake::flash_fill(ATCMD_BOOT_VERSION_ADDR,
                      std::string("QIV_BOOT_0.8_STM32WLE5CC") + std::string(8, '\0'));
  EXPECT_EQ(run("AT+BOOTVER=?"), "AT+BOOTVER=QIV_BOOT_0.8_STM32WLE5CC\r\nOK\r\n");
  const std::string full = "0123456789ABCDEF0123456789abcdef";
  clifake::flash_fill(ATCMD_BOOT_VERSION_ADDR, full);
  EXPECT_EQ(run("AT+BOOTVER=?"), "AT+BOOTVER=" + full + "\r\nOK\r\n");
  world.flash_read_result = -UDRV_BUFF_OVERFLOW;
  EXPECT_EQ(run("AT+BOOTVER=?"), "AT_ERROR\r\n");
}

// AT+FACTORY has the store take the record as the factory copy (how the
// store keeps it is its own: see the store's tests), and says when it could
// not.
TEST_F(CliSystem, FactoryHasTheStoreCopyTheRecordAndReportsFailures) {
  EXPECT_EQ(run("AT+FACTORY"), "OK\r\n");
  EXPECT_EQ(world.factory_copies, 1);
  EXPECT_EQ(run("AT+FACTORY=1"), "AT_PARAM_ERROR\r\n");
  EXPECT_EQ(world.factory_copies, 1);
  for (int32_t failure : {-UDRV_INTERNAL_ERR, -UDRV_BUFF_OVERFLOW}) {
    world.factory_copy_result = failure;
    EXPECT_EQ(run("AT+FACTORY"), "AT_ERROR\r\n") << failure;
  }
  EXPECT_EQ(world.factory_copies, 3);
  EXPECT_TRUE(world.erases.empty()) << "the command itself writes no flash";
}

TEST_F(CliSystem, DebugLevel) {
  EXPECT_EQ(run("AT+DEBUG=?"), "AT+DEBUG=0\r\nOK\r\n");
  EXPECT_EQ(run("AT+DEBUG=1"), "OK\r\n");
  EXPECT_EQ(world.store.debug_level, 1);
  EXPECT_EQ(run("AT+DEBUG=?"), "AT+DEBUG=1\r\nOK\r\n");
  EXPECT_EQ(run("AT+DEBUG=0"), "OK\r\n");
  EXPECT_EQ(world.store.debug_level, 0);
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+DEBUG=1"), "AT_ERROR\r\n");
}

// Brisola-T: the battery divider on PB3 (pin 19), the supply on the MCU's
// battery-voltage input (255), a 10-bit converter against 3.3 V.
TEST_F(CliSystem, BatteryAndSupplyVoltage) {
  world.adc_raw[19] = 512;   // 512 / 1024 x 3.3 x 5 / 3
  world.adc_raw[255] = 930;  // 930 x 3.3 / 1024 = 2.9970703125
  EXPECT_EQ(run("AT+BAT=?"), "AT+BAT=2.750000\r\nOK\r\n");
  EXPECT_EQ(run("AT+SYSV=?"), "AT+SYSV=2.997070\r\nOK\r\n");
  world.adc_mode = UDRV_ADC_MODE_DEFAULT;  // 3.6 V
  world.adc_resolution = UDRV_ADC_RESOLUTION_12BIT;
  world.adc_raw[255] = 4096;
  EXPECT_EQ(run("AT+SYSV=?"), "AT+SYSV=3.600000\r\nOK\r\n");
}

TEST_F(CliSystem, FailedConverterReadingIsAnError) {
  world.adc_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+BAT=?"), "AT_ERROR\r\n");
  EXPECT_EQ(run("AT+SYSV=?"), "AT_ERROR\r\n");
}

TEST_F(CliSystem, UniqueIdPrintsTheHighWordFirst) {
  world.uid[0] = 0x20373236;
  world.uid[1] = 0x3430510d;
  world.uid[2] = 0x0031002b;
  EXPECT_EQ(run("AT+UID=?"), "AT+UID=0031002b3430510d20373236\r\nOK\r\n");
}

TEST_F(CliSystem, RestartsPrintNoReplyWord) {
  world.store.echo = 1;
  EXPECT_TRUE(type_expecting_restart(kTyping, "ATZ\r"));
  EXPECT_EQ(world.reboots, 1);
  EXPECT_EQ(take(kTyping), "ATZ\n\r");
  EXPECT_EQ(take(kOther), "");

  service_mode_cli_init(kTyping);  // the restarted image
  take(kTyping);
  take(kOther);
  EXPECT_TRUE(type_expecting_restart(kTyping, "AT+BOOT\r"));
  EXPECT_EQ(world.dfu_entries, 1);
  EXPECT_EQ(take(kTyping), "AT+BOOT\n\r");
  EXPECT_EQ(take(kOther), "");
}

TEST_F(CliSystem, RestoreWritesDefaultsThenRestarts) {
  EXPECT_TRUE(type_expecting_restart(kTyping, "ATR\r"));
  EXPECT_EQ(world.defaults_calls, 1);
  EXPECT_EQ(world.cfg_writes, 1);
  EXPECT_EQ(world.reboots, 1);
  EXPECT_EQ(take(kOther), "");

  struct Case {
    int32_t defaults, write;
    std::string reply;
  };
  for (const auto &c : {Case{-7, 0, "AT_ERROR\r\n"}, Case{0, -6, "AT_BUSY_ERROR\r\n"},
                        Case{0, -7, "AT_ERROR\r\n"}}) {
    clifake::reset();
    world.defaults_result = c.defaults;
    world.cfg_write_result = c.write;
    EXPECT_FALSE(type_expecting_restart(kTyping, "ATR\r"));
    EXPECT_EQ(take(kTyping), c.reply);
    EXPECT_EQ(world.reboots, 0);
    EXPECT_EQ(world.cfg_writes, c.defaults == 0 ? 1 : 0);
  }
}

TEST_F(CliSystem, Sleep) {
  struct Case {
    std::string line;
    uint32_t ms;
  };
  for (const auto &c : {Case{"AT+SLEEP", 0}, Case{"AT+SLEEP=1000", 1000}, Case{"AT+SLEEP=0001", 1},
                        Case{"AT+SLEEP=4294967295", 4294967295u}}) {
    world.sleeps.clear();
    EXPECT_EQ(run(c.line), "OK\r\n") << c.line;
    EXPECT_EQ(world.sleeps, std::vector<uint32_t>{c.ms}) << c.line;
  }
}

TEST_F(CliSystem, RefusedSleepIsReportedBusy) {
  for (int32_t refusal : {-UDRV_TEMP_LOCKED, -UDRV_BUSY}) {
    world.sleep_result = refusal;
    EXPECT_EQ(run("AT+SLEEP=10"), "AT_BUSY_ERROR\r\n");
    EXPECT_EQ(run("AT+SLEEP"), "AT_BUSY_ERROR\r\n");
  }
}

TEST_F(CliSystem, AutoSleepSettings) {
  EXPECT_EQ(run("AT+LPM=?"), "AT+LPM=0\r\nOK\r\n");
  EXPECT_EQ(run("AT+LPM=1"), "OK\r\n");
  EXPECT_EQ(world.store.auto_sleep_time, 1u);
  EXPECT_EQ(run("AT+LPM=?"), "AT+LPM=1\r\nOK\r\n");
  // Digits only: an empty field counts as 0.
  EXPECT_EQ(run("AT+LPM=:"), "OK\r\n");
  EXPECT_EQ(world.store.auto_sleep_time, 0u);

  EXPECT_EQ(run("AT+LPMLVL=?"), "AT+LPMLVL=1\r\nOK\r\n");
  EXPECT_EQ(run("AT+LPMLVL=2"), "OK\r\n");
  EXPECT_EQ(run("AT+LPMLVL=?"), "AT+LPMLVL=2\r\nOK\r\n");

  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+LPM=1"), "AT_ERROR\r\n");
  EXPECT_EQ(run("AT+LPMLVL=1"), "AT_ERROR\r\n");
}

TEST_F(CliSystem, LockQueryAndBareLock) {
  EXPECT_EQ(run("AT+LOCK=?"), "AT+LOCK=unlocked\r\nOK\r\n");
  // Every port is locked before the reply is printed, so no port sees it.
  type(kTyping, "AT+LOCK\r");
  EXPECT_EQ(world.lock_calls, 1);
  EXPECT_EQ(take(kTyping), "");
  EXPECT_EQ(take(kOther), "");
}

TEST_F(CliSystem, Password) {
  EXPECT_EQ(run("AT+PWORD=?"), "AT+PWORD=58203761\r\nOK\r\n");
  EXPECT_EQ(run("AT+PWORD=a b~"), "OK\r\n");
  EXPECT_EQ(run("AT+PWORD=?"), "AT+PWORD=a b~\r\nOK\r\n");
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+PWORD=12345678"), "AT_ERROR\r\n");
  world.setter_result = 0;
  memset(world.store.passwd, 0, sizeof(world.store.passwd));
  EXPECT_EQ(run("AT+PWORD=?"), "AT_ERROR\r\n");
}

TEST_F(CliSystem, BaudReopensTheTypingPortBeforeStoring) {
  EXPECT_EQ(run("AT+BAUD=?"), "AT+BAUD=115200\r\nOK\r\n");
  for (uint32_t rate : {9600u, world.min_baudrate, world.max_baudrate}) {
    world.inits.clear();
    EXPECT_EQ(run("AT+BAUD=" + std::to_string(rate)), "OK\r\n");
    ASSERT_EQ(world.inits.size(), 1u);
    const clifake::SerialInit &init = world.inits[0];
    EXPECT_EQ(init.port, kTyping);
    EXPECT_EQ(init.baud, rate);
    EXPECT_EQ(init.datalen, SERIAL_WORD_LEN_8);
    EXPECT_EQ(init.stop, SERIAL_STOP_BIT_1);
    EXPECT_EQ(init.parity, SERIAL_PARITY_DISABLE);
    EXPECT_EQ(init.wire, SERIAL_TWO_WIRE_NORMAL_MODE);
    EXPECT_EQ(init.output_before, 0u) << "the reply leaves at the new rate";
    EXPECT_EQ(world.store.baudrate, rate);
  }
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+BAUD=57600"), "AT_ERROR\r\n");
  world.setter_result = 0;
  uint32_t const stored = world.store.baudrate;

  // A rate the serial layer cannot open every port at is refused before
  // anything changes, whichever end of the range it misses.
  for (uint32_t rate : {0u, world.min_baudrate - 1, world.max_baudrate + 1}) {
    world.inits.clear();
    EXPECT_EQ(run("AT+BAUD=" + std::to_string(rate)), "AT_PARAM_ERROR\r\n") << rate;
    EXPECT_TRUE(world.inits.empty()) << rate;
    EXPECT_EQ(world.store.baudrate, stored) << rate;
  }
}

TEST_F(CliSystem, BackToAtMode) {
  EXPECT_EQ(run("AT+ATM"), "OK\r\n");
  EXPECT_EQ(take(kOther), "");

  // A port whose stored mode is not AT mode gets it stored, and the line
  // editor starts again.
  world.store.mode[kTyping] = SERVICE_MODE_TYPE_CUSTOM;
  type(kTyping, "AT+ATM\r");
  EXPECT_EQ(take(kTyping), "OK\r\n\r\nOK\r\n");
  EXPECT_EQ(world.store.mode[kTyping], SERVICE_MODE_TYPE_CLI);

  world.store.mode[kTyping] = SERVICE_MODE_TYPE_CUSTOM;
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(run("AT+ATM"), "OK\r\nAT_ERROR\r\n");
}

}  // namespace

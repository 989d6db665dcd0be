// A Tarnelka module as a host sees it on UART0: the start-up bytes, the
// system-command dialogue every LoRa module shares, the bootloader's flag
// and version record, and input that must not harm it (overlong lines, a
// garbage flash).
#include <gtest/gtest.h>

#include "tarnelka.h"

namespace {

using fdn::collect;
using fdn::exchange;
using fdn::printable;
using systest::Device;
using systest::DeviceOptions;
using systest::ms;
using systest::sec;
using systest::World;
using tk::Bytes;
using tk::kUart0;
using tk::kUart1;

std::string answer(const std::string& command, const std::string& value) {
  return command + "=" + value + "\r\nOK\r\n";
}

TEST(StartUp, ABlankModulePrintsItsStartUpLinesOnUart0Only) {
  World w;
  Device& d = tk::start(w, "m", {}, false);
  ASSERT_TRUE(d.wait_output(kUart0, "Current Work Mode: LoRaWAN.\r\n", sec(3)));
  EXPECT_TRUE(fdn::same_text(d.output(kUart0), tk::startup_text()));
  EXPECT_TRUE(d.quiet(kUart1, ms(500)));
  EXPECT_EQ(d.output(kUart1), "");
  EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));
}

// The dialogue of the system commands, each reply as documented for this
// image (its version text, chip name and command-set version).
TEST(Dialogue, TheSystemCommandsAnswerAsOnEveryLoRaModule) {
  World w;
  Device& d = tk::start(w, "m");
  const std::pair<std::string, std::string> dialogue[] = {
      {"AT", "OK\r\n"},
      {"AT+VER=?", answer("AT+VER", "QIV_4.2.4_Tarnelka")},
      {"AT+FIRMWAREVER=?", answer("AT+FIRMWAREVER", "QIV_4.2.4_Tarnelka")},
      {"AT+HWMODEL=?", answer("AT+HWMODEL", "Tarnelka")},
      {"AT+HWID=?", answer("AT+HWID", "apollo3")},
      {"AT+APIVER=?", answer("AT+APIVER", "3.2.11")},
      {"AT+CLIVER=?", answer("AT+CLIVER", "1.5.15")},
      {"AT+SN=?", answer("AT+SN", "")},
      {"AT+ALIAS=?", answer("AT+ALIAS", "")},
      {"AT+ALIAS=tank7", "OK\r\n"},
      {"AT+ALIAS=?", answer("AT+ALIAS", "tank7")},
      {"AT+DEBUG=?", answer("AT+DEBUG", "0")},
      {"AT+BAUD=?", answer("AT+BAUD", "115200")},
      {"AT+LPM=?", answer("AT+LPM", "0")},
      {"AT+LPMLVL=?", answer("AT+LPMLVL", "1")},
      {"AT+ATM=?", "AT_PARAM_ERROR\r\n"},
      {"AT+BOOT=1", "AT_PARAM_ERROR\r\n"},
      {"AT+BOOT=?", "AT_PARAM_ERROR\r\n"},
      {"AT+NOSUCH", "AT_COMMAND_NOT_FOUND\r\n"},
      {"AT+NWM=?", answer("AT+NWM", "1")},
      {"AT+BAND=?", answer("AT+BAND", "4")},
  };
  for (const auto& [line, reply] : dialogue) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(exchange(d, kUart0, line + "\r\n", reply));
  }
  EXPECT_EQ(tk::slice(d.flash(), tk::kRecordAddr + tk::rec::alias, 6),
            (Bytes{'t', 'a', 'n', 'k', '7', 0}));
}

// "AT+BOOT" leaves 0xAA at the flag byte, the rest of the flag page as it
// was, and restarts into the bootloader, which takes the module over.
TEST(Bootloader, ATBootLeavesTheFlagByteAndResets) {
  Bytes flash = tk::erased_flash();
  for (size_t i = 0; i < tk::kPageSize; ++i) {
    flash[tk::kBootFlagAddr + i] = static_cast<uint8_t>(0x11 + 7 * i);
  }
  World w;
  Device& d = tk::start(w, "m", tk::with_flash(flash));
  d.write(kUart0, "AT+BOOT\r\n");
  w.run_for(sec(2));
  Bytes after = d.flash();
  EXPECT_EQ(after[tk::kBootFlagAddr], 0xAA);
  for (size_t i = 1; i < tk::kPageSize; ++i) {
    ASSERT_EQ(after[tk::kBootFlagAddr + i], static_cast<uint8_t>(0x11 + 7 * i)) << "byte " << i;
  }
  // No reply word: the module restarted, into the bootloader.
  EXPECT_EQ(d.take(kUart0), "");
  EXPECT_NE(d.log().find("bootloader"), std::string::npos) << d.log();
}

// Data and then the escape typed on UART1 (in custom mode) run in that
// port's receive task: the escape recogniser, the ring, the UART event and
// the developer trace for the data (the task's deepest path), the
// page-buffered flag write and the reset for the escape. It fits the task's
// declared stack, which the kernel measures and guards: an overflow would
// stop the core at the overflow hook's breakpoint instead.
TEST(Bootloader, TheEscapeOnACustomModePortEntersTheBootloaderWithinItsTaskStack) {
  World w;
  Device& d = tk::start(w, "m");
  d.write(kUart1, "custom data\r\n");
  w.run_for(ms(100));
  d.write(kUart1, "AT+BOOT\r");
  w.run_for(sec(2));
  EXPECT_EQ(d.flash()[tk::kBootFlagAddr], 0xAA);
  EXPECT_NE(d.log().find("bootloader"), std::string::npos) << d.log();
  EXPECT_EQ(d.log().find("breakpoint"), std::string::npos) << d.log();
}

TEST(Bootloader, ATBootverPrintsTheVersionRecord) {
  const std::string full(32, 'V');  // 32 bytes without a terminating NUL
  struct Case {
    std::string stored;
    std::string printed;
  };
  const Case cases[] = {{"TARNELKA_BOOT_1.2", "TARNELKA_BOOT_1.2"}, {full, full}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    Bytes flash = tk::erased_flash();
    std::fill(flash.begin() + tk::kBootVersionAddr, flash.begin() + tk::kBootVersionAddr + 32, 0);
    std::copy(c.stored.begin(), c.stored.end(), flash.begin() + tk::kBootVersionAddr);
    World w;
    Device& d = tk::start(w, "m", tk::with_flash(flash));
    EXPECT_TRUE(exchange(d, kUart0, "AT+BOOTVER=?\r\n", answer("AT+BOOTVER", c.printed)));
  }
}

// The battery reading of this board: pad 13 through its divider,
// 0.21 + 2.02 x (raw / 1024 x 2.0 x 1.3 x 2.5 / 1.5) at the default 10 bits
// against the internal 2.0 V reference. The simulated converter is ideal:
// raw = mV x 1023 / 2000, to the nearest step. The supply voltage has no
// channel on this chip: its reading is refused.
TEST(Battery, ATBatReadsPad13ThroughTheBoardsFormula) {
  for (uint32_t mv : {1001u, 1500u, 400u}) {
    SCOPED_TRACE(std::to_string(mv) + " mV");
    World w;
    DeviceOptions o;
    o.adcs = {{"PAD13", mv}};
    Device& d = tk::start(w, "m", o);
    d.write(kUart0, "AT+BAT=?\r\n");
    std::string reply = collect(d, kUart0);
    ASSERT_EQ(reply.rfind("AT+BAT=", 0), 0u) << printable(reply);
    ASSERT_NE(reply.find("\r\nOK\r\n"), std::string::npos) << printable(reply);
    const double raw = static_cast<double>((mv * 1023 + 1000) / 2000);
    const double want = 0.21 + 2.02 * (raw / 1024 * 2.0 * 1.3 * 2.5 / 1.5);
    EXPECT_NEAR(std::stod(reply.substr(7)), want, 1e-4) << printable(reply);
    EXPECT_TRUE(exchange(d, kUart0, "AT+SYSV=?\r\n", "AT_ERROR\r\n"));
  }
}

// A line longer than the line buffer is refused as a whole, and the port
// answers the next line.
TEST(BadInput, AnOverlongLineIsRefusedAndTheNextOneAnswered) {
  World w;
  Device& d = tk::start(w, "m");
  // Sent in pieces with pauses, so that the receive path keeps every byte.
  std::string line = "AT+ALIAS=" + std::string(3000, 'x');
  for (size_t at = 0; at < line.size(); at += 500) {
    d.write(kUart0, line.substr(at, 500));
    w.run_for(ms(100));
  }
  EXPECT_TRUE(exchange(d, kUart0, "\r\n", "AT_PARAM_ERROR\r\n", sec(1)));
  EXPECT_TRUE(exchange(d, kUart0, "AT+ALIAS=?\r\n", answer("AT+ALIAS", "")));
}

// Garbage in the record and factory pages and in the MAC block: the module
// starts with its defaults and answers.
TEST(BadInput, AGarbageFlashStartsWithTheDefaults) {
  Bytes flash = tk::erased_flash();
  uint32_t x = 12345;
  for (uint32_t a = tk::kRecordAddr; a < tk::kFactoryAddr + tk::kPageSize; ++a) {
    x = x * 1103515245u + 12345u;
    flash[a] = static_cast<uint8_t>(x >> 16);
  }
  World w;
  Device& d = tk::start(w, "m", tk::with_flash(flash), false);
  ASSERT_TRUE(d.wait_output(kUart0, "Current Work Mode: LoRaWAN.\r\n", sec(3)));
  EXPECT_TRUE(fdn::same_text(d.output(kUart0), tk::startup_text()));
  EXPECT_TRUE(exchange(d, kUart0, "AT+BAUD=?\r\n", answer("AT+BAUD", "115200")));
  EXPECT_TRUE(exchange(d, kUart0, "AT+DEVEUI=?\r\n", answer("AT+DEVEUI", "0000000000000000")));
  EXPECT_TRUE(d.alive());
}

}  // namespace

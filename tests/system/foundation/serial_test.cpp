// The serial ports as a host sees them: the port lock with its password line,
// the two escapes a port in custom mode listens for ("AT+BOOT" and
// "AT+ATM"), and replies that reach every port in AT mode.
#include <gtest/gtest.h>

#include "foundation.h"

namespace {

using namespace fdn;
using systest::Device;
using systest::ms;
using systest::World;

const Image& img = kBrisolaT;

Bytes lock_states(const Device& d) {
  Bytes r = record_of(d.flash());
  if (r.empty()) return {};
  return Bytes(r.begin() + rec::lock_status, r.begin() + rec::lock_status + 3);
}

TEST(PortLock, APasswordLineStandsInForTheInterpreterUntilTheRightPassword) {
  World w;
  Device& d = start_module(w, "m", img);
  // The lock takes the typing port too, so its own reply reaches no port.
  ASSERT_TRUE(exchange(d, kAtPort, "AT+LOCK\r\n", ""));
  EXPECT_EQ(lock_states(d), (Bytes{kLocked, kLocked, kLocked}));

  // Typed characters are echoed (at most nine), a line end gives "\r\n" and
  // the line's answer; an empty line answers nothing.
  struct Step {
    const char* typed;
    const char* shown;
  } locked[] = {
      {"AT\r\n", "AT\r\nCOMMAND_LOCKED\r\n"},
      {"at+lock=?\r\n", "at+lock=?\r\nAT+LOCK=locked\r\nOK\r\n"},
      {"12345678\r\n", "12345678\r\nCOMMAND_LOCKED\r\n"},
      {"5820376199\r\n", "582037619\r\nCOMMAND_LOCKED\r\n"},
      {"582037612\r\n", "582037612\r\nCOMMAND_LOCKED\r\n"},
      {"5820376\r\n", "5820376\r\nCOMMAND_LOCKED\r\n"},
      {"\r\n", ""},
      {"\x08\x7f\r\n", ""},
  };
  for (const Step& s : locked) EXPECT_TRUE(exchange(d, kAtPort, s.typed, s.shown));
  EXPECT_EQ(lock_states(d), (Bytes{kLocked, kLocked, kLocked}));

  // Still locked after a power cycle: the start-up prints nothing.
  d.restart();
  EXPECT_TRUE(d.quiet(kAtPort, ms(500)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "AT\r\nCOMMAND_LOCKED\r\n"));

  // Backspace and DEL take back a character without echo; the right password
  // unlocks silently.
  EXPECT_TRUE(exchange(d, kAtPort,
                       "58203X\x08"
                       "7Y\x7f"
                       "61\r\n",
                       "58203X7Y61\r\n"));
  EXPECT_EQ(lock_states(d), (Bytes{kOpen, kOpen, kOpen}));
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\n"));
  d.restart();
  EXPECT_TRUE(d.wait_output(kAtPort, startup_text(img)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+LOCK=?\r\n", "AT+LOCK=unlocked\r\nOK\r\n"));
}

// A record that holds a lock (and its own password) locks the port from the
// start: nothing is printed, the password line answers.
TEST(PortLock, APortLockedInTheStoredRecordStartsLocked) {
  Bytes r = default_record(img, true);
  r[rec::lock_status + 2] = kLocked;
  std::fill(r.begin() + rec::passwd, r.begin() + rec::passwd + 9, 0);
  r[rec::passwd] = 'x';
  r[rec::passwd + 1] = 'y';
  systest::DeviceOptions o;
  o.initial_flash = flash_with_record(r);
  World w;
  Device& d = start_module(w, "m", img, o, false);
  EXPECT_TRUE(d.quiet(kAtPort, ms(500)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "AT\r\nCOMMAND_LOCKED\r\n"));
  EXPECT_TRUE(exchange(d, kAtPort, "58203761\r\n", "58203761\r\nCOMMAND_LOCKED\r\n"));
  EXPECT_TRUE(exchange(d, kAtPort, "xy\r\n", "xy\r\n"));
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\n"));
  EXPECT_EQ(lock_states(d), (Bytes{kOpen, kOpen, kOpen}));
}

TEST(PortLock, TheLineIsSharedByEveryLockedPortAndUnlocksThemAll) {
  World w;
  Device& d = start_module(w, "m", img);
  ASSERT_TRUE(exchange(d, kAtPort, "AT+PWORD=Zq 9\r\n", "OK\r\n"));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+PWORD=?\r\n", "AT+PWORD=Zq 9\r\nOK\r\n"));
  // UART1 into AT mode with its escape.
  d.write(kUart1, "AT+ATM\r");
  ASSERT_TRUE(d.wait_output(kUart1, "OK\r\n"));
  collect(d, kAtPort);

  d.write(kAtPort, "AT+LOCK\r\n");
  EXPECT_EQ(collect(d, kAtPort), "");
  EXPECT_EQ(collect(d, kUart1), "");
  // The old password no longer opens anything.
  EXPECT_TRUE(exchange(d, kAtPort, "58203761\r\n", "58203761\r\nCOMMAND_LOCKED\r\n"));
  EXPECT_EQ(collect(d, kUart1), "");

  // Half the password on each port; each echo goes to its own port.
  d.write(kUart1, "Zq");
  EXPECT_EQ(collect(d, kUart1), "Zq");
  EXPECT_TRUE(exchange(d, kAtPort, " 9\r\n", " 9\r\n"));
  EXPECT_EQ(collect(d, kUart1), "");

  // Both ports are open again, and a reply reaches both.
  d.write(kUart1, "AT+VER=?\r\n");
  std::string ver = "AT+VER=" + version_text(img) + "\r\nOK\r\n";
  EXPECT_EQ(collect(d, kUart1), ver);
  EXPECT_EQ(collect(d, kAtPort), ver);
}

// What a port in custom mode (UART1 in the defaults) does with the escapes.
enum class Effect { kNone, kAtMode, kBoot };

struct EscapeCase {
  const char* typed;
  Effect effect;
  // For kAtMode: the answer to the escape. The bytes that came in custom
  // mode, the escape's own among them, are never run as commands: whatever
  // precedes the escape on its line, it is answered as the command it spells.
  const char* editor_reply;
};

Bytes flash_with_boot_flag() {
  Bytes f = erased_flash();
  put32(f, at(kBootFlagAddr), kBootFlagRunApp);
  return f;
}

TEST(CustomModeEscape, OnlyTheTwoEscapeLinesActOnAPortInCustomMode) {
  const EscapeCase cases[] = {
      {"AT\r\n", Effect::kNone, nullptr},        {"AT+ATMX\r\n", Effect::kNone, nullptr},
      {"AT+ATM \r\n", Effect::kNone, nullptr},   {"AT+BOOTX\r\n", Effect::kNone, nullptr},
      {"AT+BOT\r\n", Effect::kNone, nullptr},    {"AT+ATM\n", Effect::kAtMode, "OK"},
      {"at+atm\r", Effect::kAtMode, "OK"},       {"AAT+ATM\r", Effect::kAtMode, "OK"},
      {"AT+AT+ATM\r", Effect::kNone, nullptr},   {"AT+AAT+ATM\r", Effect::kAtMode, "OK"},
      {"at+boot\r", Effect::kBoot, nullptr},     {"AT+BOOT\n", Effect::kBoot, nullptr},
      {"x+AT+BOOT\r\n", Effect::kBoot, nullptr},
  };
  for (const EscapeCase& c : cases) {
    SCOPED_TRACE(printable(c.typed));
    World w;
    systest::DeviceOptions o;
    o.initial_flash = flash_with_boot_flag();
    Device& d = start_module(w, "m", img, o);
    d.write(kUart1, c.typed);
    switch (c.effect) {
      case Effect::kNone:
        EXPECT_EQ(collect(d, kUart1), "");
        EXPECT_EQ(collect(d, kAtPort), "");
        // Still in custom mode: a command line gets no answer.
        d.write(kUart1, "AT\r\n");
        EXPECT_EQ(collect(d, kUart1), "");
        EXPECT_EQ(collect(d, kAtPort), "");
        break;
      case Effect::kAtMode: {
        std::string reply = std::string(c.editor_reply) + "\r\n";
        // The line editor starts on the port ("\r\n" to the ports already in
        // AT mode), then the escape is answered on every AT port.
        EXPECT_EQ(collect(d, kUart1), reply);
        EXPECT_EQ(collect(d, kAtPort), "\r\n" + reply);
        EXPECT_EQ(record_of(d.flash()).at(rec::mode_type + 1), kModeCli);
        // AT mode survives a power cycle.
        d.restart();
        EXPECT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
        collect(d, kUart1);
        EXPECT_TRUE(exchange(d, kUart1, "AT\r\n", "OK\r\n"));
        break;
      }
      case Effect::kBoot: {
        // The boot flag is spoiled and the chip resets.
        EXPECT_TRUE(d.wait_output(kAtPort, startup_text(img)));
        Bytes f = d.flash();
        Bytes want(kPageSize, 0xFF);
        put32(want, 0, 0x5A5A5AFF);
        EXPECT_TRUE(
            Bytes(f.begin() + at(kBootFlagAddr), f.begin() + at(kBootFlagAddr) + kPageSize) == want)
            << "boot flag word " << std::hex << get32(f, at(kBootFlagAddr));
        EXPECT_EQ(collect(d, kUart1), "");
        break;
      }
    }
  }
}

// Bytes that came in custom mode belong to the user program: lines typed
// before the escape, a command hidden in binary data among them, are never
// run as AT commands once the port is in AT mode; the lines after it are.
TEST(CustomModeEscape, BytesFromCustomModeAreNeverRunAsCommands) {
  const std::string before[] = {
      "AT\r\n",
      "aT+aTmX\r",
      std::string("\x01\x02"
                  "ATR\r\n"
                  "\xff") +
          '\0' + "AT+ALIAS=binary\r\n",
  };
  for (const std::string& typed : before) {
    SCOPED_TRACE(printable(typed));
    World w;
    Device& d = start_module(w, "m", img);
    d.write(kUart1, typed);
    EXPECT_EQ(collect(d, kUart1), "");
    EXPECT_EQ(collect(d, kAtPort), "");
    d.write(kUart1, "AT+ATM\r\n");
    EXPECT_EQ(collect(d, kUart1), "OK\r\n");
    EXPECT_EQ(collect(d, kAtPort), "\r\nOK\r\n");
    EXPECT_TRUE(exchange(d, kUart1, "AT+ALIAS=?\r\n", "AT+ALIAS=\r\nOK\r\n"));
  }
}

TEST(CustomModeEscape, APortInAtModeLeavesTheEscapeToTheInterpreter) {
  World w;
  Device& d = start_module(w, "m", img);
  // Only the command's own reply: the port's line editor is not restarted.
  EXPECT_TRUE(exchange(d, kAtPort, "AT+ATM\r\n", "OK\r\n"));
  EXPECT_TRUE(exchange(d, kAtPort, "AAT+ATM\r\n", "AT_COMMAND_NOT_FOUND\r\n"));
}

// The boot escape arrives while the module is writing its record: the record
// write is finished first, then the boot flag is spoiled and the chip resets.
TEST(CustomModeEscape, BootEscapeDuringARecordWriteLosesNeitherWrite) {
  // Delays after the line that stores the record; the page erase and the
  // programming of the page take tens of milliseconds.
  int during_write = 0;
  for (int delay_ms : {0, 2, 10, 21, 25, 35, 45, 60}) {
    SCOPED_TRACE("escape " + std::to_string(delay_ms) + " ms after the setting");
    World w;
    systest::DeviceOptions o;
    o.initial_flash = flash_with_boot_flag();
    Device& d = start_module(w, "m", img, o);
    ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS=before\r\n", "OK\r\n"));
    size_t from = d.output(kAtPort).size();
    d.write(kAtPort, "AT+ALIAS=racing\r\n");
    w.run_for(ms(2) + ms(delay_ms));  // the line takes about 1.5 ms to arrive
    d.write(kUart1, "AT+BOOT\r");
    EXPECT_TRUE(d.wait_output(kAtPort, startup_text(img)));
    // When the escape came during the write, the chip resets as soon as the
    // write has ended, before the setting's reply.
    std::string before_reset = d.output(kAtPort).substr(from);
    before_reset = before_reset.substr(0, before_reset.find(startup_text(img)));
    if (before_reset.empty()) {
      ++during_write;
    } else {
      EXPECT_EQ(before_reset, "OK\r\n");
    }
    Bytes f = d.flash();
    EXPECT_EQ(get32(f, at(kBootFlagAddr)), 0x5A5A5AFFu);
    EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\n", "AT+ALIAS=racing\r\nOK\r\n"));
  }
  // Most of the delays put the escape inside the write.
  EXPECT_GE(during_write, 4);
}

}  // namespace

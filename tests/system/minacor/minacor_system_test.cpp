// The Minacor image (nRF52840) driven as a user drives it: AT lines on UART0
// and on the USB serial port, what it stores in its flash file, restarts,
// the USB host opening, closing and stalling the port, bad input on every
// port, and the entry into the DFU bootloader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation.h"

namespace {

using fdn::Bytes;
using fdn::collect;
using fdn::exchange;
using systest::Device;
using systest::DeviceOptions;
using systest::ms;
using systest::sec;
using systest::World;

constexpr int kUart0 = 0, kUart1 = 1, kUsb = 3;

// The settings record of the nRF52840 images (BLE layout) and its fields.
constexpr size_t kRecordAddr = 0xD0000;
constexpr size_t kRecordSize = 196;
namespace rec {
constexpr size_t mode_type = 32, lock_status = 38, baudrate = 44, passwd = 49, sn = 64, alias = 82;
}
// Ports in the record's per-port fields.
constexpr size_t kPortUart0 = 0, kPortUart1 = 1, kPortUsb0 = 3, kPortBle0 = 4, kPortNfc = 5;

const std::string kBanner =
    "Velnatronic Minacor\r\n" + std::string(54, '-') + "\r\nVersion: QIV_4.2.4_Minacor\r\n";
const std::string kLineEnds = "\r\n\r\n\r\n\r\n";  // one per port in AT mode

DeviceOptions minacor(std::vector<std::string> extra = {}) {
  DeviceOptions o;
  o.image = "minacor";
  o.ports = {kUart0, kUart1, kUsb};
  o.extra_args = std::move(extra);
  return o;
}

Bytes record_of(const Bytes& flash) {
  return Bytes(flash.begin() + kRecordAddr, flash.begin() + kRecordAddr + kRecordSize);
}

std::string answer(const std::string& command, const std::string& value) {
  return command + "=" + value + "\r\nOK\r\n";
}

// Starts a module on a fresh flash file and lets its start-up end; a
// setting stored then makes later starts read it from flash.
Device& started(World& w, std::vector<std::string> extra = {}) {
  Device& d = w.start("m", minacor(std::move(extra)));
  w.run_for(sec(1));
  d.take(kUart0);
  d.take(kUsb);
  return d;
}

TEST(StartUp, OneLineEndPerAtPortAndTheBannerOnTheUsbPort) {
  World w;
  Device& d = w.start("m", minacor());
  // A fresh module stores its defaults first, which takes longer than the
  // host needs to open the USB port: the port sees the whole start.
  EXPECT_EQ(collect(d, kUart0, sec(2)), kLineEnds);
  EXPECT_EQ(d.take(kUsb), kLineEnds + kBanner);
  Bytes r = record_of(d.flash());
  EXPECT_EQ(r[rec::mode_type + kPortUart0], 0);
  EXPECT_EQ(r[rec::mode_type + kPortUart1], 1);  // UART1 starts in custom mode
  EXPECT_EQ(r[rec::mode_type + kPortUsb0], 0);
  EXPECT_EQ(r[rec::mode_type + kPortBle0], 0);
  EXPECT_EQ(r[rec::mode_type + kPortNfc], 0);
  EXPECT_EQ(fdn::get32(r, rec::baudrate), 115200u);

  // With the settings stored the start is over before the host has opened
  // the port again: the USB port sees nothing of it.
  d.restart();
  EXPECT_EQ(collect(d, kUart0, sec(2)), kLineEnds);
  EXPECT_EQ(d.take(kUsb), "");
}

// The BLE serial port comes up in AT mode after every start, whatever was
// stored for it.
TEST(StartUp, TheBleSerialPortIsBackInAtModeAfterARestart) {
  World w;
  Device& d = started(w);
  d.kill();
  Bytes f = d.flash();
  f[kRecordAddr + rec::mode_type + kPortBle0] = 1;
  DeviceOptions o = minacor();
  o.initial_flash = f;
  o.flash_file = w.dir() + "/m2.flash";
  Device& d2 = w.start("m2", o);
  EXPECT_EQ(collect(d2, kUart0, sec(2)), kLineEnds);
  EXPECT_EQ(record_of(d2.flash())[rec::mode_type + kPortBle0], 0);
}

struct Step {
  std::string typed;
  std::string reply;
};

std::vector<Step> shared_dialog() {
  return {
      {"AT", "OK\r\n"},
      {"AT+VER=?", answer("AT+VER", "QIV_4.2.4_Minacor")},
      {"AT+FIRMWAREVER=?", answer("AT+FIRMWAREVER", "QIV_4.2.4_Minacor")},
      {"AT+HWMODEL=?", answer("AT+HWMODEL", "Minacor")},
      {"AT+CLIVER=?", answer("AT+CLIVER", "1.5.15")},
      {"AT+APIVER=?", answer("AT+APIVER", "3.2.11")},
      {"AT+HWID=?", answer("AT+HWID", "nrf52840")},
      // The version record lies outside the flash the image may read.
      {"AT+BOOTVER=?", "AT_ERROR\r\n"},
      {"AT+SN=?", answer("AT+SN", "")},
      {"AT+FSN=SNM0042", "OK\r\n"},
      {"AT+SN=?", answer("AT+SN", "SNM0042")},
      {"AT+FSN=SNM0042", "AT_ERROR\r\n"},
      {"AT+ALIAS=my minacor", "OK\r\n"},
      {"AT+ALIAS=?", answer("AT+ALIAS", "my minacor")},
      {"AT+DEBUG=1", "OK\r\n"},
      {"AT+DEBUG=?", answer("AT+DEBUG", "1")},
      {"AT+DEBUG=2", "AT_PARAM_ERROR\r\n"},
      {"AT+DEBUG=0", "OK\r\n"},
      {"AT+LPMLVL=2", "OK\r\n"},
      {"AT+LPMLVL=?", answer("AT+LPMLVL", "2")},
      {"AT+LPM=?", answer("AT+LPM", "0")},
      {"AT+PWORD=k3y", "OK\r\n"},
      {"AT+PWORD=?", answer("AT+PWORD", "k3y")},
      {"AT+PWORD=123456789", "AT_PARAM_ERROR\r\n"},
      {"AT+LOCK=?", answer("AT+LOCK", "unlocked")},
      {"AT+BAUD=0", "AT_PARAM_ERROR\r\n"},
      {"AT+BAUD=?", answer("AT+BAUD", "115200")},
      {"AT+SLEEP=0", "AT_PARAM_ERROR\r\n"},
      {"AT+SLEEP=100", "OK\r\n"},
      {"ATE", "OK\r\n"},
      {"ATE", "ATE\n\rOK\r\n"},
      {"ATZ=1", "AT_PARAM_ERROR\r\n"},
      {"AT+FACTORY", "OK\r\n"},
  };
}

TEST(Dialog, Uart0AndTheUsbPortAnswerTheSharedDialog) {
  for (int port : {kUart0, kUsb}) {
    SCOPED_TRACE(port);
    World w;
    Device& d = started(w);
    for (const Step& s : shared_dialog()) {
      SCOPED_TRACE(s.typed);
      EXPECT_TRUE(exchange(d, port, s.typed + "\r\n", s.reply));
    }
    Bytes f = d.flash();
    Bytes r = record_of(f);
    EXPECT_EQ(std::string(r.begin() + rec::sn, r.begin() + rec::sn + 8),
              std::string("SNM0042\0", 8));
    EXPECT_EQ(std::string(r.begin() + rec::alias, r.begin() + rec::alias + 11),
              std::string("my minacor\0", 11));
    EXPECT_EQ(std::string(r.begin() + rec::passwd, r.begin() + rec::passwd + 4),
              std::string("k3y\0", 4));
    // The factory copy is the record page.
    EXPECT_TRUE(std::equal(f.begin() + 0xAF000, f.begin() + 0xB0000, f.begin() + kRecordAddr));
    // "ATR" brings back the defaults, which AT+FACTORY has just taken from
    // the record, and restarts the module.
    ASSERT_TRUE(exchange(d, port, "AT+ALIAS=changed\r\n", "OK\r\n"));
    d.take(kUart0);
    EXPECT_TRUE(exchange(d, port, "ATR\r\n", port == kUart0 ? kLineEnds : "", sec(2)));
    if (port == kUsb) {
      EXPECT_EQ(d.take(kUart0), kLineEnds);
    }
    EXPECT_TRUE(exchange(d, kUart0, "AT+ALIAS=?\r\n", answer("AT+ALIAS", "my minacor")));
  }
}

// The lock covers every port; the password typed on any of them opens them
// all, and a wrong one is refused where it was typed.
TEST(Lock, ThePasswordOnOnePortUnlocksEveryPort) {
  World w;
  Device& d = started(w);
  ASSERT_TRUE(exchange(d, kUart0, "AT+PWORD=k3y\r\n", "OK\r\n"));
  d.take(kUsb);
  EXPECT_TRUE(exchange(d, kUart0, "AT+LOCK\r\n", "", sec(2)));
  Bytes r = record_of(d.flash());
  for (size_t p : {kPortUart0, kPortUsb0, kPortBle0, kPortNfc}) {
    EXPECT_EQ(r[rec::lock_status + p], 1) << p;
  }
  EXPECT_TRUE(exchange(d, kUsb, "AT\r", "AT\r\nCOMMAND_LOCKED\r\n"));
  EXPECT_TRUE(exchange(d, kUsb, "AT+LOCK=?\r", "AT+LOCK=?\r\nAT+LOCK=locked\r\nOK\r\n"));
  EXPECT_TRUE(exchange(d, kUart0, "AT\r", "AT\r\nCOMMAND_LOCKED\r\n"));
  EXPECT_TRUE(exchange(d, kUsb, "k3y\r", "k3y\r\n"));
  EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n", sec(1)));
  d.take(kUsb);
  EXPECT_TRUE(exchange(d, kUsb, "AT\r\n", "OK\r\n"));
  r = record_of(d.flash());
  for (size_t p : {kPortUart0, kPortUsb0}) {
    EXPECT_EQ(r[rec::lock_status + p], 0) << p;
  }
}

TEST(Restart, AtzOnTheUsbPortRestartsWithoutAReplyAndKeepsTheSettings) {
  World w;
  Device& d = started(w);
  ASSERT_TRUE(exchange(d, kUsb, "AT+ALIAS=kept\r\n", "OK\r\n"));
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUsb, "ATZ\r\n", "", ms(500)));
  EXPECT_EQ(collect(d, kUart0, sec(1)), kLineEnds);
  EXPECT_TRUE(exchange(d, kUsb, "AT+ALIAS=?\r\n", answer("AT+ALIAS", "kept")));
}

TEST(Usb, AHostThatNeverOpensThePortLeavesTheModuleAnsweringOnUart0) {
  World w;
  Device& d = started(w, {"--usb-host", "closed", "--usb-event", "5s=open"});
  EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));
  EXPECT_EQ(d.take(kUsb), "");
  w.run_until(sec(5) + ms(100));
  EXPECT_TRUE(exchange(d, kUsb, "AT+HWMODEL=?\r\n", answer("AT+HWMODEL", "Minacor")));
}

TEST(Usb, RepliesLeaveInPacketsOfAtMost64Bytes) {
  World w;
  Device& d = started(w);
  size_t from = d.chunks(kUsb).size();
  d.write(kUsb, "AT?\r\n");
  w.run_for(sec(3));
  const auto& chunks = d.chunks(kUsb);
  ASSERT_GT(chunks.size(), from + 10);
  size_t largest = 0;
  for (size_t i = from; i < chunks.size(); ++i) largest = std::max(largest, chunks[i].bytes.size());
  EXPECT_LE(largest, 64u);
  EXPECT_NE(d.take(kUsb).find("AT+HWMODEL"), std::string::npos);
}

// Closing the port ends the waits for the host: a reply on UART0 is not held
// by the USB port, and the port works again once the host reopens it.
TEST(Usb, AClosedPortHoldsNothingAndReopenedItAnswersAgain) {
  World w;
  Device& d = started(w, {"--usb-event", "2s=close", "--usb-event", "4s=open"});
  w.run_until(sec(2) + ms(100));
  EXPECT_TRUE(exchange(d, kUart0, "AT+VER=?\r\n", answer("AT+VER", "QIV_4.2.4_Minacor"), ms(50)));
  EXPECT_EQ(d.take(kUsb), "");
  w.run_until(sec(4) + ms(100));
  EXPECT_TRUE(exchange(d, kUsb, "AT\r\n", "OK\r\n"));
}

// A host that keeps the port open but stops reading: each write to the port
// gives up after the serial layer's timeout (10 s), so the module goes on
// answering on UART0 instead of waiting for the host for ever. The reply
// word and its line end are two writes.
TEST(Usb, AStalledHostDelaysTheModuleByTheWriteTimeoutOnly) {
  World w;
  Device& d = started(w, {"--usb-event", "2s=stall", "--usb-event", "60s=read"});
  w.run_until(sec(2) + ms(100));
  systest::time_us typed = w.now();
  d.write(kUart0, "AT\r\n");
  ASSERT_TRUE(d.wait_output(kUart0, "OK\r\n", sec(50)));
  EXPECT_GE(w.now() - typed, sec(10));
  EXPECT_LT(w.now() - typed, sec(21));
  // Once the host reads again the port answers at once.
  w.run_until(sec(60) + ms(100));
  d.take(kUsb);
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUsb, "AT\r\n", "OK\r\n"));
}

// The RTC2 counter wraps after 2^24 ticks (512 s); a timed sleep after that
// still lasts its time.
TEST(Rtc, ASleepAfterTheCounterWrapLastsItsTime) {
  World w;
  Device& d = started(w);
  w.run_until(sec(600));
  systest::time_us typed = w.now();
  d.write(kUart0, "AT+SLEEP=2000\r\n");
  ASSERT_TRUE(d.wait_line(kUart0, "OK", sec(10)));
  EXPECT_GE(w.now() - typed, sec(2));
  EXPECT_LT(w.now() - typed, sec(2) + ms(500));
  EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));
}

// With the low-power mode on the module sleeps whenever it has nothing to
// do; bytes from the USB host wake it, while UART0 is closed in the sleep
// and loses what comes.
TEST(Sleep, TheUsbPortWakesTheModuleAndUart0IsClosedWhileItSleeps) {
  World w;
  Device& d = started(w);
  ASSERT_TRUE(exchange(d, kUsb, "AT+LPM=1\r\n", "OK\r\n"));
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "AT+VER=?\r\n", ""));
  EXPECT_TRUE(exchange(d, kUsb, "AT+LPM=?\r\n", answer("AT+LPM", "1")));
  EXPECT_TRUE(exchange(d, kUsb, "AT+LPM=0\r\n", "OK\r\n"));
  d.take(kUart0);
  EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));
}

// The USB device is suspended while the module sleeps and woken with it:
// with the host attached, a sleep's reply and the next command's still come
// on the USB port; bytes the host sends during a sleep bring the bus back,
// end the sleep and are all answered. (The sleep command ends at its CR: a
// byte after it would end the sleep at once.)
TEST(Sleep, TheUsbPortAnswersAfterASleepWithTheHostAttached) {
  World w;
  Device& d = started(w);
  systest::time_us typed = w.now();
  d.write(kUsb, "AT+SLEEP=2000\r");
  ASSERT_TRUE(d.wait_output(kUsb, "OK\r\n", sec(10)));
  EXPECT_GE(w.now() - typed, sec(2));
  EXPECT_TRUE(exchange(d, kUsb, "AT+HWMODEL=?\r\n", answer("AT+HWMODEL", "Minacor")));

  d.write(kUsb, "AT+SLEEP=60000\r");
  w.run_for(sec(1));
  EXPECT_EQ(d.take(kUsb), "");
  d.write(kUsb, "AT+SN=?\r\n");
  EXPECT_TRUE(d.wait_output(kUsb, "OK\r\n" + answer("AT+SN", ""), sec(10)));
}

// A sleep typed as a terminal types it, CR LF, lasts its time: the LF is
// the rest of the line end, not a byte that ends the sleep.
TEST(Sleep, ASleepTypedWithCrLfOnTheUsbPortLastsItsTime) {
  World w;
  Device& d = started(w);
  systest::time_us typed = w.now();
  d.write(kUsb, "AT+SLEEP=2000\r\n");
  ASSERT_TRUE(d.wait_output(kUsb, "OK\r\n", sec(10)));
  EXPECT_GE(w.now() - typed, sec(2));
  EXPECT_TRUE(exchange(d, kUsb, "AT+HWMODEL=?\r\n", answer("AT+HWMODEL", "Minacor")));
}

// Lines no command takes, bytes no line is made of and an overlong line get
// their error words on UART0 and the USB port and change nothing stored;
// UART1, in custom mode, answers nothing until its escape puts it in AT mode.
TEST(BadInput, EveryPortRefusesWhatNoCommandTakes) {
  const std::vector<Step> bad = {
      {"AT=1", "AT_PARAM_ERROR\r\n"},
      {"AT+VER", "AT_PARAM_ERROR\r\n"},
      {"AT+HWID=1", "AT_PARAM_ERROR\r\n"},
      {"AT+NOSUCH", "AT_COMMAND_NOT_FOUND\r\n"},
      {"AT+BLEMAC=C0112233445", "AT_PARAM_ERROR\r\n"},
      {"AT+ALIAS=" + std::string(17, 'a'), "AT_PARAM_ERROR\r\n"},
      {"AT+SLEEP=-1", "AT_PARAM_ERROR\r\n"},
      {"AT+BAUD=12x", "AT_PARAM_ERROR\r\n"},
      {"AT+" + std::string(3000, 'X'), "AT_PARAM_ERROR\r\n"},
      {std::string("\x01\x02\xfe\xff", 4), "AT_COMMAND_NOT_FOUND\r\n"},
  };
  World w;
  Device& d = started(w);
  Bytes before = record_of(d.flash());
  for (int port : {kUart0, kUsb}) {
    for (const Step& s : bad) {
      SCOPED_TRACE(std::to_string(port) + " " + s.typed.substr(0, 20));
      EXPECT_TRUE(exchange(d, port, s.typed + "\r\n", s.reply));
      d.take(port == kUart0 ? kUsb : kUart0);  // the reply reaches every AT port
    }
    EXPECT_TRUE(exchange(d, port, "AT\r\n", "OK\r\n"));
    d.take(port == kUart0 ? kUsb : kUart0);
  }
  d.take(kUart0);
  d.take(kUsb);
  EXPECT_EQ(record_of(d.flash()), before);

  EXPECT_TRUE(exchange(d, kUart1, "AT\r\nAT+NOSUCH\r\n\x01\xff\r\n", ""));
  EXPECT_EQ(d.take(kUart0), "");
  // The escape puts the port in AT mode and is answered; the lines that
  // came in custom mode belong to the user program and are never run.
  EXPECT_TRUE(exchange(d, kUart1, "at+atm\r\n", "OK\r\n", sec(1)));
  EXPECT_EQ(record_of(d.flash())[rec::mode_type + kPortUart1], 0);
  EXPECT_TRUE(exchange(d, kUart1, "AT+NOSUCH\r\nAT\r\n", "AT_COMMAND_NOT_FOUND\r\nOK\r\n", sec(1)));
}

// The battery divider on P0.05 (AIN3) and the supply (VDD), read by the
// 10-bit converter over its 3.6 V full scale.
TEST(Battery, TheDividerAndTheSupplyAreReadAgainstTheFullScale) {
  struct Case {
    uint32_t p005_mv, vdd_mv;
    const char* bat;
    const char* sysv;
  };
  // 1800 mV is code 512: 512 / 1024 x 3.6 x 5 / 3 = 3.0 V; 3200 mV is code
  // 910: 910 x 3.6 / 1024 = 3.199219 V.
  for (Case c : {Case{1800, 3200, "3.000000", "3.199219"}, Case{0, 0, "0.000000", "0.000000"}}) {
    World w;
    DeviceOptions o = minacor();
    o.adcs = {{"P0.05", c.p005_mv}, {"VDD", c.vdd_mv}};
    Device& d = w.start("m", o);
    w.run_for(sec(1));
    d.take(kUart0);
    EXPECT_TRUE(exchange(d, kUart0, "AT+BAT=?\r\n", answer("AT+BAT", c.bat)));
    EXPECT_TRUE(exchange(d, kUart0, "AT+SYSV=?\r\n", answer("AT+SYSV", c.sysv)));
  }
}

// "AT+BOOT" leaves the DFU bootloader's request in GPREGRET and resets: the
// bootloader takes the module and the application answers no more.
TEST(Dfu, AtBootHandsTheModuleToTheDfuBootloader) {
  World w;
  Device& d = started(w);
  EXPECT_TRUE(exchange(d, kUart0, "AT+BOOT\r\n", "", sec(1)));
  EXPECT_NE(d.log().find("DFU bootloader: update mode (GPREGRET 0xb1)"), std::string::npos)
      << d.log();
  EXPECT_TRUE(exchange(d, kUsb, "AT\r\n", "", sec(1)));
}

}  // namespace

namespace {

// A driver call that fails in the bring-up is fatal: the log names the
// place (file and line) and the module starts again 100 ms later; the
// second start runs through.
TEST(Failure, AFailedDriverCallLogsItsPlaceAndRestartsTheModule) {
  World w;
  Device& d = w.start("m", minacor({"--rtt-log", "1", "--fail-call", "nrfx_gpiote_init@1"}));
  w.run_for(sec(1));
  const std::string log = d.log();
  const size_t at = log.find("<error> ");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.find("main.cpp:", at), std::string::npos) << log;
  EXPECT_NE(log.find("nrfx_gpiote_init fails"), std::string::npos) << log;
  // Nothing was printed before the failure; the second start is whole.
  EXPECT_EQ(d.take(kUart0), kLineEnds);
  EXPECT_TRUE(exchange(d, kUart0, "AT\r\n", "OK\r\n"));
}

// The supply is lost at each flash operation of a settings write in turn
// (each copy's page erase, its programmed words, its trailer), with nothing
// of the operation done and at places inside it: the module starts again,
// answers, and holds the setting from before the write or the one after it,
// never the defaults.
TEST(Record, APowerCutDuringASettingsWriteLeavesTheOldOrTheNewSetting) {
  Bytes stored;
  {
    World w;
    Device& d = started(w);
    ASSERT_TRUE(exchange(d, kUart0, "AT+ALIAS=before\r\n", "OK\r\n"));
    stored = d.flash();
  }
  // Operation by operation until one past the write's last, which is no cut.
  int cuts = 0, old_held = 0, new_held = 0;
  uint64_t ops = 0;
  for (bool past = false; !past && ops < 400; ++ops) {
    for (int percent : {0, 10, 50, 90, 99}) {
      const uint64_t k = ops;
      const std::string cut = std::to_string(k) + ":" + std::to_string(percent);
      SCOPED_TRACE("supply lost at flash operation " + cut);
      World w;
      DeviceOptions o = minacor({"--flash-cut-after", cut});
      o.initial_flash = stored;
      Device& d = w.start("m", o);
      w.run_for(sec(1));
      d.take(kUart0);
      d.take(kUsb);
      d.write(kUart0, "AT+ALIAS=after\r\n");
      w.run_for(sec(2));
      if (d.log().find("flash: power cut") == std::string::npos) {
        past = true;
        d.take(kUart0);
        d.write(kUart0, "AT+ALIAS=?\r\n");
        EXPECT_EQ(collect(d, kUart0, sec(1)), answer("AT+ALIAS", "after"));
        break;
      }
      ++cuts;
      d.take(kUart0);
      d.write(kUart0, "AT+ALIAS=?\r\n");
      const std::string got = collect(d, kUart0, sec(1));
      EXPECT_TRUE(got == answer("AT+ALIAS", "before") || got == answer("AT+ALIAS", "after"))
          << fdn::printable(got);
      (got == answer("AT+ALIAS", "before") ? old_held : new_held)++;
    }
  }
  EXPECT_GT(old_held, 0);
  EXPECT_GT(new_held, 0);
  std::printf("Minacor settings write: %llu flash operations, %d cut points; old %d, new %d\n",
              static_cast<unsigned long long>(ops - 1), cuts, old_held, new_held);
}

}  // namespace

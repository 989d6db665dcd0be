// The system commands on a Brisola-T module, as a host sees them on the AT
// port: echo, restart, version and identity texts, serial number, alias,
// debug level, the factory copy, and the bootloader's version record and
// entry, with what each leaves in the flash file.
#include <gtest/gtest.h>

#include <regex>

#include "commands.h"
#include "stm32_appfile.h"

namespace {

using namespace fdn;
using cmd::answer;
using cmd::with_flash;
using cmd::word;
using systest::Device;
using systest::DeviceOptions;
using systest::ms;
using systest::World;

const Image& img = kBrisolaT;

uint8_t stored(const Device& d, size_t field) { return record_of(d.flash()).at(field); }

std::string stored_text(const Device& d, size_t field, size_t size) {
  Bytes r = record_of(d.flash());
  return std::string(r.begin() + static_cast<std::ptrdiff_t>(field),
                     r.begin() + static_cast<std::ptrdiff_t>(field + size));
}

TEST(Echo, ATETogglesTheEchoAndStoresIt) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  ASSERT_TRUE(exchange(d, kAtPort, "ATE\r\n", "OK\r\n"));
  EXPECT_EQ(stored(d, rec::echo), 1);
  // Each typed byte comes back, the line end as LF then CR.
  EXPECT_TRUE(
      exchange(d, kAtPort, "AT+VER=?\r\n", "AT+VER=?\n\r" + answer("AT+VER", version_text(img))));
  // Typed with the echo on, the line that turns it off is still shown.
  EXPECT_TRUE(exchange(d, kAtPort, "ATE\r\n", "ATE\n\rOK\r\n"));
  EXPECT_EQ(stored(d, rec::echo), 0);
  EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\n"));
}

TEST(Restart, ATZRestartsWithoutAReplyWordAndKeepsTheStore) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS=kept\r\n", "OK\r\n"));
  Bytes before = d.flash();
  // Nothing between the line and the start-up lines of the restarted module.
  EXPECT_TRUE(exchange(d, kAtPort, "ATZ\r\n", startup_text(img), ms(500)));
  EXPECT_TRUE(before == d.flash()) << cmd::flash_diff(before, d.flash());
  EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\n", answer("AT+ALIAS", "kept")));
}

// ATR restores the defaults of the module's own band, stores them and
// restarts, on either band strap: no reply word, then the start-up lines of
// the restarted module, which runs on the defaults from then on.
TEST(Restore, ATRStoresTheDefaultsOfEitherBandAndRestarts) {
  for (bool high_band : {true, false}) {
    SCOPED_TRACE(high_band ? "high band" : "low band");
    World w;
    DeviceOptions o = with_flash(flash_with_record(default_record(img, high_band)));
    o.pins = {{"PB12", high_band ? 1 : 0}};
    Device& d = start_module(w, "m", img, o);
    collect(d, kAtPort);
    ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS=keepme\r\n", "OK\r\n"));
    ASSERT_TRUE(exchange(d, kAtPort, "AT+PWORD=abc\r\n", "OK\r\n"));
    EXPECT_TRUE(exchange(d, kAtPort, "ATR\r\n", startup_text(img), ms(500)));
    const Bytes defaults = default_record(img, high_band);
    EXPECT_EQ(record_of(d.flash()), defaults) << record_diff(defaults, record_of(d.flash()));
    EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\nAT+PWORD=?\r\n",
                         answer("AT+ALIAS", "") + answer("AT+PWORD", "58203761")));
  }
}

// A restore the flash refuses part way is reported, and the module stays on
// the settings it has stored: in RAM (a later setter does not store
// half-restored defaults) and in flash, across a restart.
TEST(Restore, AFailedRestoreKeepsTheStoredSettings) {
  for (bool high_band : {true, false}) {
    for (int allowed : {0, 1, 2}) {
      SCOPED_TRACE(std::string(high_band ? "high band" : "low band") +
                   ", flash operations before the failure: " + std::to_string(allowed));
      Bytes record = default_record(img, high_band);
      std::copy_n("keepme", 6, record.begin() + rec::alias);
      std::fill_n(record.begin() + rec::passwd, 9, 0);
      std::copy_n("abc", 3, record.begin() + rec::passwd);
      World w;
      DeviceOptions o = with_flash(flash_with_record(record));
      o.pins = {{"PB12", high_band ? 1 : 0}};
      o.extra_args = {"--flash-fail-after", std::to_string(allowed)};
      Device& d = start_module(w, "m", img, o);
      collect(d, kAtPort);
      EXPECT_TRUE(exchange(d, kAtPort, "ATR\r\n", word("AT_ERROR")));
      EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\nAT+PWORD=?\r\n",
                           answer("AT+ALIAS", "keepme") + answer("AT+PWORD", "abc")));
      EXPECT_EQ(record_of(d.flash()), record);
      d.restart();
      ASSERT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
      collect(d, kAtPort);
      EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\nAT+PWORD=?\r\n",
                           answer("AT+ALIAS", "keepme") + answer("AT+PWORD", "abc")));
    }
  }
}

// The firmware version, API version and chip name are built in; the
// customised firmware version, model and command-set version are read from
// the stored record, which a module may carry from elsewhere.
TEST(Versions, BuiltInTextsAndStoredTextsAreAnsweredApart) {
  const std::string full(32, 'F');  // a stored text with no terminating NUL
  Bytes r = default_record(img, true);
  auto put_text = [&](size_t field, const std::string& text) {
    Bytes t = cmd::text_bytes(text, 32);
    std::copy(t.begin(), t.end(), r.begin() + static_cast<std::ptrdiff_t>(field));
  };
  put_text(rec::firmware_ver, full);
  put_text(rec::hwmodel, "Custom board 7");
  put_text(rec::cli_ver, "9.8.7");
  World w;
  Device& d = start_module(w, "m", img, with_flash(flash_with_record(r)));
  const std::pair<const char*, std::string> cases[] = {
      {"AT+VER", version_text(img)}, {"AT+FIRMWAREVER", full}, {"AT+HWMODEL", "Custom board 7"},
      {"AT+CLIVER", "9.8.7"},        {"AT+APIVER", "3.2.11"},  {"AT+HWID", "stm32wle5xx"},
  };
  for (const auto& [command, value] : cases) {
    SCOPED_TRACE(command);
    EXPECT_TRUE(exchange(d, kAtPort, std::string(command) + "=?\r\n", answer(command, value)));
  }
  // Build date (year, month, day) and time (hour, minute, second) of the
  // image, and the revision it was built from.
  d.write(kAtPort, "AT+BUILDTIME=?\r\n");
  std::string build = collect(d, kAtPort);
  EXPECT_TRUE(std::regex_match(
      build, std::regex("AT\\+BUILDTIME=20[0-9]{2}(0[1-9]|1[0-2])(0[1-9]|[12][0-9]|3[01])-"
                        "([01][0-9]|2[0-3])[0-5][0-9][0-5][0-9]\r\nOK\r\n")))
      << printable(build);
  d.write(kAtPort, "AT+REPOINFO=?\r\n");
  std::string repo = collect(d, kAtPort);
  EXPECT_TRUE(std::regex_match(repo, std::regex("AT\\+REPOINFO=[!-~]+\r\nOK\r\n")))
      << printable(repo);
}

TEST(SerialNumber, AProductionCommandWritesItOnceAndItIsReadBack) {
  const std::string sn = "AbC0123456789xyzQ9";  // 18 characters, the most
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+SN=?\r\n", answer("AT+SN", "")));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+FSN=" + sn + "\r\n", "OK\r\n"));
  EXPECT_EQ(stored_text(d, rec::sn, 18), sn);
  EXPECT_TRUE(exchange(d, kAtPort, "AT+SN=?\r\n", answer("AT+SN", sn)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+FSN=?\r\n", answer("AT+FSN", sn)));

  // Once written it stays, also after a restart.
  Bytes written = d.flash();
  EXPECT_TRUE(exchange(d, kAtPort, "AT+FSN=Other1\r\n", word("AT_ERROR")));
  d.restart();
  ASSERT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+FSN=Other1\r\n", word("AT_ERROR")));
  EXPECT_TRUE(written == d.flash()) << cmd::flash_diff(written, d.flash());
  EXPECT_TRUE(exchange(d, kAtPort, "AT+SN=?\r\n", answer("AT+SN", sn)));
}

// A stored serial number is printed byte by byte, zero bytes left out; any
// non-zero byte counts as a number already written.
TEST(SerialNumber, ZeroBytesInsideAStoredNumberPrintNothing) {
  Bytes r = default_record(img, true);
  const Bytes sn = {'A', 'B', 0, 0, 'C', 'D', 0, 'E'};
  std::copy(sn.begin(), sn.end(), r.begin() + rec::sn);
  World w;
  Device& d = start_module(w, "m", img, with_flash(flash_with_record(r)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+SN=?\r\n", answer("AT+SN", "ABCDE")));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+FSN=X\r\n", word("AT_ERROR")));
}

TEST(Alias, ReplacedAnyNumberOfTimesAndStoredZeroFilled) {
  const std::string longest = "Tank 7 (north)~!";  // 16 printable characters
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS=" + longest + "\r\n", "OK\r\n"));
  EXPECT_EQ(stored_text(d, rec::alias, 16), longest);
  EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\n", answer("AT+ALIAS", longest)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS= x\r\n", "OK\r\n"));
  EXPECT_EQ(stored_text(d, rec::alias, 16), std::string(" x") + std::string(14, '\0'));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\n", answer("AT+ALIAS", " x")));
}

TEST(Debug, TheLevelIsStoredAndAWrongArgumentCountIsAnError) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+DEBUG=?\r\n", answer("AT+DEBUG", "0")));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+DEBUG=1\r\n", "OK\r\n"));
  EXPECT_EQ(stored(d, rec::debug_level), 1);
  EXPECT_TRUE(exchange(d, kAtPort, "AT+DEBUG=?\r\n", answer("AT+DEBUG", "1")));
  for (const char* line : {"AT+DEBUG=0:0\r\n", "AT+DEBUG=1:2\r\n", "AT+DEBUG=0:1:0\r\n"}) {
    SCOPED_TRACE(printable(line));
    EXPECT_TRUE(exchange(d, kAtPort, line, word("AT_ERROR")));
  }
  EXPECT_EQ(stored(d, rec::debug_level), 1);
  d.restart();
  ASSERT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+DEBUG=?\r\n", answer("AT+DEBUG", "1")));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+DEBUG=0\r\n", "OK\r\n"));
  EXPECT_EQ(stored(d, rec::debug_level), 0);
}

// The record's whole page becomes the factory copy, in both of the factory
// copy's pages; no other byte of the flash changes.
TEST(Factory, CopiesTheRecordPageOverTheFactoryPage) {
  World w;
  Device& d = start_module(w, "m", img, with_flash(cmd::stored_defaults(img)));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS=factory made\r\n", "OK\r\n"));
  ASSERT_TRUE(exchange(d, kAtPort, "AT+PWORD=f4ct\r\n", "OK\r\n"));
  Bytes want = d.flash();
  cmd::put_bytes(want, kFactoryAddr, cmd::get_bytes(want, kRecordAddr, kPageSize));
  cmd::put_bytes(want, kFactoryAddr + kPageSize, cmd::get_bytes(want, kRecordAddr, kPageSize));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+FACTORY\r\n", "OK\r\n"));
  EXPECT_TRUE(want == d.flash()) << cmd::flash_diff(want, d.flash());
}

// A copy that the flash refuses part way is reported, and the record the
// module runs on is not touched by it.
TEST(Factory, AFailedStoreIsReportedAndLeavesTheRecordAlone) {
  Bytes flash = cmd::stored_defaults(img);
  put32(flash, at(kFactoryAddr), 0x12345678);  // an old factory page
  // Flash operations allowed before the failures start: none, the erase
  // only, the erase and the first programming steps.
  for (int allowed : {0, 1, 2, 10}) {
    SCOPED_TRACE("flash operations before the failure: " + std::to_string(allowed));
    World w;
    DeviceOptions o = with_flash(flash);
    o.extra_args = {"--flash-fail-after", std::to_string(allowed)};
    Device& d = start_module(w, "m", img, o);
    EXPECT_TRUE(exchange(d, kAtPort, "AT+FACTORY\r\n", word("AT_ERROR")));
    Bytes after = d.flash();
    Bytes want = after;  // everything but the factory copies' two pages as before
    cmd::put_bytes(want, kFlashBase, cmd::get_bytes(flash, kFlashBase, at(kFactoryAddr)));
    cmd::put_bytes(want, kFactoryAddr + 2 * kPageSize,
                   cmd::get_bytes(flash, kFactoryAddr + 2 * kPageSize,
                                  kFlashSize - at(kFactoryAddr) - 2 * kPageSize));
    EXPECT_TRUE(want == after) << cmd::flash_diff(want, after);
    if (allowed == 0) {
      EXPECT_TRUE(flash == after) << cmd::flash_diff(flash, after);
    }
    EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\n", answer("AT+ALIAS", "")));
  }
}

// What the module prints is the 32-byte record at 0x08005000 up to its
// first NUL, whatever it holds; the bytes after the record never show.
TEST(BootVersion, PrintsTheBootloadersRecordUpToItsFirstNul) {
  const std::string full = "QIV_BOOT_9.9_STM32WLE5CC_ABCDEFG";  // 32 characters
  ASSERT_EQ(full.size(), cmd::kBootVersionSize);
  struct Case {
    const char* what;
    Bytes record;
    std::string printed;
  } cases[] = {
      {"the bootloader's own record", cmd::text_bytes(cmd::kBootloaderVersion, 32),
       cmd::kBootloaderVersion},
      {"32 characters without a NUL", cmd::text_bytes(full, 32), full},
      {"a NUL after five characters", cmd::text_bytes("QIV_B\0OOT", 32), "QIV_B"},
      {"all NUL", Bytes(32, 0), ""},
      {"erased", Bytes(32, 0xFF), std::string(32, '\xFF')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes flash = cmd::stored_defaults(img);
    cmd::put_bytes(flash, cmd::kBootVersionAddr, c.record);
    // The bootloader's initial data follows the record.
    cmd::put_bytes(flash, cmd::kBootVersionAddr + 32, cmd::text_bytes("after", 8));
    World w;
    Device& d = start_module(w, "m", img, with_flash(flash));
    EXPECT_TRUE(exchange(d, kAtPort, "AT+BOOTVER=?\r\n", answer("AT+BOOTVER", c.printed)));
    EXPECT_TRUE(flash == d.flash()) << cmd::flash_diff(flash, d.flash());
  }
}

Bytes boot_page(const Bytes& flash) { return cmd::get_bytes(flash, kBootFlagAddr, kPageSize); }

// "AT+BOOT" spoils the first byte of the boot flag word, keeps the rest of
// the boot-flag page and resets without a reply word.
TEST(Bootloader, ATBootSpoilsTheBootFlagAndResets) {
  Bytes flash = cmd::stored_defaults(img);
  put32(flash, at(kBootFlagAddr), kBootFlagRunApp);
  put32(flash, at(cmd::kUpdateFlagAddr), cmd::kUpdateFlagDone);
  World w;
  Device& d = start_module(w, "m", img, with_flash(flash));
  // (Without a bootloader on this chip the reset starts the application.)
  EXPECT_TRUE(exchange(d, kAtPort, "AT+BOOT\r\n", startup_text(img), ms(500)));
  Bytes want = boot_page(flash);
  want[0] = 0xFF;
  Bytes after = d.flash();
  EXPECT_TRUE(boot_page(after) == want)
      << "boot flag word " << std::hex << get32(after, at(kBootFlagAddr)) << ", update flag word "
      << get32(after, at(cmd::kUpdateFlagAddr));
  // Only the boot-flag page changed.
  cmd::put_bytes(flash, kBootFlagAddr, want);
  EXPECT_TRUE(flash == after) << cmd::flash_diff(flash, after);
}

// The module as it ships: the bootloader at the start of flash starts the
// application; "AT+BOOT" brings the bootloader back for one reset; "at+run"
// returns to the application, which reads the version record that the
// bootloader keeps at 0x08005000.
TEST(Bootloader, ATBootHandsTheModuleToTheBootloaderForOneReset) {
  Bytes flash = cmd::stored_defaults(img);
  put32(flash, at(kBootFlagAddr), kBootFlagRunApp);
  std::vector<uint8_t> app = stm32sim::make_app_file(img.name);
  cmd::put_bytes(flash, cmd::kAppAreaAddr, app);
  World w;
  DeviceOptions o = with_flash(flash);
  o.image = "qiv-boot";
  o.ports = {kUart1, kAtPort};
  o.pins = {{"PB12", 1}};
  o.extra_args = {"--reset-image", "qiv-boot"};
  Device& d = w.start("module", o);
  ASSERT_TRUE(d.wait_output(kAtPort, startup_text(img)));

  EXPECT_TRUE(exchange(d, kAtPort, "AT+BOOT\r\n", "<BOOT MODE>\r\n", ms(500)));
  // The bootloader has set the flag back at once: the request lasts for one
  // reset.
  Bytes after = d.flash();
  EXPECT_EQ(get32(after, at(kBootFlagAddr)), kBootFlagRunApp);
  EXPECT_EQ(get32(after, at(cmd::kUpdateFlagAddr)), 0xFFFFFFFFu);
  EXPECT_TRUE(exchange(d, kAtPort, "at+run\r", "Stop Boot Mode\r\n" + startup_text(img), ms(500)));
  EXPECT_TRUE(
      exchange(d, kAtPort, "AT+BOOTVER=?\r\n", answer("AT+BOOTVER", cmd::kBootloaderVersion)));
}

}  // namespace

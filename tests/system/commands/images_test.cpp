// The four STM32WLE5 application images answer the same system, serial-port
// and sleep dialogs, each with its own version texts and model; the
// defaults the factory copy takes follow the band strap on the two Brisola
// modules only; each one goes to the bootloader and back.
#include <gtest/gtest.h>

#include "commands.h"
#include "stm32_appfile.h"

namespace {

using namespace fdn;
using cmd::answer;
using cmd::word;
using systest::Device;
using systest::DeviceOptions;
using systest::ms;
using systest::World;

struct Step {
  std::string typed;
  std::string reply;
};

std::vector<Step> shared_dialog(const Image& img) {
  const std::string sn = std::string("SN") + (img.band_strap ? "B" : "X") + "0042";
  return {
      {"AT", "OK\r\n"},
      {"AT+VER=?", answer("AT+VER", version_text(img))},
      {"AT+FIRMWAREVER=?", answer("AT+FIRMWAREVER", version_text(img))},
      {"AT+HWMODEL=?", answer("AT+HWMODEL", img.model)},
      {"AT+CLIVER=?", answer("AT+CLIVER", "1.5.15")},
      {"AT+APIVER=?", answer("AT+APIVER", "3.2.11")},
      {"AT+HWID=?", answer("AT+HWID", "stm32wle5xx")},
      {"AT+BOOTVER=?", answer("AT+BOOTVER", cmd::kBootloaderVersion)},
      {"AT+SN=?", answer("AT+SN", "")},
      {"AT+FSN=" + sn, "OK\r\n"},
      {"AT+SN=?", answer("AT+SN", sn)},
      {"AT+FSN=" + sn, word("AT_ERROR")},
      {"AT+ALIAS=my " + std::string(img.name), "OK\r\n"},
      {"AT+ALIAS=?", answer("AT+ALIAS", "my " + std::string(img.name))},
      {"AT+DEBUG=1", "OK\r\n"},
      {"AT+DEBUG=?", answer("AT+DEBUG", "1")},
      {"AT+DEBUG=1:2", word("AT_ERROR")},
      {"AT+DEBUG=2", word("AT_PARAM_ERROR")},
      {"AT+DEBUG=0", "OK\r\n"},
      {"AT+LPMLVL=2", "OK\r\n"},
      {"AT+LPMLVL=?", answer("AT+LPMLVL", "2")},
      {"AT+LPMLVL=1", "OK\r\n"},
      {"AT+LPM=?", answer("AT+LPM", "0")},
      {"AT+PWORD=k3y", "OK\r\n"},
      {"AT+PWORD=?", answer("AT+PWORD", "k3y")},
      {"AT+PWORD=123456789", word("AT_PARAM_ERROR")},
      {"AT+LOCK=?", answer("AT+LOCK", "unlocked")},
      {"AT+BAUD=230400", word("AT_PARAM_ERROR")},
      {"AT+BAUD=?", answer("AT+BAUD", "115200")},
      {"AT+SLEEP=0", word("AT_PARAM_ERROR")},
      {"AT+SLEEP=100", "OK\r\n"},
      {"ATE", "OK\r\n"},
      {"ATE", "ATE\n\rOK\r\n"},
      {"ATZ=1", word("AT_PARAM_ERROR")},
      {"ATZ=?", word("AT_PARAM_ERROR")},
      {"AT+FACTORY", "OK\r\n"},
  };
}

TEST(Images, EveryImageAnswersTheSharedDialogsWithItsOwnTexts) {
  for (const Image& img : kImages) {
    SCOPED_TRACE(img.name);
    Bytes flash = cmd::stored_defaults(img);
    cmd::put_bytes(flash, cmd::kBootVersionAddr, cmd::text_bytes(cmd::kBootloaderVersion, 32));
    World w;
    Device& d = start_module(w, "m", img, cmd::with_flash(flash));
    for (const Step& s : shared_dialog(img)) {
      SCOPED_TRACE(s.typed);
      EXPECT_TRUE(exchange(d, kAtPort, s.typed + "\r\n", s.reply));
    }
    // What the dialog stored, and the factory copy of it.
    Bytes want = default_record(img, true);
    auto put = [&](size_t field, const std::string& text, size_t size) {
      Bytes t = cmd::text_bytes(text, size);
      std::copy(t.begin(), t.end(), want.begin() + static_cast<std::ptrdiff_t>(field));
    };
    put(rec::sn, std::string("SN") + (img.band_strap ? "B" : "X") + "0042", 18);
    put(rec::alias, "my " + std::string(img.name), 16);
    put(rec::passwd, "k3y", 9);
    Bytes f = d.flash();
    EXPECT_EQ(record_of(f), want) << record_diff(want, record_of(f));
    EXPECT_TRUE(cmd::get_bytes(f, kFactoryAddr, kPageSize) ==
                cmd::get_bytes(f, kRecordAddr, kPageSize));
    // The module restarts for "ATZ" without a reply word.
    EXPECT_TRUE(exchange(d, kAtPort, "ATZ\r\n", startup_text(img), ms(500)));
  }
}

// A module that has never stored a setting runs on the defaults of its
// board; the first setting stores them, and the factory copy takes them as
// they are: on the Brisola modules the band strap chooses the band.
TEST(Images, TheFactoryCopyHoldsTheDefaultsTheStrapChose) {
  for (const Image& img : kImages) {
    for (int strap : {0, 1}) {
      SCOPED_TRACE(std::string(img.name) + " strap " + std::to_string(strap));
      World w;
      DeviceOptions o;
      o.pins = {{"PB12", strap}};
      Device& d = start_module(w, "m", img, o);
      ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS=strap\r\nAT+FACTORY\r\n", "OK\r\nOK\r\n"));
      Bytes want = default_record(img, strap == 1);
      Bytes alias = cmd::text_bytes("strap", 16);
      std::copy(alias.begin(), alias.end(), want.begin() + rec::alias);
      Bytes f = d.flash();
      EXPECT_EQ(factory_of(f), want) << record_diff(want, factory_of(f));
      EXPECT_EQ(record_of(f), want) << record_diff(want, record_of(f));
    }
  }
}

// Every image enters the bootloader with "AT+BOOT" and is started again by
// it with "at+run".
TEST(Images, EveryImageHandsItsModuleToTheBootloader) {
  for (const Image& img : kImages) {
    SCOPED_TRACE(img.name);
    Bytes flash = cmd::stored_defaults(img);
    put32(flash, at(kBootFlagAddr), kBootFlagRunApp);
    cmd::put_bytes(flash, cmd::kAppAreaAddr, stm32sim::make_app_file(img.name));
    World w;
    DeviceOptions o;
    o.image = "qiv-boot";
    o.ports = {kUart1, kAtPort};
    o.pins = {{"PB12", 1}};
    o.initial_flash = flash;
    o.extra_args = {"--reset-image", "qiv-boot"};
    Device& d = w.start("module", o);
    ASSERT_TRUE(d.wait_output(kAtPort, startup_text(img)));
    EXPECT_TRUE(exchange(d, kAtPort, "AT+BOOT\r\n", "<BOOT MODE>\r\n", ms(500)));
    EXPECT_TRUE(
        exchange(d, kAtPort, "at+run\r", "Stop Boot Mode\r\n" + startup_text(img), ms(500)));
    EXPECT_TRUE(
        exchange(d, kAtPort, "AT+BOOTVER=?\r\n", answer("AT+BOOTVER", cmd::kBootloaderVersion)));
  }
}

}  // namespace

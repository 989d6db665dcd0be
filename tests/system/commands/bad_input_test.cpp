// Every system, serial-port and sleep command given a form it does not take:
// missing, extra, overlong, non-decimal, negative and out-of-range
// arguments. Each line gets its error word (and nothing else: no restart, no
// bootloader, no sleep, no lock), and the flash file is the same byte for
// byte afterwards.
#include <gtest/gtest.h>

#include "commands.h"

namespace {

using namespace fdn;
using cmd::answer;
using systest::Device;
using systest::World;

constexpr const char* P = "AT_PARAM_ERROR";
constexpr const char* E = "AT_ERROR";

struct Case {
  std::string line;
  const char* reply;
};

std::vector<Case> bad_lines() {
  const std::string digits300(300, '7');
  std::vector<Case> cases = {
      // Commands used bare: a value is refused by the parser, "?" by the
      // command itself.
      {"AT=1", P},
      {"AT=?", P},
      {"AT+BOOT=1", P},
      {"AT+BOOT=?", P},
      {"AT+BOOT=?:?", P},
      {"ATZ=1", P},
      {"ATZ=?", P},
      {"ATZ 1", P},
      {"ATR=1", P},
      {"ATR=?", P},
      {"ATE=1", P},
      {"ATE=?", P},
      {"ATE=0", P},
      {"AT+ATM=1", P},
      {"AT+ATM=?", P},
      {"AT+FACTORY=1", P},
      {"AT+FACTORY=?", P},
      {"AT+LOCK=1", P},
      {"AT+LOCK=?:?", P},
      {"AT+LOCK=", P},
      // Queries: bare, a value, or more than the "?".
      {"AT+BOOTVER", P},
      {"AT+BOOTVER=1", P},
      {"AT+BOOTVER=?:1", P},
      {"AT+SN", P},
      {"AT+SN=1", P},
      {"AT+SN=?:?", P},
      {"AT+BAT", P},
      {"AT+BAT=3.3", P},
      {"AT+BAT=?:0", P},
      {"AT+SYSV", P},
      {"AT+SYSV=1", P},
      {"AT+BUILDTIME", P},
      {"AT+BUILDTIME=1", P},
      {"AT+REPOINFO", P},
      {"AT+REPOINFO=x", P},
      {"AT+VER", P},
      {"AT+VER=1", P},
      {"AT+VER=?:?", P},
      {"AT+FIRMWAREVER", P},
      {"AT+FIRMWAREVER=x", P},
      {"AT+CLIVER", P},
      {"AT+CLIVER=1.5.15", P},
      {"AT+APIVER", P},
      {"AT+APIVER=1", P},
      {"AT+HWMODEL", P},
      {"AT+HWMODEL=Brisola-T", P},
      {"AT+HWID", P},
      {"AT+HWID=1", P},
      {"AT+UID", P},
      {"AT+UID=0011AA22", P},
      {"AT+UID=?:?", P},
      // Debug level: 0 or 1; any argument count but one is an error.
      {"AT+DEBUG", E},
      {"AT+DEBUG=1:2", E},
      {"AT+DEBUG=0:0:0", E},
      {"AT+DEBUG=", P},
      {"AT+DEBUG=2", P},
      {"AT+DEBUG=-1", P},
      {"AT+DEBUG=x", P},
      {"AT+DEBUG=0x1", P},
      {"AT+DEBUG=00", P},
      {"AT+DEBUG=4294967297", P},
      {"AT+DEBUG=" + digits300, P},
      // Serial number: 1 to 18 letters and digits.
      {"AT+FSN", P},
      {"AT+FSN=", P},
      {"AT+FSN=" + std::string(19, 'A'), P},
      {"AT+FSN=AB-12", P},
      {"AT+FSN=AB 12", P},
      {"AT+FSN=AB:12", P},
      {"AT+FSN=-1", P},
      {"AT+FSN=caf\xC3\xA9", P},
      // Alias: 1 to 16 printable characters.
      {"AT+ALIAS", P},
      {"AT+ALIAS=", P},
      {"AT+ALIAS=" + std::string(17, 'a'), P},
      {"AT+ALIAS=a:b", P},
      {"AT+ALIAS=tab\there", P},
      {"AT+ALIAS=\x01", P},
      {"AT+ALIAS=\xFF", P},
      // Sleep: 1 to 4294967295 ms, written in decimal.
      {"AT+SLEEP=?", P},
      {"AT+SLEEP=", P},
      {"AT+SLEEP=:", P},
      {"AT+SLEEP=0", P},
      {"AT+SLEEP=-1", P},
      {"AT+SLEEP=-0", P},
      {"AT+SLEEP=1x", P},
      {"AT+SLEEP=0x10", P},
      {"AT+SLEEP=1.5", P},
      {"AT+SLEEP= 5", P},
      {"AT+SLEEP=100:1", P},
      {"AT+SLEEP=4294967296", P},
      {"AT+SLEEP=04294967295", P},
      {"AT+SLEEP=" + digits300, P},
      // Automatic sleep 0 or 1, its level 1 or 2.
      {"AT+LPM", P},
      {"AT+LPM=", P},
      {"AT+LPM=2", P},
      {"AT+LPM=-1", P},
      {"AT+LPM=on", P},
      {"AT+LPM=1:1", P},
      {"AT+LPM=0x1", P},
      {"AT+LPM=4294967297", P},
      {"AT+LPMLVL", P},
      {"AT+LPMLVL=", P},
      {"AT+LPMLVL=:", P},
      {"AT+LPMLVL=0", P},
      {"AT+LPMLVL=3", P},
      {"AT+LPMLVL=-2", P},
      {"AT+LPMLVL=1.5", P},
      {"AT+LPMLVL=2:2", P},
      {"AT+LPMLVL=" + digits300, P},
      // Password: 1 to 8 printable characters.
      {"AT+PWORD", P},
      {"AT+PWORD=", P},
      {"AT+PWORD=123456789", P},
      {"AT+PWORD=ab:cd", P},
      {"AT+PWORD=ab\x02", P},
      {"AT+PWORD=\xE9t\xE9", P},
      // Baud rate: a rate the ports can run at, in decimal.
      {"AT+BAUD", P},
      {"AT+BAUD=", P},
      {"AT+BAUD=:", P},
      {"AT+BAUD=0", P},
      {"AT+BAUD=1", P},
      {"AT+BAUD=-9600", P},
      {"AT+BAUD=9600x", P},
      {"AT+BAUD=0x2580", P},
      {"AT+BAUD=115201", P},
      {"AT+BAUD=230400", P},
      {"AT+BAUD=4294967295", P},
      {"AT+BAUD=99999999999", P},
      {"AT+BAUD=" + digits300, P},
      {"AT+BAUD=9600:8", P},
  };
  return cases;
}

// On every image; the two without the unique-id command do not know it.
TEST(BadInput, EveryRefusedLineAnswersItsErrorAndStoresNothing) {
  for (const Image& img : kImages) {
    SCOPED_TRACE(img.name);
    Bytes flash = cmd::stored_defaults(img);
    put32(flash, at(kBootFlagAddr), kBootFlagRunApp);
    cmd::put_bytes(flash, cmd::kBootVersionAddr, cmd::text_bytes(cmd::kBootloaderVersion, 32));
    World w;
    Device& d = start_module(w, "m", img, cmd::with_flash(flash));
    for (const Case& c : bad_lines()) {
      SCOPED_TRACE(printable(c.line.substr(0, 40)));
      bool unknown = !img.has_uid && c.line.rfind("AT+UID", 0) == 0;
      EXPECT_TRUE(exchange(d, kAtPort, c.line + "\r\n",
                           cmd::word(unknown ? "AT_COMMAND_NOT_FOUND" : c.reply)));
    }
    EXPECT_TRUE(flash == d.flash()) << cmd::flash_diff(flash, d.flash());
    EXPECT_EQ(d.flash_counters().erases, 0u);
    EXPECT_EQ(d.flash_counters().programs, 0u);
    // The settings in RAM are the stored ones.
    EXPECT_TRUE(exchange(d, kAtPort,
                         "AT+DEBUG=?\r\nAT+SN=?\r\nAT+ALIAS=?\r\nAT+LPM=?\r\nAT+LPMLVL=?\r\n"
                         "AT+PWORD=?\r\nAT+BAUD=?\r\nAT+LOCK=?\r\n",
                         answer("AT+DEBUG", "0") + answer("AT+SN", "") + answer("AT+ALIAS", "") +
                             answer("AT+LPM", "0") + answer("AT+LPMLVL", "1") +
                             answer("AT+PWORD", "58203761") + answer("AT+BAUD", "115200") +
                             answer("AT+LOCK", "unlocked")));
  }
}

}  // namespace

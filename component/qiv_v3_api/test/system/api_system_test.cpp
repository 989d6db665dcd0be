// A user program linked into a Brisola-T image (api-test-brisola-t) uses
// Serial, Serial1, String and api.system beside the AT interpreter.
#include <gtest/gtest.h>

#include "systest/world.h"

namespace {

using systest::Device;
using systest::sec;
using systest::World;

constexpr const char *kImage = "api-test-brisola-t";
constexpr int kAt = 2;      // UART2: Serial, AT mode
constexpr int kCustom = 1;  // UART1: Serial1, custom mode

// The line editor's start ("\r\n"), the program's lines, the work mode.
void expect_banner(Device &d) {
  EXPECT_TRUE(
      d.expect_lines(kAt, {"", "api test", "fw=QIV_4.2.4_Brisola-T cli=1.5.15 model=Brisola-T",
                           "api=3.2.11 chip=stm32wle5xx", "Current Work Mode: LoRaWAN."}));
}

TEST(ApiSystem, UserProgramBesideTheAtInterpreter) {
  World w;
  Device &d = w.start("a", kImage);
  expect_banner(d);

  // The custom-mode port belongs to the user program.
  d.write(kCustom, "hello\r\nsecond line\n");
  EXPECT_TRUE(d.expect_lines(kCustom, {"1:HELLO", "2:SECOND LINE"}));
  EXPECT_TRUE(d.quiet(kAt, sec(1))) << "the AT port saw nothing of it";

  // The AT port still runs commands, and its replies stay off UART1.
  d.write(kAt, "AT+VER=?\r\n");
  EXPECT_TRUE(d.expect_lines(kAt, {"AT+VER=QIV_4.2.4_Brisola-T", "OK"}));
  d.write(kAt, "AT+HWID=?\r\n");
  EXPECT_TRUE(d.expect_lines(kAt, {"AT+HWID=stm32wle5xx", "OK"}));
  EXPECT_EQ(d.unread(kCustom), "");

  // Once the program ends its loop, UART1 is no longer answered.
  d.write(kCustom, "stop\n");
  EXPECT_TRUE(d.expect_lines(kCustom, {"stopping"}));
  d.write(kCustom, "anyone?\n");
  EXPECT_TRUE(d.quiet(kCustom, sec(2)));
  d.write(kAt, "AT\r\n");
  EXPECT_TRUE(d.expect_lines(kAt, {"OK"}));

  // A restart runs the program again from setup().
  d.restart();
  expect_banner(d);
  d.write(kCustom, "again\n");
  EXPECT_TRUE(d.expect_lines(kCustom, {"1:AGAIN"}));
}

// The stored version texts are the record's: a changed record is reported
// by api.system after the next start.
TEST(ApiSystem, VersionTextsFollowTheRecord) {
  World w;
  Device &d = w.start("a", kImage);
  expect_banner(d);
  // A setting written makes the record exist in flash.
  d.write(kAt, "AT+ALIAS=x\r\n");
  ASSERT_TRUE(d.wait_line(kAt, "OK"));
  d.kill();

  // Patch the stored model text (offset 539 of the 660-byte record at
  // 0x0803F000) and keep the record valid for the boot load: as a record
  // of the single-copy layout, the second copy (the next page) erased.
  std::vector<uint8_t> flash = d.flash();
  ASSERT_GE(flash.size(), 0x40000u);
  const char model[] = "Custom-Model";
  for (size_t i = 0; i < 32; ++i) {
    flash[0x3F000 + 539 + i] = i < sizeof(model) - 1 ? static_cast<uint8_t>(model[i]) : 0;
  }
  std::fill(flash.begin() + 0x3F800, flash.begin() + 0x40000, 0xFF);
  systest::DeviceOptions o;
  o.image = kImage;
  o.flash_file = w.dir() + "/b.flash";
  o.initial_flash = flash;
  Device &b = w.start("b", o);
  EXPECT_TRUE(b.expect_lines(
      kAt, {"", "api test", "fw=QIV_4.2.4_Brisola-T cli=1.5.15 model=Custom-Model"}));
  b.write(kAt, "AT+HWMODEL=?\r\n");
  EXPECT_TRUE(b.wait_line(kAt, "AT+HWMODEL=Custom-Model"));
}

// The start-up's diagnostic banner is printed only at debug level 1, which
// takes effect at the next start.
TEST(ApiSystem, DebugLevelSwitchesTheBannerOn) {
  World w;
  systest::DeviceOptions o;
  o.image = kImage;
  o.pins = {{"PB12", 1}};  // a high-band module
  Device &d = w.start("a", o);
  expect_banner(d);
  d.write(kAt, "AT+DEBUG=?\r\n");
  EXPECT_TRUE(d.expect_lines(kAt, {"AT+DEBUG=0", "OK"}));
  d.write(kAt, "AT+DEBUG=1\r\n");
  EXPECT_TRUE(d.expect_lines(kAt, {"OK"}));

  d.restart();
  EXPECT_TRUE(
      d.expect_lines(kAt, {"", "api test", "fw=QIV_4.2.4_Brisola-T cli=1.5.15 model=Brisola-T",
                           "api=3.2.11 chip=stm32wle5xx"}));
  auto banner = d.next_line(kAt);
  ASSERT_TRUE(banner.has_value());
  EXPECT_EQ(banner->rfind("BrisolaT-H Version:QIV_4.2.4_Brisola-T ", 0), 0u) << *banner;
  EXPECT_TRUE(d.expect_lines(kAt, {"Current Work Mode: LoRaWAN."}));
  d.write(kAt, "AT+DEBUG=?\r\n");
  EXPECT_TRUE(d.expect_lines(kAt, {"AT+DEBUG=1", "OK"}));

  d.write(kAt, "AT+DEBUG=0\r\n");
  EXPECT_TRUE(d.expect_lines(kAt, {"OK"}));
  d.restart();
  expect_banner(d);
}

}  // namespace

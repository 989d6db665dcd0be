// Start-up decision and the command loop of boot mode.
#include <gtest/gtest.h>

#include "boot_test_util.h"

using namespace boottest;

namespace {

class BootCommand : public ::testing::Test {
 protected:
  void SetUp() override { fake::power_on(); }
};

// What the application area holds: nothing, a whole file, a whole file with
// another stack pointer, random bytes that begin with a good stack pointer,
// the first 20000 bytes of a file, a file with one byte changed.
enum class App { kNone, kFile, kSp, kRaw, kCut, kDamaged };

struct StartCase {
  const char* name;
  uint32_t boot;
  uint32_t update;
  App app;
  uint32_t sp;  // for App::kSp
  bool first_jumps;
  bool second_jumps;
  uint32_t boot_after;  // boot flag word after the first boot
};

TEST_F(BootCommand, StartUpDecision) {
  const uint32_t RUN = BOOT_FLAG_RUN_APP, REQ = UPDATE_FLAG_REQUESTED, DONE = UPDATE_FLAG_DONE;
  const StartCase cases[] = {
      {"both flags erased", kErased, kErased, App::kFile, 0, false, true, RUN},
      {"boot flag spoiled by AT+BOOT", 0x5A5A5AFF, kErased, App::kFile, 0, false, true, RUN},
      {"boot flag spoiled, update done", 0x5A5A5AFF, DONE, App::kFile, 0, false, true, RUN},
      {"run", RUN, kErased, App::kFile, 0, true, true, RUN},
      {"run, update done", RUN, DONE, App::kFile, 0, true, true, RUN},
      {"download pending", RUN, REQ, App::kFile, 0, false, false, RUN},
      {"download pending, flag spoiled", 0x5A5A5AFF, REQ, App::kFile, 0, false, false, RUN},
      {"erased application", RUN, kErased, App::kNone, 0, false, false, RUN},
      {"SP in flash", RUN, kErased, App::kSp, 0x08001000, false, false, RUN},
      {"SP past 128 KB of SRAM", RUN, kErased, App::kSp, 0x20020000, false, false, RUN},
      {"SP at the top of 128 KB", RUN, kErased, App::kSp, 0x2001FFFC, true, true, RUN},
      // A good stack pointer is not enough: the image must be whole.
      {"good SP, not an image", RUN, kErased, App::kRaw, 0, false, false, RUN},
      {"good SP, not an image, update done", RUN, DONE, App::kRaw, 0, false, false, RUN},
      {"image cut short, update done", RUN, DONE, App::kCut, 0, false, false, RUN},
      {"image with a changed byte", RUN, DONE, App::kDamaged, 0, false, false, RUN},
      {"image cut short, boot flag spoiled", 0x5A5A5AFF, DONE, App::kCut, 0, false, false, RUN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::power_on();
    set_flags(c.boot, c.update);
    uint32_t reset_vector = 0;
    if (c.app == App::kFile) {
      auto file = app_file("brisola-t");
      install(file);
      std::memcpy(&reset_vector, file.data() + 4, 4);
    } else if (c.app == App::kSp) {
      auto file = with_sp(app_file("brisola-t"), c.sp);
      install(file);
      std::memcpy(&reset_vector, file.data() + 4, 4);
    } else if (c.app == App::kRaw) {
      install(raw_image(kAppSize, 9));
    } else if (c.app == App::kCut) {
      auto file = app_file("brisola-e");
      file.resize(20000);
      install(file);
    } else if (c.app == App::kDamaged) {
      auto file = app_file("brisola-t");
      file[file.size() / 2] ^= 0x01;
      install(file);
    }
    uint32_t sp = fake::flash_word(APP_IMAGE_ADDR);

    fake::Boot first = fake::boot(5000);
    if (c.first_jumps) {
      ASSERT_EQ(first.outcome, fake::Outcome::Jump);
      EXPECT_EQ(first.jump_address, reset_vector);
      EXPECT_EQ(first.msp, sp);
      EXPECT_EQ(first.output, "");
    } else {
      EXPECT_EQ(first.outcome, fake::Outcome::OutOfTime);
      EXPECT_EQ(first.output, kBootBanner);
    }
    EXPECT_EQ(boot_flag(), c.boot_after);
    EXPECT_EQ(update_flag(), c.update);
    // The flags are rewritten (their copy, then the flag page) only when the
    // boot flag had to be restored.
    EXPECT_EQ(fake::chip().erase_log.size(), c.boot == RUN ? 0u : 2u);

    fake::Boot second = fake::boot(5000);
    EXPECT_EQ(second.outcome, c.second_jumps ? fake::Outcome::Jump : fake::Outcome::OutOfTime);
  }
}

TEST_F(BootCommand, FailedFlagRewriteStillEntersBootMode) {
  set_flags(0x5A5A5AFF, kErased);
  install(app_file("brisola-t"));
  fake::chip().fail_erase = true;
  fake::Boot b = fake::boot(5000);
  EXPECT_EQ(b.outcome, fake::Outcome::OutOfTime);
  EXPECT_EQ(b.output, kBootBanner);
  EXPECT_EQ(boot_flag(), 0x5A5A5AFFu);
}

struct LineCase {
  std::string input;
  std::string output;  // after the banner
};

TEST_F(BootCommand, CommandLines) {
  const std::string V = kVersionLine, NS = "AT not support.\r\n";
  const LineCase cases[] = {
      {"at+version\r", V},
      {"at+ver=?\r", V},
      {"at+bootver=?\r", V},
      {"AT+VERSION\r", V},
      {"at+VeRsIoN\r", V},
      {"AT+BOOTVER=?\n", V},
      {"at+version\r\n", V},
      {"at+bootstatus\r", "Boot Mode\r\n"},
      {"AT+BootStatus\r", "Boot Mode\r\n"},
      {"at+version\rat+bootstatus\r", V + "Boot Mode\r\n"},
      {"at+foo\r", NS},
      {"at+\r", NS},
      {"AT+\r", NS},
      {"at+versions\r", NS},
      {"at+version \r", NS},
      {"at+ver=\r", NS},
      {std::string("at+ver\0sion\r", 12), NS},
      {std::string("at+run\0\r", 8), NS},
      // Only "at+" and "AT+" open a command; anything else is ignored.
      {"At+version\r", ""},
      {"aT+run\r", ""},
      {"hello\r", ""},
      {"at\r", ""},
      {"\r\n\r\n", ""},
      {std::string("\x00\xff\x18\x01\x02\x04\r", 7), ""},
      {" at+version\r", ""},
      // Overlong lines never run, whatever their tail holds.
      {"at+" + std::string(70, 'x') + "\r", NS},
      {"at+bootstatus" + std::string(60, ' ') + "\r", NS},
      {std::string(70, 'x') + "at+reset\r", ""},
      {std::string(64, 'x') + "at+version\r", ""},
      {"at+" + std::string(61, 'x') + "at+reset\r", NS},
      {std::string(500, 'z') + "\rat+version\r", V},
      {"at+run\r", kStop + kJumpFailed},
      {"at+run\rat+version\r", kStop + kJumpFailed + V},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.input));
    fake::power_on();
    set_flags(BOOT_FLAG_RUN_APP, kErased);  // no application: boot mode
    fake::chip().ore = true;                // an overrun from before is cleared
    fake::Boot b = run_script(c.input, 10000);
    EXPECT_EQ(b.outcome, fake::Outcome::OutOfTime);
    EXPECT_EQ(b.output, kBootBanner + c.output);
    EXPECT_FALSE(fake::chip().ore);
    EXPECT_EQ(update_flag(), kErased);
  }
}

TEST_F(BootCommand, ResetRestartsWithoutAnswer) {
  set_flags(BOOT_FLAG_RUN_APP, kErased);
  fake::Boot b = run_script("at+bootstatus\rat+reset\rat+version\r");
  EXPECT_EQ(b.outcome, fake::Outcome::Reset);
  EXPECT_EQ(b.output, kBootBanner + "Boot Mode\r\n");
}

TEST_F(BootCommand, RunStartsAValidApplication) {
  for (const char* line : {"at+run\r", "AT+RUN\r", "at+RUN\r", "AT+rUn\r"}) {
    SCOPED_TRACE(line);
    fake::power_on();
    set_flags(0x5A5A5AFF, kErased);  // one boot in boot mode after AT+BOOT
    auto file = app_file("brisola-e");
    install(file);
    fake::Boot b = run_script(line);
    ASSERT_EQ(b.outcome, fake::Outcome::Jump);
    EXPECT_EQ(b.output, kBootBanner + kStop);
    uint32_t reset_vector;
    std::memcpy(&reset_vector, file.data() + 4, 4);
    EXPECT_EQ(b.jump_address, reset_vector);
    EXPECT_EQ(b.msp, stm32sim::kAppInitialSp);
    EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
    EXPECT_FALSE(fake::chip().tick_running);  // our tick stops before the jump
  }
}

TEST_F(BootCommand, RunRefusesWhileADownloadIsPending) {
  set_flags(BOOT_FLAG_RUN_APP, UPDATE_FLAG_REQUESTED);
  install(app_file("brisola-t"));
  for (int i = 0; i < 2; ++i) {  // every reset ends in boot mode
    fake::Boot b = run_script("at+run\r");
    EXPECT_EQ(b.outcome, fake::Outcome::OutOfTime);
    EXPECT_EQ(b.output, kBootBanner + kStop + kJumpFailed);
    EXPECT_EQ(update_flag(), UPDATE_FLAG_REQUESTED);
  }
}

TEST_F(BootCommand, UpdateWithoutSenderResetsAfter60Requests) {
  set_flags(0x5A5A5AFF, kErased);
  auto file = app_file("brisola-t");
  install(file);
  uint32_t start = fake::chip().hw_ms;
  fake::Boot b = run_script("at+update\r", 60000);
  ASSERT_EQ(b.outcome, fake::Outcome::Reset);
  EXPECT_EQ(b.output, kBootBanner + kUpgrade + std::string(60, 'C'));
  uint32_t took = fake::chip().hw_ms - start;
  EXPECT_GE(took, 30000u);
  EXPECT_LT(took, 31000u);
  EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
  EXPECT_EQ(update_flag(), UPDATE_FLAG_REQUESTED);
  // The old application was not touched, but stays off until a download
  // completes.
  EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR, file.size()), file);
  fake::Boot again = run_script("at+run\r");
  EXPECT_EQ(again.output, kBootBanner + kStop + kJumpFailed);
}

}  // namespace

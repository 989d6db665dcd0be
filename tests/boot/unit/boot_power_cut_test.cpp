// Power cuts during the writes of the boot and update flags: cut at every
// flash operation on the flag pages, and at a few places inside each (some
// cells erased, some bits programmed), the module still starts, and it
// starts the application only when no update it acknowledged is pending.
#include <gtest/gtest.h>

#include "boot_test_util.h"

using namespace boottest;
using ytest::Blocks;
using ytest::Sender;

namespace {

constexpr uint32_t kSpoiled = 0x5A5A5AFF;  // the boot flag after AT+BOOT
const uint32_t kFlagPage = GetPage(BOOT_FLAG_ADDR);

void cut_flag_writes_at(uint32_t op, uint32_t part) {
  fake::chip().cut_first_page = kFlagPage;
  fake::chip().cut_last_page = kFlagPage + 1;  // the page of the copy
  fake::chip().cut_at = op;
  fake::chip().cut_part = part;
  fake::chip().cut_ops = 0;
  fake::chip().cut_done = false;
}

void no_cut() { fake::chip().cut_at = 0; }

bool requested() { return boot_flags_read().update == UPDATE_FLAG_REQUESTED; }

// The application's AT+BOOT as it writes the flag page: a read-modify-write
// of the page (erase, then its programmed double word again with the boot
// flag's first byte erased), then a reset.
void application_requests_boot_mode() {
  const uint32_t boot = fake::flash_word(BOOT_FLAG_ADDR) | 0xFFu;
  const uint32_t update = fake::flash_word(UPDATE_FLAG_ADDR);
  FLASH_EraseInitTypeDef erase{FLASH_TYPEERASE_PAGES, kFlagPage, 1};
  uint32_t error = 0;
  HAL_FLASH_Unlock();
  ASSERT_EQ(HAL_FLASHEx_Erase(&erase, &error), HAL_OK);
  ASSERT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_DOUBLEWORD, BOOT_FLAG_ADDR,
                              (uint64_t{update} << 32) | boot),
            HAL_OK);
  HAL_FLASH_Lock();
}

struct SessionCase {
  const char* name;
  uint32_t boot, update;  // the flags at the start
  bool copy_written;      // false: a module flashed before the copy existed
  const char* script;     // typed in boot mode; "at+update" starts a download
};

class BootPowerCut : public ::testing::Test {
 protected:
  void start(const SessionCase& c) {
    fake::power_on();
    old_app_ = app_file("saffrond", 0x8000);
    new_app_ = app_file("brisola-t", 0x9000);
    install(old_app_);
    if (c.copy_written) {
      boot_flags_write(c.boot ^ 1u, c.update ^ 1u);  // an older copy, then the flags
      boot_flags_write(c.boot, c.update);
    }
    set_flags(c.boot, c.update);
    ASSERT_EQ(boot_flags_read().update, c.update);
  }

  // The session: the script typed in boot mode, and the new image sent when
  // it asks for a download.
  fake::Boot session(const SessionCase& c) {
    Sender sender({{"brisola-t.bin", new_app_}}, Blocks::k1K);
    SenderPeer sp(sender);
    fake::ThenPeer peer(c.script, &sp);
    fake::chip().peer = &peer;
    fake::Boot b = fake::boot(60000);
    fake::chip().peer = nullptr;
    return b;
  }

  std::vector<uint8_t> area(size_t size) { return flash_bytes(APP_IMAGE_ADDR, size); }
  bool holds_new() { return area(new_app_.size()) == new_app_; }
  bool holds_old() { return area(old_app_.size()) == old_app_; }

  std::vector<uint8_t> old_app_, new_app_;
};

TEST_F(BootPowerCut, FlagWritesOfAnUpdateSession) {
  const SessionCase cases[] = {
      {"update after AT+BOOT", kSpoiled, UPDATE_FLAG_DONE, true, "at+update\r"},
      {"update after AT+BOOT, no copy yet", kSpoiled, UPDATE_FLAG_DONE, false, "at+update\r"},
      {"update after AT+BOOT, never updated", kSpoiled, kErased, false, "at+update\r"},
      {"pending update, at+run typed", kSpoiled, UPDATE_FLAG_REQUESTED, true, "at+run\r"},
      {"pending update, at+run typed, no copy yet", kSpoiled, UPDATE_FLAG_REQUESTED, false,
       "at+run\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool downloads = std::string(c.script) == "at+update\r";

    // Without a cut: how many operations the session makes on the flag pages.
    start(c);
    cut_flag_writes_at(0, 0);
    fake::Boot clean = session(c);
    const uint32_t ops = fake::chip().cut_ops;
    EXPECT_EQ(clean.outcome, downloads ? fake::Outcome::Jump : fake::Outcome::OutOfTime);
    EXPECT_EQ(holds_new(), downloads);
    ASSERT_GT(ops, 0u);
    RecordProperty(std::string("flag operations: ") + c.name, static_cast<int>(ops));

    for (uint32_t op = 1; op <= ops; ++op) {
      for (uint32_t part = 0; part <= fake::kCutParts; ++part) {
        SCOPED_TRACE(testing::Message() << "cut at operation " << op << " of " << ops << ", part "
                                        << part << "/" << fake::kCutParts);
        start(c);
        cut_flag_writes_at(op, part);
        fake::Boot cut = session(c);
        ASSERT_TRUE(fake::chip().cut_done);
        ASSERT_EQ(cut.outcome, fake::Outcome::Reset);
        no_cut();
        // An update the module acknowledged (or found pending) must not be
        // dropped until the new image is whole.
        const bool acknowledged =
            c.update == UPDATE_FLAG_REQUESTED || cut.output.find(kUpgrade) != std::string::npos;
        const bool updated = holds_new();

        fake::Boot again = fake::boot(5000);
        if (again.outcome == fake::Outcome::Jump) {
          EXPECT_TRUE(updated || (!acknowledged && holds_old()));
          EXPECT_FALSE(requested());
          continue;
        }
        ASSERT_EQ(again.outcome, fake::Outcome::OutOfTime);
        EXPECT_EQ(again.output, kBootBanner);
        if (acknowledged && !updated) {
          EXPECT_TRUE(requested());
        }
        // The request stays across resets; boot mode alone lasts one.
        fake::Boot third = fake::boot(5000);
        if (requested()) {
          EXPECT_EQ(third.outcome, fake::Outcome::OutOfTime);
        } else {
          EXPECT_EQ(third.outcome, fake::Outcome::Jump);
          continue;
        }
        // And the module can still be updated.
        Sender good({{"brisola-t.bin", new_app_}}, Blocks::k1K);
        fake::Boot b = run_download(good, 60000);
        EXPECT_EQ(b.outcome, fake::Outcome::Jump);
        EXPECT_TRUE(holds_new());
        EXPECT_EQ(boot_flags_read().update, UPDATE_FLAG_DONE);
      }
    }
  }
}

TEST_F(BootPowerCut, ApplicationRequestsBootMode) {
  const SessionCase cases[] = {
      {"after an update", BOOT_FLAG_RUN_APP, UPDATE_FLAG_DONE, true, ""},
      {"after an update, no copy yet", BOOT_FLAG_RUN_APP, UPDATE_FLAG_DONE, false, ""},
      {"never updated", BOOT_FLAG_RUN_APP, kErased, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The write makes two operations: the page's erase and one double word.
    for (uint32_t op = 1; op <= 2; ++op) {
      for (uint32_t part = 0; part <= fake::kCutParts; ++part) {
        SCOPED_TRACE(testing::Message() << "cut at operation " << op << ", part " << part);
        start(c);
        cut_flag_writes_at(op, part);
        EXPECT_THROW(application_requests_boot_mode(), fake::Reset);
        no_cut();
        // The old flags start the application, the new ones boot mode once;
        // no update is ever requested by it.
        fake::Boot first = fake::boot(5000);
        EXPECT_FALSE(requested());
        if (first.outcome != fake::Outcome::Jump) {
          EXPECT_EQ(first.outcome, fake::Outcome::OutOfTime);
          EXPECT_EQ(first.output, kBootBanner);
          EXPECT_EQ(fake::boot(5000).outcome, fake::Outcome::Jump);
        }
        EXPECT_TRUE(holds_old());
      }
    }
    // Uncut, the request brings boot mode once.
    start(c);
    application_requests_boot_mode();
    EXPECT_EQ(fake::boot(5000).outcome, fake::Outcome::OutOfTime);
    EXPECT_EQ(fake::boot(5000).outcome, fake::Outcome::Jump);
  }
}

}  // namespace

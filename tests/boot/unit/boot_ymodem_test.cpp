// YMODEM download: whole transfers against a sender on the fake line, with
// the faults a serial line and its users produce.
#include <gtest/gtest.h>

#include "boot_test_util.h"

using namespace boottest;
using ytest::Blocks;
using ytest::Faults;
using ytest::File;
using ytest::Sender;
using ytest::State;

namespace {

class BootYmodem : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::power_on();
    // A module running an older application, put in boot mode by AT+BOOT.
    old_app_ = app_file("saffrond", 0x8000);
    install(old_app_);
    set_flags(0x5A5A5AFF, kErased);
    // The application's own storage above the area.
    fake::flash_poke_word(APP_IMAGE_END, 0xC0FFEE00);
  }

  // After a failed download: the application is never started and the
  // module can be updated again.
  void expect_recoverable(const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(update_flag(), UPDATE_FLAG_REQUESTED);
    for (int i = 0; i < 2; ++i) {
      fake::Boot b = run_script("at+run\r");
      EXPECT_EQ(b.outcome, fake::Outcome::OutOfTime);
      EXPECT_EQ(b.output, kBootBanner + kStop + kJumpFailed);
    }
    auto file = app_file("brisola-t");
    Sender good({{"brisola-t.bin", file}}, Blocks::k1K);
    fake::Boot b = run_download(good);
    ASSERT_EQ(b.outcome, fake::Outcome::Jump);
    EXPECT_EQ(good.state(), State::kDone);
    EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR, file.size()), file);
    EXPECT_EQ(update_flag(), UPDATE_FLAG_DONE);
    EXPECT_EQ(fake::flash_word(APP_IMAGE_END), 0xC0FFEE00u);
  }

  std::vector<uint8_t> old_app_;
};

struct GoodCase {
  const char* name;
  uint32_t size;
  Blocks blocks;
  Faults faults;
  const char* size_text = nullptr;
  std::string file_name = "brisola-t.bin";
};

TEST_F(BootYmodem, TransfersThatSucceed) {
  const GoodCase cases[] = {
      {"1 KB blocks", kAppSize, Blocks::k1K, {}},
      {"128-byte blocks, numbers wrap three times", kAppSize, Blocks::k128, {}},
      {"1 KB blocks with a 128-byte tail", kAppSize + 300, Blocks::kMixed, {}},
      {"exactly the area, 1 KB blocks", kAreaSize, Blocks::k1K, {}},
      {"exactly the area, 128-byte blocks", kAreaSize, Blocks::k128, {}},
      {"size written 0x31000", kAreaSize, Blocks::k1K, {}, "0x31000"},
      {"size written 196K", kAreaSize, Blocks::k1K, {}, "196K"},
      {"corrupted header and block", 20000, Blocks::k1K, {.corrupt_crc = {0, 5}}},
      {"lost ACK of the header", 20000, Blocks::k1K, {.lose_ack = {0}}},
      {"lost ACKs of data blocks", 20000, Blocks::k1K, {.lose_ack = {1, 7, 8}}},
      {"lost ACK of block number 0 (the 256th)", 40000, Blocks::k128, {.lose_ack = {256, 255}}},
      {"block out of order", 20000, Blocks::k1K, {.wrong_number = {{3, 9}}}},
      {"block number from the future", 20000, Blocks::k128, {.wrong_number = {{2, 0}}}},
      {"name longer than 64 characters", 20000, Blocks::k1K, {}, nullptr, std::string(100, 'n')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    auto file = app_file("brisola-t", c.size);
    File f{c.file_name, file};
    if (c.size_text) f.size_text = c.size_text;
    Sender sender({f}, c.blocks, c.faults);
    fake::Boot b = run_download(sender);
    ASSERT_EQ(b.outcome, fake::Outcome::Jump);
    EXPECT_EQ(sender.state(), State::kDone);
    EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR, file.size()), file);
    EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
    EXPECT_EQ(update_flag(), UPDATE_FLAG_DONE);
    uint32_t reset_vector;
    std::memcpy(&reset_vector, file.data() + 4, 4);
    EXPECT_EQ(b.jump_address, reset_vector);
    EXPECT_EQ(b.output.substr(0, kBootBanner.size() + kUpgrade.size()), kBootBanner + kUpgrade);
    EXPECT_EQ(fake::flash_word(APP_IMAGE_END), 0xC0FFEE00u);
    // A lost ACK makes the sender repeat a block: acknowledged, never a NAK.
    if (!c.faults.lose_ack.empty()) {
      EXPECT_EQ(sender.naks(), 0);
    }
    if (!c.faults.wrong_number.empty()) {
      EXPECT_GE(sender.naks(), 1);
    }
    // The next reset starts the new application straight away.
    EXPECT_EQ(fake::boot(5000).outcome, fake::Outcome::Jump);
  }
}

TEST_F(BootYmodem, BatchOfTwoFilesKeepsTheSecond) {
  auto first = app_file("brisola-t", 30000);
  auto second = app_file("quenlarlp-sip", 20000);
  Sender sender({{"a.bin", first}, {"b.bin", second}}, Blocks::k1K);
  fake::Boot b = run_download(sender);
  ASSERT_EQ(b.outcome, fake::Outcome::Jump);
  EXPECT_EQ(sender.state(), State::kDone);
  EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR, second.size()), second);
  // The area behind the second file is erased, not left from the first.
  EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR + 20480, 1024), std::vector<uint8_t>(1024, 0xFF));
}

struct BadCase {
  const char* name;
  File file;
  Blocks blocks;
  Faults faults;
  State sender_end;
  bool area_untouched;  // refused before the erase
  bool receiver_cancels;
};

std::vector<uint8_t> header_fields(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

TEST_F(BootYmodem, TransfersThatFailLeaveNothingStartable) {
  auto app = app_file("brisola-t", 20000);
  auto big = raw_image(kAreaSize + 2048, 3);
  const BadCase cases[] = {
      {"one byte too large",
       {"big.bin", raw_image(kAreaSize + 1, 1)},
       Blocks::k1K,
       {},
       State::kCancelled,
       true,
       true},
      {"absurd size",
       {"x.bin", app, "99999999999"},
       Blocks::k1K,
       {},
       State::kCancelled,
       true,
       true},
      {"size past 32 bits",
       {"x.bin", app, "4294967296"},
       Blocks::k1K,
       {},
       State::kCancelled,
       true,
       true},
      {"size 0x100000000",
       {"x.bin", app, "0x100000000"},
       Blocks::k1K,
       {},
       State::kCancelled,
       true,
       true},
      {"size 4096M", {"x.bin", app, "4096M"}, Blocks::k1K, {}, State::kCancelled, true, true},
      {"size 0", {"x.bin", app, "0"}, Blocks::k1K, {}, State::kCancelled, true, true},
      {"size not a number", {"x.bin", app, "abc"}, Blocks::k1K, {}, State::kCancelled, true, true},
      {"no size",
       {"x.bin", app, std::nullopt, header_fields(std::string("x.bin\0", 6))},
       Blocks::k1K,
       {},
       State::kCancelled,
       true,
       true},
      {"name without its end",
       {"x", app, std::nullopt, std::vector<uint8_t>(128, 'n')},
       Blocks::k1K,
       {},
       State::kCancelled,
       true,
       true},
      {"more data than the area",
       {"big.bin", big, "1000"},
       Blocks::k1K,
       {},
       State::kCancelled,
       false,
       true},
      {"sender cancels",
       {"a.bin", app},
       Blocks::k1K,
       {.cancel_after = 3},
       State::kAborted,
       false,
       false},
      {"user types 'a'",
       {"a.bin", app},
       Blocks::k1K,
       {.abort_after = 2},
       State::kAborted,
       false,
       true},
      {"sender stops halfway",
       {"a.bin", app},
       Blocks::k1K,
       {.silent_after = 5},
       State::kSilent,
       false,
       true},
      {"six bad packets in a row",
       {"a.bin", app},
       Blocks::k1K,
       {.bad_packets_after = 2},
       State::kCancelled,
       false,
       true},
      {"end of file before the announced size",
       {"a.bin", app},
       Blocks::k1K,
       {.eot_early = true},
       State::kCancelled,
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    uint64_t erases_before = fake::chip().erased_pages;
    Sender sender({c.file}, c.blocks, c.faults);
    fake::Boot b = run_download(sender, 120000);
    EXPECT_NE(b.outcome, fake::Outcome::Jump);
    EXPECT_EQ(sender.state(), c.sender_end);
    if (c.receiver_cancels) {
      EXPECT_NE(b.output.find("\x18\x18"), std::string::npos);
    }
    EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
    EXPECT_EQ(update_flag(), UPDATE_FLAG_REQUESTED);
    if (c.area_untouched) {
      // The two flag writes only (each the copy's page and the flag page).
      EXPECT_EQ(fake::chip().erased_pages, erases_before + 4);
      EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR, old_app_.size()), old_app_);
    }
    EXPECT_EQ(fake::flash_word(APP_IMAGE_END), 0xC0FFEE00u);
    expect_recoverable(c.name);
  }
}

TEST_F(BootYmodem, WholeTransferOfWhatIsNotAWholeImageIsNeverStarted) {
  // Each file arrives completely and is written, but is not an application
  // that can run: it is not marked as done, "Jump failed" is reported, and
  // no reset starts it.
  auto good = app_file("brisola-e");
  auto cut = good;
  cut.resize(20000);
  auto other_body = good;
  for (size_t i = 64; i < other_body.size(); ++i) other_body[i] = static_cast<uint8_t>(i * 7);
  auto too_long = good;
  const uint32_t area_plus = kAreaSize + 8;
  std::memcpy(too_long.data() + 12, &area_plus, 4);
  // A record that covers only itself, with the CRC-32 of those 20 bytes.
  auto short_length = good;
  const uint32_t tiny = 20, zero = 0;
  std::memcpy(short_length.data() + 12, &tiny, 4);
  std::memcpy(short_length.data() + 16, &zero, 4);
  const uint32_t crc20 = stm32sim::crc32(short_length.data(), 20);
  std::memcpy(short_length.data() + 16, &crc20, 4);
  const std::vector<uint8_t> vectors_only = {0x00, 0xFC, 0x00, 0x20, 0xC1, 0x61, 0x00, 0x08};
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
  } cases[] = {
      {"an application file cut short", cut},
      {"a good stack pointer and random bytes", raw_image(50000, 4)},
      {"an application's first bytes, then other bytes", other_body},
      {"a record naming more than the area", too_long},
      {"a record naming less than its own size", short_length},
      {"two vector words only", vectors_only},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Sender sender({{"app.bin", c.data}}, Blocks::k1K);
    fake::Boot b = run_download(sender, 40000);
    EXPECT_NE(b.outcome, fake::Outcome::Jump);
    EXPECT_EQ(sender.state(), State::kDone);
    EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR, c.data.size()), c.data);
    EXPECT_NE(b.output.find(kJumpFailed), std::string::npos);
    // Still in download mode afterwards: only requests for a new transfer.
    const size_t after = b.output.find(kJumpFailed) + kJumpFailed.size();
    EXPECT_EQ(b.output.substr(after).find_first_not_of('C'), std::string::npos)
        << ::testing::PrintToString(b.output.substr(after));
    EXPECT_EQ(boot_flag(), BOOT_FLAG_RUN_APP);
    EXPECT_EQ(update_flag(), UPDATE_FLAG_REQUESTED);
    expect_recoverable(c.name);
  }
}

TEST_F(BootYmodem, AnotherTransferRightAfterAFileThatIsNotAWholeImage) {
  auto cut = app_file("brisola-e");
  cut.resize(20000);
  auto good = app_file("quenlarlp-sip", 30000);
  Sender first({{"cut.bin", cut}}, Blocks::k1K);
  Sender second({{"good.bin", good}}, Blocks::k1K);
  TwoSenders both(first, second);
  fake::ThenPeer peer("at+update\r", &both);
  fake::chip().peer = &peer;
  fake::Boot b = fake::boot(60000);
  fake::chip().peer = nullptr;
  ASSERT_EQ(b.outcome, fake::Outcome::Jump);
  EXPECT_EQ(first.state(), State::kDone);
  EXPECT_EQ(second.state(), State::kDone);
  EXPECT_NE(b.output.find(kJumpFailed), std::string::npos);
  EXPECT_EQ(flash_bytes(APP_IMAGE_ADDR, good.size()), good);
  EXPECT_EQ(update_flag(), UPDATE_FLAG_DONE);
}

TEST_F(BootYmodem, FlashFailuresCancel) {
  for (bool corrupt : {false, true}) {
    SCOPED_TRACE(corrupt ? "read-back differs" : "programming fails");
    SetUp();
    if (corrupt) {
      fake::chip().corrupt_program_at = APP_IMAGE_ADDR + 3000;
    } else {
      fake::chip().fail_program_at = APP_IMAGE_ADDR + 3000;
    }
    Sender sender({{"a.bin", app_file("brisola-t", 20000)}}, Blocks::k1K);
    fake::Boot b = run_download(sender, 60000);
    EXPECT_NE(b.outcome, fake::Outcome::Jump);
    EXPECT_EQ(sender.state(), State::kCancelled);
    EXPECT_EQ(sender.data_blocks_acked(), 2);
    fake::chip().fail_program_at = 0;
    fake::chip().corrupt_program_at = 0;
    expect_recoverable("after a flash failure");
  }
}

TEST_F(BootYmodem, EmptyBatchIsNotACompletedDownload) {
  // The sender ends the session without a file, after an attempt that had
  // already erased and half written the area.
  auto app = app_file("brisola-t", 20000);
  Sender cut({{"a.bin", app}}, Blocks::k1K, {.cancel_after = 4});
  Sender empty({}, Blocks::k1K);
  TwoSenders both(cut, empty);
  fake::ThenPeer peer("at+update\r", &both);
  fake::chip().peer = &peer;
  fake::Boot b = fake::boot(25000);
  fake::chip().peer = nullptr;
  EXPECT_NE(b.outcome, fake::Outcome::Jump);
  EXPECT_EQ(cut.state(), State::kAborted);
  EXPECT_EQ(empty.state(), State::kDone);
  EXPECT_EQ(update_flag(), UPDATE_FLAG_REQUESTED);
  expect_recoverable("after an empty batch");
}

TEST_F(BootYmodem, StuckSenderIsStoppedByTheStallWatchdog) {
  // A sender that keeps repeating a block makes no progress although every
  // packet arrives intact: the watchdog resets the MCU 15 to 30 s after the
  // last new block.
  Sender sender({{"a.bin", app_file("brisola-t", 60000)}}, Blocks::k1K, {.repeat_after = 4});
  SenderPeer sp(sender);
  struct Watch : fake::Peer {
    fake::Peer* inner;
    Sender* s;
    int acked = 0;
    uint32_t last_progress = 0;
    void from_chip(uint8_t x, uint32_t t) override {
      inner->from_chip(x, t);
      if (s->data_blocks_acked() != acked) {
        acked = s->data_blocks_acked();
        last_progress = t;
      }
    }
    int to_chip(uint32_t t) override { return inner->to_chip(t); }
  } watch;
  watch.inner = &sp;
  watch.s = &sender;
  fake::ThenPeer peer("at+update\r", &watch);
  fake::chip().peer = &peer;
  fake::Boot b = fake::boot(100000);
  fake::chip().peer = nullptr;
  ASSERT_EQ(b.outcome, fake::Outcome::Reset);
  EXPECT_EQ(watch.acked, 4);
  uint32_t stalled = fake::chip().hw_ms - watch.last_progress;
  EXPECT_GE(stalled, 15000u);
  EXPECT_LE(stalled, 30000u);
  expect_recoverable("after the watchdog");
}

}  // namespace

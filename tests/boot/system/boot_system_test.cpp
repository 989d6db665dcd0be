// The module on the simulated chip: the bootloader on its serial line, driven
// by a terminal and by lrzsz's sb, starting the application images.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "module_harness.h"

using namespace boothw;

namespace {

constexpr uint32_t kBootFlag = 0x08004000, kUpdateFlag = 0x08004004, kVersion = 0x08005000,
                   kArea = 0x08006000, kAreaSize = 0x31000;
constexpr uint32_t kRun = 0x5A5A5A5A, kRequested = 0x01010101, kDone = 0x02020202;
const std::string kBanner = "<BOOT MODE>\r\n";
const std::string kVersionLine = "QIV_BOOT_0.8_STM32WLE5CC\r\n";
const std::string kUpgrade = "Start firmware upgrade...\r\n";
const std::string kStop = "Stop Boot Mode\r\n";
const std::string kJumpFailed = "Jump failed. No legal application detected.\r\n";

std::string test_name() { return ::testing::UnitTest::GetInstance()->current_test_info()->name(); }

// Waits for the bootloader's banner, then lets the line go quiet (bytes sent
// to it while it transmits are lost, as on the polled UART of the chip).
void expect_boot_mode(Module& m) {
  bool found = false;
  std::string got = m.read_until(kBanner, 8000, &found);
  ASSERT_TRUE(found) << "got: " << ::testing::PrintToString(got) << "\nlog: " << m.log();
  EXPECT_EQ(got.substr(got.size() - kBanner.size()), kBanner);
  usleep(50000);
}

// The application `model` (its banner names it) has started and answers AT.
void expect_app(Module& m, const std::string& model) {
  bool found = false;
  std::string got = m.read_until(model, 8000, &found);
  ASSERT_TRUE(found) << "got: " << ::testing::PrintToString(got) << "\nlog: " << m.log();
  m.read_for(300);
  m.write("AT\r\n");
  got = m.read_until("OK\r\n", 3000, &found);
  EXPECT_TRUE(found) << ::testing::PrintToString(got);
}

void start_update(Module& m) {
  m.write("at+update\r");
  bool found = false;
  std::string got = m.read_until(kUpgrade, 4000, &found);
  ASSERT_TRUE(found) << ::testing::PrintToString(got);
  EXPECT_EQ(got, kUpgrade);
}

// Sends straight to the module's line. Nothing is lost on that line, so sb's
// own wall-clock timeouts could only fire when the host is starved of CPU:
// they are off (-O), and the kill after `timeout_ms` still bounds the run.
SbResult send(Module& m, const std::vector<std::string>& args, int timeout_ms = 90000) {
  int fd = m.open_line();
  std::vector<std::string> all = {"-O"};
  all.insert(all.end(), args.begin(), args.end());
  SbResult r = run_sb(fd, all, timeout_ms);
  close(fd);
  return r;
}

void expect_area(const std::string& flash, const std::string& file) {
  std::vector<uint8_t> want = read_file(file);
  ASSERT_FALSE(want.empty());
  std::vector<uint8_t> got = flash_bytes(flash, kArea, want.size());
  size_t diff = 0;
  while (diff < want.size() && diff < got.size() && got[diff] == want[diff]) ++diff;
  EXPECT_EQ(diff, want.size()) << "application area differs from " << file << " at offset " << diff
                               << " (area read: " << got.size() << " bytes)";
}

// After a failed download the application never starts, through any number
// of resets, until a download completes.
void expect_not_startable(Module& m) {
  EXPECT_EQ(m.read_for(200), "");
  m.write("at+run\r");
  bool found = false;
  std::string got = m.read_until(kJumpFailed, 3000, &found);
  EXPECT_EQ(got, kStop + kJumpFailed);
}

TEST(BootModule, CommandsOnTheLine) {
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  Module m(flash);
  expect_boot_mode(m);
  // A new module: the boot flag is set back to "run", the version record is
  // in place for the applications.
  EXPECT_EQ(flash_word(flash, kBootFlag), kRun);
  EXPECT_EQ(flash_word(flash, kUpdateFlag), 0xFFFFFFFFu);
  std::vector<uint8_t> record = flash_bytes(flash, kVersion, 32);
  EXPECT_EQ(std::string(record.begin(), record.end()),
            std::string("QIV_BOOT_0.8_STM32WLE5CC\0\0\0\0\0\0\0\0", 32));

  const std::string NS = "AT not support.\r\n";
  struct Case {
    std::string line;
    std::string answer;  // "" : no answer at all
  } cases[] = {
      {"at+version\r", kVersionLine},
      {"at+ver=?\r", kVersionLine},
      {"at+bootver=?\r", kVersionLine},
      {"AT+VERSION\r\n", kVersionLine},
      {"at+bootstatus\r", "Boot Mode\r\n"},
      {"AT+BOOTSTATUS\r", "Boot Mode\r\n"},
      {"at+foo\r", NS},
      {"at+" + std::string(100, 'x') + "\r", NS},
      {std::string(100, 'y') + "at+version\r", ""},
      {std::string("\x01\x02\xff\x00zz\r", 7), ""},
      {"At+run\r", ""},
      {"hello\r\n", ""},
      {"at+run\r", kStop + kJumpFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.line));
    m.write(c.line);
    if (c.answer.empty()) {
      // Silence, and the loop still serves the next line.
      EXPECT_EQ(m.read_for(300), "");
      m.write("at+bootstatus\r");
      EXPECT_EQ(m.read_until("Boot Mode\r\n", 3000), "Boot Mode\r\n");
    } else {
      EXPECT_EQ(m.read_until(c.answer, 3000), c.answer);
    }
  }
  m.write("at+reset\r");
  EXPECT_EQ(m.read_until(kBanner, 5000), kBanner);
}

TEST(BootModule, Sb1KBlocksProgramsBrisolaT) {
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string file = make_app_file(dir, "brisola-t");
  Module m(flash);
  expect_boot_mode(m);
  start_update(m);
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kRequested);
  SbResult r = send(m, {"-q", "-k", file});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();
  expect_app(m, "Brisola-T");
  EXPECT_EQ(flash_word(flash, kBootFlag), kRun);
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kDone);
  expect_area(flash, file);

  // The application reads the bootloader's version record ...
  m.write("AT+BOOTVER=?\r\n");
  EXPECT_EQ(m.read_until("OK\r\n", 3000), "AT+BOOTVER=QIV_BOOT_0.8_STM32WLE5CC\r\nOK\r\n");
  // ... and brings the bootloader back, for one reset.
  m.write("AT+BOOT\r\n");
  expect_boot_mode(m);
  m.write("at+bootstatus\r");
  EXPECT_EQ(m.read_until("Boot Mode\r\n", 3000), "Boot Mode\r\n");
  m.write("at+run\r");
  EXPECT_EQ(m.read_until(kStop, 3000), kStop);
  expect_app(m, "Brisola-T");
  // A reset of the application starts it again straight away.
  m.write("ATZ\r\n");
  expect_app(m, "Brisola-T");
}

// A person starts sb by hand some seconds after at+update: the bootloader's
// 'C' every half second has piled up on the line meanwhile, sb takes the
// stale ones for answers to its header and sends the header again. The
// repeats are acknowledged and dropped, and the transfer goes through.
TEST(BootModule, SbStartedSecondsAfterTheUpdateCommand) {
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string file = make_app_file(dir, "brisola-t");
  Module m(flash);
  expect_boot_mode(m);
  start_update(m);
  usleep(5000000);
  SbResult r = send(m, {"-q", "-k", file});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();
  expect_app(m, "Brisola-T");
  expect_area(flash, file);
}

TEST(BootModule, Sb128ByteBlocksReplacesTheApplication) {
  // A module that came with Brisola-E; AT+BOOT, then Brisola-T by plain sb
  // (128-byte blocks, so the block numbers wrap several times).
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string file = make_app_file(dir, "brisola-t");
  Module m(flash, {"--app", "brisola-e"});
  expect_app(m, "Brisola-E");
  m.write("AT+BOOT\r\n");
  expect_boot_mode(m);
  start_update(m);
  SbResult r = send(m, {"-q", file});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();
  expect_app(m, "Brisola-T");
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kDone);
  expect_area(flash, file);
}

TEST(BootModule, FileOneByteTooLargeIsRefusedThenTheWholeAreaFits) {
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string exact = make_app_file(dir, "brisola-e", kAreaSize);
  std::vector<uint8_t> big = read_file(exact);
  big.push_back(0);
  write_file(dir + "/big.bin", big);
  Module m(flash);
  expect_boot_mode(m);
  start_update(m);
  SbResult r = send(m, {"-q", "-k", dir + "/big.bin"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kRequested);
  EXPECT_EQ(flash_bytes(flash, kArea, kAreaSize),
            std::vector<uint8_t>(kAreaSize, 0xFF));  // never erased
  // Still waiting for a file: the next one, filling the area exactly, works.
  usleep(100000);
  m.flush_input();
  r = send(m, {"-q", "-k", exact});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();
  expect_app(m, "Brisola-E");
  expect_area(flash, exact);
}

TEST(BootModule, LostAcknowledgementAndCorruptedBlockAreRepeated) {
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string file = make_app_file(dir, "brisola-t", 30000);
  Module m(flash);
  expect_boot_mode(m);
  start_update(m);
  int line = m.open_line();
  std::atomic<int> acks{0};
  // sb -k: a 133-byte header packet, then 1029-byte packets.
  const uint64_t damaged = 133 + 1029 * 4 + 200;
  {
    Relay relay(
        line,
        [&](uint64_t i, uint8_t& b) {
          if (i == damaged) b ^= 0x10;
          return true;
        },
        [&](uint64_t, uint8_t& b) { return !(b == 0x06 && ++acks == 3); });
    SbResult r = run_sb(relay.sender_fd(), {"-q", "-k", file}, 90000);
    ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();
  }
  close(line);
  expect_app(m, "Brisola-T");
  expect_area(flash, file);
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kDone);
}

TEST(BootModule, TransferCutHalfwayNeverStartsThenUpdatesAgain) {
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string file = make_app_file(dir, "brisola-t", 60000);
  Module m(flash, {"--app", "saffrond"});
  expect_app(m, "Saffrond");
  m.write("AT+BOOT\r\n");
  expect_boot_mode(m);
  start_update(m);
  int line = m.open_line();
  std::atomic<pid_t> sb_pid{0};
  std::atomic<int> cancels{0};
  {
    // The line is cut after 20 KB; the bootloader gives up with CA CA.
    Relay relay(
        line, [&](uint64_t i, uint8_t&) { return i < 20000; },
        [&](uint64_t, uint8_t& b) {
          if (b == 0x18 && ++cancels == 2 && sb_pid) kill(sb_pid, SIGKILL);
          return true;
        });
    SbResult r = run_sb(relay.sender_fd(), {"-q", "-k", file}, 60000, [&](pid_t p) { sb_pid = p; });
    EXPECT_NE(r.exit_code, 0);
  }
  close(line);
  EXPECT_GE(cancels.load(), 2);
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kRequested);
  // Power off and on: boot mode, and the half-written image is not started.
  m.power_off();
  Module again(flash);
  expect_boot_mode(again);
  expect_not_startable(again);
  start_update(again);
  SbResult r = send(again, {"-q", "-k", file});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text;
  expect_app(again, "Brisola-T");
  expect_area(flash, file);
}

// Sends `file` with sb through a relay that keeps what the module says on
// the line during the transfer and until `wait_for` has come after it (at
// most a few seconds), so that nothing the module says right after the
// transfer is lost to sb's end of the line.
SbResult send_keeping_output(Module& m, const std::string& file, const std::string& wait_for,
                             std::string* said) {
  int line = m.open_line();
  std::mutex mu;
  std::string text;
  SbResult r;
  {
    Relay relay(line, nullptr, [&](uint64_t, uint8_t& b) {
      std::lock_guard<std::mutex> lock(mu);
      text.push_back(static_cast<char>(b));
      return true;
    });
    r = run_sb(relay.sender_fd(), {"-O", "-q", "-k", file}, 90000);
    for (int i = 0; i < 100; ++i) {
      {
        std::lock_guard<std::mutex> lock(mu);
        if (text.find(wait_for) != std::string::npos) break;
      }
      usleep(50000);
    }
  }
  close(line);
  std::lock_guard<std::mutex> lock(mu);
  *said = text;
  return r;
}

TEST(BootModule, FilesThatAreNotWholeImagesEndInBootModeThenAGoodUpdateWorks) {
  // A module with a working application receives, by complete transfers,
  // the first 20000 bytes of an application file and then a file that only
  // begins with a good stack pointer. Neither is started: "Jump failed" after
  // each, every reset ends in boot mode, and a whole file still updates it.
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string good = make_app_file(dir, "brisola-e");
  std::vector<uint8_t> cut = read_file(good);
  cut.resize(20000);
  write_file(dir + "/cut.bin", cut);
  std::vector<uint8_t> crafted(30000);
  for (size_t i = 0; i < crafted.size(); ++i) crafted[i] = static_cast<uint8_t>(i * 131 + 7);
  const uint32_t vectors[2] = {0x2000FC00u, kArea + 0x1C1u};
  std::memcpy(crafted.data(), vectors, sizeof vectors);
  write_file(dir + "/crafted.bin", crafted);

  Module m(flash, {"--app", "brisola-t"});
  expect_app(m, "Brisola-T");
  m.write("AT+BOOT\r\n");
  expect_boot_mode(m);
  start_update(m);
  for (const char* name : {"cut.bin", "crafted.bin"}) {
    SCOPED_TRACE(name);
    std::string said;
    SbResult r = send_keeping_output(m, dir + "/" + name, kJumpFailed, &said);
    ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();  // the transfer itself went through
    EXPECT_NE(said.find(kJumpFailed), std::string::npos) << ::testing::PrintToString(said);
    EXPECT_EQ(flash_word(flash, kUpdateFlag), kRequested);
    EXPECT_TRUE(m.alive());
    // Still waiting for a file: the next one goes straight in.
    usleep(100000);
    m.flush_input();
  }
  // Power off and on, twice: boot mode every time, the image is never run.
  m.power_off();
  for (int i = 0; i < 2; ++i) {
    Module again(flash);
    expect_boot_mode(again);
    expect_not_startable(again);
    again.power_off();
  }
  Module last(flash);
  expect_boot_mode(last);
  start_update(last);
  SbResult r = send(last, {"-q", "-k", good});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text << last.log();
  expect_app(last, "Brisola-E");
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kDone);
  expect_area(flash, good);
}

TEST(BootModule, SenderDiesMidwayThenSentAgain) {
  // sb killed mid-file sends nothing more: the bootloader gives up after its
  // time-outs with CA CA and waits for a new transfer.
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string file = make_app_file(dir, "quenlarlp-sip", 100000);
  Module m(flash);
  expect_boot_mode(m);
  start_update(m);
  std::atomic<int> cancels{0};
  int line = m.open_line();
  {
    Relay relay(line, nullptr, [&](uint64_t, uint8_t& b) {
      if (b == 0x18) ++cancels;
      return true;
    });
    SbResult r = run_sb(relay.sender_fd(), {"-q", "-k", file}, 60000, [](pid_t p) {
      std::thread([p] {
        usleep(2000000);
        kill(p, SIGKILL);
      }).detach();
    });
    EXPECT_NE(r.exit_code, 0);
    for (int i = 0; i < 100 && cancels < 2; ++i) usleep(100000);
  }
  close(line);
  EXPECT_EQ(cancels.load(), 2);
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kRequested);
  m.flush_input();
  SbResult r = send(m, {"-q", "-k", file});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();
  expect_app(m, "QuenlarLP-SiP");
  expect_area(flash, file);
}

TEST(BootModule, SenderCancelsThenSentAgain) {
  // After the 10th block the sender cancels (CA CA ... and backspaces, as
  // common senders send it): the bootloader acknowledges the cancel, ends the
  // attempt at once and waits for a new transfer.
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  std::string file = make_app_file(dir, "brisola-e", 50000);
  Module m(flash, {"--app", "brisola-t"});
  expect_app(m, "Brisola-T");
  m.write("AT+BOOT\r\n");
  expect_boot_mode(m);
  start_update(m);
  std::atomic<pid_t> sb_pid{0};
  std::atomic<bool> cancelled{false};
  std::atomic<int> acks{0}, answer{-1};
  int line = m.open_line();
  {
    Relay relay(
        line, [&](uint64_t, uint8_t&) { return !cancelled; },
        [&](uint64_t, uint8_t& b) {
          if (cancelled) {
            if (answer < 0) answer = b;
            return false;
          }
          if (b == 0x06 && ++acks == 11) {
            cancelled = true;
            if (sb_pid) kill(sb_pid, SIGKILL);
            const uint8_t cancel[] = {0x18, 0x18, 0x18, 0x18, 0x18, 0x08, 0x08, 0x08, 0x08, 0x08};
            EXPECT_EQ(::write(line, cancel, sizeof cancel), static_cast<ssize_t>(sizeof cancel));
            return false;
          }
          return true;
        });
    run_sb(relay.sender_fd(), {"-q", "-k", file}, 60000, [&](pid_t p) { sb_pid = p; });
    for (int i = 0; i < 20 && answer < 0; ++i) usleep(50000);
  }
  close(line);
  EXPECT_EQ(answer.load(), 0x06);  // the cancel is acknowledged
  EXPECT_EQ(flash_word(flash, kUpdateFlag), kRequested);
  usleep(100000);
  m.flush_input();
  SbResult r = send(m, {"-q", "-k", file});
  ASSERT_EQ(r.exit_code, 0) << r.stderr_text << m.log();
  expect_app(m, "Brisola-E");
  expect_area(flash, file);
}

}  // namespace

namespace {

void set_flag_words(const std::string& flash, uint32_t boot, uint32_t update) {
  std::vector<uint8_t> bytes = read_file(flash);
  ASSERT_GE(bytes.size(), 0x4008u);
  std::memcpy(bytes.data() + (kBootFlag - 0x08000000), &boot, 4);
  std::memcpy(bytes.data() + (kUpdateFlag - 0x08000000), &update, 4);
  write_file(flash, bytes);
}

}  // namespace

// A module reset with an update pending (an intact older application in the
// area) is put in boot mode; the supply is cut during the bootloader's
// rewrite of the flags at its start, at every flash operation and halfway
// through each. It starts again in boot mode and never starts the old
// application: the update stays pending.
TEST(BootModule, PowerCutWhileTheFlagsAreRewrittenKeepsAPendingUpdate) {
  std::string dir = scratch_dir(test_name());
  std::string flash = dir + "/module.flash";
  {
    Module m(flash, {"--app", "saffrond"});
    expect_app(m, "Saffrond");
    m.power_off();
  }
  const std::vector<uint8_t> made = read_file(flash);
  struct Case {
    const char* name;
    bool copy_written;  // a start of this bootloader has written the flags before
    int ops;            // flash operations of the rewrite
  } cases[] = {{"flags never written by this bootloader", false, 5},
               {"flags written before", true, 2}};
  for (const auto& c : cases) {
    for (int op = 0; op < c.ops; ++op) {
      for (const char* part : {"", ":50"}) {
        const std::string cut = std::to_string(op) + part;
        SCOPED_TRACE(std::string(c.name) + ", --flash-cut-after " + cut);
        write_file(flash, made);
        set_flag_words(flash, 0x5A5A5AFF, kRequested);
        if (c.copy_written) {
          Module first(flash);
          expect_boot_mode(first);
          first.power_off();
          set_flag_words(flash, 0x5A5A5AFF, kRequested);
        }
        Module m(flash, {"--flash-cut-after", cut});
        expect_boot_mode(m);
        m.write("at+run\r");
        bool found = false;
        std::string got = m.read_until(kJumpFailed, 3000, &found);
        EXPECT_EQ(got, kStop + kJumpFailed) << m.log();
        m.power_off();
        EXPECT_EQ(flash_word(flash, kUpdateFlag), kRequested);
      }
    }
  }
}

// An Apollo3 program through the launcher (apollo3-test-echo): UART0 as the
// terminal, the kernel in a real program, the trace log, the reset into the
// external bootloader's update mode and its version text.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hostutil/process.h"

namespace {

const std::string kImage = std::string(APOLLO3_TEST_IMAGE_DIR) + "/apollo3-test-echo";

struct Result {
  std::string out;
  std::string err;
  int code = -1;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

class Apollo3Program : public ::testing::Test {
 protected:
  std::string stem = ::testing::TempDir() + "/apollo3-launch-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                     std::to_string(getpid());
  std::string flash = stem + ".flash";
  std::string trace = stem + ".trace";
  void TearDown() override {
    for (const std::string& f : {flash, flash + ".stats", trace}) std::remove(f.c_str());
  }
  Result run(std::vector<std::string> extra, const std::string& input) {
    std::vector<std::string> args = {kImage, "--flash", flash, "--run-for", "1s"};
    args.insert(args.end(), extra.begin(), extra.end());
    hostutil::CaptureResult c = hostutil::run_capture(args, input);
    Result r{std::move(c.out), std::move(c.err), -1};
    r.code = WIFEXITED(c.status) ? WEXITSTATUS(c.status) : 128 + WTERMSIG(c.status);
    return r;
  }
};

TEST_F(Apollo3Program, EchoesThroughTheKernelAndTraces) {
  Result r = run({"--trace-log", trace}, "hello t");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "ready\r\nhello ");
  EXPECT_EQ(slurp(trace), "start\r\necho_image.cpp:7\t\ttrace\r\n");
}

// The flag byte sends the next start into the bootloader: the application
// does not run again, and the byte stays for the bootloader.
TEST_F(Apollo3Program, BootloaderFlagStopsTheApplicationAfterAReset) {
  Result r = run({}, "b");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "ready\r\n");
  EXPECT_NE(r.err.find("bootloader: update mode"), std::string::npos) << r.err;
  const std::string image = slurp(flash);
  ASSERT_EQ(image.size(), 1024u * 1024u);
  EXPECT_EQ(static_cast<uint8_t>(image[0xFE000]), 0xAA);
}

TEST_F(Apollo3Program, BootVersionTextIsPreloaded) {
  Result r = run({"--boot-version", "QIVBOOT_1.0.2"}, "v");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "ready\r\nQIVBOOT_1.0.2\r\n");
}

}  // namespace

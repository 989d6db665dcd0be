// qiv-appfile: the application files the build makes for the bootloader.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "stm32_appfile.h"

namespace {

std::string tool() { return QIV_APPFILE_TOOL; }
std::string out_path(const std::string& name) { return std::string(QIV_TEST_DIR) + "/" + name; }

int run(const std::string& args) {
  int status = std::system((tool() + " " + args + " 2>/dev/null >/dev/null").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

uint32_t word(const std::vector<uint8_t>& d, size_t off) {
  uint32_t v;
  std::memcpy(&v, d.data() + off, 4);
  return v;
}

TEST(AppFileTool, MakesFilesTheBootloaderAndTheChipAccept) {
  struct Case {
    const char* image;
    const char* size_arg;
    uint32_t size;
  } cases[] = {
      {"brisola-t", "", stm32sim::kAppDefaultLength},
      {"brisola-e", "--size 0x31000", 0x31000},
      {"quenlarlp-sip", "--size 4096", 4096},
      {"saffrond", "--size 52", 52},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    std::string path = out_path(std::string(c.image) + ".bin");
    ASSERT_EQ(run(std::string("make --image ") + c.image + " " + c.size_arg + " -o " + path), 0);
    auto f = read_file(path);
    ASSERT_EQ(f.size(), c.size);
    // The bootloader's check: the first word is a stack pointer in SRAM.
    EXPECT_EQ(word(f, 0) & 0x2FFE0000u, 0x20000000u);
    // The chip reads the program name from it.
    EXPECT_EQ(stm32sim::app_file_program(f.data(), f.size()), c.image);
    // Its CRC-32 (with the field read as 0), computed by zlib.
    stm32sim::AppHeader h;
    std::memcpy(&h, f.data(), sizeof h);
    EXPECT_EQ(h.length, c.size);
    auto copy = f;
    std::memset(copy.data() + offsetof(stm32sim::AppHeader, crc32), 0, 4);
    EXPECT_EQ(h.crc32,
              static_cast<uint32_t>(::crc32(0, copy.data(), static_cast<uInt>(copy.size()))));
    // Programmed into the erased area, it is still found.
    std::vector<uint8_t> area(stm32sim::kAppAreaSize, 0xFF);
    std::copy(f.begin(), f.end(), area.begin());
    EXPECT_EQ(stm32sim::app_file_program(area.data(), area.size()), c.image);
    // A damaged copy is not.
    f[f.size() - 1] ^= 0x40;
    EXPECT_EQ(stm32sim::app_file_program(f.data(), f.size()), "");
  }
}

TEST(AppFileFormat, OnlyPlainProgramNamesAreStarted) {
  // A file whose CRC holds but whose name is a path or not a program name
  // of the build is not runnable: the chip never starts what it names.
  struct Case {
    const char* name;
    bool runnable;
  } cases[] = {{"brisola-t", true},     {"x1-2", true},          {"/bin/sh", false},
               {"../brisola-t", false}, {"brisola-t.sh", false}, {"Brisola-T", false},
               {"a b", false}};
  for (const auto& c : cases) {
    auto f = stm32sim::make_app_file("brisola-t", 4096);
    stm32sim::AppHeader h;
    std::memcpy(&h, f.data(), sizeof h);
    std::memset(h.name, 0, sizeof h.name);
    std::strncpy(h.name, c.name, sizeof h.name - 1);
    h.crc32 = 0;
    std::memcpy(f.data(), &h, sizeof h);
    h.crc32 = static_cast<uint32_t>(::crc32(0, f.data(), static_cast<uInt>(f.size())));
    std::memcpy(f.data(), &h, sizeof h);
    EXPECT_EQ(stm32sim::app_file_program(f.data(), f.size()), c.runnable ? c.name : "") << c.name;
  }
}

TEST(AppFileTool, FillerLooksLikeCode) {
  std::string path = out_path("filler.bin");
  ASSERT_EQ(run("make --image brisola-t -o " + path), 0);
  auto f = read_file(path);
  bool seen[256] = {};
  for (size_t i = sizeof(stm32sim::AppHeader); i < f.size(); ++i) seen[f[i]] = true;
  for (int b = 0; b < 256; ++b) EXPECT_TRUE(seen[b]) << b;
}

TEST(AppFileTool, RefusesBadInput) {
  std::string path = out_path("bad.bin");
  const char* bad[] = {
      "make --image Brisola-T -o ",
      "make --image a/b -o ",
      "make --image '' -o ",
      "make --image aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa -o ",  // 33 characters
      "make --image brisola-t --size 51 -o ",
      "make --image brisola-t --size 200705 -o ",
      "make --image brisola-t --size -1 -o ",
      "make --image brisola-t --size 12x -o ",
      "make --image brisola-t --size 0x100000031000 -o ",
  };
  for (const char* args : bad) {
    std::remove(path.c_str());
    EXPECT_EQ(run(std::string(args) + path), 2) << args;
    EXPECT_TRUE(read_file(path).empty()) << args;
  }
  EXPECT_EQ(run("check " + out_path("missing.bin")), 1);
  std::ofstream(out_path("junk.bin")) << "not an application file at all, not even close";
  EXPECT_EQ(run("check " + out_path("junk.bin")), 1);
  ASSERT_EQ(run("make --image saffrond -o " + path), 0);
  EXPECT_EQ(run("check " + path), 0);
}

}  // namespace

// The image programs and qiv-module as a person meets them: the pins their
// --help offers, the air of one program in a capture file that tshark (an
// independent decoder) reads, and the applications qiv-module starts a
// module with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "hostutil/process.h"
#include "hostutil/tempdir.h"
#include "systest/world.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Rows = std::vector<std::vector<std::string>>;

// A program in $PATH ("" when none).
std::string in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "");
  for (std::string dir; std::getline(ss, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

// tshark's fields of every packet of `file`, or a reason in *error.
Rows tshark_rows(const std::string& file, const std::vector<std::string>& fields,
                 const std::vector<std::string>& extra, std::string* error) {
  std::vector<std::string> argv = {in_path("tshark"), "-r", file,         "-T",
                                   "fields",          "-E", "separator=|"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  for (const std::string& f : fields) {
    argv.push_back("-e");
    argv.push_back(f);
  }
  hostutil::CaptureResult t;
  try {
    t = hostutil::run_capture(argv, "");
  } catch (const std::exception& e) {
    *error = std::string("tshark is not installed (scripts/setup.sh installs it): ") + e.what();
    return {};
  }
  if (!t.exited_ok()) *error = "tshark: " + t.err;
  Rows rows;
  std::istringstream in(t.out);
  for (std::string row; std::getline(in, row);) {
    std::vector<std::string> f;
    std::stringstream ss(row);
    for (std::string x; std::getline(ss, x, '|');) f.push_back(x);
    f.resize(fields.size());
    rows.push_back(f);
  }
  return rows;
}

// Each image's --help offers a pin and an analogue input its chip has: the
// ones it shows are ones the program takes. The Brisola modules say what
// their band strap is.
TEST(ImageHelp, ThePinsShownAreTheChipsOwn) {
  struct Case {
    const char* image;
    bool band_strap;
  };
  const Case cases[] = {{"brisola-t", true}, {"brisola-e", true}, {"quenlarlp-sip", false},
                        {"saffrond", false}, {"minacor", false},  {"vostrel", false},
                        {"tarnelka", false}, {"qiv-boot", false}};
  hostutil::TempDir dir("qiv-help", "/tmp");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    systest::PipeResult help = systest::run_pipe(c.image, {"--help"}, "");
    ASSERT_TRUE(help.exited_ok()) << help.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(help.out, m, std::regex("--pin ([A-Za-z0-9.]+)=1 "))) << help.out;
    const std::string pin = m[1];
    ASSERT_TRUE(std::regex_search(help.out, m, std::regex("--adc ([A-Za-z0-9.]+)=1500 ")))
        << help.out;
    const std::string adc = m[1];
    systest::PipeResult run =
        systest::run_pipe(c.image,
                          {"--flash", dir.path() + "/" + c.image + ".flash", "--pin", pin + "=1",
                           "--adc", adc + "=1500", "--run-for", "1s"},
                          "");
    EXPECT_TRUE(run.exited_ok()) << "--pin " << pin << "=1 --adc " << adc << "=1500: " << run.err;
    if (c.band_strap) {
      EXPECT_THAT(help.out, HasSubstr("PB12 is the band strap: 1 makes a high-band"));
    } else {
      EXPECT_THAT(help.out, Not(HasSubstr("band strap")));
    }
  }
}

// A lone LoRa module's air: each frame with the frequency, bandwidth and
// spreading factor the user set and the bytes the user sent, in time order;
// its RSSI is the transmit power less the medium's default path loss (90 dB).
TEST(ImageCapture, ALoraModulesFrames) {
  hostutil::TempDir dir("qiv-img-pcap", "/tmp");
  const std::string flash = dir.path() + "/m.flash";
  const std::string pcap = dir.path() + "/air.pcapng";
  systest::PipeResult r = systest::run_pipe(
      "brisola-t", {"--flash", flash, "--pin", "PB12=1", "--run-for", "2s"}, "AT+NWM=0\r\n");
  ASSERT_TRUE(r.exited_ok()) << r.err;
  // The second frame is sent once the first has gone: the lines between
  // take longer than its time on the air.
  std::string lines = "AT+P2P=868300000:7:125:0:8:14\r\nAT+PSEND=A1B2\r\n";
  for (int i = 0; i < 100; ++i) lines += "AT\r\n";
  lines += "AT+PSEND=C3D4E5\r\n";
  r = systest::run_pipe(
      "brisola-t", {"--flash", flash, "--pin", "PB12=1", "--run-for", "3s", "--pcap", pcap}, lines);
  ASSERT_TRUE(r.exited_ok()) << r.err;
  ASSERT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
  std::string error;
  const Rows rows =
      tshark_rows(pcap,
                  {"frame.time_epoch", "loratap.channel.frequency", "loratap.channel.bandwidth",
                   "loratap.channel.sf", "loratap.rssi.packet", "data.data"},
                  {"--disable-protocol", "lorawan"}, &error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][5], "a1b2");
  EXPECT_EQ(rows[1][5], "c3d4e5");
  EXPECT_LT(std::stod(rows[0][0]), std::stod(rows[1][0]));
  for (const auto& row : rows) {
    EXPECT_EQ(row[1], "868300000");
    EXPECT_EQ(row[2], "1") << "in 125 kHz steps";
    EXPECT_EQ(row[3], "7");
    EXPECT_EQ(-139 + std::stoi(row[4]), 14 - 90) << "LoRaTap's RSSI counts from -139 dBm";
  }
}

// A lone BLE module advertises, restarts (ATZ) and advertises again: one
// capture holds both starts, and tshark checks each packet's CRC itself and
// finds the address the module reports.
TEST(ImageCapture, ABleModuleThroughARestart) {
  hostutil::TempDir dir("qiv-img-ble", "/tmp");
  const std::string pcap = dir.path() + "/air.pcapng";
  const std::string flash = dir.path() + "/m.flash";
  // A module that has stored its settings starts advertising at once.
  systest::PipeResult r = systest::run_pipe("minacor", {"--flash", flash, "--run-for", "1s"}, "");
  ASSERT_TRUE(r.exited_ok()) << r.err;
  // The restart comes once 1213 bytes have arrived, 105 ms at 115200 baud.
  std::string lines = "AT+BLEMAC=?\r\n";
  for (int i = 0; i < 300; ++i) lines += "AT\r\n";
  lines += "ATZ\r\n";
  r = systest::run_pipe("minacor", {"--flash", flash, "--run-for", "3s", "--pcap", pcap}, lines);
  ASSERT_TRUE(r.exited_ok()) << r.err;
  // Each start opens the AT port's UART.
  ASSERT_NE(r.err.find("UARTE0 open"), r.err.rfind("UARTE0 open")) << "no restart: " << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("AT\\+BLEMAC=([0-9a-fA-F:]{17})"))) << r.out;
  std::string mac = m[1];
  std::transform(mac.begin(), mac.end(), mac.begin(), ::tolower);
  std::string error;
  const Rows rows = tshark_rows(
      pcap,
      {"frame.time_epoch", "btle_rf.channel", "btle.access_address", "btle.advertising_address",
       "btcommon.eir_ad.entry.device_name", "_ws.expert.message"},
      {}, &error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_GE(rows.size(), 6u);
  // Advertising begins at start-up, before the restart: the capture still
  // holds it after the restart, and goes on to the end.
  EXPECT_LT(std::stod(rows.front()[0]), 0.105);
  EXPECT_GT(std::stod(rows.back()[0]), 2.5);
  bool named = false;
  for (const auto& row : rows) {
    // The advertising channels 37, 38 and 39 are RF channels 0, 12 and 39.
    EXPECT_THAT(row[1], ::testing::AnyOf("0", "12", "39"));
    EXPECT_EQ(row[2], "0x8e89bed6");
    EXPECT_EQ(row[3], mac);
    EXPECT_EQ(row[5].find("CRC"), std::string::npos) << row[5];
    named = named || row[4].rfind("ZEM.", 0) == 0;
  }
  EXPECT_TRUE(named);
}

// A file that cannot be written stops the program before it starts.
TEST(ImageCapture, AnUnwritableFileIsRefused) {
  systest::PipeResult r = systest::run_pipe(
      "brisola-t", {"--pcap", "/nonexistent-dir/air.pcapng", "--run-for", "1s"}, "");
  EXPECT_EQ(WEXITSTATUS(r.status), 2);
  EXPECT_THAT(r.err, HasSubstr("--pcap"));
  EXPECT_THAT(r.err, HasSubstr("/nonexistent-dir/air.pcapng"));
}

// qiv-module makes a new module only with an application its bootloader
// takes (an image of its own chip).
TEST(QivModule, OnlyTheBootloadersApplications) {
  struct Case {
    const char* app;
    bool taken;
  };
  const Case cases[] = {{"brisola-e", true}, {"saffrond", true},  {"minacor", false},
                        {"tarnelka", false}, {"qiv-boot", false}, {"brisola", false}};
  hostutil::TempDir dir("qiv-module-app", "/tmp");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.app);
    const std::string flash = dir.path() + "/" + c.app + ".flash";
    hostutil::CaptureResult r = hostutil::run_capture(
        {systest::image_path("qiv-module"), "--flash", flash, "--app", c.app, "--run-for", "3s"},
        "AT+HWMODEL=?\r\n");
    struct stat st {};
    if (c.taken) {
      EXPECT_TRUE(r.exited_ok()) << r.err;
      EXPECT_THAT(r.out, HasSubstr("AT+HWMODEL=")) << r.out;
      EXPECT_EQ(::stat(flash.c_str(), &st), 0);
    } else {
      EXPECT_EQ(WEXITSTATUS(r.status), 2) << r.out << r.err;
      EXPECT_THAT(r.err, HasSubstr(std::string("qiv-module: --app ") + c.app +
                                   ": not an application of this module ("));
      EXPECT_THAT(r.err, HasSubstr("brisola-t"));
      EXPECT_NE(::stat(flash.c_str(), &st), 0) << "no module was made";
    }
  }
}

}  // namespace

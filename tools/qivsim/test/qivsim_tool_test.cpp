// qivsim as a person meets it: the air in a capture file that tshark (an
// independent decoder) reads the same way the test network logged it, the
// network file's mistakes with their line numbers, one duration syntax.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
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

const char kNwkSKey[] = "112233445566778899AABBCCDDEEFF00";
const char kAppSKey[] = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One LoRaWAN data frame: as tshark decoded it, or as the network logged it.
struct Frame {
  double t = 0;  // seconds
  std::string dev_addr, fcnt, fport, mic;
  bool operator==(const Frame& o) const {
    return dev_addr == o.dev_addr && fcnt == o.fcnt && fport == o.fport && mic == o.mic;
  }
};

// A program in $PATH ("" when none).
std::string in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "");
  for (std::string dir; std::getline(ss, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

std::string upper_hex(unsigned long v, int width) {
  char b[16];
  std::snprintf(b, sizeof b, "%0*lX", width, v);
  return b;
}

TEST(QivsimCapture, TsharkDecodesWhatTheNetworkLogged) {
  hostutil::TempDir dir("qiv-pcap", "/tmp");
  const std::string d = dir.path();
  std::ofstream(d + "/net.txt") << "abp a 26011234 " << kNwkSKey << " " << kAppSKey << "\n"
                                << "downlink a 5 0102 confirmed\n";
  const std::string script = std::string("a=AT+DEVADDR=26011234\\r\\nAT+NWKSKEY=") + kNwkSKey +
                             "\\r\\nAT+APPSKEY=" + kAppSKey +
                             "\\r\\nAT+NJM=0\\r\\nAT+JOIN\\r\\nAT+SEND=2:CAFE\\r\\n";
  systest::PipeResult r = systest::run_pipe(
      "qivsim",
      {"--dir", d, "--run-for", "20s", "--pcap", d + "/air.pcapng", "--network", d + "/net.txt",
       "--network-log", d + "/net.log", "--pin", "a=PB12=1", "--input", script, "a=brisola-t"},
      "");
  ASSERT_TRUE(r.exited_ok()) << r.err;

  // The network's lines of data frames with a port:
  // "<t>s up|down ... DevAddr 26011234 FCnt 0 FCtrl 80 port 2 payload CAFE MIC 1A2B3C4D ..."
  std::vector<Frame> logged;
  std::regex line(
      "network: ([0-9.]+)s (up|down) .* DevAddr ([0-9A-F]{8}) FCnt ([0-9]+) FCtrl [0-9A-F]{2} "
      "port ([0-9]+) payload [0-9A-F]* .*MIC ([0-9A-F]{8})");
  std::istringstream log(read_file(d + "/net.log"));
  for (std::string l; std::getline(log, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    logged.push_back({std::stod(m[1]), m[3], m[4], m[5], m[6]});
  }
  ASSERT_GE(logged.size(), 2u) << read_file(d + "/net.log");

  const std::string tshark = in_path("tshark");
  ASSERT_FALSE(tshark.empty()) << "tshark is not installed (scripts/setup.sh installs it)";
  hostutil::CaptureResult t;
  ASSERT_NO_THROW(t = hostutil::run_capture({tshark,
                                             "-r",
                                             d + "/air.pcapng",
                                             "-T",
                                             "fields",
                                             "-E",
                                             "separator=,",
                                             "-e",
                                             "frame.time_epoch",
                                             "-e",
                                             "loratap.channel.frequency",
                                             "-e",
                                             "loratap.syncword",
                                             "-e",
                                             "lorawan.fhdr.devaddr",
                                             "-e",
                                             "lorawan.fhdr.fcnt",
                                             "-e",
                                             "lorawan.fport",
                                             "-e",
                                             "lorawan.mic"},
                                            ""))
      << "tshark is not installed (scripts/setup.sh installs it)";
  ASSERT_TRUE(t.exited_ok()) << t.err;
  std::vector<Frame> decoded;
  std::istringstream rows(t.out);
  size_t frames = 0;
  for (std::string row; std::getline(rows, row);) {
    std::vector<std::string> f;
    std::stringstream ss(row);
    for (std::string x; std::getline(ss, x, ',');) f.push_back(x);
    f.resize(7);
    ++frames;
    EXPECT_EQ(f[2], "0x34") << "a public LoRaWAN sync word: " << row;
    EXPECT_FALSE(f[1].empty()) << row;
    if (f[3].empty() || f[5].empty() || f[6].empty()) continue;  // a join, a frame without a port
    decoded.push_back({std::stod(f[0]), upper_hex(std::stoul(f[3], nullptr, 16), 8), f[4],
                       std::to_string(std::stoul(f[5], nullptr, 16)),
                       upper_hex(std::stoul(f[6], nullptr, 16), 8)});
  }
  EXPECT_GE(frames, logged.size());
  // Each logged frame is in the capture with the same fields; downlinks
  // (logged at their start) at the same virtual time.
  for (const Frame& l : logged) {
    SCOPED_TRACE("FCnt " + l.fcnt + " port " + l.fport + " MIC " + l.mic);
    bool found = false;
    for (const Frame& c : decoded)
      if (c == l) {
        found = true;
        EXPECT_LE(c.t, l.t + 1e-6);
      }
    EXPECT_TRUE(found) << t.out;
  }
  EXPECT_EQ(logged[0].dev_addr, "26011234");
  EXPECT_EQ(logged[0].fport, "2");
  EXPECT_EQ(logged[1].fport, "5");
  bool down_at_its_time = false;
  for (const Frame& c : decoded)
    if (c.fport == "5") down_at_its_time = std::abs(c.t - logged[1].t) < 1e-6;
  EXPECT_TRUE(down_at_its_time) << t.out;
}

// A mistake in the network file names the file, its line and the choices.
TEST(QivsimNetworkFile, MistakesNameTheLineAndTheChoices) {
  hostutil::TempDir dir("qiv-netfile", "/tmp");
  const std::string file = dir.path() + "/net.txt";
  std::ofstream(file) << "# a comment\n\nregion EU86\n";
  systest::PipeResult r =
      systest::run_pipe("qivsim", {"--network", file, "--run-for", "1s", "a=brisola-t"}, "");
  EXPECT_EQ(WEXITSTATUS(r.status), 2);
  EXPECT_THAT(r.err, HasSubstr("qivsim: --network " + file +
                               ":3: region EU86: unknown region EU86 (the regions: "));
  EXPECT_THAT(r.err, HasSubstr("EU868"));
  EXPECT_THAT(r.err, HasSubstr("US915"));

  r = systest::run_pipe("qivsim", {"--network-cmd", "help"}, "");
  EXPECT_TRUE(r.exited_ok());
  for (const char* l : {"otaa NAME DEVEUI JOINEUI APPKEY [NWKKEY]", "class NAME A|B|C",
                        "multicast NAME ADDR NWKSKEY APPSKEY [B|C] [FREQ_HZ DR]"})
    EXPECT_THAT(r.out, HasSubstr(l));
}

// Durations are a number and a unit, as for the image programs.
TEST(QivsimDurations, ABareNumberIsRefused) {
  systest::PipeResult r = systest::run_pipe("qivsim", {"--run-for", "60", "a=brisola-t"}, "");
  EXPECT_EQ(WEXITSTATUS(r.status), 2);
  EXPECT_THAT(r.err, HasSubstr("qivsim: --run-for: bad duration \"60\": no unit"));
  r = systest::run_pipe("brisola-t", {"--run-for", "60"}, "");
  EXPECT_NE(WEXITSTATUS(r.status), 0);
  EXPECT_THAT(r.err, HasSubstr("bad duration \"60\": no unit"));
}

}  // namespace

namespace {

// Two worlds on one folder would share the flash files: the second refuses.
TEST(QivsimFolder, ASecondWorldOnOneFolderRefusesToStart) {
  hostutil::TempDir dir("qiv-twice", "/tmp");
  hostutil::SpawnOptions o;
  // The first world follows the wall clock (no --run-for): a virtual hour of
  // an idle module runs in about a second, so it could end before the second
  // one starts.
  o.argv = {systest::image_path("qivsim"), "--dir", dir.path(), "a=brisola-t"};
  o.in = o.out = o.err = hostutil::SpawnOptions::kDevNull;
  std::string error;
  pid_t first = hostutil::spawn(o, &error);
  ASSERT_GT(first, 0) << error;
  // Once the first holds the folder (it has started its device).
  for (int i = 0; i < 200 && read_file(dir.path() + "/qivsim.lock").empty(); ++i) ::usleep(50000);
  systest::PipeResult r =
      systest::run_pipe("qivsim", {"--dir", dir.path(), "--run-for", "1s", "b=brisola-t"}, "");
  EXPECT_EQ(WEXITSTATUS(r.status), 2);
  EXPECT_THAT(r.err, HasSubstr("qivsim: " + dir.path() + " is in use by another qivsim (pid " +
                               std::to_string(first) + ")"));
  hostutil::stop_process(first, 2000);
  // Free again once the first has ended.
  r = systest::run_pipe("qivsim", {"--dir", dir.path(), "--run-for", "1s", "b=brisola-t"}, "");
  EXPECT_TRUE(r.exited_ok()) << r.err;
}

}  // namespace

namespace {

// The README's P2P exchange: every transcript entry is one whole line, and
// the entries are in time order.
TEST(QivsimTranscript, WholeLinesInTimeOrder) {
  hostutil::TempDir dir("qiv-p2p", "/tmp");
  const std::vector<std::string> both = {"--dir",    dir.path(), "--pin",
                                         "a=PB12=1", "--pin",    "b=PB12=1"};
  std::vector<std::string> args = both;
  for (const char* a : {"--run-for", "1s", "--input", "a=AT+NWM=0\\r\\n", "--input",
                        "b=AT+NWM=0\\r\\n", "a=brisola-t", "b=brisola-t"})
    args.push_back(a);
  systest::PipeResult r = systest::run_pipe("qivsim", args, "");
  ASSERT_TRUE(r.exited_ok()) << r.err;
  args = both;
  for (const char* a :
       {"--run-for", "5s", "--transcript", "-", "--input",
        "a=AT+P2P=868000000:7:125:0:8:14\\r\\nAT+PRECV=65534\\r\\n", "--input",
        "b=AT+P2P=868000000:7:125:0:8:14\\r\\nAT+P2P=?\\r\\nAT+PSEND=48656C6C6F\\r\\n",
        "a=brisola-t", "b=brisola-t"})
    args.push_back(a);
  r = systest::run_pipe("qivsim", args, "");
  ASSERT_TRUE(r.exited_ok()) << r.err;
  std::regex entry("([0-9]+\\.[0-9]{6})s ([ab]):2 (.*)");
  std::istringstream out(r.out);
  double last = 0;
  size_t entries = 0;
  bool received = false;
  for (std::string l; std::getline(out, l);) {
    std::smatch m;
    if (!std::regex_match(l, m, entry)) continue;
    ++entries;
    const double t = std::stod(m[1]);
    EXPECT_GE(t, last) << l;
    last = t;
    const std::string text = m[3];
    EXPECT_EQ(text.substr(text.size() - 2), "\\n") << "not a whole line: " << l;
    if (std::regex_match(text, std::regex("\\+EVT:RXP2P:-?[0-9]+:-?[0-9]+:48656C6C6F\\\\r\\\\n")))
      received = m[2] == "a";
  }
  EXPECT_GT(entries, 4u) << r.out;
  EXPECT_TRUE(received) << r.out;
}

}  // namespace

namespace {

// Without --dir, the flash files and logs go to a folder of their own beside
// qivsim, not to the folder qivsim was started from (a source tree, say).
TEST(QivsimFolder, WithoutDirTheWorldHasAFolderOfItsOwn) {
  hostutil::TempDir cwd("qiv-cwd", "/tmp");
  const std::string qivsim = systest::image_path("qivsim");
  const std::string world = qivsim.substr(0, qivsim.rfind('/')) + "/qivsim-world";
  std::remove((world + "/a.log").c_str());
  hostutil::CaptureResult r =
      hostutil::run_capture({qivsim, "--run-for", "1s", "a=brisola-t"}, "", cwd.path());
  ASSERT_TRUE(r.exited_ok()) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
  EXPECT_TRUE(std::filesystem::exists(world + "/a.log"));
  EXPECT_TRUE(std::filesystem::exists(world + "/a.flash"));
}

}  // namespace

namespace {

// A module left on EU868 next to a US915 network: the network log says why
// it hears nothing, and once the module's band is set with AT+BAND, as the
// README says, it joins.
TEST(QivsimNetworkFile, AModuleOnAnotherRegionIsNamedInTheLog) {
  hostutil::TempDir dir("qiv-region", "/tmp");
  const std::string d = dir.path();
  std::ofstream(d + "/net.txt")
      << "region US915\n"
      << "otaa a 0202020202020202 0101010101010101 2B7E151628AED2A6ABF7158809CF4F3C\n";
  const std::string keys =
      "a=AT+DEVEUI=0202020202020202\\r\\nAT+APPEUI=0101010101010101\\r\\n"
      "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C\\r\\n";
  for (const bool banded : {false, true}) {
    SCOPED_TRACE(banded ? "AT+BAND=5" : "EU868");
    const std::string log = d + (banded ? "/banded.log" : "/net.log");
    systest::PipeResult r = systest::run_pipe(
        "qivsim",
        {"--dir", d, "--run-for", "30s", "--network", d + "/net.txt", "--network-log", log, "--pin",
         "a=PB12=1", "--transcript", "-", "--input",
         keys + (banded ? "AT+BAND=5\\r\\n" : "") + "AT+JOIN=1:0:10:8\\r\\n", "a=brisola-t"},
        "");
    ASSERT_TRUE(r.exited_ok()) << r.err;
    const std::string text = read_file(log);
    if (!banded) {
      EXPECT_THAT(text, HasSubstr("gateway: frame on 868100000 Hz SF12 BW125000 ignored: "));
      EXPECT_THAT(text,
                  HasSubstr(" of US915 (a channel of EU868: a module on another region's plan)"));
      EXPECT_THAT(r.out, Not(HasSubstr("+EVT:JOINED")));
    } else {
      EXPECT_THAT(text, Not(HasSubstr("another region's plan")));
      EXPECT_THAT(r.out, HasSubstr("+EVT:JOINED"));
    }
  }
}

}  // namespace

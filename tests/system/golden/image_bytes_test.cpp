// What every image shows of itself, byte for byte, against the golden files
// beside this test: its start-up output, its replies to a fixed list of AT
// commands, its flash after them and, for application images, the frames
// two modules of the image put on the air in a point-to-point exchange (and
// what the receiver reports). The run is in virtual time and each command
// is given a fixed stretch of it, so the bytes are the same on every run of
// the same image; a change to how the images are built that changes what
// they do shows here as a difference.
//
// The build date, build time and source revision (AT+BUILDTIME, AT+REPOINFO
// and the start-up's debug banner) are the one legitimate difference between
// two builds of the same sources: the capture reads them from the image's
// own AT+BUILDTIME and AT+REPOINFO replies and writes every occurrence as
// <build-date>, <build-time> and <repo-info>.
//
// QIV_GOLDEN_RECORD=1 in the environment writes the golden files instead of
// comparing (after a deliberate change of the images' bytes).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "systest/world.h"

namespace {

using systest::Device;
using systest::ms;
using systest::sec;
using systest::time_us;
using systest::World;
using Bytes = std::vector<uint8_t>;

constexpr int kAt = 2;  // UART2, the AT port of the STM32WLE5 images
constexpr uint32_t kFlashBase = 0x08000000;

std::vector<std::string> split(const std::string& list) {
  std::vector<std::string> out;
  std::stringstream in(list);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

// Serial output as text: printable bytes as they are, "\r" and "\n" (a line
// break after it), other bytes as \xHH.
std::string escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n') {
      out += "\\n\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  if (!out.empty() && out.back() != '\n') out += "\n";
  return out;
}

// The flash in lines of 32 bytes at their bus address; lines that are all
// erased (0xFF) are left out.
std::string flash_text(const Bytes& flash) {
  std::ostringstream out;
  out << "size " << flash.size() << "\n";
  for (size_t at = 0; at < flash.size(); at += 32) {
    size_t n = std::min<size_t>(32, flash.size() - at);
    bool erased = true;
    for (size_t i = 0; i < n; ++i) erased = erased && flash[at + i] == 0xFF;
    if (erased) continue;
    char addr[16];
    std::snprintf(addr, sizeof addr, "%08zX", kFlashBase + at);
    out << addr << " " << systest::hex(flash.data() + at, n) << "\n";
  }
  return out.str();
}

std::string frame_text(const sim::world::FrameRecord& r) {
  const sim::AirFrame& f = r.frame;
  std::ostringstream out;
  out << "t=" << r.t << " sender=" << f.sender << " start=" << f.start_us << " end=" << f.end_us
      << " freq=" << f.frequency_hz << " phy=" << int(f.phy) << " cut=" << f.cut;
  if (f.modem == sim::Modem::kLora) {
    out << " lora sf=" << int(f.sf) << " bw=" << f.bandwidth_hz << " cr=" << int(f.coding_rate)
        << " ldro=" << f.ldro << " sync=" << f.lora_sync_word;
  } else {
    out << " fsk bitrate=" << f.bitrate << " fdev=" << f.fdev_hz << " rxbw=" << f.bandwidth_hz
        << " sync=" << systest::hex(f.fsk_sync, f.fsk_sync_len) << " crclen=" << int(f.fsk_crc_len)
        << " crcinv=" << f.fsk_crc_inverted << " crcseed=" << f.fsk_crc_seed
        << " crcpoly=" << f.fsk_crc_poly << " white=" << f.fsk_whitening
        << " whiteseed=" << f.fsk_whitening_seed;
  }
  out << " preamble=" << f.preamble_len << " iqinv=" << f.iq_inverted << " crc=" << f.crc_on
      << " implicit=" << f.implicit_header << " power=" << int(f.tx_power_dbm) << "\n  payload "
      << systest::hex(f.payload, f.len) << "\n";
  return out.str();
}

// A capture: sections of text, then masked.
class Capture {
 public:
  void section(const std::string& title, const std::string& body) {
    text_ += "== " + title + "\n" + body;
  }
  // Types `command` (with "\r\n") and records what comes back during
  // `stretch` of virtual time.
  void command(World& w, Device& d, const std::string& command, time_us stretch = ms(400)) {
    d.write(kAt, command + "\r\n");
    w.run_for(stretch);
    section(d.name() + " " + command, escaped(d.take(kAt)));
  }
  std::string masked() const {
    std::string out = text_;
    std::smatch m;
    if (std::regex_search(text_, m, std::regex("AT\\+BUILDTIME=([0-9]{8})-([0-9]{6})\\\\r"))) {
      out = replace_all(out, m[1].str(), "<build-date>");
      out = replace_all(out, m[2].str(), "<build-time>");
    }
    if (std::regex_search(text_, m, std::regex("AT\\+REPOINFO=([0-9a-z]+)\\\\r"))) {
      out = replace_all(out, m[1].str(), "<repo-info>");
    }
    return out;
  }

 private:
  static std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
      s.replace(at, from.size(), to);
    }
    return s;
  }
  std::string text_;
};

// The commands every application image is asked, in factory (LoRaWAN) work
// mode, and the point-to-point settings both modules of the exchange take.
const std::vector<std::string> kFactoryCommands = {"AT",
                                                   "AT?",
                                                   "AT+VER=?",
                                                   "AT+FIRMWAREVER=?",
                                                   "AT+HWMODEL=?",
                                                   "AT+HWID=?",
                                                   "AT+CLIVER=?",
                                                   "AT+APIVER=?",
                                                   "AT+BOOTVER=?",
                                                   "AT+BUILDTIME=?",
                                                   "AT+REPOINFO=?",
                                                   "AT+SN=?",
                                                   "AT+UID=?",
                                                   "AT+BAT=?",
                                                   "AT+SYSV=?",
                                                   "AT+BAUD=?",
                                                   "AT+LPM=?",
                                                   "AT+LPMLVL=?",
                                                   "AT+ATM=?",
                                                   "AT+LOCK=?",
                                                   "AT+DEBUG=?",
                                                   "AT+NWM=?",
                                                   "AT+PSF=?",
                                                   "AT+VER=1",
                                                   "AT+NOSUCH",
                                                   "AT+HWMODEL?",
                                                   "AT+FSN=SNG0001",
                                                   "AT+SN=?",
                                                   "AT+ALIAS=golden",
                                                   "AT+ALIAS=?",
                                                   "AT+LPMLVL=2",
                                                   "AT+DEBUG=1",
                                                   "AT+DEBUG=0",
                                                   "AT+PWORD=g0ld",
                                                   "ATE",
                                                   "AT+BAT=?",
                                                   "ATE"};
const std::vector<std::string> kP2pCommands = {"AT+NWM=?",
                                               "AT+P2P=?",
                                               "AT+PFREQ=?",
                                               "AT+PSF=?",
                                               "AT+PBW=?",
                                               "AT+PCR=?",
                                               "AT+PPL=?",
                                               "AT+PTP=?",
                                               "AT+ENCRY=?",
                                               "AT+CAD=?",
                                               "AT+IQINVER=?",
                                               "AT+SYNCWORD=?",
                                               "AT+SYMBOLTIMEOUT=?",
                                               "AT+PBR=?",
                                               "AT+P2P=868100000:9:125:1:12:14",
                                               "AT+P2P=?",
                                               "AT+CRYPIV=0F0E0D0C0B0A09080706050403020100",
                                               "AT+ENCKEY=00112233445566778899AABBCCDDEEFF"};

std::string golden_path(const std::string& image) {
  return std::string(QIV_GOLDEN_DIR) + "/" + image + ".txt";
}

void compare_or_record(const std::string& image, const std::string& got) {
  const char* record = std::getenv("QIV_GOLDEN_RECORD");
  if (record != nullptr && std::string(record) == "1") {
    std::ofstream(golden_path(image), std::ios::binary) << got;
    return;
  }
  std::ifstream in(golden_path(image), std::ios::binary);
  ASSERT_TRUE(in) << "no golden file " << golden_path(image);
  std::stringstream want;
  want << in.rdbuf();
  if (want.str() == got) return;
  // Where they part, and the whole capture for a diff.
  std::string out = std::string(QIV_GOLDEN_OUT) + "/" + image + ".txt";
  std::ofstream(out, std::ios::binary) << got;
  std::istringstream a(want.str()), b(got);
  std::string la, lb;
  int line = 1;
  while (true) {
    bool ha = static_cast<bool>(std::getline(a, la));
    bool hb = static_cast<bool>(std::getline(b, lb));
    if (!ha && !hb) break;
    if (!ha || !hb || la != lb) {
      ADD_FAILURE() << image << ": differs from " << golden_path(image) << " at line " << line
                    << "\n  golden: " << (ha ? la : "<end>")
                    << "\n  now:    " << (hb ? lb : "<end>") << "\n(the whole capture: " << out
                    << ")";
      return;
    }
    ++line;
  }
}

class ApplicationImage : public ::testing::TestWithParam<std::string> {};

TEST_P(ApplicationImage, ShowsTheGoldenBytes) {
  const std::string image = GetParam();
  ASSERT_TRUE(systest::image_available(image)) << image << " not built";
  World w;
  w.budget().set_default_path_loss(120.0);
  w.budget().set_noise_floor(-120.0);
  Capture cap;
  systest::DeviceOptions o;
  o.image = image;
  o.ports = {kAt};
  o.pins = {{"PB12", 1}};
  o.adcs = {{"VBAT", 3300}, {"PB3", 2000}};
  Device& a = w.start("a", o);
  w.run_for(sec(2));
  cap.section("a start-up", escaped(a.take(kAt)));
  // The command listing is the longest reply: it gets time to finish before
  // the next command is typed.
  for (const std::string& c : kFactoryCommands) cap.command(w, a, c, c == "AT?" ? sec(3) : ms(400));
  // Into point-to-point mode (the module restarts into it).
  cap.command(w, a, "AT+NWM=0", sec(2));
  for (const std::string& c : kP2pCommands) cap.command(w, a, c);

  Device& b = w.start("b", o);
  w.run_for(sec(2));
  cap.section("b start-up", escaped(b.take(kAt)));
  cap.command(w, b, "AT+NWM=0", sec(2));
  cap.command(w, b, "AT+P2P=868100000:9:125:1:12:14");
  cap.command(w, b, "AT+PRECV=65534");
  cap.command(w, a, "AT+PSEND=00112233445566778899", sec(1));
  cap.section("b received", escaped(b.take(kAt)));
  cap.command(w, b, "AT+PRECV=0");
  // The same with payload encryption on both sides.
  for (Device* d : {&a, &b}) {
    cap.command(w, *d, "AT+ENCKEY=00112233445566778899AABBCCDDEEFF");
    cap.command(w, *d, "AT+CRYPIV=0F0E0D0C0B0A09080706050403020100");
    cap.command(w, *d, "AT+ENCRY=1");
  }
  cap.command(w, b, "AT+PRECV=65534");
  cap.command(w, a, "AT+PSEND=48656C6C6F", sec(1));
  cap.section("b received", escaped(b.take(kAt)));
  cap.command(w, b, "AT+PRECV=0");
  // FSK.
  for (Device* d : {&a, &b}) cap.command(w, *d, "AT+NWM=2", sec(2));
  cap.command(w, b, "AT+PRECV=65534");
  cap.command(w, a, "AT+PSEND=A1A2A3A4", sec(1));
  cap.section("b received", escaped(b.take(kAt)));

  std::string frames;
  for (const auto& r : w.frames()) frames += frame_text(r);
  cap.section("frames", frames);
  cap.section("a flash", flash_text(a.flash()));
  cap.section("b flash", flash_text(b.flash()));
  compare_or_record(image, cap.masked());
}

INSTANTIATE_TEST_SUITE_P(Images, ApplicationImage,
                         ::testing::ValuesIn(split(QIV_GOLDEN_APPLICATIONS)), [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return n;
                         });

class Bootloader : public ::testing::TestWithParam<std::string> {};

// A new module's bootloader (erased flash): it waits in boot mode and
// answers its own commands.
TEST_P(Bootloader, ShowsTheGoldenBytes) {
  const std::string image = GetParam();
  ASSERT_TRUE(systest::image_available(image)) << image << " not built";
  World w;
  Capture cap;
  systest::DeviceOptions o;
  o.image = image;
  o.ports = {kAt};
  Device& d = w.start("boot", o);
  w.run_for(sec(1));
  cap.section("boot start-up", escaped(d.take(kAt)));
  for (const char* c :
       {"AT", "at+version", "AT+VER=?", "at+bootver=?", "at+bootstatus", "at+nosuch", "hello"}) {
    cap.command(w, d, c);
  }
  cap.section("boot flash", flash_text(d.flash()));
  compare_or_record(image, cap.masked());
}

INSTANTIATE_TEST_SUITE_P(Images, Bootloader, ::testing::ValuesIn(split(QIV_GOLDEN_BOOTLOADERS)),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return n;
                         });

}  // namespace

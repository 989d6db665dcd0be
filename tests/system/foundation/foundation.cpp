#include "foundation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "hostutil/tempdir.h"

namespace fdn {

using systest::Device;
using systest::ms;
using systest::sec;
using systest::time_us;

const Image kBrisolaT{"brisola-t", "Brisola-T", "BrisolaT-", true, true, kModeCustom};
const std::vector<Image> kImages = {
    kBrisolaT,
    {"brisola-e", "Brisola-E", "Brisola-", true, true, kModeCustom},
    {"quenlarlp-sip", "QuenlarLP-SiP", nullptr, false, false, kModeCustom},
    {"saffrond", "Saffrond", nullptr, false, false, kModeEsp32},
};

const Image& image_named(std::string_view name) {
  for (const Image& img : kImages)
    if (name == img.name) return img;
  throw std::invalid_argument("no image " + std::string(name));
}

// ------------------------------------------------------------- flash ----
Bytes erased_flash() { return Bytes(kFlashSize, 0xFF); }

uint32_t get32(const Bytes& b, size_t off) {
  return static_cast<uint32_t>(b.at(off)) | static_cast<uint32_t>(b.at(off + 1)) << 8 |
         static_cast<uint32_t>(b.at(off + 2)) << 16 | static_cast<uint32_t>(b.at(off + 3)) << 24;
}

void put32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}

void put16(Bytes& b, size_t off, uint16_t v) {
  b.at(off) = static_cast<uint8_t>(v);
  b.at(off + 1) = static_cast<uint8_t>(v >> 8);
}

static void put_text(Bytes& b, size_t off, const std::string& text) {
  std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
}

Bytes record_of(const Bytes& flash) {
  size_t o = at(kRecordAddr);
  if (flash.size() < o + kRecordSize) return {};
  return Bytes(flash.begin() + o, flash.begin() + o + kRecordSize);
}

Bytes factory_of(const Bytes& flash) {
  size_t o = at(kFactoryAddr);
  if (flash.size() < o + kRecordSize) return {};
  return Bytes(flash.begin() + o, flash.begin() + o + kRecordSize);
}

Bytes default_record(const Image& img, bool high_band) {
  Bytes r(kRecordSize, 0);
  bool low = img.band_strap && !high_band;
  put32(r, rec::magic, 0xAABBCCDD);
  put32(r, rec::version, 4);
  r[rec::lora_work_mode] = 1;  // LoRaWAN
  put32(r, rec::p2p_frequency, low ? 470000000 : 868000000);
  r[rec::p2p_sf] = 7;
  put16(r, rec::p2p_bw, 0);
  r[rec::p2p_cr] = 0;
  put16(r, rec::p2p_preamble, 8);
  r[rec::p2p_power] = 14;
  put32(r, rec::bitrate, 4915);
  put32(r, rec::deviation, 5000);
  put32(r, rec::fsk_rxbw, 20000);
  r[rec::region] = low ? 2 : 5;  // CN470 : EU868
  if (low)
    for (int i = 0; i < 6; ++i) put16(r, rec::ch_mask + 2 * i, 0xFFFF);
  r[rec::join_mode] = 1;  // OTAA
  r[rec::adr] = 1;
  r[rec::duty_cycle] = 1;
  put32(r, rec::jn1dl, 5000);
  put32(r, rec::jn2dl, 6000);
  put32(r, rec::rx1dl, 1000);
  put32(r, rec::rx2dl, 2000);
  r[rec::pub_nwk_mode] = 1;
  put32(r, rec::auto_join_period, 8);
  r[rec::mode_type + 0] = kModeCustom;
  r[rec::mode_type + 1] = img.uart1_default;
  r[rec::mode_type + 2] = kModeCli;
  // lock states: all open (0)
  put32(r, rec::baudrate, 115200);
  put_text(r, rec::passwd, "58203761");
  put_text(r, rec::firmware_ver, version_text(img));
  put_text(r, rec::hwmodel, img.model);
  put_text(r, rec::cli_ver, "1.5.15");
  put16(r, rec::syncword, 0x1424);
  put16(r, rec::lbt_rssi, static_cast<uint16_t>(-80));
  put32(r, rec::lbt_scantime, 5);
  r[rec::auto_sleep_level] = 1;
  r[rec::is_cert_port_on] = 1;
  return r;
}

std::string record_diff(const Bytes& want, const Bytes& got) {
  if (want.size() != got.size())
    return "size " + std::to_string(got.size()) + ", expected " + std::to_string(want.size());
  std::ostringstream out;
  int shown = 0;
  for (size_t i = 0; i < want.size() && shown < 12; ++i) {
    if (want[i] == got[i]) continue;
    char line[64];
    std::snprintf(line, sizeof line, "\n  offset %zu: 0x%02X, expected 0x%02X", i, got[i], want[i]);
    out << line;
    ++shown;
  }
  return shown ? "records differ:" + out.str() : "records equal";
}

// ------------------------------------------------------------- texts ----
std::string version_text(const Image& img) { return std::string("QIV_4.2.4_") + img.model; }

std::string startup_text(const Image& img) {
  return "\r\n"  // the line editor starting on the AT port
         "Velnatronic " +
         std::string(img.model) + "\r\n" + std::string(54, '-') + "\r\n" +
         "Version: " + version_text(img) + "\r\n" + "Current Work Mode: LoRaWAN.\r\n";
}

std::string paced(const std::string& line, size_t length) {
  std::string s = line;
  if (s.size() < length) s.append(length - s.size(), '\n');
  return s;
}

std::string printable(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        }
    }
  }
  if (out.size() > 4000) out = out.substr(0, 2000) + "..." + out.substr(out.size() - 1500);
  return out + "\"";
}

testing::AssertionResult same_text(std::string_view got, std::string_view want) {
  if (got == want) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  size_t from = i > 60 ? i - 60 : 0;
  return testing::AssertionFailure()
         << "texts part at byte " << i << " (got " << got.size() << " bytes, expected "
         << want.size() << ")\n  got      ..." << printable(got.substr(from, 160))
         << "\n  expected ..." << printable(want.substr(from, 160));
}

// ------------------------------------------------------------ runners ---
Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

RunResult run_image(const std::string& image, const std::string& flash_path, std::string_view input,
                    const std::vector<std::string>& more_args, const char* run_for) {
  std::string stats_path = flash_path + ".stats";
  std::remove(stats_path.c_str());  // the counts of this run only
  std::vector<std::string> args = {"--flash", flash_path, "--run-for", run_for};
  args.insert(args.end(), more_args.begin(), more_args.end());
  systest::PipeResult p = systest::run_pipe(image, args, input);
  RunResult r;
  r.out = p.out;
  r.status = p.status;
  r.exited_ok = p.exited_ok();
  std::ifstream in(stats_path);
  std::string key;
  uint64_t value;
  while (in >> key >> value) {
    if (key == "erases") r.stats.erases = value;
    if (key == "programs") r.stats.programs = value;
  }
  if (!r.exited_ok) ADD_FAILURE() << image << " ended with status " << p.status << ":\n" << p.err;
  return r;
}

Scratch::Scratch() : dir_(hostutil::make_temp_dir("qiv-foundation")) {}

Scratch::~Scratch() {
  if (testing::Test::HasFailure() || std::getenv("QIV_KEEP_WORLD")) {
    std::fprintf(stderr, "flash files kept in %s\n", dir_.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

Bytes flash_with_record(const Bytes& record) {
  Bytes f = erased_flash();
  std::copy(record.begin(), record.end(), f.begin() + at(kRecordAddr));
  return f;
}

Device& start_module(systest::World& w, const std::string& name, const Image& img,
                     systest::DeviceOptions o, bool wait) {
  o.image = img.name;
  o.ports = {kUart1, kAtPort};
  bool strap_given = false;
  for (auto& p : o.pins) strap_given |= p.first == "PB12";
  if (!strap_given) o.pins.push_back({"PB12", 1});
  Device& d = w.start(name, std::move(o));
  if (wait) {
    EXPECT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
  }
  return d;
}

static time_us line_time(size_t bytes) { return bytes * 10'000'000ull / 115200 + 1; }

std::string collect(Device& d, int port, time_us settle) {
  d.world().run_for(settle);
  return d.take(port);
}

testing::AssertionResult exchange(Device& d, int port, std::string_view input,
                                  std::string_view want, time_us settle) {
  d.write(port, input);
  time_us typed = line_time(input.size());
  d.world().run_until([&] { return d.unread(port).size() >= want.size(); }, typed + sec(5));
  std::string got = collect(d, port, typed + settle);
  testing::AssertionResult same = same_text(got, want);
  if (same) return same;
  return testing::AssertionFailure() << "typed " << printable(input.substr(0, 200)) << " on port "
                                     << port << ": " << same.message();
}

}  // namespace fdn

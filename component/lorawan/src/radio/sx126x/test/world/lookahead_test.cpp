// The radio lookahead changes how often the world's devices stop, never what
// happens: one busy scenario on one air, run once with devices stopping at
// every grant (QIV_AIR_LEAD=0) and once letting their radio models run ahead
// as far as no later frame could matter yet, shows the same frames on the air
// (time, sender, every field) and the same console output of every device at
// the same virtual times, with fewer grants for the lookahead.
//
// Every action of the test happens at a fixed virtual time (run_until, then
// write): a wait that stops at a line would stop at a round boundary, and
// those are what the lookahead changes. Outputs are read at the end.
//
// The scenario: SX126x-driver and STM32WL-driver test devices and three
// Brisola-T modules in LoRa P2P, all on 868.1 MHz SF7:
// - continuous listeners (a test device and the three modules) hearing many
//   frames from several senders, the modules sending while listening;
// - frames overlapping at the listeners (one in the other's preamble, one
//   in its payload, two modules at the same instant);
// - transmissions stopped in the preamble, the header and the payload;
// - single receive windows timing out, catching a frame, closing on a
//   symbol timeout, opened during a preamble, re-armed during a frame;
// - channel activity detection during a frame and on a free channel, and a
//   module's send refused by its channel check during someone else's frame;
// - an FSK exchange both ways and a stopped FSK frame;
// - frames the listeners do not take (another spreading factor, channel or
//   network, the world's own) and one of the world's they do take;
// - a long stretch of pseudo-random traffic with quiet spans, during which
//   a module stops listening, sleeps and listens again;
// - last, second-long SF12 frames: one caught, one stopped in its payload.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "systest/world.h"

namespace {

using systest::ms;
using systest::sec;
using systest::time_us;

constexpr int kConsole = 0;  // the radio test devices' console
constexpr int kAt = 2;       // the modules' AT port

struct Member {
  const char* name;
  const char* image;
};
const Member kMembers[] = {
    {"s1", "radio-device-sx126x"}, {"s2", "radio-device-sx126x"}, {"g1", "radio-device-subghz"},
    {"g2", "radio-device-subghz"}, {"b1", "brisola-t"},           {"b2", "brisola-t"},
    {"b3", "brisola-t"},
};

bool is_module(const std::string& name) { return name[0] == 'b'; }
int port_of(const std::string& name) { return is_module(name) ? kAt : kConsole; }

// A line typed into a device at a virtual time (ms after the world started),
// or, for no device, a frame the world puts on the air then (its start and
// end counted from then).
struct Step {
  uint64_t at_ms;
  std::string device;
  std::string line;
  sim::AirFrame frame{};
};

std::string bytes_hex(size_t n, uint32_t seed) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", static_cast<unsigned>((seed * 31 + i * 17) & 0xFF));
    s += b;
  }
  return s;
}

std::string send(const std::string& device, size_t n, uint32_t seed) {
  return (is_module(device) ? "AT+PSEND=" : "TX ") + bytes_hex(n, seed);
}

constexpr const char* kLora = "LORA 868100000 7 0 1 14 8 0";
constexpr const char* kLoraContinuous = "LORA 868100000 7 0 1 14 8 0 1";
constexpr const char* kLoraSymbolTimeout = "LORA 868100000 7 0 1 14 8 5";
constexpr const char* kFsk = "FSK 868800000 50000 25000 50000 14 1000";

std::vector<Step> scenario() {
  std::vector<Step> s;
  auto at = [&s](uint64_t t, const std::string& d, const std::string& line) {
    s.push_back({t, d, line});
  };
  // Set-up: the modules into P2P (a restart), then continuous reception
  // that lets sends through; b3 checks the channel before it sends.
  for (const char* b : {"b1", "b2", "b3"}) {
    at(1000, b, "AT+NWM=0");
    at(2500, b, "AT+P2P=868100000:7:125:0:8:14");
    at(2700, b, "AT+PRECV=65533");
  }
  at(2800, "b3", "AT+CAD=1");
  for (const char* d : {"s1", "s2", "g2"}) at(2500, d, kLora);
  at(2500, "g1", kLoraContinuous);
  at(2600, "g1", "RX 0");

  // Many frames from several senders, one after the other.
  const char* senders[] = {"s1", "s2", "g2", "b1", "b2"};
  for (uint32_t i = 0; i < 25; ++i) {
    at(3000 + 250 * i, senders[i % 5], send(senders[i % 5], 4 + (i * 7) % 40, i));
  }

  // Collisions: the second frame starts in the first one's payload, then in
  // its preamble; then two modules at the same instant; then a lone frame.
  at(10000, "s1", send("s1", 30, 100));
  at(10040, "s2", send("s2", 30, 101));
  at(10500, "g2", send("g2", 20, 102));
  at(10505, "s1", send("s1", 20, 103));
  at(11000, "b1", send("b1", 10, 104));
  at(11000, "b2", send("b2", 10, 105));
  at(11500, "s2", send("s2", 6, 106));

  // Transmissions stopped in the preamble, the header and the payload (a
  // frame goes on the air some 15 ms after its command is typed: the line,
  // then the radio's start).
  at(12000, "s1", send("s1", 30, 110));
  at(12020, "s1", "STANDBY");
  at(12500, "g2", send("g2", 30, 111));
  at(12523, "g2", "STANDBY");
  at(13000, "s2", send("s2", 30, 112));
  at(13045, "s2", "STANDBY");
  at(13500, "s1", send("s1", 8, 113));

  // Single windows: one times out, one catches a frame, one is still open
  // when a frame starts near its end, two close on their symbol timeout (one
  // as a frame starts), two open during a preamble (a short one and a long
  // one).
  at(14000, "s2", "RX 300");
  at(14500, "g2", "RX 500");
  at(14700, "s1", send("s1", 3, 120));
  at(15500, "s2", "RX 200");
  at(15600, "b1", send("b1", 5, 121));
  at(16000, "g2", "RX 100");
  at(16085, "s1", send("s1", 30, 122));
  at(16500, "s2", kLoraSymbolTimeout);
  at(16600, "s2", "RX 1000");
  at(16698, "g2", send("g2", 12, 123));
  at(16700, "s2", "RX 1000");
  at(16780, "s2", kLora);
  at(16850, "s1", send("s1", 20, 124));
  at(16866, "s2", "RX 150");
  at(17000, "s1", "LORA 868100000 7 0 1 14 64 0");
  at(17050, "s1", send("s1", 20, 125));
  at(17100, "s2", "RX 300");
  at(17300, "s1", kLora);

  // Receivers re-armed while a frame is on the air: a window and the
  // continuous listener, in its payload; a later frame is still caught.
  at(17400, "g2", "RX 2000");
  at(17500, "s1", send("s1", 30, 130));
  at(17520, "g1", "RX 0");
  at(17530, "g2", "RX 2000");
  at(17700, "s2", send("s2", 2, 131));

  // Channel activity: during a frame, on a free channel; a module's send
  // refused by its check during someone else's frame, then let through.
  at(18000, "s1", send("s1", 30, 140));
  at(18010, "s2", "CAD");
  at(18020, "b3", send("b3", 4, 141));
  at(18300, "s2", "CAD");
  at(18500, "b3", send("b3", 4, 142));

  // FSK both ways, and a stopped FSK frame.
  at(19000, "s1", kFsk);
  at(19000, "g2", kFsk);
  at(19100, "g2", "RX 2000");
  at(19200, "s1", send("s1", 10, 150));
  at(19500, "s1", "RX 1000");
  at(19600, "g2", send("g2", 3, 151));
  at(20000, "g2", "RX 1000");
  at(20010, "s1", send("s1", 60, 152));
  at(20036, "s1", "STANDBY");
  at(21000, "s1", kLora);
  at(21000, "g2", kLora);

  // Frames the SF7 listeners do not take: another spreading factor, another
  // channel, another network's sync word (a long one, which a device's frame
  // then overlaps); and one from the world they do take.
  auto inject = [&s](uint64_t t, uint32_t hz, uint8_t sf, uint16_t sync, size_t n,
                     time_us time_on_air) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(0xC0 + i);
    Step step{t, "", "", systest::lora_frame(hz, sf, 125000, p, 0, time_on_air)};
    step.frame.lora_sync_word = sync;
    s.push_back(step);
  };
  at(21050, "s1", "LORA 868100000 8 0 1 14 8 0");
  at(21100, "s1", send("s1", 10, 160));
  at(21400, "s1", kLora);
  inject(21500, 868100000, 7, 0x1424, 10, 41216);
  inject(21600, 868300000, 7, 0x1424, 10, 41216);
  inject(21700, 868100000, 7, 0x3444, 200, ms(800));
  at(21750, "b3", send("b3", 4, 161));
  at(21800, "s2", send("s2", 10, 162));

  // A long stretch of pseudo-random traffic: a send every 300..1300 ms from
  // any sender, sometimes a window on s2 or g2, sometimes a quiet second.
  uint32_t x = 12345;
  auto next = [&x](uint32_t n) {
    x = x * 1103515245u + 12345u;
    return (x >> 16) % n;
  };
  uint64_t t = 22000;
  for (uint32_t i = 0; t < 46000; ++i) {
    const char* d = senders[next(5)];
    at(t, d, send(d, 1 + next(48), 200 + i));
    const uint32_t r = next(6);
    if (r == 0) at(t - 50, "s2", "RX " + std::to_string(100 + next(400)));
    if (r == 1) at(t + 10 + next(40), "g2", "RX " + std::to_string(50 + next(300)));
    if (r == 2) t += 1000;
    t += 300 + next(1000);
  }
  // Meanwhile one module stops listening and sleeps a while (its radio off),
  // then listens again.
  at(30000, "b2", "AT+PRECV=0");
  at(30100, "b2", "AT+SLEEP=3000");
  at(34000, "b2", "AT+PRECV=65533");

  // Last, SF12 (with the low-data-rate optimisation): a second-long frame
  // caught by a window, an SF7 frame on the air meanwhile, and a frame stopped
  // in its payload.
  at(46600, "s1", "LORA 868100000 12 0 1 14 8 0");
  at(46600, "g2", "LORA 868100000 12 0 1 14 8 0");
  at(46700, "g2", "RX 3000");
  at(46800, "s1", send("s1", 12, 170));
  at(47000, "s2", send("s2", 12, 171));
  at(48500, "g2", "RX 3000");
  at(48600, "s1", send("s1", 12, 172));
  at(49300, "s1", "STANDBY");
  std::stable_sort(s.begin(), s.end(),
                   [](const Step& a, const Step& b) { return a.at_ms < b.at_ms; });
  return s;
}

constexpr uint64_t kEndMs = 52000;

// What a run leaves to compare: one line per frame on the air, per device
// its output with the virtual time of each piece, and the grant count.
struct Outcome {
  std::vector<std::string> frames;
  std::map<std::string, std::vector<std::string>> output;
  std::map<std::string, std::string> text;  // each device's whole output
  std::vector<sim::world::FrameRecord> records;
  uint64_t grants = 0;
};

std::string escape(const std::string& s) {
  std::string o;
  char b[5];
  for (unsigned char c : s) {
    if (c == '\r') {
      o += "\\r";
    } else if (c == '\n') {
      o += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(b, sizeof b, "\\x%02X", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}

std::string describe(const sim::world::FrameRecord& r,
                     const std::map<uint32_t, std::string>& names) {
  const sim::AirFrame& f = r.frame;
  const auto name = names.find(f.sender);
  std::ostringstream o;
  o << sim::world::format_time(r.t) << " from "
    << (name != names.end() ? name->second : std::to_string(f.sender)) << (f.cut ? " CUT" : "")
    << " [" << f.start_us << ".." << f.end_us << "] " << f.frequency_hz << "Hz modem "
    << static_cast<int>(f.modem) << " sf " << int{f.sf} << " bw " << f.bandwidth_hz << " cr "
    << int{f.coding_rate} << " ldro " << f.ldro << " br " << f.bitrate << " fdev " << f.fdev_hz
    << " pre " << f.preamble_len << " sync " << f.lora_sync_word << "/"
    << systest::hex(f.fsk_sync, f.fsk_sync_len) << " iq " << f.iq_inverted << " crc " << f.crc_on
    << " impl " << f.implicit_header << " pwr " << int{f.tx_power_dbm} << " fskcrc "
    << int{f.fsk_crc_len} << "/" << f.fsk_crc_inverted << "/" << f.fsk_crc_seed << "/"
    << f.fsk_crc_poly << " white " << f.fsk_whitening << "/" << f.fsk_whitening_seed << " phy "
    << static_cast<int>(f.phy) << " len " << f.len << " "
    << systest::hex(f.payload, std::min<size_t>(f.len, sizeof f.payload));
  return o.str();
}

// Restores QIV_AIR_LEAD as it was.
class LeadSetting {
 public:
  explicit LeadSetting(bool lead) {
    if (const char* v = std::getenv("QIV_AIR_LEAD")) saved_ = v;
    if (lead) {
      ::unsetenv("QIV_AIR_LEAD");
    } else {
      ::setenv("QIV_AIR_LEAD", "0", 1);
    }
  }
  ~LeadSetting() {
    if (saved_) {
      ::setenv("QIV_AIR_LEAD", saved_->c_str(), 1);
    } else {
      ::unsetenv("QIV_AIR_LEAD");
    }
  }
  LeadSetting(const LeadSetting&) = delete;
  LeadSetting& operator=(const LeadSetting&) = delete;

 private:
  std::optional<std::string> saved_;
};

Outcome run(bool lead, const std::vector<Step>& steps) {
  LeadSetting setting(lead);
  systest::World w;
  w.budget().set_default_path_loss(100.0);
  std::map<std::string, systest::Device*> dev;
  for (const Member& m : kMembers) {
    systest::DeviceOptions o;
    o.image = m.image;
    o.ports = {port_of(m.name)};
    if (is_module(m.name)) o.pins = {{"PB12", 1}};
    dev[m.name] = &w.start(m.name, o);
  }
  // Unequal links, so that receptions tell their senders apart.
  w.budget().set_path_loss(dev["s1"]->id(), dev["g1"]->id(), 90.0, true);
  w.budget().set_path_loss(dev["s2"]->id(), dev["g1"]->id(), 110.0, true);
  w.budget().set_path_loss(dev["b1"]->id(), dev["b3"]->id(), 85.0, true);
  w.budget().set_path_loss(dev["g2"]->id(), dev["b2"]->id(), 120.0, true);

  const time_us t0 = w.now();
  for (const Step& s : steps) {
    w.run_until(t0 + ms(s.at_ms));
    if (s.device.empty()) {
      sim::AirFrame f = s.frame;
      f.start_us += w.now();
      f.end_us += w.now();
      w.inject_frame(f);
    } else {
      dev.at(s.device)->write(port_of(s.device), s.line + "\r\n");
    }
  }
  w.run_until(t0 + ms(kEndMs));

  Outcome out;
  std::map<uint32_t, std::string> names;
  for (const auto& [name, d] : dev) names[static_cast<uint32_t>(d->id())] = name;
  for (const auto& r : w.frames()) out.frames.push_back(describe(r, names));
  out.records = w.frames();
  for (const Member& m : kMembers) {
    const systest::Device& d = *dev[m.name];
    // Pieces at the same time are one piece: how a device hands its output
    // over is not what is compared, when each byte came is.
    std::vector<std::pair<time_us, std::string>> merged;
    for (const auto& c : d.chunks(port_of(m.name))) {
      if (!merged.empty() && merged.back().first == c.t) {
        merged.back().second += c.bytes;
      } else {
        merged.emplace_back(c.t, c.bytes);
      }
    }
    for (const auto& [t, bytes] : merged) {
      out.output[m.name].push_back(sim::world::format_time(t) + " " + escape(bytes));
    }
    out.text[m.name] = d.output(port_of(m.name));
  }
  out.grants = w.master().grants();
  return out;
}

// The first place where two transcripts differ, with a little context.
testing::AssertionResult same(const char* what, const std::vector<std::string>& stepwise,
                              const std::vector<std::string>& ahead) {
  size_t i = 0;
  while (i < stepwise.size() && i < ahead.size() && stepwise[i] == ahead[i]) ++i;
  if (i == stepwise.size() && i == ahead.size()) return testing::AssertionSuccess();
  auto r = testing::AssertionFailure();
  r << what << " differ at entry " << i << " (" << stepwise.size() << " stepwise, " << ahead.size()
    << " with lookahead)\n";
  for (size_t k = i >= 2 ? i - 2 : 0; k < i; ++k) r << "  both:      " << stepwise[k] << "\n";
  for (size_t k = i; k < i + 3; ++k) {
    if (k < stepwise.size()) r << "  stepwise:  " << stepwise[k] << "\n";
    if (k < ahead.size()) r << "  lookahead: " << ahead[k] << "\n";
  }
  return r;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(RadioLookahead, BusyAirIsTheSameWithAndWithoutTheLookahead) {
  for (const Member& m : kMembers) {
    if (!systest::image_available(m.image)) GTEST_SKIP() << m.image << " not built";
  }
  const std::vector<Step> steps = scenario();
  const Outcome stepwise = run(false, steps);
  const Outcome ahead = run(true, steps);

  std::cout << "grants: stepwise " << stepwise.grants << ", with lookahead " << ahead.grants
            << "\n";
  RecordProperty("grants_stepwise", std::to_string(stepwise.grants));
  RecordProperty("grants_lookahead", std::to_string(ahead.grants));

  EXPECT_TRUE(same("frames on the air", stepwise.frames, ahead.frames));
  for (const Member& m : kMembers) {
    EXPECT_TRUE(same((std::string("output of ") + m.name).c_str(), stepwise.output.at(m.name),
                     ahead.output.at(m.name)));
  }
  EXPECT_LT(ahead.grants, stepwise.grants);

  // The scenario does what it is meant to cover (as the stepwise run shows).
  const auto& text = stepwise.text;
  EXPECT_GE(count(text.at("g1"), "RXDONE"), 25u) << "the continuous listener hears many frames";
  for (const char* b : {"b1", "b2", "b3"}) {
    EXPECT_NE(text.at(b).find("Current Work Mode: LoRa P2P."), std::string::npos) << b;
    EXPECT_GE(count(text.at(b), "+EVT:RXP2P:"), 20u) << b;
  }
  EXPECT_GE(count(text.at("b3"), "AT_BUSY_ERROR"), 1u) << "a send refused by the channel check";
  EXPECT_GE(count(text.at("g1"), "RXERROR"), 1u) << "a collision or stopped frame";
  EXPECT_GE(count(text.at("s2"), "RXTIMEOUT"), 2u);
  EXPECT_GE(count(text.at("s2"), "RXDONE"), 3u) << "windows catching frames";
  EXPECT_GE(count(text.at("g2"), "RXDONE"), 3u);
  EXPECT_EQ(count(text.at("s2"), "CADDONE 1"), 1u);
  EXPECT_GE(count(text.at("s2"), "CADDONE 0"), 1u);
  size_t cut = 0, fsk = 0;
  for (const auto& r : stepwise.records) {
    cut += r.frame.cut ? 1 : 0;
    fsk += r.frame.modem == sim::Modem::kFsk ? 1 : 0;
  }
  EXPECT_GE(cut, 4u) << "three LoRa frames and one FSK frame stopped";
  EXPECT_GE(fsk, 3u);
  EXPECT_GE(stepwise.frames.size(), 60u);
}

}  // namespace

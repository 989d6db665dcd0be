#include "lorawan_day.h"

#include <cstdio>

namespace bench {

using namespace sim::network;

namespace {

const Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

std::string eui_hex(uint64_t eui) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(eui));
  return text;
}

}  // namespace

LorawanDay::LorawanDay(size_t modules, const std::string& dir)
    : world_(dir),
      server_(RegionId::kEU868),
      gateway_(server_, world_.master()),
      modules_(modules) {
  for (size_t i = 0; i < modules_.size(); ++i) modules_[i].name = "m" + std::to_string(i);
}

bool LorawanDay::image_built() { return bench::image_built(kImage); }

std::string LorawanDay::start() {
  for (Module& m : modules_) {
    m.id = world_.start(kImage, {"--pin", "PB12=1"});
    if (!world_.wait_line(m.id, "Current Work Mode: LoRaWAN.", 10 * kSecond))
      return m.name + ": no start-up line";
  }
  return "";
}

// Takes the lines a module printed so far: counts what is reported.
void LorawanDay::take_lines(Module& m) {
  for (const std::string& line : world_.lines(m.id)) {
    if (line == "+EVT:JOINED") m.joined = true;
    if (line == "+EVT:TX_DONE") ++m.tx_done;
  }
  world_.lines(m.id).clear();
}

// One command and its "OK" (the module's own lines before it are dropped).
bool LorawanDay::at(Module& m, const std::string& command) {
  world_.write(m.id, command + "\r\n");
  auto ok = world_.wait_line(m.id, "OK", 2 * kSecond);
  return ok && *ok == "OK";
}

std::string LorawanDay::run() {
  World& w = world_;
  const size_t n = modules_.size();
  for (size_t i = 0; i < n; ++i) {
    Module& m = modules_[i];
    const uint64_t eui = 0x0202020200000000ull + i;
    DeviceEntry e;
    e.name = m.name;
    e.dev_eui = eui;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = kAppKey;
    server_.add_device(e);
    if (!at(m, "AT+DEVEUI=" + eui_hex(eui)) || !at(m, "AT+APPEUI=0101010101010101") ||
        !at(m, "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C") || !at(m, "AT+DR=5"))
      return m.name + ": identity commands refused";
  }
  const time_us start = w.now();
  const double h0 = host_seconds();
  const time_us step = kPeriod / static_cast<time_us>(n);
  auto slot = [&](unsigned period, size_t i) {
    return start + period * kPeriod + static_cast<time_us>(i) * step;
  };
  // Joins spread over the first period (a failed join is tried again every
  // 10 s, up to 8 times). With joins every few hundred milliseconds the
  // gateway's join accepts fall on later join requests (it cannot hear while
  // it sends), so a module that has not joined when its slot comes again is
  // asked again, in further periods, before the first uplink: uplinks
  // begin only when every module has joined, so that no join accept falls
  // on one of them.
  unsigned period = 0;
  for (;; ++period) {
    for (size_t i = 0; i < n; ++i) {
      Module& m = modules_[i];
      w.run_until(slot(period, i));
      take_lines(m);
      if (!m.joined) w.write(m.id, "AT+JOIN=1:0:10:8\r\n");
    }
    w.run_until(slot(period + 1, 0));
    bool all = true;
    for (Module& m : modules_) {
      take_lines(m);
      all = all && m.joined;
    }
    if (all) break;
    if (period + 1 == kJoinPeriods) {
      for (Module& m : modules_)
        if (!m.joined)
          return m.name + ": not joined after " + std::to_string(kJoinPeriods) + " periods";
    }
  }
  // The uplinks: one in each module's slot of each following period. Each
  // period's commands are given with their times before the world runs
  // through it (rather than running up to each and writing it then), so
  // that the other modules need not stop at each of them.
  const unsigned first = period + 1;
  for (unsigned k = 1; k <= kUplinks; ++k) {
    for (size_t i = 0; i < n; ++i)
      w.write_at(modules_[i].id, slot(first + k - 1, i),
                 "AT+SEND=2:" + payload_hex(static_cast<int>(i), k, 12) + "\r\n");
    w.run_until(slot(first + k, 0));
    for (Module& m : modules_) take_lines(m);
  }
  for (Module& m : modules_) take_lines(m);
  host_ = host_seconds() - h0;
  virt_ = static_cast<double>(w.now() - start) / 1e6;
  return "";
}

LorawanDay::Figures LorawanDay::figures() const {
  Figures f;
  f.host = host_;
  f.virt = virt_;
  for (const UplinkRecord& r : server_.uplinks())
    f.uplinks += (r.status == "ok" && r.mtype == MType::kUnconfirmedUp);
  for (const Module& m : modules_) f.tx_done += m.tx_done;
  return f;
}

}  // namespace bench

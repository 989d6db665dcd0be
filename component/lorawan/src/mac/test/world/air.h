// The MAC device program on the air with a gateway and network server: a
// small fixture for the system tests (start, join, exchange, look at what
// the network saw).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "network/gateway.h"
#include "systest/world.h"

namespace air {

using namespace sim::network;
using systest::ms;
using systest::sec;

constexpr int kConsole = 0;
constexpr uint64_t kDevEui = 0x0202020202020202ull;
constexpr uint64_t kJoinEui = 0x0101010101010101ull;
const Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const Key kNwkKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                     0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00};
// The device program under test (the build makes each test once per radio
// path).
#ifndef MAC_DEVICE_IMAGE
#define MAC_DEVICE_IMAGE "mac-device-sx126x"
#endif
constexpr const char* kImage = MAC_DEVICE_IMAGE;

inline DeviceEntry otaa_entry(bool v11 = false) {
  DeviceEntry e;
  e.name = "a";
  e.v11 = v11;
  e.dev_eui = kDevEui;
  e.join_eui = kJoinEui;
  e.app_key = kAppKey;
  e.nwk_key = v11 ? kNwkKey : kAppKey;
  return e;
}

// The prefix of `line` before its `n`-th space-separated field ends.
inline std::string fields(const std::string& line, int n) {
  size_t at = 0;
  for (int i = 0; i < n; ++i) {
    at = line.find(' ', at);
    if (at == std::string::npos) return line;
    ++at;
  }
  return line.substr(0, at - 1);
}

struct Air {
  systest::World w;
  NetworkServer ns;
  std::unique_ptr<Gateway> gw;
  systest::Device* d = nullptr;

  explicit Air(RegionId region = RegionId::kEU868, std::optional<DeviceEntry> entry = otaa_entry(),
               const std::string& image = kImage)
      : ns(region) {
    if (entry) ns.add_device(*entry);
    gw = std::make_unique<Gateway>(ns, w.master());
    d = &w.start("a", image);
    EXPECT_TRUE(d->wait_line(kConsole, "READY"));
  }
  ~Air() { gw.reset(); }

  // A command and its immediate answer line.
  std::string cmd(const std::string& line) {
    d->write(kConsole, line + "\r\n");
    return d->next_line(kConsole, sec(1)).value_or("(nothing)");
  }
  std::string next(systest::time_us timeout = sec(10)) {
    return d->next_line(kConsole, timeout).value_or("(nothing)");
  }
  // The next line that starts with `prefix`, skipping others.
  std::string next_starting(const std::string& prefix, systest::time_us timeout = sec(20)) {
    const systest::time_us end = w.now() + timeout;
    while (w.now() < end) {
      std::optional<std::string> l = d->next_line(kConsole, end - w.now());
      if (!l) break;
      if (l->rfind(prefix, 0) == 0) return *l;
    }
    return "(no " + prefix + ")";
  }
  // OTAA join answered by the network; true when the MAC reports it joined.
  bool join(const std::string& how = "JOIN") {
    if (cmd(how) != "OK 0") return false;
    return next_starting("JOINED", sec(30)) == "JOINED 0";
  }
  // An uplink, its confirm line ("SENT ..."); downlink lines stay unread.
  std::string send(const std::string& line) {
    const std::string ok = cmd(line);
    if (ok != "OK 0") return "request: " + ok;
    return next_starting("SENT", sec(30));
  }
  const UplinkRecord& last_up() const { return ns.uplinks().back(); }
  // Downlinks (frames with inverted IQ) the world carried.
  std::vector<sim::world::FrameRecord> downlink_frames() const {
    std::vector<sim::world::FrameRecord> out;
    for (const auto& r : w.frames())
      if (r.frame.iq_inverted) out.push_back(r);
    return out;
  }
  std::vector<sim::world::FrameRecord> uplink_frames() const {
    std::vector<sim::world::FrameRecord> out;
    for (const auto& r : w.frames())
      if (!r.frame.iq_inverted) out.push_back(r);
    return out;
  }
};

}  // namespace air

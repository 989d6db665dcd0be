#include "network/config.h"

#include <sstream>

namespace sim::network {
namespace {

bool parse_u64(const std::string& s, int base, uint64_t* out) {
  if (s.empty() || s.size() > 16) return false;
  size_t pos = 0;
  try {
    *out = std::stoull(s, &pos, base);
  } catch (...) {
    return false;
  }
  return pos == s.size();
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  std::string x;
  while (in >> x) w.push_back(x);
  return w;
}

}  // namespace

bool parse_hex_bytes(const std::string& s, Bytes* out) {
  if (s.size() % 2) return false;
  Bytes b;
  for (size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    for (size_t j = 0; j < 2; ++j) {
      char c = s[i + j];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned>(d);
    }
    b.push_back(static_cast<uint8_t>(v));
  }
  *out = b;
  return true;
}

const std::vector<std::string>& NetworkSetup::help() {
  static const std::vector<std::string> h = {
      "region NAME                      the region (first; default EU868): " + region_list(),
      "region CN470 plan=20A|20B|26A|26B  a CN470 plan of 20/26 MHz antennas",
      "otaa NAME DEVEUI JOINEUI APPKEY [NWKKEY]",
      "                                 a device that joins: LoRaWAN 1.0.x, or 1.1",
      "                                 with NWKKEY",
      "abp NAME DEVADDR NWKSKEY APPSKEY  a 1.0.x session set up by hand",
      "downlink NAME PORT HEX [confirmed]  an application downlink waiting at start",
      "mac NAME HEX                     a network command (CID and payload) waiting",
      "class NAME A|B|C                 the class the network serves the device in",
      "window NAME rx1|rx2|none         where answers go (none: no answers)",
      "multicast NAME ADDR NWKSKEY APPSKEY [B|C] [FREQ_HZ DR]",
      "                                 a multicast group (default class C on the",
      "                                 region's RX2 channel)",
      "beacons on|off                   class B beacons every 128 s",
      "adr on|off                       answer ADR devices by the ADR rule",
      "cflist HEX                       16 bytes in join accepts",
      "rx-delay S                       RX1 delay given in join accepts (0..15 s)",
      "rx1-offset N                     RX1 data rate offset in join accepts (0..7)",
      "rx2-dr N                         RX2 data rate in join accepts (0..15)",
      "net-id HEX                       the network's NetID (24 bits)",
      "timing-error US                  microseconds added to every downlink start",
      "Blank lines and lines starting with '#' are skipped. EUIs, addresses and keys",
      "are hexadecimal, most significant byte first.",
  };
  return h;
}

std::string region_list() {
  std::string s;
  for (RegionId id : all_regions()) s += (s.empty() ? "" : ", ") + region(id).name;
  return s;
}

bool NetworkSetup::apply(const std::string& line, std::string* error) {
  std::vector<std::string> w = words(line);
  if (w.empty() || w[0][0] == '#') return true;
  auto bad = [&](const std::string& why) {
    *error = line + ": " + why;
    return false;
  };
  if (w[0] == "help") return bad("help is no network line (qivsim --network-cmd help lists them)");
  if (w[0] == "region") {
    // "region CN470 plan=20A" is the same as "region CN470-20A".
    std::string name = w.size() == 3 && w[2].rfind("plan=", 0) == 0 ? w[1] + "-" + w[2].substr(5)
                       : w.size() == 2                              ? w[1]
                                                                    : "";
    if (name.empty()) return bad("expected region NAME or region CN470 plan=20A|20B|26A|26B");
    if (!region_by_name(name, &region_))
      return bad("unknown region " + name + " (the regions: " + region_list() + ")");
    return true;
  }
  if (w[0] == "beacons" || w[0] == "timing-error") {
    if (w.size() != 2) return bad("one value expected");
    if (w[0] == "beacons") {
      if (w[1] != "on" && w[1] != "off") return bad("on or off expected");
      gw_.beacons = w[1] == "on";
    } else {
      try {
        gw_.timing_error_us = std::stoll(w[1]);
      } catch (...) {
        return bad("bad number");
      }
    }
    return true;
  }
  // Checked now on a scratch server, applied at start.
  NetworkServer scratch(region_);
  for (const std::string& l : lines_) apply_to(scratch, l, error);
  if (!apply_to(scratch, line, error)) return false;
  lines_.push_back(line);
  return true;
}

bool NetworkSetup::apply_to(NetworkServer& ns, const std::string& line, std::string* error) {
  std::vector<std::string> w = words(line);
  auto bad = [&](const std::string& why) {
    *error = line + ": " + why;
    return false;
  };
  auto key = [&](const std::string& s, Key* k) { return parse_key(s, k); };
  auto need = [&](size_t lo, size_t hi) { return w.size() >= lo && w.size() <= hi; };
  auto known = [&](const std::string& n) { return ns.has_device(n); };
  uint64_t v = 0;
  const std::string& c = w[0];
  // A line about a device names one set up by an otaa or abp line before.
  if ((c == "downlink" || c == "mac" || c == "class" || c == "window") && w.size() >= 2 &&
      !known(w[1]))
    return bad("no device named " + w[1] + " (otaa or abp lines before name the devices)");
  try {
    if (c == "otaa") {
      if (!need(5, 6)) return bad("expected otaa NAME DEVEUI JOINEUI APPKEY [NWKKEY]");
      DeviceEntry d;
      d.name = w[1];
      if (!parse_u64(w[2], 16, &d.dev_eui) || !parse_u64(w[3], 16, &d.join_eui) ||
          !key(w[4], &d.app_key))
        return bad("bad EUI or key");
      if (w.size() == 6) {
        if (!key(w[5], &d.nwk_key)) return bad("bad key");
        d.v11 = true;
      }
      if (known(d.name)) return bad("device named twice");
      ns.add_device(d);
    } else if (c == "abp") {
      if (!need(5, 5)) return bad("expected abp NAME DEVADDR NWKSKEY APPSKEY");
      DeviceEntry d;
      d.name = w[1];
      d.otaa = false;
      Key n, a;
      if (!parse_u64(w[2], 16, &v) || v > 0xFFFFFFFFu || !key(w[3], &n) || !key(w[4], &a))
        return bad("bad address or key");
      d.dev_addr = static_cast<uint32_t>(v);
      d.keys = abp_keys_10(n, a);
      if (known(d.name)) return bad("device named twice");
      ns.add_device(d);
    } else if (c == "downlink") {
      Bytes data;
      if (!need(4, 5) || !known(w[1]) || !parse_u64(w[2], 10, &v) || v > 255 ||
          !parse_hex_bytes(w[3], &data) || (w.size() == 5 && w[4] != "confirmed"))
        return bad("expected downlink NAME PORT HEX [confirmed] (PORT 0..255)");
      ns.queue_downlink(w[1], static_cast<uint8_t>(v), data, w.size() == 5);
    } else if (c == "mac") {
      Bytes data;
      if (!need(3, 3) || !known(w[1]) || !parse_hex_bytes(w[2], &data) || data.empty() ||
          mac_length(data[0], false) != static_cast<int>(data.size()) - 1)
        return bad("expected mac NAME HEX (one whole network command: CID and payload)");
      ns.queue_mac(w[1], MacCommand{data[0], Bytes(data.begin() + 1, data.end())});
    } else if (c == "class") {
      if (!need(3, 3) || !known(w[1]) || (w[2] != "A" && w[2] != "B" && w[2] != "C"))
        return bad("expected class NAME A|B|C");
      ns.set_class(w[1], w[2][0]);
    } else if (c == "window") {
      if (!need(3, 3) || !known(w[1]) || (w[2] != "rx1" && w[2] != "rx2" && w[2] != "none"))
        return bad("expected window NAME rx1|rx2|none");
      ns.set_window(w[1], w[2] == "rx1"   ? Window::kRx1
                          : w[2] == "rx2" ? Window::kRx2
                                          : Window::kNone);
    } else if (c == "multicast") {
      if (!need(5, 8)) return bad("expected multicast NAME ADDR NWKSKEY APPSKEY [B|C] [FREQ DR]");
      Multicast g;
      g.name = w[1];
      if (!parse_u64(w[2], 16, &v) || v > 0xFFFFFFFFu || !key(w[3], &g.nwk_s_key) ||
          !key(w[4], &g.app_s_key))
        return bad("bad address or key");
      g.addr = static_cast<uint32_t>(v);
      if (w.size() >= 6) {
        if (w[5] != "B" && w[5] != "C") return bad("class B or C");
        g.group_class = w[5][0];
      }
      if (w.size() == 8) {
        g.freq = static_cast<uint32_t>(std::stoul(w[6]));
        g.dr = std::stoi(w[7]);
      } else if (w.size() == 7) {
        return bad("FREQ and DR together");
      }
      ns.add_multicast(g);
    } else if (c == "adr") {
      if (!need(2, 2) || (w[1] != "on" && w[1] != "off")) return bad("expected adr on|off");
      ns.adr = w[1] == "on";
    } else if (c == "cflist") {
      Bytes b;
      if (!need(2, 2) || !parse_hex_bytes(w[1], &b) || b.size() != 16)
        return bad("cflist of 16 bytes");
      ns.join_cflist = b;
    } else if (c == "rx-delay" || c == "rx1-offset" || c == "rx2-dr") {
      if (!need(2, 2) || !parse_u64(w[1], 10, &v) || v > 15) return bad("a number 0..15");
      if (c == "rx-delay") ns.join_rx_delay = static_cast<uint8_t>(v);
      if (c == "rx1-offset") ns.join_rx1_dr_offset = static_cast<uint8_t>(v & 7);
      if (c == "rx2-dr") ns.join_rx2_dr = static_cast<int>(v);
    } else if (c == "net-id") {
      if (!need(2, 2) || !parse_u64(w[1], 16, &v) || v > 0xFFFFFF)
        return bad("net-id HEX (24 bits)");
      ns.net_id = static_cast<uint32_t>(v);
    } else {
      return bad("unknown network line " + c +
                 " (region, otaa, abp, downlink, mac, class, window, multicast, beacons, adr, "
                 "cflist, rx-delay, rx1-offset, rx2-dr, net-id, timing-error; see qivsim "
                 "--network-cmd help)");
    }
  } catch (const std::exception& e) {
    return bad(e.what());
  }
  return true;
}

void NetworkSetup::start(sim::world::Master& master) {
  server_ = std::make_unique<NetworkServer>(region_);
  std::string error;
  for (const std::string& l : lines_) apply_to(*server_, l, &error);
  gateway_ = std::make_unique<Gateway>(*server_, master, gw_);
}

}  // namespace sim::network

#include "network/control.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "hostutil/duration.h"
#include "network/config.h"

namespace sim::network {

namespace {

constexpr time_us kDefaultWait = 60'000'000;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string x; in >> x;) w.push_back(x);
  return w;
}

// Durations as everywhere in the world's tools: a number and a unit.
bool duration(const std::string& text, time_us* out, std::string* error) {
  return hostutil::parse_duration(text, out, error, 0);
}

bool number(const std::string& s, unsigned max, unsigned* out) {
  if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long v = std::stoul(s);
  if (v > max) return false;
  *out = static_cast<unsigned>(v);
  return true;
}

std::string hex32(uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}

std::string mhz(uint32_t hz) {
  char b[32];
  std::snprintf(b, sizeof b, "%u.%06u", hz / 1000000, hz % 1000000);
  std::string s = b;
  while (s.back() == '0' && s[s.size() - 2] != '.') s.pop_back();
  return s + "MHz";
}

}  // namespace

struct NetworkControl::Session {
  int id = 0;
  Reply reply;  // the test's own session
  std::deque<std::string> lines;
  // The command under way: true once it has said its last line.
  std::function<bool()> job;
};

const std::vector<std::string>& NetworkControl::help() {
  static const std::vector<std::string> h = {
      "devices                        each device: class, DevAddr, FCnt up and down, last",
      "                               RSSI, SNR and data rate, downlinks waiting",
      "groups                         the multicast groups",
      "downlink NAME PORT HEX [confirmed] [at TIME | in DURATION]",
      "                               an application downlink for a device (its next",
      "                               class A window, at once in class C, its next ping",
      "                               slot in class B) or a multicast group (NAME a",
      "                               group; never confirmed); HEX '-' is no payload",
      "mac NAME HEX [at TIME | in DURATION]",
      "                               a network command (CID and payload) for the",
      "                               device's next downlink",
      "class NAME A|B|C               the class the network serves the device in",
      "window NAME rx1|rx2|none [at TIME | in DURATION]",
      "                               where the network answers the device (none: it",
      "                               stays silent, its downlinks wait)",
      "beacons on|off [at TIME | in DURATION]",
      "                               the gateway's class B beacons (on again: from",
      "                               the next 128 s boundary)",
      "wait-sent NAME [TIMEOUT]       until the device's downlinks have gone on the air",
      "wait-uplink NAME [PORT] [TIMEOUT]",
      "                               until the device's next accepted uplink (on PORT):",
      "                               prints its line",
      "follow [DURATION]              print each decoded frame as the network hears or",
      "                               sends it (for DURATION, else until the tool ends)",
      "log [N]                        the last N lines of the network log (default 20)",
      "time                           the world's virtual time",
      "help                           this list",
      "TIME is virtual time since the world began, DURATION from now, both a number",
      "and a unit (500ms, 10s, 2m, 1h); TIMEOUT defaults to 60s.",
  };
  return h;
}

NetworkControl::NetworkControl(NetworkServer& server, sim::world::Master& master, Gateway* gateway)
    : server_(server), master_(master), gateway_(gateway) {
  master_.add_agent(this);
}

NetworkControl::~NetworkControl() { master_.remove_agent(this); }

bool NetworkControl::listen(const std::string& path, std::string* error) {
  return socket_.listen(path, error);
}

NetworkControl::Session& NetworkControl::session(int id) {
  auto& p = sessions_[id];
  if (!p) {
    p = std::make_unique<Session>();
    p->id = id;
  }
  return *p;
}

void NetworkControl::say(Session& s, const std::string& line) {
  if (s.id == 0) {
    if (s.reply) s.reply(line);
  } else {
    socket_.send(s.id, line);
  }
}

bool NetworkControl::busy() const {
  for (const auto& [id, s] : sessions_)
    if (s->job || !s->lines.empty()) return true;
  return false;
}

void NetworkControl::command(const std::string& line, Reply reply) {
  Session& s = session(0);
  s.reply = std::move(reply);
  s.lines.push_back(line);
  step(s);
}

void NetworkControl::poll() {
  socket_.poll([this](int id, const std::string& line) { session(id).lines.push_back(line); },
               [this](int id) { sessions_.erase(id); });
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    Session& s = *it->second;
    step(s);
    // A tool that has gone and has nothing left to do is forgotten.
    if (s.id != 0 && !socket_.connected(s.id) && !s.job && s.lines.empty())
      it = sessions_.erase(it);
    else
      ++it;
  }
}

void NetworkControl::step(Session& s) {
  for (;;) {
    if (s.job) {
      if (!s.job()) return;
      s.job = nullptr;
    }
    if (s.lines.empty()) return;
    std::string line = s.lines.front();
    s.lines.pop_front();
    run(s, line);
  }
}

time_us NetworkControl::wake_time() const {
  time_us t = sim::kNever;
  for (const Action& a : timed_) t = std::min(t, a.at);
  return t;
}

void NetworkControl::wake(sim::world::Master&, time_us now) {
  std::vector<Action> due;
  for (auto it = timed_.begin(); it != timed_.end();) {
    if (it->at <= now) {
      due.push_back(*it);
      it = timed_.erase(it);
    } else {
      ++it;
    }
  }
  for (const Action& a : due) apply(a);
}

bool NetworkControl::parse_action(const std::vector<std::string>& w_in, Action* a,
                                  std::string* error) const {
  std::vector<std::string> w = w_in;
  // A time at the end: "at TIME" or "in DURATION".
  if (w.size() >= 3 && (w[w.size() - 2] == "at" || w[w.size() - 2] == "in")) {
    time_us t = 0;
    std::string why;
    if (!duration(w.back(), &t, &why)) {
      *error = w[w.size() - 2] + ": " + why;
      return false;
    }
    const time_us now = master_.now();
    a->at = w[w.size() - 2] == "in" ? now + t : t;
    if (w[w.size() - 2] == "at" && t < now) {
      *error = "at " + w.back() + ": the world is already at " + hostutil::format_time(now);
      return false;
    }
    w.resize(w.size() - 2);
  }
  const std::string& c = w[0];
  if (c == "downlink") {
    if (w.size() < 4 || w.size() > 5 || (w.size() == 5 && w[4] != "confirmed")) {
      *error = "usage: downlink NAME PORT HEX [confirmed] [at TIME | in DURATION]";
      return false;
    }
    a->target = w[1];
    const bool device = server_.has_device(a->target);
    if (!device && !server_.has_multicast(a->target)) {
      *error = "no device or multicast group named " + a->target + " (see devices, groups)";
      return false;
    }
    unsigned port;
    if (!number(w[2], 255, &port)) {
      *error = "port " + w[2] + ": a number 0..255";
      return false;
    }
    a->port = static_cast<uint8_t>(port);
    if (w[3] != "-" && !parse_hex_bytes(w[3], &a->payload)) {
      *error = "payload " + w[3] + ": hexadecimal bytes (or - for none)";
      return false;
    }
    a->confirmed = w.size() == 5;
    if (!device && a->confirmed) {
      *error = "a multicast downlink is never confirmed";
      return false;
    }
    a->kind = device ? 'd' : 'g';
    return true;
  }
  if (c == "mac") {
    Bytes b;
    if (w.size() != 3 || !parse_hex_bytes(w[2], &b) || b.empty()) {
      *error = "usage: mac NAME HEX [at TIME | in DURATION]";
      return false;
    }
    if (!server_.has_device(w[1])) {
      *error = "no device named " + w[1] + " (see devices)";
      return false;
    }
    const int len = mac_length(b[0], false);
    if (len < 0) {
      *error = "CID " + w[2].substr(0, 2) + " is no network command";
      return false;
    }
    if (len != static_cast<int>(b.size()) - 1) {
      *error = std::string(mac_name(b[0], false)) + " carries " + std::to_string(len) +
               " bytes after its CID, not " + std::to_string(b.size() - 1);
      return false;
    }
    a->kind = 'm';
    a->target = w[1];
    a->mac = MacCommand{b[0], Bytes(b.begin() + 1, b.end())};
    return true;
  }
  if (c == "class") {
    if (w.size() != 3 || (w[2] != "A" && w[2] != "B" && w[2] != "C")) {
      *error = "usage: class NAME A|B|C";
      return false;
    }
    if (!server_.has_device(w[1])) {
      *error = "no device named " + w[1] + " (see devices)";
      return false;
    }
    a->kind = 'c';
    a->target = w[1];
    a->dev_class = w[2][0];
    return true;
  }
  if (c == "window") {
    if (w.size() != 3 || (w[2] != "rx1" && w[2] != "rx2" && w[2] != "none")) {
      *error = "usage: window NAME rx1|rx2|none [at TIME | in DURATION]";
      return false;
    }
    if (!server_.has_device(w[1])) {
      *error = "no device named " + w[1] + " (see devices)";
      return false;
    }
    a->kind = 'w';
    a->target = w[1];
    a->window = w[2] == "rx1" ? Window::kRx1 : w[2] == "rx2" ? Window::kRx2 : Window::kNone;
    return true;
  }
  if (c == "beacons") {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) {
      *error = "usage: beacons on|off [at TIME | in DURATION]";
      return false;
    }
    if (gateway_ == nullptr) {
      *error = "no gateway to send beacons";
      return false;
    }
    a->kind = 'b';
    a->on = w[1] == "on";
    return true;
  }
  *error = "unknown command " + c + " (see help)";
  return false;
}

void NetworkControl::apply(const Action& a) {
  std::string what;
  switch (a.kind) {
    case 'd':
      server_.queue_downlink(a.target, a.port, a.payload, a.confirmed);
      what = "downlink for " + a.target + " on port " + std::to_string(a.port) + " queued (" +
             std::to_string(server_.queued(a.target)) + " waiting)";
      break;
    case 'g':
      server_.queue_multicast(a.target, a.port, a.payload);
      what =
          "multicast downlink for " + a.target + " on port " + std::to_string(a.port) + " queued";
      break;
    case 'm':
      server_.queue_mac(a.target, a.mac);
      what = std::string(mac_name(a.mac.cid, false)) + " for " + a.target + " queued";
      break;
    case 'c':
      server_.set_class(a.target, a.dev_class);
      what = a.target + " is served in class " + std::string(1, a.dev_class);
      break;
    case 'w':
      server_.set_window(a.target, a.window);
      what = a.window == Window::kNone
                 ? a.target + " is not answered"
                 : a.target + " is answered in " + (a.window == Window::kRx1 ? "RX1" : "RX2");
      break;
    case 'b':
      gateway_->set_beacons(a.on);
      what = std::string("beacons ") + (a.on ? "on" : "off");
      break;
    default:
      return;
  }
  const time_us now = master_.now();
  server_.advance_log(now);
  server_.note(now, "control: " + what);
}

std::string NetworkControl::status_line(const NetworkServer::DeviceStatus& d) const {
  std::string l = "DEVICE " + d.name + " class " + std::string(1, d.dev_class);
  if (!d.joined) return l + " not joined";
  l += " DevAddr " + hex32(d.dev_addr);
  l += " FCntUp " + (d.fcnt_up ? std::to_string(*d.fcnt_up) : std::string("-"));
  l += " FCntDown " + std::to_string(d.fcnt_down);
  if (d.v11) l += " AFCntDown " + std::to_string(d.afcnt_down);
  if (d.last_rx) {
    l += " RSSI " + std::to_string(d.last_rx->rssi) + " SNR " + std::to_string(d.last_rx->snr) +
         " DR" + std::to_string(d.last_rx->dr) + " " + mhz(d.last_rx->freq);
  }
  l += " queued " + std::to_string(d.queued);
  if (d.mac_queued) l += " MAC " + std::to_string(d.mac_queued);
  return l;
}

void NetworkControl::run(Session& s, const std::string& line) {
  const std::vector<std::string> w = words(line);
  if (w.empty()) return say(s, "OK");
  const std::string& c = w[0];
  auto error = [&](const std::string& why) { say(s, "ERROR " + why); };
  auto ok = [&]() { say(s, "OK"); };
  // An optional timeout as the last word.
  auto timeout = [&](size_t at, time_us* out) {
    *out = kDefaultWait;
    if (w.size() <= at) return true;
    std::string why;
    if (!duration(w[at], out, &why)) {
      error("timeout " + w[at] + ": " + why);
      return false;
    }
    return true;
  };

  if (c == "help") {
    for (const std::string& h : help()) say(s, h);
    return ok();
  }
  if (c == "time") {
    if (w.size() != 1) return error("usage: time");
    say(s, "TIME " + hostutil::format_time(master_.now()));
    return ok();
  }
  if (c == "devices") {
    if (w.size() != 1) return error("usage: devices");
    for (const auto& d : server_.device_status()) say(s, status_line(d));
    return ok();
  }
  if (c == "groups") {
    if (w.size() != 1) return error("usage: groups");
    for (const auto& [name, g] : server_.groups())
      say(s, "GROUP " + name + " class " + std::string(1, g.group_class) + " DevAddr " +
                 hex32(g.addr) + " FCntDown " + std::to_string(g.fcnt) + " queued " +
                 std::to_string(server_.queued_multicast(name)));
    return ok();
  }
  if (c == "log") {
    unsigned n = 20;
    if (w.size() > 2 || (w.size() == 2 && !number(w[1], 99999, &n))) return error("usage: log [N]");
    const auto& log = server_.log();
    for (size_t i = log.size() - std::min<size_t>(n, log.size()); i < log.size(); ++i)
      say(s, log[i]);
    return ok();
  }
  if (c == "downlink" || c == "mac" || c == "class" || c == "window" || c == "beacons") {
    Action a;
    std::string why;
    if (!parse_action(w, &a, &why)) return error(why);
    if (a.at > master_.now()) {
      timed_.push_back(a);
      say(s, "AT " + hostutil::format_time(a.at));
    } else {
      apply(a);
    }
    return ok();
  }
  if (c == "wait-uplink") {
    if (w.size() < 2 || w.size() > 4) return error("usage: wait-uplink NAME [PORT] [TIMEOUT]");
    const std::string name = w[1];
    if (!server_.has_device(name)) return error("no device named " + name + " (see devices)");
    int port = -1;
    size_t next = 2;
    unsigned p;
    if (w.size() > 2 && number(w[2], 255, &p)) {
      port = static_cast<int>(p);
      next = 3;
    }
    if (w.size() > next + 1) return error("usage: wait-uplink NAME [PORT] [TIMEOUT]");
    time_us limit;
    if (!timeout(next, &limit)) return;
    const time_us end = master_.now() + limit;
    size_t seen = server_.uplinks().size();
    s.job = [this, &s, name, port, end, seen]() mutable {
      const auto& ups = server_.uplinks();
      for (; seen < ups.size(); ++seen) {
        const UplinkRecord& r = ups[seen];
        if (r.device != name || !r.accepted || r.status == "repeat") continue;
        if (port >= 0 && (!r.fport || *r.fport != port)) continue;
        say(s, "UPLINK " + r.line());
        say(s, "OK");
        return true;
      }
      if (master_.now() < end) return false;
      say(s, "ERROR no uplink from " + name +
                 (port >= 0 ? " on port " + std::to_string(port) : "") + " by " +
                 hostutil::format_time(end));
      return true;
    };
    return;
  }
  if (c == "wait-sent") {
    if (w.size() < 2 || w.size() > 3) return error("usage: wait-sent NAME [TIMEOUT]");
    const std::string name = w[1];
    if (!server_.has_device(name) && !server_.has_multicast(name))
      return error("no device or multicast group named " + name);
    time_us limit;
    if (!timeout(2, &limit)) return;
    const time_us end = master_.now() + limit;
    s.job = [this, &s, name, end]() {
      bool waiting = std::any_of(timed_.begin(), timed_.end(),
                                 [&](const Action& a) { return a.target == name; });
      waiting = waiting || (server_.has_device(name) ? server_.queued(name) != 0
                                                     : server_.queued_multicast(name) != 0);
      // Taken from the queue is not yet on the air: its window may be ahead.
      time_us last = 0;
      const std::string tag = "multicast " + name;
      for (const DownlinkRecord& d : server_.downlinks())
        if (d.tx.device == name || d.tx.what == tag) last = std::max(last, d.tx.at);
      if (!waiting && last <= master_.now()) {
        say(s, "OK");
        return true;
      }
      if (master_.now() < end) return false;
      say(s, "ERROR downlinks for " + name + " still waiting at " + hostutil::format_time(end));
      return true;
    };
    return;
  }
  if (c == "follow") {
    if (w.size() > 2) return error("usage: follow [DURATION]");
    time_us end = sim::kNever;
    if (w.size() == 2) {
      time_us d;
      std::string why;
      if (!duration(w[1], &d, &why)) return error("follow " + w[1] + ": " + why);
      end = master_.now() + d;
    }
    size_t seen = server_.log().size();
    s.job = [this, &s, end, seen]() mutable {
      const auto& log = server_.log();
      for (; seen < log.size(); ++seen) say(s, log[seen]);
      if (master_.now() < end) return false;
      say(s, "OK");
      return true;
    };
    return;
  }
  error("unknown command " + c + " (see help)");
}

}  // namespace sim::network

#include "world/master.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <deque>
#include <map>
#include <queue>
#include <sstream>
#include <stdexcept>

#include "protocol.h"

namespace sim::world {
namespace {

namespace proto = sim::world::proto;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("world: " + what); }

[[noreturn]] void fail_errno(const std::string& what) { fail(what + ": " + std::strerror(errno)); }

std::string tail_of_file(const std::string& path, size_t max_bytes = 2000) {
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (s.size() > max_bytes) s = "..." + s.substr(s.size() - max_bytes);
  return s;
}

std::string describe_status(int status) {
  char buf[64];
  if (WIFEXITED(status))
    std::snprintf(buf, sizeof buf, "exit status %d", WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    std::snprintf(buf, sizeof buf, "signal %d (%s)", WTERMSIG(status), strsignal(WTERMSIG(status)));
  else
    std::snprintf(buf, sizeof buf, "status 0x%x", status);
  return buf;
}

// The CPU that every process of one world runs on with QIV_WORLD_PIN=1, or
// -1 (not pinned; no affinity known). A world's processes run in turns
// (lockstep), and a hand-over between processes on one CPU is cheaper than
// waking a process on another while that CPU is free; on a busy host the
// one CPU is shared with everything else and the world waits for it, which
// costs far more, so worlds are left to the scheduler unless asked. Different
// worlds (parallel test runs) hash their socket path onto different CPUs of
// the allowed set.
int world_cpu(const std::string& socket_path) {
  const char* env = std::getenv("QIV_WORLD_PIN");
  if (!env || std::strcmp(env, "1") != 0) return -1;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
  const int count = CPU_COUNT(&allowed);
  if (count <= 0) return -1;
  uint32_t h = 2166136261u;  // FNV-1a of the path and the process
  auto mix = [&h](uint8_t b) { h = (h ^ b) * 16777619u; };
  for (char c : socket_path) mix(static_cast<uint8_t>(c));
  for (uint32_t pid = static_cast<uint32_t>(::getpid()), i = 0; i < 4; ++i)
    mix(static_cast<uint8_t>(pid >> (8 * i)));
  int pick = static_cast<int>(h % static_cast<uint32_t>(count));
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (pick-- == 0) return cpu;
  }
  return -1;
}

void pin_to(int cpu) {
  if (cpu < 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  ::sched_setaffinity(0, sizeof one, &one);  // best effort: a refusal only costs speed
}

}  // namespace

struct Master::Impl {
  enum class State { kConnecting, kRunning, kWaiting, kDead };

  // A frame a deaf device holds: its place among the frames on the air
  // (Impl::aired) and what the device would measure of it.
  struct Held {
    uint64_t at;
    int16_t rssi;
    int8_t snr;
  };

  struct Dev {
    int id = 0;
    DeviceConfig cfg;
    pid_t pid = -1;
    int pidfd = -1;
    int fd = -1;
    State state = State::kDead;
    bool ever_joined = false;
    time_us now = 0;
    time_us want = kNever;
    std::string image;
    int console = -1;
    uint16_t receiving = 0;  // rx_on bits of its last request
    bool deaf = false;       // kAirDeaf in its last request
    bool silent = false;     // kAirSilent in its last request (for the record)
    time_us air_lead = 0;    // as of its last request
    // Frames held back while it is deaf (as it would have heard them),
    // handed over before anything else is sent to it.
    std::vector<Held> held;
    time_us line_free[kMaxUart] = {};  // as of its last request
    // Messages for it not sent yet (each a header and its payload): what a
    // waiting device is given leaves with its next grant, in one packet.
    std::vector<uint8_t> outbox;
    size_t outbox_count = 0;
    int status = 0;
    bool expected_end = false;
  };

  // Frames put on the air that deaf devices hold (see hold()): kept once,
  // each device holding only its place here and what it would measure.
  struct Aired {
    time_us t;
    AirFrame f;
    uint32_t refs;
  };
  std::deque<Aired> aired;
  uint64_t aired_base = 0;  // place of aired.front()
  Aired& aired_at(uint64_t at) { return aired[static_cast<size_t>(at - aired_base)]; }
  void release(uint64_t at) {
    --aired_at(at).refs;
    while (!aired.empty() && aired.front().refs == 0) {
      aired.pop_front();
      ++aired_base;
    }
  }
  void drop_held(Dev& d) {
    std::vector<Held> held;
    held.swap(d.held);
    for (const Held& h : held) release(h.at);
  }

  // Timed serial input (send_uart_at), by time, in the order given.
  struct Input {
    int id;
    int port;
    std::vector<uint8_t> bytes;
  };
  std::multimap<time_us, Input> inputs;
  time_us input_time() const { return inputs.empty() ? kNever : inputs.begin()->first; }

  struct Pending {
    int sender;
    uint64_t seq;
    uint16_t type;
    uint16_t port;
    time_us t;
    std::vector<uint8_t> bytes;
  };

  std::string path;
  int listen_fd = -1;
  int epoll_fd = -1;
  std::vector<Dev> devs;  // index id-1
  std::vector<Pending> pending;
  // Serial wires between devices: (id, port) -> (id, port), both ways.
  std::map<std::pair<int, int>, std::pair<int, int>> wires;
  uint64_t seq = 0;
  uint64_t grants = 0;
  time_us now_w = 0;
  LinkBudget budget;
  Callbacks cb;
  std::vector<Agent*> agents;
  double stall_timeout = 120.0;
  // The run in progress has no stop condition: whoever drives the world acts
  // only at its target, so a device's serial output needs no answer before.
  bool output_free = false;
  // The world's CPU (-1: not pinned) and the master thread's affinity
  // before it was pinned there, given back when the world ends.
  int cpu = -1;
  bool restore_affinity = false;
  cpu_set_t caller_affinity;

  Dev& dev(int id) {
    if (id < 1 || id > static_cast<int>(devs.size())) fail("no device " + std::to_string(id));
    return devs[static_cast<size_t>(id - 1)];
  }
  const Dev& dev(int id) const { return const_cast<Impl*>(this)->dev(id); }

  static bool busy(State s) { return s == State::kConnecting || s == State::kRunning; }
  static bool busy(const Dev& d) { return busy(d.state); }
  // Devices connecting or running, kept as their states change (asked at
  // every wake-up of the master).
  int busy_count = 0;
  void set_state(Dev& d, State s) {
    busy_count += (busy(s) ? 1 : 0) - (busy(d.state) ? 1 : 0);
    d.state = s;
  }
  bool any_busy() const { return busy_count > 0; }

  // Waiting devices by their wanted time, so that a round does not look at
  // every device: (want, id) entered whenever a device waits or its wanted
  // time moves; an entry no longer true (the device runs, or wants another
  // time) is dropped when it comes to the top.
  using Want = std::pair<time_us, int>;
  mutable std::priority_queue<Want, std::vector<Want>, std::greater<Want>> wants;
  void wanted(const Dev& d) {
    if (d.state == State::kWaiting && d.want != kNever) wants.emplace(d.want, d.id);
  }
  bool current(const Want& w) const {
    const Dev& d = devs[static_cast<size_t>(w.second - 1)];
    return d.state == State::kWaiting && d.want == w.first;
  }

  std::string who(const Dev& d) const {
    return "device " + std::to_string(d.id) + " (" + d.cfg.name + ")";
  }

  // ------------------------------------------------------------ sockets ---
  // Frames, serial bytes and resets wait in the device's outbox for the
  // message that lets it run (a grant, its welcome, the end).
  bool send_to(Dev& d, uint16_t type, uint16_t a, time_us t, time_us t2, const void* payload,
               size_t len) {
    if (d.fd < 0) return false;
    proto::Header h{type, a, static_cast<uint32_t>(len), t, t2};
    const auto* hb = reinterpret_cast<const uint8_t*>(&h);
    d.outbox.insert(d.outbox.end(), hb, hb + sizeof h);
    if (len) {
      const auto* pb = static_cast<const uint8_t*>(payload);
      d.outbox.insert(d.outbox.end(), pb, pb + len);
    }
    ++d.outbox_count;
    if (type == proto::kFrame || type == proto::kUart || type == proto::kReset) return true;
    return send_outbox(d);
  }

  static bool send_packet(int fd, const uint8_t* data, size_t len) {
    for (;;) {
      ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
      if (n >= 0) return true;
      if (errno == EINTR) continue;
      return false;  // the program has gone; its pidfd reports it
    }
  }

  // One packet (a bundle when it holds several messages and they fit in
  // one), else message by message.
  bool send_outbox(Dev& d) {
    bool ok = true;
    if (d.outbox_count == 1) {
      ok = send_packet(d.fd, d.outbox.data(), d.outbox.size());
    } else if (d.outbox.size() + sizeof(proto::Header) <= proto::kMaxPacket) {
      proto::Header h{proto::kBundle, 0, static_cast<uint32_t>(d.outbox.size()), 0, 0};
      const auto* hb = reinterpret_cast<const uint8_t*>(&h);
      d.outbox.insert(d.outbox.begin(), hb, hb + sizeof h);
      ok = send_packet(d.fd, d.outbox.data(), d.outbox.size());
    } else {
      for (size_t at = 0; ok && at < d.outbox.size();) {
        proto::Header h;
        std::memcpy(&h, d.outbox.data() + at, sizeof h);
        ok = send_packet(d.fd, d.outbox.data() + at, sizeof h + h.len);
        at += sizeof h + h.len;
      }
    }
    d.outbox.clear();
    d.outbox_count = 0;
    return ok;
  }

  // Reads one packet from `fd` into `buf` (kMaxPacket bytes). Returns -1 at
  // end of stream, -2 when `nowait` and nothing is there yet, else its
  // length.
  static ssize_t read_packet(int fd, uint8_t* buf, bool nowait) {
    ssize_t n;
    do {
      n = ::recv(fd, buf, proto::kMaxPacket, nowait ? MSG_DONTWAIT : 0);
    } while (n < 0 && errno == EINTR);
    if (nowait && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -2;
    if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE))) return -1;
    if (n < 0) fail_errno("reading a device");
    return n;
  }

  // Reads one message from `fd`. Returns -1 at end of stream, else the
  // payload length.
  static ssize_t read_message(int fd, proto::Header* h, uint8_t* payload) {
    uint8_t buf[proto::kMaxPacket];
    ssize_t n = read_packet(fd, buf, false);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < sizeof *h) fail("short message from a device");
    std::memcpy(h, buf, sizeof *h);
    size_t len = static_cast<size_t>(n) - sizeof *h;
    if (h->len != len) fail("malformed message from a device");
    std::memcpy(payload, buf + sizeof *h, len);
    return static_cast<ssize_t>(len);
  }

  void close_socket(Dev& d) {
    if (d.fd >= 0) ::close(d.fd);
    d.fd = -1;
    d.outbox.clear();
    d.outbox_count = 0;
  }

  void handle_message(Dev& d, const proto::Header& h, const uint8_t* payload, size_t len) {
    switch (h.type) {
      case proto::kRequest: {
        if (d.state != State::kRunning) fail(who(d) + " asked for time while not running");
        d.now = std::max(d.now, h.t);
        d.want = std::max(h.t2, d.now);
        d.receiving = h.a;
        d.deaf = false;
        d.silent = false;
        d.air_lead = 0;
        if (len == sizeof(proto::RequestState)) {
          proto::RequestState state;
          std::memcpy(&state, payload, sizeof state);
          for (int p = 0; p < kMaxUart; ++p) d.line_free[p] = state.free_at[p];
          d.deaf = (state.flags & proto::kAirDeaf) != 0;
          d.silent = (state.flags & proto::kAirSilent) != 0;
          d.air_lead = state.air_lead;
        }
        set_state(d, State::kWaiting);
        wanted(d);
        return;
      }
      case proto::kFrame:
        if (len != sizeof(AirFrame)) fail(who(d) + " sent a malformed frame");
        [[fallthrough]];
      case proto::kUart:
        if (d.state != State::kRunning) fail(who(d) + " sent while not running");
        pending.push_back(Pending{d.id, seq++, h.type, h.a, std::max(h.t, d.now),
                                  std::vector<uint8_t>(payload, payload + len)});
        return;
      default:
        fail(who(d) + " sent an unexpected message");
    }
  }

  // Reads what the device's socket holds; at its end the program has exited
  // or is executing anew (a reset): it counts as connecting until it joins
  // again or its pidfd says it is gone. Without `until_end`, reads only
  // what is there, up to its request for time: a waiting device sends
  // nothing more (the socket is watched edge-triggered, see watch_device).
  void read_device(Dev& d, bool until_end) {
    uint8_t packet[proto::kMaxPacket];
    while (d.fd >= 0) {
      if (!until_end && d.state != State::kRunning) return;
      ssize_t n = read_packet(d.fd, packet, !until_end);
      if (n == -2) return;
      if (n < 0) {
        close_socket(d);
        if (d.state != State::kDead) set_state(d, State::kConnecting);
        return;
      }
      handle_packet(d, packet, static_cast<size_t>(n));
    }
  }

  // A message, or each message of a bundle in turn.
  void handle_packet(Dev& d, const uint8_t* packet, size_t n) {
    proto::Header h;
    if (n < sizeof h) fail("short message from a device");
    std::memcpy(&h, packet, sizeof h);
    if (h.type != proto::kBundle) {
      if (h.len != n - sizeof h) fail("malformed message from a device");
      handle_message(d, h, packet + sizeof h, h.len);
      return;
    }
    if (h.len != n - sizeof h) fail("malformed message from a device");
    for (size_t at = sizeof h; at < n;) {
      if (n - at < sizeof h) fail("short message from a device");
      std::memcpy(&h, packet + at, sizeof h);
      if (h.type == proto::kBundle || h.len > n - at - sizeof h || h.len > proto::kMaxPayload)
        fail("malformed message from a device");
      handle_message(d, h, packet + at + sizeof h, h.len);
      at += sizeof h + h.len;
    }
  }

  void reap(Dev& d) {
    read_device(d, true);
    int status = 0;
    while (::waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (d.pidfd >= 0) ::close(d.pidfd);
    d.pidfd = -1;
    close_socket(d);
    set_state(d, State::kDead);
    d.status = status;
    d.want = kNever;
    if (!d.ever_joined && !d.expected_end) {
      std::string log = tail_of_file(d.cfg.log_path);
      fail(who(d) + ": " + d.cfg.program + " ended before joining the world (" +
           describe_status(status) + ")" + (log.empty() ? "" : "; its output:\n" + log));
    }
    if (cb.exited) cb.exited(d.id, status, d.expected_end);
  }

  void accept_device() {
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) return;
      fail_errno("accept");
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(stall_timeout * 1000)) <= 0) {
      ::close(fd);
      return;
    }
    proto::Header h;
    uint8_t payload[proto::kMaxPayload];
    ssize_t len = read_message(fd, &h, payload);
    if (len != static_cast<ssize_t>(sizeof(proto::Hello)) || h.type != proto::kHello || h.a < 1 ||
        h.a > devs.size()) {
      std::fprintf(stderr, "world: refusing a connection that is not one of its devices\n");
      ::close(fd);
      return;
    }
    Dev& d = dev(h.a);
    proto::Hello hello;
    std::memcpy(&hello, payload, sizeof hello);
    // (The pid is not checked: a device program may run under a wrapper.)
    if (d.state == State::kDead) {
      std::fprintf(stderr, "world: refusing a connection for %s, which has ended\n",
                   who(d).c_str());
      ::close(fd);
      return;
    }
    // The previous program of this process (before a reset) may still have
    // messages in its socket.
    read_device(d, true);
    d.fd = fd;
    hello.image_name[sizeof hello.image_name - 1] = '\0';
    d.image = hello.image_name;
    d.console = hello.console_uart;
    d.receiving = 0;  // known at its first request
    d.deaf = false;
    d.silent = false;
    drop_held(d);
    d.now = std::max(d.now, h.t);
    d.want = kNever;
    set_state(d, State::kRunning);  // runs its start-up until its first request
    watch_device(d);
    d.ever_joined = true;
    send_to(d, proto::kWelcome, 0, d.now, 0, nullptr, 0);
  }

  // What the master waits on: the listening socket, every program's pidfd
  // and the socket of every device that runs. One epoll set kept up to
  // date, so that a round costs the same with 2 or 200 devices in the world.
  static constexpr uint64_t kListenTag = ~uint64_t{0};
  static uint64_t tag(int fd, int id, bool pidfd) {
    return (uint64_t{static_cast<uint32_t>(fd)} << 32) | (static_cast<uint64_t>(id) << 1) |
           (pidfd ? 1 : 0);
  }
  void watch(int fd, uint64_t data, bool add) {
    if (fd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = data;
    if (::epoll_ctl(epoll_fd, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev) != 0)
      fail_errno("epoll_ctl");
  }
  // A device's socket is read only while it runs (a waiting device sends
  // nothing; its end shows on its pidfd). It is watched edge-triggered for
  // all its life, so that a grant costs no change of the set: each message
  // that arrives reports the socket once, and a running device's socket is
  // read until it is empty or holds the request.
  void watch_device(Dev& d) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = tag(d.fd, d.id, false);
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, d.fd, &ev) != 0) fail_errno("epoll_ctl");
  }

  // Waits until no device is running or connecting.
  void wait_busy() {
    using clock = std::chrono::steady_clock;
    auto last_progress = clock::now();
    epoll_event events[64];
    while (any_busy()) {
      int n = ::epoll_wait(epoll_fd, events, 64, 1000);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail_errno("epoll_wait");
      }
      if (n == 0) {
        double idle = std::chrono::duration<double>(clock::now() - last_progress).count();
        if (idle > stall_timeout) {
          std::string names;
          for (const Dev& d : devs)
            if (busy(d)) names += " " + who(d);
          fail("no progress for " + std::to_string(static_cast<int>(idle)) + " s from" + names);
        }
        continue;
      }
      last_progress = clock::now();
      // Sockets first, so that messages are read before a death is handled.
      for (int i = 0; i < n; ++i) {
        const uint64_t t = events[i].data.u64;
        if (t == kListenTag) {
          accept_device();
          continue;
        }
        if (t & 1) continue;
        Dev& d = dev(static_cast<int>((t & 0xFFFFFFFFu) >> 1));
        if (d.state == State::kRunning && d.fd == static_cast<int>(t >> 32)) read_device(d, false);
      }
      for (int i = 0; i < n; ++i) {
        const uint64_t t = events[i].data.u64;
        if (t == kListenTag || !(t & 1)) continue;
        Dev& d = dev(static_cast<int>((t & 0xFFFFFFFFu) >> 1));
        if (d.state != State::kDead && d.pidfd == static_cast<int>(t >> 32)) reap(d);
      }
    }
  }

  // Hands the messages of a round to their receivers.
  void deliver() {
    // In time order (a device that ran ahead may have sent later than one
    // granted alongside it); at one time, by sender.
    std::stable_sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
      if (a.t != b.t) return a.t < b.t;
      return a.sender != b.sender ? a.sender < b.sender : a.seq < b.seq;
    });
    std::vector<Pending> batch;
    batch.swap(pending);
    // A device handed something now may act from its time on.
    time_us first = kNever;
    for (const Pending& p : batch) first = std::min(first, p.t);
    for (Pending& p : batch) {
      if (p.type == proto::kUart) {
        if (cb.uart) cb.uart(p.sender, p.port, p.t, p.bytes.data(), p.bytes.size());
        auto wire = wires.find({p.sender, p.port});
        if (wire != wires.end()) {
          Dev& to = dev(wire->second.first);
          if (to.state == State::kWaiting) flush(to);
          if (to.state == State::kWaiting &&
              send_to(to, proto::kUart, static_cast<uint16_t>(wire->second.second), p.t, 0,
                      p.bytes.data(), p.bytes.size())) {
            to.want = std::min(to.want, p.t);
            wanted(to);
          }
        }
        continue;
      }
      AirFrame f;
      std::memcpy(&f, p.bytes.data(), sizeof f);
      f.sender = static_cast<uint32_t>(p.sender);
      f.rx_rssi_dbm = 0;
      f.rx_snr_db = 0;
      broadcast(p.t, f, first);
    }
  }

  // `first`: the earliest time of what is being handed out along with it.
  void broadcast(time_us t, const AirFrame& f, time_us first) {
    if (cb.frame) cb.frame(FrameRecord{t, f});
    for (Agent* a : std::vector<Agent*>(agents)) a->heard(FrameRecord{t, f});
    const double floor = budget.noise_floor(f);
    // No frame starts before `settled` any more: a waiting device does
    // nothing of its own before its wanted time, and what could make it act
    // sooner is handed to it now (at `first` at the earliest), comes from
    // outside at the world's time at the earliest, or comes from another
    // device, which acts no earlier than its own wanted time. (The world's
    // time may be past some device's: one that ran ahead through quiet spans
    // may have taken it there.)
    const time_us settled = std::min({now_w, first, device_time()});
    const uint64_t at = aired_base + aired.size();
    aired.push_back(Aired{t, f, 0});
    for (Dev& d : devs) {
      if (d.state != State::kWaiting || static_cast<uint32_t>(d.id) == f.sender) continue;
      if (d.deaf) {
        Held h{at, 0, 0};
        budget.measure(f, static_cast<uint32_t>(d.id), floor, &h.rssi, &h.snr);
        ++aired_at(at).refs;
        hold(d, h, settled);
        continue;
      }
      AirFrame heard = f;
      budget.apply(heard, static_cast<uint32_t>(d.id), floor);
      // It is woken for the frame when the frame may first matter to it.
      if (send_to(d, proto::kFrame, 0, t, 0, &heard, sizeof heard)) {
        d.want = std::min(d.want, t + d.air_lead);
        wanted(d);
      }
    }
    // Kept only while some device holds it.
    if (at + 1 == aired_base + aired.size() && aired.back().refs == 0) aired.pop_back();
    while (!aired.empty() && aired.front().refs == 0) {
      aired.pop_front();
      ++aired_base;
    }
  }

  // Keeps a frame for a deaf device until it next gets anything. Frames
  // that ended before every frame that may still matter began are dropped:
  // nothing starts before `settled` any more (frames sent from now on, those
  // held that are still on the air), and the device does nothing of its own
  // before its wanted time, so such a frame can neither be received nor
  // disturb a frame that is. Corrections (cuts) are always kept, since they
  // change a frame the device may already have.
  void hold(Dev& d, const Held& held, time_us settled) {
    d.held.push_back(held);
    time_us horizon = std::min(settled, d.want);
    for (const Held& h : d.held) {
      const AirFrame& f = aired_at(h.at).f;
      if (f.end_us > horizon) horizon = std::min<time_us>(horizon, f.start_us);
    }
    size_t kept = 0;
    for (size_t i = 0; i < d.held.size(); ++i) {
      const Held h = d.held[i];
      const AirFrame& f = aired_at(h.at).f;
      if (!f.cut && f.end_us <= horizon)
        release(h.at);
      else
        d.held[kept++] = h;
    }
    d.held.resize(kept);
  }

  // Hands a device the frames held for it (before any other message).
  void flush(Dev& d) {
    std::vector<Held> held;
    held.swap(d.held);
    bool ok = true;
    for (const Held& h : held) {
      if (ok) {
        const Aired& a = aired_at(h.at);
        AirFrame f = a.f;
        f.rx_rssi_dbm = h.rssi;
        f.rx_snr_db = h.snr;
        ok = send_to(d, proto::kFrame, 0, a.t, 0, &f, sizeof f);
      }
      release(h.at);
    }
  }

  bool wired(const Dev& d) const {
    for (const auto& w : wires)
      if (w.first.first == d.id) return true;
    return false;
  }

  // Bytes into a port at now_w (nothing for a device that is not waiting).
  void send_uart_now(Dev& d, int port, const uint8_t* data, size_t len) {
    if (d.state != State::kWaiting) return;
    flush(d);
    while (len) {
      size_t n = std::min(len, proto::kMaxUartChunk);
      if (!send_to(d, proto::kUart, static_cast<uint16_t>(port), now_w, 0, data, n)) return;
      d.want = std::min(d.want, now_w);
      wanted(d);
      // Busy until the device tells when these bytes will have arrived.
      if (port >= 0 && port < kMaxUart) d.line_free[port] = kNever;
      data += n;
      len -= n;
    }
  }

  // `quiet`: nothing is sent to the device before then but frames of the
  // devices granted alongside it (see kGrant).
  void grant(Dev& d, time_us t, time_us quiet) {
    flush(d);
    ++grants;
    set_state(d, State::kRunning);
    const uint16_t a = output_free && !wired(d) ? proto::kOutputFree : 0;
    if (!send_to(d, proto::kGrant, a, t, std::max(t, quiet), nullptr, 0)) {
      // Gone: its pidfd will say so.
    }
  }

  void start_program(Dev& d) {
    std::vector<std::string> argv_s;
    argv_s.push_back(d.cfg.program);
    argv_s.insert(argv_s.end(), d.cfg.args.begin(), d.cfg.args.end());
    argv_s.push_back("--world");
    argv_s.push_back(path);
    argv_s.push_back("--device-id");
    argv_s.push_back(std::to_string(d.id));
    std::vector<char*> argv;
    for (std::string& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);

    int log_fd = -1;
    if (!d.cfg.log_path.empty()) {
      log_fd = ::open(d.cfg.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (log_fd < 0) fail_errno("cannot open " + d.cfg.log_path);
    }
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) fail_errno("fork");
    if (pid == 0) {
      // The device program must not outlive the world.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      int null_fd = ::open("/dev/null", O_RDONLY);
      if (null_fd >= 0) ::dup2(null_fd, 0);
      if (log_fd >= 0) {
        ::dup2(log_fd, 1);
        ::dup2(log_fd, 2);
      }
      if (!d.cfg.cwd.empty() && ::chdir(d.cfg.cwd.c_str()) != 0) ::_exit(126);
      pin_to(cpu);
      ::execv(argv[0], argv.data());
      const char* msg = "world: cannot execute the device program\n";
      ssize_t ignored = ::write(2, msg, std::strlen(msg));
      (void)ignored;
      ::_exit(127);
    }
    if (log_fd >= 0) ::close(log_fd);
    d.pid = pid;
    d.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (d.pidfd < 0) fail_errno("pidfd_open");
    watch(d.pidfd, tag(d.pidfd, d.id, true), true);
    set_state(d, State::kConnecting);
    d.ever_joined = false;
    d.expected_end = false;
    d.status = 0;
    d.now = now_w;
    d.want = kNever;
  }

  void kill_program(Dev& d) {
    if (d.state == State::kDead) return;
    d.expected_end = true;
    ::kill(d.pid, SIGKILL);
    int status = 0;
    while (::waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (d.pidfd >= 0) ::close(d.pidfd);
    d.pidfd = -1;
    close_socket(d);
    set_state(d, State::kDead);
    d.status = status;
    d.want = kNever;
    drop_held(d);
    if (cb.exited) cb.exited(d.id, status, true);
  }

  time_us device_time() const {
    while (!wants.empty() && !current(wants.top())) wants.pop();
    return wants.empty() ? kNever : wants.top().first;
  }

  time_us agent_time() const {
    time_us t = kNever;
    for (const Agent* a : agents) t = std::min(t, std::max(a->wake_time(), now_w));
    return t;
  }

  time_us next_time() const { return std::min({device_time(), agent_time(), input_time()}); }

  // One round (see the header). Returns false when nothing is due by
  // `target`.
  bool round(time_us target, Master& self) {
    time_us A = agent_time();
    time_us T = device_time();
    const time_us I = input_time();
    if (I <= target && I < A && I < T) {
      // Every round up to the input's time has run: it is handed over as
      // send_uart() would hand it then.
      now_w = std::max(now_w, I);
      while (!inputs.empty() && inputs.begin()->first == I) {
        auto node = inputs.extract(inputs.begin());
        Input& in = node.mapped();
        send_uart_now(dev(in.id), in.port, in.bytes.data(), in.bytes.size());
      }
      return true;
    }
    if (A != kNever && A <= target && A <= T) {
      // Agents act first at their time; what they put on the air goes to
      // the waiting devices at once.
      now_w = std::max(now_w, A);
      for (Agent* a : std::vector<Agent*>(agents))
        if (std::max(a->wake_time(), now_w) <= now_w) a->wake(self, now_w);
      return true;
    }
    if (T == kNever || T > target) return false;
    // Timed input is handed over once the world has got there: no device
    // runs past it (a device ahead of the world's time could not be given
    // anything at that time any more).
    target = std::min({target, A, I});
    std::vector<Dev*> run;
    while (device_time() == T) {
      Dev& d = dev(wants.top().second);
      wants.pop();
      if (std::find(run.begin(), run.end(), &d) == run.end()) run.push_back(&d);
    }
    std::sort(run.begin(), run.end(), [](const Dev* a, const Dev* b) { return a->id < b->id; });
    const time_us others = device_time();
    // Devices due at the same time run side by side, each granted only that
    // time: each may send at once, or right after its event of that time,
    // so a device goes past it only as far as no frame starting then could
    // matter to it yet (its air horizon, or quiet spans while its radios are
    // deaf; the device sees to that). Serial bytes between them would
    // arrive at their own times, so a wired device gets no quiet time
    // beyond.
    const time_us horizon = std::min(others, target);
    if (run.size() == 1) {
      // Alone, it runs to the next device's time; a quiet span of it may go
      // on past that while its radios are deaf (frames of the others would
      // reach it late, which cannot matter to it), up to the world's target.
      grant(*run[0], horizon, wired(*run[0]) ? horizon : target);
    } else {
      // Input other than frames comes from outside only, at the world's
      // time, which is past wherever these devices get to.
      for (Dev* d : run) grant(*d, T, wired(*d) ? T : target);
    }
    wait_busy();
    time_us reached = T;
    for (Dev* d : run)
      if (d->state == State::kWaiting) reached = std::max(reached, d->now);
    now_w = std::max(now_w, reached);
    deliver();
    return true;
  }

  void end() {
    using clock = std::chrono::steady_clock;
    for (Dev& d : devs) {
      if (d.state == State::kDead) continue;
      d.expected_end = true;
      if (d.state == State::kWaiting) send_to(d, proto::kQuit, 0, now_w, 0, nullptr, 0);
    }
    auto deadline = clock::now() + std::chrono::seconds(5);
    for (Dev& d : devs) {
      if (d.state == State::kDead) continue;
      pollfd p{d.pidfd, POLLIN, 0};
      int ms = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count());
      if (::poll(&p, 1, std::max(ms, 0)) <= 0) ::kill(d.pid, SIGKILL);
      int status = 0;
      while (::waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
      }
      if (d.pidfd >= 0) ::close(d.pidfd);
      d.pidfd = -1;
      close_socket(d);
      set_state(d, State::kDead);
      d.status = status;
      if (cb.exited) cb.exited(d.id, status, true);
    }
  }
};

Master::Master(std::string socket_path) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.path = std::move(socket_path);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (m.path.size() >= sizeof addr.sun_path) fail("socket path too long: " + m.path);
  std::strcpy(addr.sun_path, m.path.c_str());
  ::unlink(m.path.c_str());
  m.listen_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (m.listen_fd < 0) fail_errno("socket");
  if (::bind(m.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    fail_errno("cannot listen on " + m.path);
  if (::listen(m.listen_fd, 64) != 0) fail_errno("listen");
  m.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (m.epoll_fd < 0) fail_errno("epoll_create1");
  m.watch(m.listen_fd, Impl::kListenTag, true);
  m.cpu = world_cpu(m.path);
  if (m.cpu >= 0) {
    CPU_ZERO(&m.caller_affinity);
    m.restore_affinity = ::sched_getaffinity(0, sizeof m.caller_affinity, &m.caller_affinity) == 0;
    pin_to(m.cpu);
  }
}

Master::~Master() {
  try {
    impl_->end();
  } catch (...) {
  }
  if (impl_->listen_fd >= 0) ::close(impl_->listen_fd);
  if (impl_->epoll_fd >= 0) ::close(impl_->epoll_fd);
  ::unlink(impl_->path.c_str());
  if (impl_->restore_affinity)
    ::sched_setaffinity(0, sizeof impl_->caller_affinity, &impl_->caller_affinity);
}

void Master::set_callbacks(Callbacks callbacks) { impl_->cb = std::move(callbacks); }
LinkBudget& Master::budget() { return impl_->budget; }
const std::string& Master::socket_path() const { return impl_->path; }
void Master::set_stall_timeout(double seconds) { impl_->stall_timeout = seconds; }

int Master::spawn(const DeviceConfig& config) {
  Impl& m = *impl_;
  m.devs.emplace_back();
  Impl::Dev& d = m.devs.back();
  d.id = static_cast<int>(m.devs.size());
  d.cfg = config;
  if (d.cfg.name.empty()) d.cfg.name = "dev" + std::to_string(d.id);
  int id = d.id;
  m.start_program(d);
  m.wait_busy();
  m.deliver();
  return id;
}

void Master::restart(int id) {
  Impl& m = *impl_;
  m.kill_program(m.dev(id));
  m.start_program(m.dev(id));
  m.wait_busy();
  m.deliver();
}

void Master::kill(int id) { impl_->kill_program(impl_->dev(id)); }

void Master::request_reset(int id) {
  Impl& m = *impl_;
  Impl::Dev& d = m.dev(id);
  if (d.state != Impl::State::kWaiting) return;
  m.flush(d);
  if (m.send_to(d, proto::kReset, 0, m.now_w, 0, nullptr, 0)) {
    d.want = std::min(d.want, m.now_w);
    m.wanted(d);
  }
}

bool Master::alive(int id) const { return impl_->dev(id).state != Impl::State::kDead; }
int Master::exit_status(int id) const { return impl_->dev(id).status; }
pid_t Master::pid(int id) const { return impl_->dev(id).pid; }
std::string Master::image_name(int id) const { return impl_->dev(id).image; }
int Master::console_uart(int id) const { return impl_->dev(id).console; }
int Master::device_count() const { return static_cast<int>(impl_->devs.size()); }
uint64_t Master::grants() const { return impl_->grants; }

time_us Master::now() const { return impl_->now_w; }
time_us Master::next_time() const { return impl_->next_time(); }

bool Master::run_until(time_us target, const std::function<bool()>& stop) {
  Impl& m = *impl_;
  m.output_free = !stop;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{m.output_free};
  for (;;) {
    if (stop && stop()) return true;
    if (!m.round(target, *this)) {
      if (target != kNever) m.now_w = std::max(m.now_w, target);
      return false;
    }
  }
}

void Master::send_uart(int id, int port, const uint8_t* data, size_t len) {
  impl_->send_uart_now(impl_->dev(id), port, data, len);
}

void Master::send_uart_at(int id, int port, time_us t, const uint8_t* data, size_t len) {
  Impl& m = *impl_;
  Impl::Dev& d = m.dev(id);
  if (t < m.now_w) fail("timed input for " + m.who(d) + " before the world's time");
  m.inputs.emplace(t, Impl::Input{id, port, std::vector<uint8_t>(data, data + len)});
}

time_us Master::uart_ready_at(int id, int port) const {
  const Impl::Dev& d = impl_->dev(id);
  if (d.state != Impl::State::kWaiting || port < 0 || port >= kMaxUart) return kNever;
  if (!(d.receiving & proto::rx_on(port))) return kNever;
  return std::max(d.line_free[port], impl_->now_w);
}

void Master::connect_uart(int a, int port_a, int b, int port_b) {
  Impl& m = *impl_;
  m.dev(a);  // a device that does not exist is an error
  auto unwire = [&m](std::pair<int, int> end) {
    auto it = m.wires.find(end);
    if (it == m.wires.end()) return;
    m.wires.erase(it->second);
    m.wires.erase(it);
  };
  unwire({a, port_a});
  if (port_b < 0) return;
  m.dev(b);
  unwire({b, port_b});
  m.wires[{a, port_a}] = {b, port_b};
  m.wires[{b, port_b}] = {a, port_a};
}

void Master::inject_frame(const AirFrame& frame) {
  AirFrame f = frame;
  f.sender = 0;
  f.rx_rssi_dbm = 0;
  f.rx_snr_db = 0;
  impl_->broadcast(impl_->now_w, f, impl_->now_w);
}

void Master::add_agent(Agent* agent) { impl_->agents.push_back(agent); }

void Master::remove_agent(Agent* agent) {
  auto& v = impl_->agents;
  v.erase(std::remove(v.begin(), v.end(), agent), v.end());
}

void Master::end() { impl_->end(); }

bool parse_duration(const std::string& text, time_us* out) {
  if (text.empty()) return false;
  size_t pos = 0;
  double value;
  try {
    value = std::stod(text, &pos);
  } catch (...) {
    return false;
  }
  std::string unit = text.substr(pos);
  double scale;
  if (unit.empty() || unit == "us")
    scale = 1;
  else if (unit == "ms")
    scale = 1e3;
  else if (unit == "s")
    scale = 1e6;
  else if (unit == "m" || unit == "min")
    scale = 60e6;
  else if (unit == "h")
    scale = 3600e6;
  else if (unit == "d")
    scale = 86400e6;
  else
    return false;
  double us = value * scale;
  if (!(us >= 0) || us > 1.8e19) return false;
  *out = static_cast<time_us>(std::llround(us));
  return true;
}

std::string format_time(time_us t) {
  if (t == kNever) return "never";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%llu.%06llus", static_cast<unsigned long long>(t / 1000000),
                static_cast<unsigned long long>(t % 1000000));
  return buf;
}

}  // namespace sim::world

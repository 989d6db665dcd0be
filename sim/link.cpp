// Device side of the world link: one SOCK_SEQPACKET socket to the time
// master (see world/protocol.h for the messages).
//
// Frames and serial bytes the device sends are kept in an outbox and leave
// with its next request for time (or before the program ends or executes
// anew), bundled into one packet: the master reads them only after the
// round anyway, and a master woken by the first of several packets would
// often fall asleep again before the request came, and be woken twice.
//
// The device runs freely up to the last time the master granted. Asking past
// it sends a request and blocks until the grant; frames, serial bytes and
// reset requests that arrive meanwhile become events at their times. Sending
// anything lowers the free-run limit to the send time, so that whatever the
// world answers at that same time still reaches the device before it moves on.
#include "sim/link.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/host.h"
#include "world/protocol.h"

namespace sim {
// Defined by the platform stand-in of an image program; absent from test
// programs that link the chip alone. Only used to introduce the device.
[[gnu::weak]] const ProgramInfo& program_info();
}  // namespace sim

namespace sim::link {
namespace {

namespace proto = sim::world::proto;

struct Link {
  int fd = -1;
  uint32_t id = 0;
  time_us start = 0;
  time_us limit = 0;  // the device may move freely up to here
  // No input reaches the device before this time (exclusive); past `limit`
  // it may still move through quiet spans while its radios are deaf.
  time_us quiet = 0;
  FrameFn frame_fn = nullptr;
  void* frame_ctx = nullptr;
  UartFn uart_fn = nullptr;
  void* uart_ctx = nullptr;
  DeafFn deaf_fn = nullptr;
  void* deaf_ctx = nullptr;
  DeafFn silent_fn = nullptr;
  void* silent_ctx = nullptr;
  HorizonFn horizon_fn = nullptr;
  void* horizon_ctx = nullptr;
  bool lead = true;          // QIV_AIR_LEAD=0 turns the lookahead off
  bool syncing = false;      // in sync(): late frames are taken at once
  bool output_free = false;  // kOutputFree in the last grant
};
Link g;

// A message turned into an event; freed by the event.
struct Delivery {
  uint16_t type;
  int port;
  std::vector<uint8_t> bytes;
  AirFrame frame;
};

// Messages not sent yet, one after the other (each a header and its
// payload), and where each ends.
std::vector<uint8_t> outbox;
std::vector<size_t> outbox_ends;

[[noreturn]] void lost(const char* what) {
  std::fprintf(stderr, "world link: %s%s%s\n", what, errno ? ": " : "",
               errno ? std::strerror(errno) : "");
  g.fd = -1;
  outbox.clear();
  outbox_ends.clear();
  sim::host::finish(1);
}

// Puts a message in the outbox.
void queue_message(uint16_t type, uint16_t a, time_us t, time_us t2, const void* payload,
                   size_t len) {
  if (g.fd < 0) return;
  proto::Header h{type, a, static_cast<uint32_t>(len), t, t2};
  const auto* hb = reinterpret_cast<const uint8_t*>(&h);
  outbox.insert(outbox.end(), hb, hb + sizeof h);
  if (len) {
    const auto* pb = static_cast<const uint8_t*>(payload);
    outbox.insert(outbox.end(), pb, pb + len);
  }
  outbox_ends.push_back(outbox.size());
}

void send_packet(const uint8_t* data, size_t len) {
  for (;;) {
    ssize_t n = ::send(g.fd, data, len, MSG_NOSIGNAL);
    if (n >= 0) return;
    if (errno == EINTR) continue;
    lost("cannot reach the master");
  }
}

// Sends what the outbox holds: one packet (a bundle when it holds several
// messages and they fit in one), else message by message.
void send_outbox() {
  if (g.fd >= 0 && outbox_ends.size() == 1) {
    send_packet(outbox.data(), outbox.size());
  } else if (g.fd >= 0 && outbox.size() + sizeof(proto::Header) <= proto::kMaxPacket) {
    proto::Header h{proto::kBundle, 0, static_cast<uint32_t>(outbox.size()), 0, 0};
    const auto* hb = reinterpret_cast<const uint8_t*>(&h);
    outbox.insert(outbox.begin(), hb, hb + sizeof h);
    send_packet(outbox.data(), outbox.size());
  } else if (g.fd >= 0) {
    size_t begin = 0;
    for (size_t end : outbox_ends) {
      send_packet(outbox.data() + begin, end - begin);
      begin = end;
    }
  }
  outbox.clear();
  outbox_ends.clear();
}

void send_message(uint16_t type, uint16_t a, time_us t, time_us t2, const void* payload,
                  size_t len) {
  queue_message(type, a, t, t2, payload, len);
  send_outbox();
}

void flush_at_exit(void*) { send_outbox(); }

// The last packet from the master and how far its messages have been taken.
uint8_t inbox[proto::kMaxPacket];
size_t inbox_len = 0;
size_t inbox_at = 0;

[[noreturn]] void malformed(const char* what) {
  errno = 0;
  lost(what);
}

// Reads the next message (from the bundle being taken, else from a new
// packet); returns its payload length. Ends the program when the master
// has gone.
size_t receive(proto::Header* h, uint8_t* payload) {
  if (inbox_at >= inbox_len) {
    ssize_t n;
    do {
      n = ::recv(g.fd, inbox, sizeof inbox, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) malformed("the master has gone");
    if (n < 0) lost("cannot read from the master");
    inbox_len = static_cast<size_t>(n);
    inbox_at = 0;
    if (inbox_len < sizeof *h) malformed("short message from the master");
    std::memcpy(h, inbox, sizeof *h);
    if (h->type == proto::kBundle) {
      if (h->len != inbox_len - sizeof *h) malformed("malformed message from the master");
      inbox_at = sizeof *h;
    }
  }
  if (inbox_len - inbox_at < sizeof *h) malformed("short message from the master");
  std::memcpy(h, inbox + inbox_at, sizeof *h);
  const size_t len = h->len;
  const bool whole = inbox_at == 0;
  if (h->type == proto::kBundle ||
      (whole ? len != inbox_len - sizeof *h : len > inbox_len - inbox_at - sizeof *h) ||
      len > proto::kMaxPayload)
    malformed("malformed message from the master");
  std::memcpy(payload, inbox + inbox_at + sizeof *h, len);
  inbox_at += sizeof *h + len;
  return len;
}

void deliver(void* ctx, uint32_t) {
  auto* d = static_cast<Delivery*>(ctx);
  if (d->type == proto::kFrame) {
    if (g.frame_fn) g.frame_fn(g.frame_ctx, d->frame);
  } else if (d->type == proto::kUart) {
    if (g.uart_fn) g.uart_fn(g.uart_ctx, d->port, d->bytes.data(), d->bytes.size());
  }
  delete d;
}

void reset_now(void*, uint32_t) { sim::system_reset(); }

}  // namespace

bool init(const char* endpoint, uint32_t device_id) {
  if (g.fd >= 0) return true;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!endpoint || std::strlen(endpoint) >= sizeof addr.sun_path) {
    std::fprintf(stderr, "world link: bad endpoint\n");
    return false;
  }
  std::strcpy(addr.sun_path, endpoint);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "world link: cannot connect to %s: %s\n", endpoint, std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  g.fd = fd;
  g.id = device_id;
  const char* lead = std::getenv("QIV_AIR_LEAD");
  g.lead = !(lead && std::strcmp(lead, "0") == 0);

  proto::Hello hello{};
  hello.pid = static_cast<uint32_t>(::getpid());
  hello.console_uart = -1;
  if (&sim::program_info != nullptr) {
    const ProgramInfo& info = sim::program_info();
    hello.console_uart = info.console_uart;
    if (info.image_name)
      std::snprintf(hello.image_name, sizeof hello.image_name, "%s", info.image_name);
  }
  send_message(proto::kHello, static_cast<uint16_t>(device_id), sim::now(), 0, &hello,
               sizeof hello);

  proto::Header h;
  uint8_t payload[proto::kMaxPayload];
  receive(&h, payload);
  if (h.type == proto::kQuit) sim::host::finish(0);
  if (h.type != proto::kWelcome) {
    errno = 0;
    lost("unexpected answer to hello");
  }
  g.start = h.t;
  g.limit = h.t;
  g.quiet = h.t;
  sim::host::add_exit_hook(flush_at_exit, nullptr);
  return true;
}

void flush() { send_outbox(); }

bool connected() { return g.fd >= 0; }

namespace {
// The state of the serial ports and the air as a request reports it (see
// protocol.h).
uint16_t request_state(proto::RequestState* state) {
  uint16_t receiving = 0;
  for (int p = 0; p < kMaxUart; ++p) {
    if (sim::host::uart_receiving(p)) receiving |= proto::rx_on(p);
    state->free_at[p] = sim::host::uart_line_free(p);
  }
  // A device without a frame handler drops every frame; one with a handler
  // is deaf only when the handler's owner says so.
  const bool deaf = !g.frame_fn || (g.deaf_fn && g.deaf_fn(g.deaf_ctx));
  const bool silent = g.silent_fn && g.silent_fn(g.silent_ctx);
  state->flags = (deaf ? proto::kAirDeaf : 0) | (silent ? proto::kAirSilent : 0);
  state->air_lead = 0;
  if (g.lead && g.horizon_fn) {
    const time_us now = sim::now();
    const time_us h = g.horizon_fn(g.horizon_ctx, now);
    state->air_lead = h <= now ? 0 : static_cast<uint32_t>(std::min<time_us>(h - now, 0xFFFFFFFFu));
  }
  return receiving;
}
}  // namespace

time_us start_time() { return g.start; }

namespace {
bool deaf_now() { return !g.frame_fn || (g.deaf_fn && g.deaf_fn(g.deaf_ctx)); }

// The device runs what comes strictly before this without asking (see
// set_air_horizon_query), or, without a horizon query, up to its grant.
time_us run_ahead_limit() {
  if (!g.lead || !g.horizon_fn) return g.limit;
  const time_us h = std::min(g.quiet, g.horizon_fn(g.horizon_ctx, g.limit));
  return std::max(h, g.limit);
}
}  // namespace

// Asks the master for time and waits for its grant.
static time_us request(time_us now, time_us want);

time_us grant(time_us now, time_us want) {
  if (g.fd < 0 || want <= g.limit) return want;
  if (want < run_ahead_limit()) return want;
  return request(now, want);
}

static time_us request(time_us now, time_us want) {
  proto::RequestState state;
  uint16_t receiving = request_state(&state);
  send_message(proto::kRequest, receiving, now, want, &state, sizeof state);
  time_us earliest = kNever;
  proto::Header h;
  uint8_t payload[proto::kMaxPayload];
  for (;;) {
    size_t len = receive(&h, payload);
    time_us at = std::max(h.t, now);
    switch (h.type) {
      case proto::kGrant: {
        g.limit = std::max(h.t, now);
        g.quiet = std::max<time_us>(h.t2, g.limit);
        g.output_free = (h.a & proto::kOutputFree) != 0;
        return std::min({want, g.limit, earliest});
      }
      case proto::kFrame: {
        if (len != sizeof(AirFrame)) {
          errno = 0;
          lost("malformed frame from the master");
        }
        if (g.syncing && h.t < now) {
          // It started before the device's present: taken now, before
          // whatever the device was about to do.
          AirFrame f;
          std::memcpy(&f, payload, sizeof f);
          if (g.frame_fn) g.frame_fn(g.frame_ctx, f);
          break;
        }
        auto* d = new Delivery{proto::kFrame, 0, {}, {}};
        std::memcpy(&d->frame, payload, sizeof(AirFrame));
        sim::schedule(at, deliver, d);
        earliest = std::min(earliest, at);
        break;
      }
      case proto::kUart: {
        auto* d = new Delivery{proto::kUart, h.a, {payload, payload + len}, {}};
        sim::schedule(at, deliver, d);
        earliest = std::min(earliest, at);
        break;
      }
      case proto::kReset:
        sim::schedule(at, reset_now, nullptr);
        earliest = std::min(earliest, at);
        break;
      case proto::kQuit:
        ::close(g.fd);
        g.fd = -1;
        sim::host::finish(0);
      default:
        errno = 0;
        lost("unexpected message from the master");
    }
  }
}

time_us gate(void*, time_us now, time_us want) { return grant(now, want); }

time_us quiet_until() {
  if (g.fd < 0) return kNever;
  if (g.lead && g.horizon_fn) return run_ahead_limit();
  if (g.quiet <= g.limit) return g.limit;
  // Frames that the devices granted alongside it put on the air meanwhile
  // would reach the device late, when it next asks for time: a listening
  // device stops at its grant; one whose radios are deaf may go on, since no
  // frame can affect it before it runs of its own accord again.
  return deaf_now() ? g.quiet : g.limit;
}

time_us quiet_query(void*) { return quiet_until(); }

void send_frame(const AirFrame& frame) {
  if (g.fd < 0) return;
  AirFrame f = frame;
  f.sender = g.id;
  time_us t = sim::now();
  queue_message(proto::kFrame, 0, t, 0, &f, sizeof f);
  g.limit = std::min(g.limit, t);
  g.quiet = std::min(g.quiet, t);
}

void set_frame_handler(FrameFn fn, void* ctx) {
  g.frame_fn = fn;
  g.frame_ctx = ctx;
}

void set_air_deaf_query(DeafFn fn, void* ctx) {
  g.deaf_fn = fn;
  g.deaf_ctx = ctx;
}

void set_air_horizon_query(HorizonFn fn, void* ctx) {
  g.horizon_fn = fn;
  g.horizon_ctx = ctx;
}

time_us known_until() { return g.fd < 0 ? kNever : g.limit; }

void sync() {
  if (g.fd < 0 || !g.lead || !g.horizon_fn) return;
  const time_us t = sim::now();
  if (t <= g.limit) return;
  g.syncing = true;
  request(t, t);
  g.syncing = false;
}

void set_air_silent_query(DeafFn fn, void* ctx) {
  g.silent_fn = fn;
  g.silent_ctx = ctx;
}

void send_uart(int port, const uint8_t* data, size_t len) {
  if (g.fd < 0 || len == 0) return;
  time_us t = sim::now();
  while (len) {
    size_t n = std::min(len, proto::kMaxUartChunk);
    queue_message(proto::kUart, static_cast<uint16_t>(port), t, 0, data, n);
    data += n;
    len -= n;
  }
  if (g.output_free) return;  // nobody answers before the quiet time
  g.limit = std::min(g.limit, t);
  g.quiet = std::min(g.quiet, t);
}

void set_uart_handler(UartFn fn, void* ctx) {
  g.uart_fn = fn;
  g.uart_ctx = ctx;
}

}  // namespace sim::link

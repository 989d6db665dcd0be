// Serial ports: bytes from outside arrive one at a time, paced at the port's
// baud rate; bytes written by the chip leave at once (to a peer model they
// arrive at the line's pace).
#include <cmath>
#include <cstring>
#include <vector>

#include "core_internal.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sim/uart_peer.h"

namespace sim {
namespace {

constexpr uint32_t kDefaultBaud = 115200;

struct Port {
  uint32_t baud = kDefaultBaud;
  UartRxFn rx = nullptr;
  void* rx_ctx = nullptr;
  host::UartOutFn out = nullptr;
  void* out_ctx = nullptr;
  time_us line_free = 0;
  // A peer model on the port: where its bytes are on their way to it.
  UartPeer* peer = nullptr;
  uint8_t peer_generation = 0;  // bytes of an earlier attachment are lost
  time_us tx_line_free = 0;
};

Port ports[kMaxUart];
host::UartRxStateFn rx_observer = nullptr;
void* rx_observer_ctx = nullptr;

// A port the chip does not have is a mistake of the caller: it stops.
bool port_ok(int port) {
  if (port < 0 || port >= kMaxUart)
    fatal("serial port %d: the chip has ports 0 to %d", port, kMaxUart - 1);
  return true;
}

// arg: port in bits 8..15, byte in bits 0..7.
void rx_event(void*, uint32_t arg) {
  int port = static_cast<int>((arg >> 8) & 0xFF);
  uint8_t byte = static_cast<uint8_t>(arg & 0xFF);
  Port& p = ports[port];
  if (p.rx) p.rx(p.rx_ctx, byte);
}

// arg: attachment generation in bits 16..23, port in bits 8..15, byte.
void peer_byte_event(void*, uint32_t arg) {
  Port& p = ports[(arg >> 8) & 0xFF];
  if (p.peer && p.peer_generation == ((arg >> 16) & 0xFF))
    p.peer->received(static_cast<uint8_t>(arg & 0xFF));
}

void to_peer(void*, int port, const uint8_t* data, size_t len) {
  Port& p = ports[port];
  time_us t = p.tx_line_free > now() ? p.tx_line_free : now();
  time_us bt = uart_byte_time(port);
  for (size_t i = 0; i < len; ++i) {
    t += bt;
    schedule(t, peer_byte_event, nullptr,
             (static_cast<uint32_t>(p.peer_generation) << 16) | (static_cast<uint32_t>(port) << 8) |
                 data[i]);
  }
  p.tx_line_free = t;
}

}  // namespace

void uart_attach_peer(int port, UartPeer* peer) {
  if (!port_ok(port)) return;
  Port& p = ports[port];
  host::uart_set_output(port, peer ? to_peer : nullptr, nullptr);
  p.peer = peer;
  ++p.peer_generation;
  if (peer) peer->port_ = port;
}

UartPeer* uart_peer(int port) { return port_ok(port) ? ports[port].peer : nullptr; }

UartPeer::~UartPeer() {
  if (port_ >= 0 && uart_peer(port_) == this) uart_attach_peer(port_, nullptr);
}

void UartPeer::send(const uint8_t* data, size_t len) {
  if (port_ >= 0 && uart_peer(port_) == this) host::uart_feed(port_, data, len, now());
}

void UartPeer::send(const char* text) {
  send(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

void uart_reset_all() {
  for (auto& p : ports) p = Port{};
  rx_observer = nullptr;
  rx_observer_ctx = nullptr;
}

void uart_set_baud(int port, uint32_t baud) {
  if (port_ok(port) && baud) ports[port].baud = baud;
}

uint32_t uart_baud(int port) { return port_ok(port) ? ports[port].baud : 0; }

time_us uart_byte_time(int port) {
  uint32_t baud = port_ok(port) ? ports[port].baud : kDefaultBaud;
  return (10'000'000ull + baud - 1) / baud;
}

void uart_set_rx_handler(int port, UartRxFn fn, void* ctx) {
  if (!port_ok(port)) return;
  bool was = ports[port].rx != nullptr;
  ports[port].rx = fn;
  ports[port].rx_ctx = ctx;
  if (was != (fn != nullptr) && rx_observer) rx_observer(rx_observer_ctx, port, fn != nullptr);
}

void uart_write(int port, const uint8_t* data, size_t len) {
  if (!port_ok(port) || !len) return;
  Port& p = ports[port];
  if (p.out) p.out(p.out_ctx, port, data, len);
}

bool uart_attached(int port) { return port_ok(port) && ports[port].out != nullptr; }

namespace host {

std::vector<uint8_t> uart_reframe(const uint8_t* data, size_t len, uint32_t sent_baud,
                                  uint32_t read_baud) {
  std::vector<uint8_t> out;
  if (len == 0 || sent_baud == 0 || read_baud == 0) return out;
  if (sent_baud == read_baud) return std::vector<uint8_t>(data, data + len);
  // The sender's line: frames of 10 bits (start 0, 8 data bits LSB first,
  // stop 1) back to back, then idle (1). Times in nanoseconds.
  const double ts = 1e9 / sent_baud;
  const double tr = 1e9 / read_baud;
  const double end = static_cast<double>(len) * 10 * ts;
  auto level = [&](double t) -> int {
    if (t < 0 || t >= end) return 1;
    const size_t frame = static_cast<size_t>(t / (10 * ts));
    if (frame >= len) return 1;
    const int bit = static_cast<int>((t - static_cast<double>(frame) * 10 * ts) / ts);
    if (bit <= 0) return 0;
    if (bit >= 9) return 1;
    return (data[frame] >> (bit - 1)) & 1;
  };
  // The reader waits for a falling edge, checks the start bit in its middle
  // and samples each further bit in its middle; the byte is taken whatever
  // its stop bit holds (a framing error), and the next start is looked for
  // after the stop bit's sample. Edges fall on the sender's bit boundaries.
  double from = 0;
  for (;;) {
    double edge = -1;
    for (double k = std::ceil(from / ts); k * ts < end; k += 1) {
      const double t = k * ts;
      if (level(t) == 0 && level(t - ts / 2) == 1) {
        edge = t;
        break;
      }
    }
    if (edge < 0) break;
    if (level(edge + tr / 2) != 0) {
      from = edge + tr / 2;  // a glitch, not a start bit
      continue;
    }
    uint8_t byte = 0;
    for (int bit = 0; bit < 8; ++bit)
      byte = static_cast<uint8_t>(byte | level(edge + (bit + 1.5) * tr) << bit);
    out.push_back(byte);
    from = edge + 9.5 * tr;
  }
  return out;
}

void uart_feed(int port, const uint8_t* data, size_t len, time_us at) {
  if (!port_ok(port)) return;
  Port& p = ports[port];
  if (at < now()) at = now();
  time_us t = p.line_free > at ? p.line_free : at;
  time_us bt = uart_byte_time(port);
  for (size_t i = 0; i < len; ++i) {
    t += bt;
    schedule(t, rx_event, nullptr, (static_cast<uint32_t>(port) << 8) | data[i]);
  }
  p.line_free = t;
}

void uart_set_output(int port, UartOutFn fn, void* ctx) {
  if (!port_ok(port)) return;
  Port& p = ports[port];
  if (p.peer) {
    p.peer = nullptr;
    ++p.peer_generation;
  }
  p.out = fn;
  p.out_ctx = ctx;
}

time_us uart_line_free(int port) { return port_ok(port) ? ports[port].line_free : 0; }

void uart_set_line_free(int port, time_us t) {
  if (port_ok(port)) ports[port].line_free = t;
}

bool uart_receiving(int port) { return port_ok(port) && ports[port].rx != nullptr; }

void uart_set_rx_state_observer(UartRxStateFn fn, void* ctx) {
  rx_observer = fn;
  rx_observer_ctx = ctx;
}

}  // namespace host
}  // namespace sim

// Serial ports: bytes from outside arrive one at a time, paced at the port's
// baud rate; bytes written by the chip leave at once.
#include <cstring>

#include "core_internal.h"
#include "sim/host.h"
#include "sim/sim.h"

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
};

Port ports[kMaxUart];
host::UartRxStateFn rx_observer = nullptr;
void* rx_observer_ctx = nullptr;

// A port the chip does not have is a mistake of the caller: it stops.
bool port_ok(int port) {
  if (port < 0 || port >= kMaxUart) fatal("serial port %d: the chip has ports 0 to %d", port, kMaxUart - 1);
  return true;
}

// arg: port in bits 8..15, byte in bits 0..7.
void rx_event(void*, uint32_t arg) {
  int port = static_cast<int>((arg >> 8) & 0xFF);
  uint8_t byte = static_cast<uint8_t>(arg & 0xFF);
  Port& p = ports[port];
  if (p.rx) p.rx(p.rx_ctx, byte);
}

}  // namespace

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
  ports[port].out = fn;
  ports[port].out_ctx = ctx;
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

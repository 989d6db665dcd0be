// A small stand-in image for testing the world, the harness and qivsim
// before the firmware images exist: a line-command device on every serial
// port, with a radio that puts frames on the air and reports what it hears.
// Each reply goes to the port the command came from and ends with "\r\n".
//
//   PING              -> PONG
//   TIME              -> TIME <now in us>
//   BOOT              -> BOOT <boots since power-on> <time of this start in us>
//                        (the count is kept in a retained word)
//   TX <hex>          -> OK; a LoRa frame with that payload goes on the air
//   SAY <text>        -> <text>
//   NOP               -> nothing (a silent timer: WHEN <t> NOP)
//   RAW <hex>         -> those bytes alone (no line end added)
//   DELAY <us> <cmd>  -> OK, and <us> later runs <cmd> (on the same port)
//   WHEN <t> <cmd>    -> OK, and runs <cmd> at virtual time <t> (us)
//   PIN <name>        -> PIN <level>        ADC <name> -> ADC <mV>
//   WRITE <page> <text>  programs <text> (padded with 0xFF to whole write
//                        units) at the start of flash page <page> -> OK/ERROR
//   ERASE <page>      -> OK/ERROR
//   RESET             -> resets the chip     EXIT <code> -> ends the program
//   AIR LISTEN        -> OK; from then on the device tells the world that it
//                        is silent on the air except while a frame of its own
//                        is on it (its radio always listens), and each RX line
//                        ends with " @<time the frame reached it>"
//   QUIET <us>        -> OK once <us> of bus time has passed (a span in which
//                        the device's clock may move without a world step)
// Frames heard are reported on the console port as
//   RX <sender> <rssi> <snr> <frequency> <hex>
// and the device prints "READY <boot>" on the console port when it starts.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/host.h"
#include "sim/link.h"
#include "sim/sim.h"

namespace {

constexpr int kConsole = 2;
constexpr int kIrq = 20;

struct Port {
  uint8_t fifo[2048];
  uint32_t head = 0, tail = 0;
  char line[300];
  size_t len = 0;
};
Port ports[sim::kMaxUart];

constexpr int kMaxFrames = 16;
sim::AirFrame heard[kMaxFrames];
sim::time_us heard_at[kMaxFrames];
uint32_t heard_head = 0, heard_tail = 0;
sim::time_us started_at = 0;

struct Delayed {
  int port;
  char cmd[200];
};

void say(int port, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say(int port, const char* fmt, ...) {
  char buf[700];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf - 2, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) > sizeof buf - 3) n = sizeof buf - 3;
  buf[n++] = '\r';
  buf[n++] = '\n';
  sim::uart_write(port, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
}

void on_rx(void* ctx, uint8_t byte) {
  Port& p = ports[reinterpret_cast<intptr_t>(ctx)];
  if (p.head - p.tail < sizeof p.fifo) p.fifo[p.head++ % sizeof p.fifo] = byte;
  sim::irq_set_pending(kIrq);
}

void on_frame(void*, const sim::AirFrame& f) {
  if (heard_head - heard_tail < kMaxFrames) {
    heard_at[heard_head % kMaxFrames] = sim::now();
    heard[heard_head++ % kMaxFrames] = f;
  }
  sim::irq_set_pending(kIrq);
}

Delayed delayed[8];
uint32_t delayed_due = 0;  // bit per slot
uint32_t delayed_used = 0;

void on_delay(void*, uint32_t slot) {
  delayed_due |= 1u << slot;
  sim::irq_set_pending(kIrq);
}

void isr() {}

// Set by AIR: the radio's state as the world sees it.
bool air_reported = false;
sim::time_us tx_end = 0;

bool silent_query(void*) { return sim::now() >= tx_end; }

std::string hex(const uint8_t* d, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

bool unhex(const char* s, uint8_t* out, size_t max, size_t* len) {
  size_t n = std::strlen(s);
  if (n % 2 || n / 2 > max) return false;
  for (size_t i = 0; i < n; i += 2) {
    unsigned v;
    if (std::sscanf(s + i, "%2x", &v) != 1) return false;
    out[i / 2] = static_cast<uint8_t>(v);
  }
  *len = n / 2;
  return true;
}

void transmit(const uint8_t* payload, size_t len) {
  sim::AirFrame f{};
  f.start_us = sim::now();
  f.end_us = f.start_us + 1000 + 100 * len;  // not a real time on air
  f.frequency_hz = 868100000;
  f.modem = sim::Modem::kLora;
  f.sf = 7;
  f.bandwidth_hz = 125000;
  f.coding_rate = 1;
  f.preamble_len = 8;
  f.lora_sync_word = 0x3444;
  f.crc_on = true;
  f.tx_power_dbm = 14;
  f.len = static_cast<uint16_t>(len);
  std::memcpy(f.payload, payload, len);
  tx_end = f.end_us;
  sim::link::send_frame(f);
}

void run(int port, const char* cmd) {
  char a[300] = {};
  unsigned long x = 0;
  unsigned long long t = 0;
  int code = 0;
  const sim::FlashGeometry& g = sim::flash_geometry();
  if (!std::strcmp(cmd, "PING")) {
    say(port, "PONG");
  } else if (!std::strcmp(cmd, "TIME")) {
    say(port, "TIME %" PRIu64, sim::now());
  } else if (!std::strcmp(cmd, "BOOT")) {
    say(port, "BOOT %" PRIu32 " %" PRIu64, sim::retained_read(0), started_at);
  } else if (std::sscanf(cmd, "TX %299s", a) == 1) {
    uint8_t payload[255];
    size_t len;
    if (!unhex(a, payload, sizeof payload, &len)) return say(port, "ERROR");
    say(port, "OK");
    transmit(payload, len);
  } else if (std::sscanf(cmd, "RAW %299s", a) == 1) {
    uint8_t bytes[255];
    size_t len;
    if (!unhex(a, bytes, sizeof bytes, &len)) return say(port, "ERROR");
    sim::uart_write(port, bytes, len);
  } else if (std::sscanf(cmd, "AIR %15s", a) == 1) {
    if (std::strcmp(a, "LISTEN") != 0) return say(port, "ERROR");
    if (!air_reported) {
      sim::link::set_air_silent_query(silent_query, nullptr);
      air_reported = true;
    }
    say(port, "OK");
  } else if (std::sscanf(cmd, "QUIET %llu", &t) == 1) {
    sim::cpu_spend_quiet(t);
    say(port, "OK");
  } else if (!std::strcmp(cmd, "NOP")) {
  } else if (!std::strncmp(cmd, "SAY ", 4)) {
    say(port, "%s", cmd + 4);
  } else if (std::sscanf(cmd, "DELAY %llu %199[^\n]", &t, a) == 2 ||
             std::sscanf(cmd, "WHEN %llu %199[^\n]", &t, a) == 2) {
    sim::time_us at = cmd[0] == 'D' ? sim::now() + t : t;
    if (at < sim::now()) return say(port, "ERROR");
    int slot = 0;
    while (slot < 8 && (delayed_used & (1u << slot))) ++slot;
    if (slot == 8) return say(port, "ERROR");
    delayed_used |= 1u << slot;
    delayed[slot].port = port;
    std::memcpy(delayed[slot].cmd, a, sizeof delayed[slot].cmd - 1);  // %199 bounds it
    delayed[slot].cmd[sizeof delayed[slot].cmd - 1] = '\0';
    sim::schedule(at, on_delay, nullptr, static_cast<uint32_t>(slot));
    say(port, "OK");
  } else if (std::sscanf(cmd, "PIN %15s", a) == 1) {
    uint16_t pin;
    if (!sim::host::parse_pin(a, &pin)) return say(port, "ERROR");
    say(port, "PIN %d", sim::pin_input(pin));
  } else if (std::sscanf(cmd, "ADC %15s", a) == 1) {
    say(port, "ADC %" PRIu32, sim::analog_mv(a));
  } else if (std::sscanf(cmd, "WRITE %lu %255s", &x, a) == 2) {
    uint8_t buf[264];
    size_t n = std::strlen(a);
    size_t padded = (n + g.write_unit - 1) / g.write_unit * g.write_unit;
    std::memset(buf, 0xFF, sizeof buf);
    std::memcpy(buf, a, n);
    bool ok = x < g.size / g.page_size &&
              sim::flash_program(g.base + static_cast<uint32_t>(x) * g.page_size, buf, padded);
    say(port, ok ? "OK" : "ERROR");
  } else if (std::sscanf(cmd, "ERASE %lu", &x) == 1) {
    say(port, x < g.size / g.page_size && sim::flash_erase_page(static_cast<uint32_t>(x))
                  ? "OK"
                  : "ERROR");
  } else if (!std::strcmp(cmd, "RESET")) {
    sim::system_reset();
  } else if (std::sscanf(cmd, "EXIT %d", &code) == 1) {
    sim::host::finish(code);
  } else {
    say(port, "ERROR");
  }
}

void poll_ports() {
  for (int i = 0; i < sim::kMaxUart; ++i) {
    Port& p = ports[i];
    for (;;) {
      sim::set_primask(1);
      bool have = p.tail != p.head;
      uint8_t b = have ? p.fifo[p.tail++ % sizeof p.fifo] : 0;
      sim::set_primask(0);
      if (!have) break;
      if (b == '\r' || b == '\n') {
        if (p.len) {
          p.line[p.len] = 0;
          p.len = 0;
          run(i, p.line);
        }
      } else if (p.len < sizeof p.line - 1) {
        p.line[p.len++] = static_cast<char>(b);
      }
    }
  }
}

void poll_radio() {
  for (;;) {
    sim::set_primask(1);
    bool have = heard_tail != heard_head;
    sim::AirFrame f{};
    sim::time_us at = 0;
    if (have) {
      at = heard_at[heard_tail % kMaxFrames];
      f = heard[heard_tail++ % kMaxFrames];
    }
    sim::set_primask(0);
    if (!have) break;
    char when[32] = "";
    if (air_reported) std::snprintf(when, sizeof when, " @%" PRIu64, at);
    say(kConsole, "RX %" PRIu32 " %d %d %" PRIu32 " %s%s", f.sender, f.rx_rssi_dbm, f.rx_snr_db,
        f.frequency_hz, hex(f.payload, f.len).c_str(), when);
  }
}

void poll_delays() {
  sim::set_primask(1);
  uint32_t due = delayed_due;
  delayed_due = 0;
  sim::set_primask(0);
  for (int slot = 0; slot < 8; ++slot) {
    if (!(due & (1u << slot))) continue;
    Delayed d = delayed[slot];
    delayed_used &= ~(1u << slot);
    run(d.port, d.cmd);
  }
}

}  // namespace

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info{"qiv-fake-device",
                                kConsole,
                                {0x08000000, 64 * 1024, 2048, 8},
                                "0: UART0\n1: UART1\n2: UART2 (console)\n3: UART3"};
  return info;
}

[[noreturn]] void program_start() {
  started_at = sim::now();
  uint32_t boot = sim::retained_read(0) + 1;
  sim::retained_write(0, boot);
  for (int i = 0; i < sim::kMaxUart; ++i)
    sim::uart_set_rx_handler(i, on_rx, reinterpret_cast<void*>(intptr_t{i}));
  sim::link::set_frame_handler(on_frame, nullptr);
  sim::irq_set_handler(kIrq, isr);
  sim::irq_enable(kIrq, true);
  say(kConsole, "READY %" PRIu32, boot);
  for (;;) {
    sim::wait_for_interrupt();
    poll_ports();
    poll_radio();
    poll_delays();
    // A delayed command that let time move (QUIET) may have let frames in.
    poll_radio();
  }
}

}  // namespace sim

#include "radio_device.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "radio.h"
#include "sim/sim.h"

namespace {

constexpr int kConsole = 0;
constexpr int kWakeIrq = 21;

uint8_t fifo[1024];
volatile uint32_t fifo_head = 0;
uint32_t fifo_tail = 0;
char line[600];
size_t line_len = 0;

// Event lines, queued by the radio callbacks (which may run in an interrupt)
// and printed by the main loop.
char pending[8][600];
volatile uint32_t pending_head = 0;
uint32_t pending_tail = 0;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  char buf[600];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof buf - 2) n = sizeof buf - 3;
  buf[n++] = '\r';
  buf[n++] = '\n';
  sim::uart_write(kConsole, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
}

void post(const char* text) {
  std::snprintf(pending[pending_head % 8], sizeof pending[0], "%s", text);
  pending_head = pending_head + 1;
}

void on_tx_done() { post("TXDONE"); }
void on_tx_timeout() { post("TXTIMEOUT"); }
void on_rx_timeout() { post("RXTIMEOUT"); }
void on_rx_error() { post("RXERROR"); }
void on_cad_done(bool detected) { post(detected ? "CADDONE 1" : "CADDONE 0"); }
void on_rx_done(uint8_t* payload, uint16_t size, int16_t rssi, int8_t snr) {
  char text[600];
  int n = std::snprintf(text, sizeof text, "RXDONE %d %d ", rssi, snr);
  for (uint16_t i = 0; i < size && n + 3 < static_cast<int>(sizeof text); ++i) {
    n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%02X", payload[i]);
  }
  post(text);
}

RadioEvents_t events = {.TxDone = on_tx_done,
                        .TxTimeout = on_tx_timeout,
                        .RxDone = on_rx_done,
                        .RxTimeout = on_rx_timeout,
                        .RxError = on_rx_error,
                        .FhssChangeChannel = nullptr,
                        .CadDone = on_cad_done};

void on_byte(void*, uint8_t b) {
  fifo[fifo_head % sizeof fifo] = b;
  fifo_head = fifo_head + 1;
  sim::irq_set_pending(kWakeIrq);
}

void wake_isr() {}

int from_hex(const char* s, uint8_t* out, size_t max) {
  size_t n = std::strlen(s);
  if (n % 2 || n / 2 > max) return -1;
  for (size_t i = 0; i < n / 2; ++i) {
    char b[3] = {s[2 * i], s[2 * i + 1], 0};
    out[i] = static_cast<uint8_t>(std::strtoul(b, nullptr, 16));
  }
  return static_cast<int>(n / 2);
}

void run(char* cmd) {
  unsigned long v[7] = {};
  long power = 0;
  // LORA <Hz> <SF> <bandwidth index> <coding rate> <dBm> <preamble> <symbol timeout> [<continuous 0/1>]
  const int lora_args = std::sscanf(cmd, "LORA %lu %lu %lu %lu %ld %lu %lu %lu", &v[0], &v[1],
                                    &v[2], &v[3], &power, &v[4], &v[5], &v[6]);
  if (lora_args == 7 || lora_args == 8) {
    Radio.SetChannel(static_cast<uint32_t>(v[0]));
    Radio.SetTxConfig(MODEM_LORA, static_cast<int8_t>(power), 0, v[2], v[1],
                      static_cast<uint8_t>(v[3]), static_cast<uint16_t>(v[4]), false, true, false,
                      0, false, 4000);
    Radio.SetRxConfig(MODEM_LORA, v[2], v[1], static_cast<uint8_t>(v[3]), 0,
                      static_cast<uint16_t>(v[4]), static_cast<uint16_t>(v[5]), false, 0, true,
                      false, 0, false, v[6] != 0);
    say("OK");
  } else if (std::sscanf(cmd, "FSK %lu %lu %lu %lu %ld %lu", &v[0], &v[1], &v[2], &v[3], &power,
                         &v[4]) == 6) {
    Radio.SetChannel(static_cast<uint32_t>(v[0]));
    Radio.SetTxConfig(MODEM_FSK, static_cast<int8_t>(power), v[2], v[3], v[1], 0, 5, false, true,
                      false, 0, false, 4000);
    Radio.SetRxConfig(MODEM_FSK, v[3], v[1], 0, v[3], 5, static_cast<uint16_t>(v[4]), false, 0,
                      true, false, 0, false, false);
    say("OK");
  } else if (std::strncmp(cmd, "TX ", 3) == 0) {
    static uint8_t buf[255];
    int n = from_hex(cmd + 3, buf, sizeof buf);
    if (n < 0) {
      say("ERROR");
      return;
    }
    Radio.Send(buf, static_cast<uint8_t>(n));
  } else if (std::sscanf(cmd, "RX %lu", &v[0]) == 1) {
    Radio.Rx(static_cast<uint32_t>(v[0]));
  } else if (std::strcmp(cmd, "CAD") == 0) {
    Radio.StartCad();
  } else if (std::strcmp(cmd, "STANDBY") == 0) {
    Radio.Standby();
    say("OK");
  } else {
    say("ERROR");
  }
}

void poll_console() {
  for (;;) {
    sim::set_primask(1);
    const bool have = fifo_tail != fifo_head;
    const uint8_t b = have ? fifo[fifo_tail % sizeof fifo] : 0;
    if (have) ++fifo_tail;
    sim::set_primask(0);
    if (!have) return;
    if (b == '\r' || b == '\n') {
      if (line_len) {
        line[line_len] = 0;
        line_len = 0;
        run(line);
      }
    } else if (line_len < sizeof line - 1) {
      line[line_len++] = static_cast<char>(b);
    }
  }
}

void poll_events() {
  for (;;) {
    sim::set_primask(1);
    const bool have = pending_tail != pending_head;
    char text[600];
    if (have) std::memcpy(text, pending[pending_tail++ % 8], sizeof text);
    sim::set_primask(0);
    if (!have) return;
    say("%s", text);
  }
}

}  // namespace

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info{
      radio_device::kImageName, kConsole, {0x08000000, 4096, 2048, 8}, "0: console"};
  return info;
}

[[noreturn]] void program_start() {
  sim::uart_set_rx_handler(kConsole, &on_byte, nullptr);
  sim::irq_set_handler(kWakeIrq, &wake_isr);
  sim::irq_enable(kWakeIrq, true);
  radio_device::path_init();
  Radio.Init(&events);
  say("READY");
  for (;;) {
    sim::wait_for_interrupt();
    radio_device::path_main_loop_step();
    poll_events();
    poll_console();
  }
}

}  // namespace sim

// A tiny image for testing the chip and the launcher: a line-oriented
// command device on its console port (2), with commands that reach every
// part of the chip. Replies end with "\r\n".
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/sim.h"

#ifndef ECHO_IMAGE_NAME
#define ECHO_IMAGE_NAME "sim-test-echo"
#endif

namespace {

constexpr int kPort = 2;
constexpr int kUartIrq = 37;
constexpr int kTimerIrq = 38;
constexpr int kBootLoopWord = 20;  // retained: set, every start resets at once

char line[256];
size_t line_len = 0;
// Complete lines waiting for the main loop (commands may arrive while one runs).
char ready[16][256];
volatile uint32_t lines_in = 0;
uint32_t lines_out = 0;
uint8_t rx_fifo[1024];
size_t rx_head = 0, rx_tail = 0;
volatile uint32_t timer_fired = 0;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf - 2, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) > sizeof buf - 3) n = sizeof buf - 3;
  buf[n++] = '\r';
  buf[n++] = '\n';
  sim::uart_write(kPort, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
}

// "Hardware": the byte lands in the receive FIFO and raises the interrupt.
void on_rx(void*, uint8_t byte) {
  rx_fifo[rx_head++ % sizeof rx_fifo] = byte;
  sim::irq_set_pending(kUartIrq);
}

void uart_isr() {
  while (rx_tail != rx_head) {
    uint8_t b = rx_fifo[rx_tail++ % sizeof rx_fifo];
    if (b == '\r' || b == '\n') {
      if (line_len && lines_in - lines_out < 16) {
        std::memcpy(ready[lines_in % 16], line, line_len);
        ready[lines_in % 16][line_len] = 0;
        lines_in = lines_in + 1;
      }
      line_len = 0;
    } else if (line_len < sizeof line - 1) {
      line[line_len++] = static_cast<char>(b);
    }
  }
}

void timer_event(void*, uint32_t) { sim::irq_set_pending(kTimerIrq); }
void timer_isr() { timer_fired = timer_fired + 1; }

void run(const char* cmd) {
  char a[128] = {}, b[256] = {};
  uint32_t x = 0, y = 0;
  if (std::sscanf(cmd, "echo %127[^\n]", a) == 1) {
    say("%s", a);
  } else if (!std::strcmp(cmd, "time")) {
    say("time %" PRIu64, sim::now());
  } else if (!std::strcmp(cmd, "reset")) {
    sim::system_reset();
  } else if (!std::strcmp(cmd, "bootloop")) {
    // From now on every start resets at once (a start-up that always fails).
    sim::retained_write(kBootLoopWord, 1);
    sim::system_reset();
  } else if (!std::strcmp(cmd, "halt")) {
    say("halting");
    sim::halt();
  } else if (std::sscanf(cmd, "image %127s", a) == 1) {
    sim::start_image(a);
  } else if (std::sscanf(cmd, "ret %" SCNu32 " %" SCNu32, &x, &y) == 2) {
    sim::retained_write(static_cast<int>(x), y);
    say("ok");
  } else if (std::sscanf(cmd, "retget %" SCNu32, &x) == 1) {
    say("ret %" PRIu32 " %" PRIu32, x, sim::retained_read(static_cast<int>(x)));
  } else if (!std::strcmp(cmd, "flash")) {
    sim::FlashCounters c = sim::flash_counters();
    say("erases %" PRIu64 " programs %" PRIu64, c.erases, c.programs);
  } else if (std::sscanf(cmd, "prog %" SCNx32 " %255s", &x, b) == 2) {
    uint8_t data[128];
    size_t n = std::strlen(b) / 2;
    if (n > sizeof data) n = sizeof data;
    for (size_t i = 0; i < n; ++i) {
      unsigned v = 0;
      std::sscanf(b + 2 * i, "%2x", &v);
      data[i] = static_cast<uint8_t>(v);
    }
    say("%s", sim::flash_program(x, data, n) ? "ok" : "fail");
  } else if (std::sscanf(cmd, "erase %" SCNu32, &x) == 1) {
    say("%s", sim::flash_erase_page(x) ? "ok" : "fail");
  } else if (std::sscanf(cmd, "read %" SCNx32 " %" SCNu32, &x, &y) == 2) {
    // Through the bus address, as firmware reads flash.
    const volatile uint8_t* p =
        reinterpret_cast<const volatile uint8_t*>(static_cast<uintptr_t>(x));
    std::string hex;
    for (uint32_t i = 0; i < y && i < 64; ++i) {
      char h[3];
      std::snprintf(h, sizeof h, "%02x", p[i]);
      hex += h;
    }
    say("%s", hex.c_str());
  } else if (std::sscanf(cmd, "pin %c%c%" SCNu32, &a[0], &a[1], &x) == 3 && a[0] == 'P') {
    say("pin %d", sim::pin_input(sim::pin_id(a[1], static_cast<int>(x))));
  } else if (std::sscanf(cmd, "out %c%c%" SCNu32 " %" SCNu32, &a[0], &a[1], &x, &y) == 4) {
    sim::pin_output(sim::pin_id(a[1], static_cast<int>(x)), static_cast<int>(y));
    say("ok");
  } else if (std::sscanf(cmd, "adc %127s", a) == 1) {
    say("adc %" PRIu32, sim::analog_mv(a));
  } else if (!std::strcmp(cmd, "uid")) {
    say("uid %08" PRIx32 ":%08" PRIx32 ":%08" PRIx32, sim::unique_id(0), sim::unique_id(1),
        sim::unique_id(2));
  } else if (std::sscanf(cmd, "spend %" SCNu32, &x) == 1) {
    sim::cpu_spend(x);
    say("time %" PRIu64, sim::now());
  } else if (std::sscanf(cmd, "sleep %" SCNu32, &x) == 1) {
    // Sleep on a timer interrupt.
    uint32_t before = timer_fired;
    sim::schedule(sim::now() + x, timer_event, nullptr);
    while (timer_fired == before) sim::wait_for_interrupt();
    say("time %" PRIu64, sim::now());
  } else if (std::sscanf(cmd, "baud %" SCNu32, &x) == 1) {
    sim::uart_set_baud(kPort, x);
    say("ok");
  } else if (!std::strcmp(cmd, "close")) {
    sim::uart_set_rx_handler(kPort, nullptr, nullptr);
    sim::schedule(
        sim::now() + 1000000,
        [](void*, uint32_t) { sim::uart_set_rx_handler(kPort, on_rx, nullptr); }, nullptr);
    say("closed");
  } else {
    say("? %s", cmd);
  }
}

}  // namespace

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info = {
      ECHO_IMAGE_NAME, kPort, {0x08000000u, 64 * 1024, 2048, 8}, "2: the command port\n1: unused"};
  return info;
}

void program_start() {
  irq_set_handler(kUartIrq, uart_isr);
  irq_set_priority(kUartIrq, 1);
  irq_enable(kUartIrq, true);
  irq_set_handler(kTimerIrq, timer_isr);
  irq_set_priority(kTimerIrq, 0);
  irq_enable(kTimerIrq, true);
  uart_set_rx_handler(kPort, on_rx, nullptr);
  say("boot %" PRIu32 " %s", reset_count(), ECHO_IMAGE_NAME);
  if (retained_read(kBootLoopWord) == 1) system_reset();
  for (;;) {
    // Sleep with interrupts masked so no wake-up is lost between the test
    // and the WFI; the pending handler runs when the mask is lowered.
    set_primask(1);
    if (lines_in == lines_out) wait_for_interrupt();
    set_primask(0);
    if (lines_in == lines_out) continue;
    char cmd[256];
    std::memcpy(cmd, ready[lines_out % 16], sizeof cmd);
    ++lines_out;
    run(cmd);
  }
}

}  // namespace sim

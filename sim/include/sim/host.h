// The outside of the simulated chip: what the launcher, the world link and
// tests use to drive a device. Platform stand-ins and firmware never use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>
#include <string>

#include "sim/sim.h"

namespace sim::host {

// ------------------------------------------------------------ the clock ---
// Every move of virtual time asks the gate how far it may go: the gate gets
// the current time and the time the device wants to reach (its next event,
// bounded by the caller's target, or kNever when idle) and returns the time
// it may move to, between `now` and `want`. Before returning, the gate may
// schedule events (input from outside) at times between `now` and the time
// it returns. A gate that returns kNever means nothing can ever happen again
// (see set_idle_forever_handler). The default gate returns `want`: virtual
// time runs as fast as the host allows.
using GateFn = time_us (*)(void* ctx, time_us now, time_us want);
void set_gate(GateFn fn, void* ctx);

// How far the clock may move through a quiet span (sim::cpu_spend_quiet)
// without asking the gate: no input from outside can arrive before the time
// returned (exclusive). Without a query every span asks the gate.
using QuietFn = time_us (*)(void* ctx);
void set_quiet_query(QuietFn fn, void* ctx);

// The run ends when virtual time reaches the deadline (events due at the
// deadline do not run). kNever: no deadline.
void set_deadline(time_us t);
time_us deadline();

// Called when the device waits with nothing scheduled and the gate says
// nothing will come (default: log and abort, a test's mistake).
using VoidFn = void (*)(void* ctx);
void set_idle_forever_handler(VoidFn fn, void* ctx);

// End the host program (runs the launcher's exit hooks). Reaching the
// deadline ends the run through the end-of-run handler, which by default
// calls finish(0).
void set_end_of_run_handler(VoidFn fn, void* ctx);
[[noreturn]] void finish(int code);
void add_exit_hook(VoidFn fn, void* ctx);

// What happens on system_reset()/start_image(): `image` is the program to run
// (nullptr: the reset image). The handler does not return (the launcher
// executes the program anew). Default: log and abort.
using ResetFn = void (*)(void* ctx, const char* image);
void set_reset_handler(ResetFn fn, void* ctx);

// Back to power-on state: time 0, no events, interrupts cleared, PRIMASK 0,
// pins/analogue/retained cleared, UARTs detached, flash closed, handlers and
// gate back to their defaults. For tests and for the launcher's start-up.
void reset_core();
// The launcher restores time after a reset (before anything is scheduled).
void set_now(time_us t);
void set_reset_count(uint32_t n);
// Resets in a row that each came soon after the start (a reset loop is
// stopped after a few); kept by the launcher through a reset. Setting it
// also marks now() as the start of this run.
uint32_t quick_resets();
void set_quick_resets(uint32_t n);
bool halted();

// ------------------------------------------------------------ the UARTs ---
// Bytes from outside put on the line at max(at, line free) each, 10 bit times
// per byte at the port's baud rate; the port's rx handler runs as an event
// when each byte has arrived. `at` >= now().
void uart_feed(int port, const uint8_t* data, size_t len, time_us at);
// What a reader at `read_baud` makes of `data` sent back to back at
// `sent_baud` (8N1): the same bytes at the same rate, else what its start-bit
// detection and mid-bit sampling find on the line, framing errors included.
std::vector<uint8_t> uart_reframe(const uint8_t* data, size_t len, uint32_t sent_baud,
                                  uint32_t read_baud);
// Where bytes the chip writes go (nullptr: nowhere; the port is detached).
using UartOutFn = void (*)(void* ctx, int port, const uint8_t* data, size_t len);
void uart_set_output(int port, UartOutFn fn, void* ctx);
// End of the last byte put on the port's receive line (kept across resets so
// that paced input continues where it was).
time_us uart_line_free(int port);
void uart_set_line_free(int port, time_us t);
// Whether the chip listens on the port (an rx handler is set), and a hook
// called when that changes (for a sender with flow control, like the
// launcher's piped stdin).
bool uart_receiving(int port);
using UartRxStateFn = void (*)(void* ctx, int port, bool receiving);
void uart_set_rx_state_observer(UartRxStateFn fn, void* ctx);

// ------------------------------------------------------------ the flash ---
// Open (or create) the flash file and map it at geometry.base (read-only). A
// missing file is created erased; a short one is extended with 0xFF; a longer
// one keeps its tail untouched. Returns false with a reason in *error.
bool flash_open(const std::string& path, const FlashGeometry& geometry, std::string* error);
void flash_close();
const std::string& flash_path();
void flash_set_counters(const FlashCounters& counters);
// Failure injection for tests: after `ops` more successful flash operations
// (programs or page erases) every further one fails. kNever-like ~0: off.
void flash_fail_after(uint64_t ops);
uint64_t flash_fail_remaining();
// Power cut for tests: after `ops` more flash operations (programs or page
// erases) the next one does not complete and the chip restarts through
// system_reset(), as when the supply is lost in the middle of a write.
// `percent_done` of that operation is done: 0 leaves the cells as they were;
// more leaves that share of an erased page's cells erased (scattered over
// the page), or that share of a program's units programmed and the next unit
// with some of its bits programmed. One cut per call; ops ~0: off.
void flash_cut_after(uint64_t ops, uint32_t percent_done = 0);
uint64_t flash_cut_remaining();
uint32_t flash_cut_percent();

// ------------------------------------------------------------ pins ---------
// Set an input level as it is at power-on (no edge, no event).
void pin_preset_input(uint16_t pin, int level);
// Observer of output pin changes (the launcher's --pin-log).
using PinOutFn = void (*)(void* ctx, uint16_t pin, int level);
void pin_set_output_observer(PinOutFn fn, void* ctx);
// A pin name of the chip -> its index; false when the chip has no such pin.
bool parse_pin(const char* name, uint16_t* pin);
std::string pin_name(uint16_t pin);
// The chip's pin names, and those plus its other analogue inputs, separated
// by spaces (for messages).
std::string valid_pin_names();
std::string valid_analog_names();

void set_unique_id(uint32_t w0, uint32_t w1, uint32_t w2);

}  // namespace sim::host

// The simulated chip: the hardware one device sees, with nothing of the
// firmware in it. Platform stand-ins (platform/<api>/) are written on top of
// this interface; firmware code never includes it.
//
// Model
// - One firmware thread. Virtual time (microseconds, 64-bit) moves only when
//   the firmware waits (wait_for_interrupt, cpu_spend, idle) or sleeps.
// - Hardware activity is an event on the device's queue at a virtual time.
//   An event callback runs "in hardware": it may change peripheral state and
//   mark interrupts pending, and must not call firmware code itself.
// - Pending, enabled interrupts are delivered (their handlers called) when
//   time moves or when the mask is lowered, honouring PRIMASK and priorities.
// - The same inputs give the same outputs bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

using time_us = uint64_t;
constexpr time_us kNever = ~time_us{0};

// ---------------------------------------------------------------- clock ---
time_us now();

using EventFn = void (*)(void* ctx, uint32_t arg);
using EventId = uint32_t;  // 0 is never a valid id
// Queue an event at absolute virtual time `at` (clamped to now()). Events at
// the same time run in the order they were scheduled.
EventId schedule(time_us at, EventFn fn, void* ctx, uint32_t arg = 0);
// A periodic event: first at `first`, then every `period` (> 0) until
// cancelled (cancel(id) also works from inside its own callback). Each run is
// one event, so a short period costs host time for as long as it runs: a
// SysTick-like source should run only while the firmware needs its handler
// (a millisecond counter is better derived from now()).
EventId schedule_periodic(time_us first, time_us period, EventFn fn, void* ctx, uint32_t arg = 0);
void cancel(EventId id);
bool scheduled(EventId id);  // still queued (not run, not cancelled)

// ----------------------------------------------------------- interrupts ---
// The chip's interrupt lines, numbered 0 to irq_count() - 1 as the chip
// numbers them (its profile, sim/chip.h, gives the count). A number outside
// stops the program (see fatal()).
using IsrFn = void (*)();
int irq_count();
void irq_set_handler(int irqn, IsrFn fn);
void irq_enable(int irqn, bool enable);
bool irq_enabled(int irqn);
void irq_set_priority(int irqn, uint8_t priority);  // lower value wins
void irq_set_pending(int irqn);
void irq_clear_pending(int irqn);
bool irq_pending(int irqn);

// The core's own configurable exceptions, by their number in the vector
// table (not IRQ numbers): they have handlers, priorities, enables and
// pending bits like the lines above. Between equal priorities the chip's
// lines are taken before the exceptions, each in number order.
enum Exception : int {
  kMemManage = 4,
  kBusFault = 5,
  kUsageFault = 6,
  kSvCall = 11,
  kDebugMonitor = 12,
  kPendSv = 14,
  kSysTick = 15,
};
void exception_set_handler(int exc, IsrFn fn);
void exception_enable(int exc, bool enable);
bool exception_enabled(int exc);
void exception_set_priority(int exc, uint8_t priority);
void exception_set_pending(int exc);
void exception_clear_pending(int exc);
bool exception_pending(int exc);

// PRIMASK: 1 masks every configurable interrupt. Writing 0 delivers what is
// pending at once.
uint32_t get_primask();
void set_primask(uint32_t value);

// BASEPRI: a non-zero value masks every configurable interrupt whose
// priority value is at or above it (0 masks nothing). Lowering it delivers
// what it held off.
uint8_t get_basepri();
void set_basepri(uint8_t value);

// True while an interrupt handler runs (nested handlers count too).
bool in_isr();

// ---------------------------------------------------------- waiting -------
// __WFI: if an enabled interrupt is pending, return at once (deliver it if
// PRIMASK allows). Otherwise move time to the next event and run events until
// an enabled interrupt becomes pending, then deliver it (unless masked).
void wait_for_interrupt();

// The CPU spends `us` microseconds doing work: time moves and due interrupts
// are delivered (a busy loop, a blocking transmit, a HAL_Delay). Events due
// at or before the end time run; cpu_spend(0) runs what is due now.
void cpu_spend(time_us us);

// cpu_spend for a span in which the firmware does nothing another device
// could notice: a bus transfer, a wait for a peripheral's ready flag.
// The result is that of cpu_spend; where no event of the device falls inside
// the span and no input can arrive during it (see host::set_quiet_query),
// time moves without a step of the world.
void cpu_spend_quiet(time_us us);

// Move time to `t` (absolute), delivering interrupts on the way.
void run_until(time_us t);

// A polled wait of a stand-in (a flag the firmware spins on): returns when
// signal_change() was called (something the caller polls may have changed),
// when an enabled interrupt was taken or became pending, or at `deadline`;
// the caller checks its condition again. With PRIMASK set nothing could
// signal, so time moves by a small step instead (at most 50 us). Handlers
// may wait too; waits nest.
void wait_for_change(time_us deadline);
// Ends the waits under way (from an event or a handler); lost when nothing
// waits, so callers always re-check rather than count signals.
void signal_change();

// ------------------------------------------------------------ UART ---------
// A port is a byte pipe to the outside (terminal, pseudo-terminal, a world
// peer or a test). The chip side sees received bytes one at a time at the
// times they arrive on the line (10 bit times per byte at the set baud rate).
constexpr int kMaxUart = 4;
using UartRxFn = void (*)(void* ctx, uint8_t byte);  // runs as an event
void uart_set_baud(int port, uint32_t baud);         // 0 is ignored; default 115200
uint32_t uart_baud(int port);
// Time one byte (start bit, 8 data bits, stop bit) takes on the line at the
// port's baud rate, rounded up to whole microseconds.
time_us uart_byte_time(int port);
void uart_set_rx_handler(int port, UartRxFn fn, void* ctx);
// Bytes written leave the chip now; the caller charges the line time itself
// if it models a blocking transmit.
void uart_write(int port, const uint8_t* data, size_t len);
// Whether the port is attached to anything outside the chip.
bool uart_attached(int port);

// ------------------------------------------------------------ flash --------
// Flash memory of the chip, kept in a file so that it survives restarts.
// `base` is its bus address; the bytes are also readable through a pointer to
// that address (mapped read-only), as firmware reads flash on the real chip.
struct FlashGeometry {
  uint32_t base;        // e.g. 0x08000000
  uint32_t size;        // e.g. 256 * 1024
  uint32_t page_size;   // e.g. 2048
  uint32_t write_unit;  // e.g. 8 (double word); program only into erased cells
};
const FlashGeometry& flash_geometry();
const uint8_t* flash_data();  // == reinterpret_cast<const uint8_t*>(base)
// Program `len` bytes (a multiple of write_unit, aligned) at bus address
// `addr`. Fails (returns false, writes nothing) when a target cell is not
// erased, out of range or misaligned.
bool flash_program(uint32_t addr, const uint8_t* data, size_t len);
bool flash_erase_page(uint32_t page_index);
struct FlashCounters {
  uint64_t erases;    // pages erased
  uint64_t programs;  // write units programmed
};
// Counted since the host program was started (kept across resets). The
// launcher also keeps them in the text file "<flash file>.stats":
//   erases <n>
//   programs <n>
// rewritten after every operation, so tests can see "a boot wrote nothing".
FlashCounters flash_counters();

// ---------------------------------------------------- pins and analogue ---
// Input levels and analogue values are set from outside the chip (command
// line options, tests); outputs are recorded so tests can observe them.
// A pin is an index into the chip's pin table (sim/chip.h): pin("PB12"),
// pin("P0.31"), pin("PAD40"). Indices and names that are not pins of the
// chip stop the program (see fatal()).
uint16_t pin(const char* name);
uint16_t pin_count();  // indices 0 to pin_count() - 1 (holes included)
// The index of a chip that numbers pins 16 to a port letter (A = 0): the
// generic chip and the STM32 ones.
constexpr uint16_t pin_id(char port, int number) {
  return static_cast<uint16_t>(((port - 'A') << 4) | (number & 15));
}
int pin_input(uint16_t pin);                  // external level, 0 or 1 (default 0)
void pin_set_input(uint16_t pin, int level);  // edges schedule the pin hook
void pin_output(uint16_t pin, int level);     // firmware drives an output
int pin_output_level(uint16_t pin);
using PinEdgeFn = void (*)(void* ctx, uint16_t pin, int level);  // an event
void pin_set_edge_handler(PinEdgeFn fn, void* ctx);
// A device outside the chip wired to one of its outputs (an enable or reset
// input): `fn` runs whenever the level the chip drives on the pin changes,
// at once, within the firmware's write. Like an event it runs "in hardware"
// (it may change the device's state and schedule events, never call
// firmware code). Any number of watchers per pin; a reset of the simulated
// core (host::reset_core) forgets them all.
using PinWatchFn = void (*)(void* ctx, uint16_t pin, int level);
void pin_watch(uint16_t pin, PinWatchFn fn, void* ctx);
void pin_unwatch(uint16_t pin, PinWatchFn fn, void* ctx);
// Analogue input in millivolts, by channel name: a pin name or one of the
// chip's other analogue inputs ("VREFINT", "VBAT"); other names stop.
void analog_set_mv(const char* channel, uint32_t millivolts);
uint32_t analog_mv(const char* channel);

// --------------------------------------------------------- retained state -
// Registers that survive a reset (RTC backup registers, retained words).
constexpr int kRetainedWords = 32;
uint32_t retained_read(int index);
void retained_write(int index, uint32_t value);
void retained_clear_all();  // backup-domain reset

// RTC counter base: the RTC keeps counting across a reset, so its value is
// derived from virtual time, which also continues across resets.

// Number of resets (system_reset/start_image) since the host program was
// started; 0 on the first run.
uint32_t reset_count();

// --------------------------------------------------------------- resets ---
// Restart the device: RAM starts again (the program is executed anew), flash,
// retained state, virtual time and the serial attachments are kept.
[[noreturn]] void system_reset();
// Which program a reset runs is the launcher's --reset-image (default: the
// running program itself).
// Start another program image on the same device (the bootloader jumping to
// an application): like a reset, but the named image (a program next to the
// running one) runs next. An image that does not exist halts the core.
[[noreturn]] void start_image(const char* image_name);
// Stop the device for good (a halted core); the host program ends when its
// run ends.
[[noreturn]] void halt();

// --------------------------------------------------------------- misc -----
// 96-bit unique device id.
uint32_t unique_id(int word);
// Log a line of the simulator's own (stderr), never mixed with port output.
void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A use of the simulated chip that no real chip allows (an IRQ, pin, port or
// channel it does not have): logs the reason and ends the host program with
// kFatalExit, never carrying on with a guess.
constexpr int kFatalExit = 3;
[[noreturn]] void fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim

// ------------------------------------------------------ the host program --
// The launcher (sim/) owns the host program's main(): it parses the command
// line, attaches ports, maps flash and then starts the firmware. What it needs
// to know of the image comes from the platform stand-in linked into the
// program, which defines these two functions.
namespace sim {

struct ProgramInfo {
  const char* image_name;  // "brisola-t"; also the default flash file stem
  int console_uart;        // the port put on stdin/stdout by default
  FlashGeometry flash;
  const char* port_help;  // one line per port for --help, e.g. "1: UART1 (custom port)"
  // What the board wires to input pins, for --help (lines); nullptr: nothing.
  const char* pin_help = nullptr;
};
const ProgramInfo& program_info();
// Runs the firmware from its reset vector; never returns.
[[noreturn]] void program_start();

}  // namespace sim

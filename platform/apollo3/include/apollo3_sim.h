// The simulated Apollo3 seen from outside the firmware: what tests and the
// launcher observe and inject. Firmware never includes this header.
//
// The chip: 32 interrupt lines (IRQ 0-31), pads "PAD0" to "PAD49" (sim pin
// index = pad number), analogue inputs by pad name and "BATT", "TEMP"; UART0
// and UART1 are the simulated serial ports 0 and 1; flash 1 MiB at address 0,
// 8 KiB pages, 4-byte program unit. The board's SX1262 (sim/devices/sx126x)
// is wired to IOM1 and pads 11 (NSS), 15 (DIO1), 16 (BUSY), 17 (NRESET).
//
// Launcher options of the chip's models:
//   --trace-log FILE      bytes of the trace channel (rtt.h) appended to FILE
//   --stimer-start N      the STIMER counter's value at power-on (wrap tests)
//   --boot-version TEXT   the external bootloader's version text at 0xFC000
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/sx126x.h"

namespace apollo3sim {

// Flash map of the bootloader's side of things.
constexpr uint32_t kBootloaderFlagAddr = 0xFE000;  // 0xAA: the bootloader's update mode
constexpr uint8_t kBootloaderFlagUpdate = 0xAA;
constexpr uint32_t kBootVersionAddr = 0xFC000;
constexpr uint32_t kAppBase = 0x14000;
// The flash is also readable at its bus addresses from here up.
constexpr uint32_t kFlashMappedFrom = 0x1000;

// Back to power-on state of every model of the chip (sim::models_reset());
// the simulated core itself is reset with sim::host::reset_core().
void reset_platform();
// Maps the open flash file at its bus addresses (done by the launcher's
// start; tests call it after sim::host::flash_open).
bool map_flash();
// Registers the application's vector table entries 16-47 as the interrupt
// handlers (program_start does it before the reset handler runs).
void install_vectors();
// Sets the handler of an interrupt line as the vector table would (the
// kernel installs its tick; tests).
void set_isr(int irq, void (*handler)(void));

// A hook called whenever the CPU returns to thread mode from the simulated
// core (after interrupts may have run) with interrupts unmasked: the kernel
// switches tasks there. nullptr: none.
using ThreadHook = void (*)();
void set_thread_hook(ThreadHook hook);
// Calls the hook if the CPU is in thread mode and unmasked (stand-ins call
// it after each call that may have let interrupts run).
void thread_point();
// A limit for a wait for an interrupt in thread mode: the kernel's tick,
// which runs while a task (not the idle task) waits, ends a __WFI at the
// next tick at the latest. Returns the time, or sim::kNever for no limit.
using WfiLimitHook = sim::time_us (*)();
void set_wfi_limit_hook(WfiLimitHook hook);
// BASEPRI as the core holds it (0: nothing masked).
uint8_t basepri();
// Priority byte of an interrupt line as the NVIC holds it.
uint8_t irq_priority(int irq);

// ---- STIMER ----
uint32_t stimer_counter();
// The 64-bit count since power-on plus the start value (never wraps).
uint64_t stimer_count64();
// Sets the counter to `value` now (the next overflow comes at 2^32).
void stimer_set(uint32_t value);
// The virtual time at which the 64-bit count reaches `count` (>= now()).
sim::time_us stimer_time_of(uint64_t count);

// ---- trace channel ----
// Everything written to up-buffer 0 since power-on (also without a log file).
const std::string& trace_text();
void clear_trace_text();
// Sets the trace log file ("" : none), as --trace-log does.
bool set_trace_log(const std::string& path);

// ---- UART ----
struct UartState {
  bool initialised = false;
  bool powered = false;
  bool configured = false;
  uint32_t baud = 0;
  uint32_t data_bits = 0;  // AM_HAL_UART_DATA_BITS_*
  uint32_t parity = 0;
  uint32_t stop_bits = 0;
  uint32_t flow_control = 0;
  uint32_t fifo_levels = 0;
  uint32_t int_enable = 0;
  uint32_t rx_fifo = 0;   // bytes waiting in the receive FIFO
  uint32_t overruns = 0;  // bytes lost at a full FIFO
  uint32_t lost_off = 0;  // bytes lost while not powered/configured
  uint32_t tx_bytes = 0;  // bytes sent since power-on
};
UartState uart_state(int module);

// ---- pads ----
// The last word given to am_hal_gpio_pinconfig for the pad (3 at power-on).
uint32_t pad_config(int pad);
// Interrupt status bits (64) and enables of the pad interrupts.
uint64_t gpio_int_status();
uint64_t gpio_int_enabled();

// ---- IOM ----
struct IomState {
  bool initialised = false;
  bool powered = false;
  bool enabled = false;
  int mode = 0;  // AM_HAL_IOM_SPI_MODE or AM_HAL_IOM_I2C_MODE
  uint32_t clock_hz = 0;
  int spi_mode = 0;
  bool lsb_first = false;
  uint32_t int_enable = 0;
  uint32_t transfers = 0;
  uint32_t nb_buffer_words = 0;
};
IomState iom_state(int module);

// ---- ADC ----
struct AdcState {
  bool initialised = false;
  bool powered = false;
  bool enabled = false;
  int reference = 0;  // AM_HAL_ADC_REFSEL_*
  int precision = 0;  // AM_HAL_ADC_SLOT_*BIT of slot 0
  int channel = -1;   // of slot 0
  uint32_t conversions = 0;
};
AdcState adc_state();

// ---- CTIMER ----
struct CtimerSegment {
  uint32_t config = 0;
  bool running = false;
  uint32_t compare0 = 0;
  uint32_t compare1 = 0;
  uint32_t aux_compare0 = 0;
  uint32_t aux_compare1 = 0;
  uint32_t output_pad = 0xFF;
  uint32_t output_mode = 0;
};
CtimerSegment ctimer_segment(int timer, bool segment_b);

// ---- radio ----
// The board's SX1262; configure before its first use (device id on the air,
// random seed). Created on first use.
void radio_configure(const sim::Sx126x::Config& config);
sim::Sx126x& radio();

// ---- flash ----
// Program/erase calls refused for a wrong key since power-on.
uint32_t flash_key_failures();

// ---- the external bootloader's install step ----
// Images as the install step understands them (this stand-in's format): the
// first 32 bytes are the image's metadata, word 0 the whole image's size in
// bytes (bits 0-23) and its magic number (bits 24-31), word 1 the image CRC
// (below) of the bytes after the metadata.
constexpr uint32_t kImageMetadataSize = 32;
constexpr uint32_t kStagingAddr = 0x84000;
constexpr uint32_t kAppSlotSize = 0x70000;  // the application area and the staging area
constexpr uint32_t kOtaDescriptorAddr = 0xF8000;
// CRC with the polynomial 0x1EDC6F41, most significant bit first, initial 0,
// no final XOR (continued from `crc`).
uint32_t image_crc(const uint8_t* data, size_t len, uint32_t crc = 0);
// Whether a whole image, its CRC holding, starts at `addr` within `room` bytes.
bool image_valid(uint32_t addr, uint32_t room);
// An image of `body` with its metadata.
std::vector<uint8_t> make_image(uint8_t magic, const std::vector<uint8_t>& body);
struct InstallResult {
  uint32_t installed = 0;  // the staging address of the image installed, or 0
  bool refused = false;    // images were registered and none checked out
  bool app_valid = false;  // the application area holds a whole image
};
// What the bootloader does at a start before it runs the application (the
// launcher calls it; tests too): a fresh module gets its factory image
// (metadata and `factory_text`); the newest registered image that checks
// out replaces the application, and the descriptor is cleared. A power cut
// during it (sim::system_reset from the flash) leaves a start that
// completes the same install.
InstallResult bootloader_start(const char* factory_text);

// ---- core state ----
// Whether the core halted (a breakpoint, the bootloader's update mode).
bool halted();
// The vector table offset and the stack pointer the firmware set.
uint32_t vtor();
uint32_t msp();

}  // namespace apollo3sim

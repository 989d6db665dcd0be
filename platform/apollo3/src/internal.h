// Shared between the parts of the Apollo3 stand-in; not an interface.
#pragma once

#include <cstdint>

#include "am_mcu_apollo.h"
#include "apollo3_sim.h"
#include "sim/sim.h"

namespace apollo3sim::detail {

constexpr int kPads = AM_HAL_GPIO_MAX_PADS;

// The NVIC priority byte of a CMSIS level (0-7).
constexpr uint8_t level_byte(uint32_t level) { return static_cast<uint8_t>((level & 7u) << 5); }

// A polled wait of a stand-in: lets time move until `deadline` or until
// something may have changed, then gives the kernel its chance to switch.
// Returns false once `deadline` has passed.
bool poll_wait(sim::time_us deadline);
// A busy wait of `us` of this task's own running time.
void busy_wait_us(sim::time_us us);

// Pads: outputs the board's devices watch, inputs they drive.
using PadOutputFn = void (*)(int pad, int level);
void pad_watch_output(PadOutputFn fn);
// A pad whose input a device computes (radio BUSY): its level now and when
// it next changes by itself (kNever: not by itself).
struct PadSource {
  int (*level)();
  sim::time_us (*next_change)();
};
void pad_set_source(int pad, const PadSource* source);
// The function select of a pad's current configuration word.
uint32_t pad_function(int pad);
// An edge on a pad from outside (a UART line that is not listening).
void pad_external_edge(int pad, int level);
// A device's source level may have changed: edges as the pad sees them.
void pad_source_changed(int pad);

// A pad's configuration changed: a UART whose RX pad it is may start or
// stop listening to its line.
void uart_pad_changed(int pad);

// The radio on IOM1 (created on first use; nullptr when the board has none).
uint8_t radio_spi_byte(uint8_t mosi);

void install_vector_table();

}  // namespace apollo3sim::detail

// Shared pieces of the Tarnelka system tests: the module's flash map and
// record offsets as its documentation gives them, the texts it prints at
// start-up, and a start in a world.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation.h"
#include "systest/world.h"

namespace tk {

using Bytes = std::vector<uint8_t>;

constexpr const char* kImage = "tarnelka";
constexpr int kUart0 = 0;  // the AT port
constexpr int kUart1 = 1;  // custom mode in the defaults

// ------------------------------------------------------------- flash ----
constexpr size_t kFlashSize = 1024 * 1024;
constexpr size_t kPageSize = 8192;
constexpr uint32_t kRecordAddr = 0xF4000;
constexpr uint32_t kMacBlockAddr = 0xF4500;
constexpr size_t kMacBlockSize = 2044;
constexpr uint32_t kFactoryAddr = 0xF6000;
constexpr uint32_t kBootVersionAddr = 0xFC000;
constexpr uint32_t kBootFlagAddr = 0xFE000;
constexpr size_t kRecordSize = 676;

// Offsets of the Apollo3 configuration record.
namespace rec {
constexpr size_t magic = 0, version = 4, mode_type = 460, lock_status = 464, baudrate = 468,
                 echo = 472, auto_sleep_time = 484, alias = 506, auto_sleep_level = 640;
}  // namespace rec

Bytes erased_flash();
uint32_t get32(const Bytes& b, size_t off);
Bytes slice(const Bytes& b, size_t off, size_t len);

// ------------------------------------------------------------- texts ----
// What a module in LoRaWAN work mode prints on UART0 at start-up: the line
// end of each AT port's line editor start (UART0 and the BLE port), the
// default program's lines and the work mode.
std::string startup_text();

// ------------------------------------------------------------ runners ---
// Starts a Tarnelka in `w` (UART0 and UART1 carried) and waits for its
// work-mode line unless `wait` is false.
systest::Device& start(systest::World& w, const std::string& name, systest::DeviceOptions o = {},
                       bool wait = true);
systest::DeviceOptions with_flash(const Bytes& flash);

}  // namespace tk

// Shared pieces of the system tests of the system, serial-port and sleep
// commands on the STM32WLE5 images (on top of the runtime-core helpers in
// foundation.h): reply texts, the flash-map pieces these commands touch, a
// module whose record is already stored, the simulated analogue converter,
// and the pace of a reply in virtual time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation.h"

namespace cmd {

using fdn::Bytes;
using fdn::Image;

// "<command>=<value>\r\nOK\r\n": the answer to a query.
std::string answer(const std::string& command, const std::string& value);
// "<word>\r\n": a reply word on its own.
std::string word(const std::string& reply_word);

// ------------------------------------------------------------ flash map --
constexpr uint32_t kUpdateFlagAddr = 0x08004004;
constexpr uint32_t kBootVersionAddr = 0x08005000;
constexpr size_t kBootVersionSize = 32;
constexpr uint32_t kAppAreaAddr = 0x08006000;
constexpr uint32_t kUpdateFlagDone = 0x02020202;
// The bootloader's own version record ("in this build").
constexpr const char* kBootloaderVersion = "QIV_BOOT_0.8_STM32WLE5CC";
// Offset of the auto-sleep time in the STM32WLE5 record (beside the fields
// foundation.h names).
constexpr size_t kRecAutoSleepTime = 468;

// An erased flash holding the default record of `img` (high band), so that
// a start writes nothing and every later change of the flash file is the
// doing of the commands under test.
Bytes stored_defaults(const Image& img);
// Start options of a module whose flash file holds `flash`.
systest::DeviceOptions with_flash(const Bytes& flash);
// `flash` with `bytes` at bus address `addr`.
void put_bytes(Bytes& flash, uint32_t addr, const Bytes& bytes);
Bytes get_bytes(const Bytes& flash, uint32_t addr, size_t len);
Bytes text_bytes(const std::string& text, size_t size);  // zero-padded

// Names the first pages in which two flash images differ, for messages.
std::string flash_diff(const Bytes& want, const Bytes& got);

// ------------------------------------------------------ analogue inputs --
// The simulated converter: an ideal converter with a 3.3 V reference, the
// nearest step, saturated at the top code.
uint32_t adc_code(uint32_t millivolts, int bits);
// An input in millivolts that converts to `code`.
uint32_t mv_for_code(uint32_t code, int bits);
// The value of "<command>=<float>\r\nOK\r\n" after checking that form ("%f":
// digits, a point, six decimals); NaN when the text has another form.
double volts_of(const std::string& reply, const std::string& command);

// ------------------------------------------------------------ port pace --
// The line time of one byte (start, 8 data, stop) at `baud`, in whole
// microseconds rounded up.
systest::time_us byte_time(uint32_t baud);
// The time per byte at which the output of `port` from offset `from` on
// left the module: the time from its first chunk to its last one over the
// bytes sent before the last one. 0 when there were fewer than two chunks.
double output_byte_time(const systest::Device& d, int port, size_t from);

}  // namespace cmd

// Shared pieces of the runtime-core system tests on the STM32WLE5 images:
// what each image is, the flash map and record layout the tests read and
// corrupt, the texts a booting module prints, and small runners for the
// image programs (piped stdin, or a world).
//
// Every expected value here is written from the module's documented
// behaviour (record layout and defaults, banners, reply words), never taken
// from a run of the firmware.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "systest/world.h"

namespace fdn {

// ------------------------------------------------------------ images ----
struct Image {
  const char* name;   // program
  const char* model;  // model text, part of the version text
  // Debug banner prefix before "H " / "L " (the band strap), or null when
  // the image prints no debug banner.
  const char* debug_banner;
  bool band_strap;        // reads PB12 for its default band
  bool has_uid;           // has AT+UID
  uint8_t uart1_default;  // stored mode of UART1 in the defaults
};

extern const Image kBrisolaT;
extern const std::vector<Image> kImages;  // the four STM32WLE5 application images
const Image& image_named(std::string_view name);

// Ports of the STM32WLE5 images.
constexpr int kUart1 = 1;
constexpr int kAtPort = 2;  // UART2, the AT port

// Stored mode types and lock states.
constexpr uint8_t kModeCli = 0, kModeCustom = 1, kModeEsp32 = 2;
constexpr uint8_t kOpen = 0, kLocked = 1;

// ------------------------------------------------------------- flash ----
constexpr uint32_t kFlashBase = 0x08000000;
constexpr size_t kFlashSize = 256 * 1024;
constexpr size_t kPageSize = 2048;
constexpr uint32_t kBootFlagAddr = 0x08004000;
constexpr uint32_t kFactoryAddr = 0x08037000;
constexpr uint32_t kMacBlockAddr = 0x0803E000;
constexpr uint32_t kRecordAddr = 0x0803F000;
constexpr size_t kRecordSize = 660;
constexpr uint32_t kBootFlagRunApp = 0x5A5A5A5A;

constexpr size_t at(uint32_t addr) { return addr - kFlashBase; }

// Byte offsets of the configuration record of the STM32WLE5 images.
namespace rec {
constexpr size_t magic = 0, version = 4, lora_work_mode = 8;
constexpr size_t p2p_frequency = 12, p2p_sf = 16, p2p_bw = 18, p2p_cr = 20, p2p_preamble = 22,
                 p2p_power = 24;
constexpr size_t bitrate = 36, deviation = 40, fsk_rxbw = 44;
constexpr size_t region = 48, ch_mask = 162, join_mode = 174, adr = 180, duty_cycle = 182;
constexpr size_t jn1dl = 184, jn2dl = 188, rx1dl = 192, rx2dl = 196, pub_nwk_mode = 204;
constexpr size_t auto_join_period = 212;
constexpr size_t mode_type = 444, lock_status = 447, baudrate = 452, echo = 456, passwd = 457;
constexpr size_t sn = 472, alias = 490, debug_level = 506;
constexpr size_t firmware_ver = 507, hwmodel = 539, cli_ver = 571;
constexpr size_t syncword = 612, lbt_rssi = 618, lbt_scantime = 620, auto_sleep_level = 624;
constexpr size_t is_cert_port_on = 659;
}  // namespace rec

using Bytes = std::vector<uint8_t>;

Bytes erased_flash();
uint32_t get32(const Bytes& b, size_t off);
void put32(Bytes& b, size_t off, uint32_t v);
void put16(Bytes& b, size_t off, uint16_t v);
// The record page's first kRecordSize bytes, and the factory copy's.
Bytes record_of(const Bytes& flash);
Bytes factory_of(const Bytes& flash);

// The record that the factory defaults build for `img` (high or low band
// strap), byte for byte, padding included.
Bytes default_record(const Image& img, bool high_band);

// Names the first differing fields of two records, for failure messages.
std::string record_diff(const Bytes& want, const Bytes& got);

// ------------------------------------------------------------- texts ----
std::string version_text(const Image& img);  // "QIV_4.2.4_<model>"
// What the default program and start-up print on the AT port of a module in
// LoRaWAN work mode at debug level 0 whose only AT port is UART2.
std::string startup_text(const Image& img);
// `line` followed by empty line ends ("\n") up to `length` bytes, so that a
// stream of such lines arrives no faster than replies of `length` bytes can
// leave: the module's serial output blocks for its line time, and a host
// that outruns the replies overflows the receive buffer by design.
std::string paced(const std::string& line, size_t length);
// Bytes shown readably in failure messages.
std::string printable(std::string_view s);
// got == want, or where they part, shown readably.
testing::AssertionResult same_text(std::string_view got, std::string_view want);

// ------------------------------------------------------------ runners ---
struct FlashStats {
  uint64_t erases = 0, programs = 0;
};

// One run of an image program with `input` piped to its AT port and its
// flash in `flash_path` (which the test prepares or leaves missing).
struct RunResult {
  std::string out;
  int status = -1;
  bool exited_ok = false;
  FlashStats stats;
};
RunResult run_image(const std::string& image, const std::string& flash_path, std::string_view input,
                    const std::vector<std::string>& more_args = {}, const char* run_for = "2s");

// A directory of its own for a test's flash files, removed at the end
// unless the test failed.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);

// Starts `img` in `w` with the world carrying UART1 and UART2, the band strap
// on the high band (unless `o` sets it), and unless `wait` is false waits for
// the work-mode line of a normal start.
systest::Device& start_module(systest::World& w, const std::string& name, const Image& img,
                              systest::DeviceOptions o = {}, bool wait = true);
// An erased flash holding `record` in the record page.
Bytes flash_with_record(const Bytes& record);

// Types `input` on `port` and checks that exactly `want` comes back on it,
// and nothing more within `settle` of virtual time.
testing::AssertionResult exchange(systest::Device& d, int port, std::string_view input,
                                  std::string_view want,
                                  systest::time_us settle = systest::ms(300));
// Everything the port outputs within `settle` (consumed).
std::string collect(systest::Device& d, int port, systest::time_us settle = systest::ms(300));

}  // namespace fdn

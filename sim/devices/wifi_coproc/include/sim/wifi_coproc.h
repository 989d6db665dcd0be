// Model of a Wi-Fi co-processor running an AT command firmware, on one of the
// chip's serial ports, powered through pins the chip drives.
//
// Power: the co-processor runs while every one of its power pins (a supply
// switch, an enable input; each optional) is driven high by the chip. A pin
// driven low holds it in reset: it stops at once, what it was sending is cut
// off and what arrives is not heard. When the last pin goes high it boots:
// after `noise_at` its boot ROM prints a burst of text at another line rate,
// which the chip's UART receives as garbage bytes (`boot_noise` bytes, the
// same every time), and after `boot_time` it prints "\r\nready\r\n" and takes
// commands. Bytes that arrive while it boots are lost.
//
// Commands end with CR LF (a LF alone also ends one; the CR is dropped). With
// echo on (the power-up default) every byte received is sent back as it
// arrives. Each command is answered after `reply_delay`:
//   AT                 OK
//   ATE0 / ATE1        echo off / on, OK
//   AT+GMR             the version lines, then OK
//   AT+RST             OK, then a restart (boot output and "ready" again)
//   AT+CWMODE?         +CWMODE:<mode> (0 off, 1 station, 2 access point,
//                      3 both; 1 at power-up), OK
//   AT+CWMODE=<0..3>   OK
//   AT+CWJAP?          +CWJAP:"<ssid>" when joined, else "No AP"; OK
//   AT+CWJAP="<ssid>","<password>"
//                      after `join_time`: "WIFI CONNECTED", "WIFI GOT IP", OK
//                      for the access point in range (`ap`), else
//                      "+CWJAP:<n>" and FAIL (2 wrong password, 3 no such
//                      access point); ERROR in mode 0 or 2
//   AT+CWQAP           "WIFI DISCONNECT" when joined, OK
// Anything else, and a line longer than `line_max` bytes, is answered
// "ERROR". A command while a join runs is answered "busy p...". Every answer
// is framed as this firmware family does it: information lines first, then
// "\r\nOK\r\n" (or "\r\nERROR\r\n", "\r\nFAIL\r\n").
// "+++" alone (no byte for `guard_time` after it) is the escape of a
// transparent mode this model does not have: it is dropped, unanswered.
//
// The line: the model runs at `baud`. When the chip's port is set to another
// rate, what arrives is framing errors (not heard, counted) and what it
// sends arrives as garbage (each byte with its top bit set).
//
// Knobs for failure tests: `mute` (answers nothing, echoes nothing, as a
// hung co-processor), `boot_noise` 0 (a clean boot).
//
// Backend face (tests, the transcript file): what it heard and sent, its
// state, and a send of any bytes (garbage) while it runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "sim/uart_peer.h"

namespace sim {

class WifiCoproc : public UartPeer {
 public:
  struct Config {
    // Pins of the chip that power it (names of the chip's pin table); none:
    // powered all the time.
    std::vector<std::string> power_pins = {"PA0"};
    uint32_t baud = 115200;
    time_us noise_at = 30'000;
    time_us boot_time = 300'000;
    size_t boot_noise = 48;
    time_us reply_delay = 1'000;
    time_us join_time = 2'000'000;
    time_us guard_time = 20'000;
    size_t line_max = 256;
    std::string version = "AT version:3.2.0(sim)\r\nSDK version:v5.1(sim)\r\nBin version:1.0.0\r\n";
    std::string ap_ssid;  // the access point in range; empty: none
    std::string ap_password;
    bool mute = false;
    // Transcript file (nullptr: none): "<time_us> in|out <C-escaped bytes>"
    // lines, one per line that arrived and one per burst sent that ends a
    // line (the time of its first byte), and "<time_us> power on|power off|restart|ready|escape".
    FILE* transcript = nullptr;
  };

  enum class State : uint8_t { kOff, kBooting, kReady };

  explicit WifiCoproc(Config config);
  ~WifiCoproc() override;
  WifiCoproc(const WifiCoproc&) = delete;
  WifiCoproc& operator=(const WifiCoproc&) = delete;

  // Attach to a serial port and to the power pins (their current levels
  // count: pins already high boot it at once).
  void attach(int port);

  // --------------------------------------------------------- backend ---
  State state() const { return state_; }
  bool echo() const { return echo_; }
  int wifi_mode() const { return wifi_mode_; }
  bool joined() const { return joined_; }
  uint32_t boots() const { return boots_; }
  uint32_t framing_errors() const { return framing_errors_; }
  // Every byte that reached it from the chip (in any state), and every byte
  // it put on the line to the chip.
  const std::string& heard() const { return heard_; }
  const std::string& sent() const { return sent_; }
  // Queue bytes to the chip (while it runs; dropped when off).
  void inject(std::string_view bytes);
  // The boot ROM's garbage bytes, as the chip receives them.
  static std::string noise(size_t n);

  void received(uint8_t byte) override;

 private:
  static void on_pin(void* ctx, uint16_t pin, int level);
  static void on_event(void* ctx, uint32_t kind);
  void power_check();
  void power_on();
  void power_off();
  void restart();
  void schedule_event(time_us at, uint32_t kind);
  void queue(std::string_view bytes);
  void send_next();
  void command(const std::string& line);
  void reply(const std::string& text);  // after reply_delay
  void log_state(const char* what);
  void log_bytes(bool in, uint8_t byte);
  void flush_log();
  void flush_chunk(bool in);

  Config cfg_;
  std::vector<uint16_t> pins_;
  State state_ = State::kOff;
  bool echo_ = true;
  int wifi_mode_ = 1;
  bool joined_ = false;
  bool joining_ = false;
  std::string join_ssid_, join_password_;
  uint32_t boots_ = 0;
  uint32_t framing_errors_ = 0;
  uint32_t generation_ = 0;  // events of an earlier power-up are stale
  std::string line_;
  bool line_overflow_ = false;
  uint64_t bytes_in_ = 0;  // for the "+++" guard
  std::string out_;        // bytes waiting for the line
  bool sending_ = false;
  uint64_t guard_count_ = 0;
  struct Reply {
    std::string text;
    bool restart_after;  // AT+RST: restart once it is out
  };
  std::deque<Reply> replies_;
  std::string heard_, sent_;
  // Transcript: the bytes of each direction (in, out) not yet written, up to
  // a line end, and the time of the first of them.
  struct Chunk {
    std::string bytes;
    time_us t = 0;
  };
  Chunk log_[2];
  std::vector<EventId> events_;
};

}  // namespace sim

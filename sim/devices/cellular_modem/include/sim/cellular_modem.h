// Model of a cellular modem with an AT command interface, on one of the
// chip's serial ports, switched by a power key and reporting its state on a
// status line.
//
// Power: the chip presses the power key by driving `key` high (the board's
// transistor pulls the modem's key input low). As the modem's data sheet
// has it, the turn-on press and the turn-off press differ in length: a press
// of at least `key_on_min` and shorter than `key_off_min` switches a modem
// that is off on when it is released: it boots, and `status_delay` after the
// press began it is on: the status line (`status`, an input of the chip)
// goes high and it prints "\r\nRDY\r\n". A press held for `key_off_min`
// is the turn-off press: it switches a modem that is on off (it shuts down
// for `shutdown_time`, then the status line goes low) and leaves a modem
// that is off, off. Each press does one thing, however long it is held.
// Optional supply pins (`supply`) must be high when the boot ends, or the
// modem stays off; one of them going low switches it off at once. Off, it
// hears nothing and sends nothing.
//
// Commands end with CR (LF and Ctrl-Z (0x1A) are ignored between commands);
// with echo on (the power-up default) each byte is sent back as it arrives.
// Answers come after `reply_delay`, framed "\r\n<info>\r\n" ... "\r\nOK\r\n"
// (or "\r\nERROR\r\n"):
//   AT, ATE0, ATE1, ATI (identification: manufacturer, model, revision),
//   AT+GMI, AT+GMM, AT+GMR, AT+CGSN (the serial number),
//   AT+CSQ (+CSQ: <rssi>,<ber>), AT+CSQ=? (the ranges),
//   AT+IPR? / AT+IPR=? / AT+IPR=<rate> (the line rate; a new rate applies
//   after the OK),
//   AT+CGDCONT? / AT+CGDCONT=? (one context),
//   AT+QHTTPURL=<length>,<timeout s>   "CONNECT", then exactly <length> raw
//       bytes are the URL: OK; the time out before they came: ERROR
// (each upload command enters its data mode once "CONNECT" has been sent:
// bytes before that, such as the LF after the command's CR, are still
// command-mode input)
//   AT+QHTTPURL?                      +QHTTPURL: "<url>"
//   AT+QHTTPPOST=<length>,<timeout s>  with a URL: "CONNECT", <length> raw
//       bytes of body, OK, then "+QHTTPPOST: 0,200,0" (no URL: ERROR)
//   AT+QFUPL=<name>,<size>,<timeout s> "CONNECT", <size> raw bytes, then
//       "+QFUPL: <size>,<checksum>" (16-bit XOR of the bytes taken in pairs,
//       in hex) and OK
// Anything else, and a line over `line_max` bytes, is answered "ERROR". In a
// data mode bytes are not echoed and not taken as commands.
//
// Failure knobs: `dead` (never switches on), `mute` (on, status high, but
// answers nothing), `status_delay` (a slow power-up), `on` (already on when
// attached, as a modem left powered through a reset of the chip), `on_at`
// (switched on from outside at that time, whatever its key did: another
// supply, a button), `power_on_text` (what it prints when it is on, e.g.
// line noise instead of the usual "\r\nRDY\r\n").
//
// Backend face: state, what it heard and sent, the uploads it took, the
// signal quality, and a switch-on that does not come from the key.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "sim/uart_peer.h"

namespace sim {

class CellularModem : public UartPeer {
 public:
  struct Config {
    std::string key = "P0.02";
    std::string status = "P0.31";
    std::vector<std::string> supply;
    uint32_t baud = 115200;
    time_us key_on_min = 100'000;
    time_us key_off_min = 650'000;
    time_us status_delay = 500'000;
    time_us shutdown_time = 100'000;
    time_us reply_delay = 5'000;
    size_t line_max = 512;
    int rssi = 20;
    int ber = 99;
    std::string manufacturer = "SimCell";
    std::string model = "LTE-M1";
    std::string revision = "SIM01A01M1";
    std::string serial = "860000000000001";
    bool dead = false;
    bool mute = false;
    bool start_on = false;
    time_us on_at = 0;  // 0: never
    std::string power_on_text = "\r\nRDY\r\n";
    FILE* transcript = nullptr;  // "<time_us> in|out <bytes>", states
  };
  enum class State : uint8_t { kOff, kBooting, kOn, kShuttingDown };
  struct Upload {
    std::string command;  // QHTTPURL, QHTTPPOST or QFUPL
    std::string name;     // QFUPL's file name
    std::string data;
  };

  explicit CellularModem(Config config);
  ~CellularModem() override;
  CellularModem(const CellularModem&) = delete;
  CellularModem& operator=(const CellularModem&) = delete;

  void attach(int port);

  // --------------------------------------------------------- backend ---
  State state() const { return state_; }
  bool echo() const { return echo_; }
  uint32_t baud() const { return baud_; }
  const std::string& url() const { return url_; }
  const std::vector<Upload>& uploads() const { return uploads_; }
  const std::string& heard() const { return heard_; }
  const std::string& sent() const { return sent_; }
  void set_signal(int rssi, int ber) {
    cfg_.rssi = rssi;
    cfg_.ber = ber;
  }
  // On without the key (another supply, a test); the status line follows.
  void switch_on_externally();

  void received(uint8_t byte) override;

 private:
  static void on_pin(void* ctx, uint16_t pin, int level);
  static void on_event(void* ctx, uint32_t arg);
  void key_changed(int level);
  void supply_check();
  void set_state(State s);
  void schedule_event(time_us at, uint32_t kind);
  void queue(std::string_view bytes);
  void send_next();
  void reply(std::string text, bool opens_data = false);
  void command(const std::string& line);
  void data_byte(uint8_t b);
  void data_done(bool complete);
  void log(const char* what);
  void log_byte(bool in, uint8_t b);
  void flush(int dir);

  Config cfg_;
  uint16_t key_ = 0, status_ = 0;
  std::vector<uint16_t> supply_;
  State state_ = State::kOff;
  uint32_t generation_ = 0;  // events of an earlier power state are stale
  uint32_t press_ = 0;       // presses so far (a press's own timer knows it)
  bool pressed_ = false;
  time_us pressed_at_ = 0;
  bool echo_ = true;
  uint32_t baud_;
  std::string line_;
  bool overflow_ = false;
  // Data mode: what the bytes are for and how many are still due.
  bool data_mode_ = false;
  Upload pending_;
  size_t data_left_ = 0;
  std::string url_;
  std::vector<Upload> uploads_;
  std::string out_;
  bool sending_ = false;
  uint32_t baud_after_reply_ = 0;  // AT+IPR=: the rate after its answer
  uint32_t new_baud_ = 0;          // applied once out_ has drained
  struct Reply {
    std::string text;
    bool opens_data;  // "CONNECT": data mode begins once it is out
  };
  std::deque<Reply> replies_;
  bool data_after_connect_ = false;
  std::string heard_, sent_;
  struct Chunk {
    std::string bytes;
    time_us t = 0;
  };
  Chunk log_[2];
  std::vector<EventId> events_;
};

}  // namespace sim

// Cellular modem model: see sim/cellular_modem.h.
#include "sim/cellular_modem.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <memory>

#include "hostutil/duration.h"
#include "hostutil/escape.h"
#include "sim/device_registry.h"
#include "sim/host.h"

namespace sim {
namespace {

enum Kind : uint32_t { kHold, kBooted, kShutDown, kSend, kReply, kDataTimeout, kExternalOn };

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";

// "a,b,c" -> fields; quotes around a field are dropped.
std::vector<std::string> fields(const std::string& s) {
  std::vector<std::string> v;
  size_t pos = 0;
  for (;;) {
    size_t c = s.find(',', pos);
    std::string f = s.substr(pos, c == std::string::npos ? std::string::npos : c - pos);
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"') f = f.substr(1, f.size() - 2);
    v.push_back(f);
    if (c == std::string::npos) return v;
    pos = c + 1;
  }
}

bool whole_number(const std::string& s, unsigned long max, unsigned long* out) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  *out = std::strtoul(s.c_str(), nullptr, 10);
  return *out <= max;
}

}  // namespace

CellularModem::CellularModem(Config config) : cfg_(std::move(config)), baud_(cfg_.baud) {}

CellularModem::~CellularModem() {
  flush(0);
  flush(1);
  pin_unwatch(key_, on_pin, this);
  for (uint16_t p : supply_) pin_unwatch(p, on_pin, this);
  for (EventId id : events_)
    if (scheduled(id)) cancel(id);
}

void CellularModem::attach(int port) {
  uart_attach_peer(port, this);
  key_ = pin(cfg_.key.c_str());
  status_ = pin(cfg_.status.c_str());
  pin_watch(key_, on_pin, this);
  for (const std::string& s : cfg_.supply) {
    supply_.push_back(pin(s.c_str()));
    pin_watch(supply_.back(), on_pin, this);
  }
  pressed_ = pin_output_level(key_) == 1;
  if (cfg_.start_on && !cfg_.dead) {
    set_state(State::kOn);
  } else {
    pin_set_input(status_, 0);
  }
  if (cfg_.on_at != 0) schedule_event(cfg_.on_at, kExternalOn);
}

void CellularModem::switch_on_externally() {
  if (state_ == State::kOff && !cfg_.dead) set_state(State::kOn);
}

void CellularModem::on_pin(void* ctx, uint16_t pin, int level) {
  auto* m = static_cast<CellularModem*>(ctx);
  if (pin == m->key_) {
    m->key_changed(level);
  } else {
    m->supply_check();
  }
}

void CellularModem::key_changed(int level) {
  bool pressed = level == 1;
  if (pressed == pressed_) return;
  pressed_ = pressed;
  if (!pressed) {
    ++press_;  // a hold timer of the press that ended does nothing
    // Switching on is a press of the turn-on length, judged when it ends: a
    // press as long as the power-off press leaves a modem that is off, off.
    time_us held = now() - pressed_at_;
    if (state_ == State::kOff && !cfg_.dead && held >= cfg_.key_on_min && held < cfg_.key_off_min)
      set_state(State::kBooting);
    return;
  }
  pressed_at_ = now();
  // Switching off takes a long press and starts while it is still held.
  if (state_ == State::kOn) schedule_event(now() + cfg_.key_off_min, kHold);
}

void CellularModem::supply_check() {
  bool all_high = true;
  for (uint16_t p : supply_) all_high = all_high && pin_output_level(p) == 1;
  if (!all_high && state_ != State::kOff) set_state(State::kOff);
}

void CellularModem::set_state(State s) {
  state_ = s;
  ++generation_;
  switch (s) {
    case State::kOff:
      out_.clear();
      sending_ = false;
      replies_.clear();
      line_.clear();
      data_mode_ = false;
      data_after_connect_ = false;
      pin_set_input(status_, 0);
      log("off");
      break;
    case State::kBooting:
      log("booting");
      // The boot ends status_delay after the press began.
      schedule_event(std::max(now(), pressed_at_ + cfg_.status_delay), kBooted);
      break;
    case State::kOn:
      echo_ = true;
      baud_ = cfg_.baud;
      overflow_ = false;
      pin_set_input(status_, 1);
      log("on");
      if (!cfg_.mute) queue(cfg_.power_on_text);
      break;
    case State::kShuttingDown:
      log("shutting down");
      data_mode_ = false;
      data_after_connect_ = false;
      schedule_event(now() + cfg_.shutdown_time, kShutDown);
      break;
  }
}

void CellularModem::schedule_event(time_us at, uint32_t kind) {
  std::vector<EventId> live;
  for (EventId id : events_)
    if (scheduled(id)) live.push_back(id);
  events_.swap(live);
  uint32_t tag = kind == kHold ? press_ : generation_;
  events_.push_back(schedule(at, on_event, this, kind | (tag << 8)));
}

void CellularModem::on_event(void* ctx, uint32_t arg) {
  auto* m = static_cast<CellularModem*>(ctx);
  uint32_t kind = arg & 0xFF;
  uint32_t tag = arg >> 8;
  if (kind == kHold) {
    if (!m->pressed_ || tag != (m->press_ & 0xFFFFFFu)) return;
    if (m->state_ == State::kOn) m->set_state(State::kShuttingDown);
    return;
  }
  if (kind == kExternalOn) {
    // Power from outside does not depend on the key or on a working start.
    if (m->state_ == State::kOff) m->set_state(State::kOn);
    return;
  }
  if (tag != (m->generation_ & 0xFFFFFFu)) return;
  switch (kind) {
    case kBooted: {
      bool supplied = true;
      for (uint16_t p : m->supply_) supplied = supplied && pin_output_level(p) == 1;
      m->set_state(supplied ? State::kOn : State::kOff);
      break;
    }
    case kShutDown:
      m->set_state(State::kOff);
      break;
    case kSend:
      m->send_next();
      break;
    case kReply:
      if (!m->replies_.empty()) {
        m->queue(m->replies_.front().text);
        m->data_after_connect_ = m->data_after_connect_ || m->replies_.front().opens_data;
        m->replies_.pop_front();
        // A new rate applies once this answer (its OK) is out.
        m->new_baud_ = m->baud_after_reply_;
        m->baud_after_reply_ = 0;
      }
      break;
    case kDataTimeout:
      if (m->data_mode_) m->data_done(false);
      break;
    default:
      break;
  }
}

void CellularModem::queue(std::string_view bytes) {
  if (state_ != State::kOn || bytes.empty()) return;
  out_.append(bytes);
  if (!sending_) {
    sending_ = true;
    schedule_event(now(), kSend);
  }
}

void CellularModem::send_next() {
  if (out_.empty() || port() < 0) {
    sending_ = false;
    // Data mode begins once "CONNECT" is out: what came before it (the LF
    // after the command's CR) was still command-mode input.
    if (data_after_connect_) {
      data_after_connect_ = false;
      data_mode_ = true;
    }
    if (new_baud_ && replies_.empty()) {
      baud_ = new_baud_;
      new_baud_ = 0;
    }
    return;
  }
  uint8_t b = static_cast<uint8_t>(out_[0]);
  out_.erase(0, 1);
  if (uart_baud(port()) != baud_) b |= 0x80;  // garbage at the chip's rate
  send(&b, 1);
  sent_.push_back(static_cast<char>(b));
  log_byte(false, b);
  schedule_event(now() + uart_byte_time(port()), kSend);
}

void CellularModem::reply(std::string text, bool opens_data) {
  replies_.push_back(Reply{std::move(text), opens_data});
  schedule_event(now() + cfg_.reply_delay, kReply);
}

void CellularModem::received(uint8_t byte) {
  heard_.push_back(static_cast<char>(byte));
  log_byte(true, byte);
  if (state_ != State::kOn || cfg_.mute) return;
  if (uart_baud(port()) != baud_) return;  // framing errors
  if (data_mode_) {
    data_byte(byte);
    return;
  }
  if (echo_) queue(std::string_view(reinterpret_cast<const char*>(&byte), 1));
  if (byte == '\n' || byte == 0x1A) return;
  if (byte != '\r') {
    if (line_.size() >= cfg_.line_max) {
      overflow_ = true;
    } else {
      line_.push_back(static_cast<char>(byte));
    }
    return;
  }
  std::string line = line_;
  bool overflow = overflow_;
  line_.clear();
  overflow_ = false;
  if (overflow) {
    reply(kError);
  } else if (!line.empty()) {
    command(line);
  }
}

void CellularModem::command(const std::string& typed) {
  // The command's name in any case; its arguments as typed.
  std::string line = typed;
  size_t name_end = line.find_first_of("=?");
  for (size_t i = 0; i < line.size() && i < name_end; ++i)
    line[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
  if (line.compare(0, 2, "AT") != 0) {
    reply(kError);
    return;
  }
  std::string cmd = line.substr(2);
  auto info = [&](const std::string& text) { reply("\r\n" + text + "\r\n" + kOk); };
  if (cmd.empty()) {
    reply(kOk);
  } else if (cmd == "E0" || cmd == "E1") {
    echo_ = cmd[1] == '1';
    reply(kOk);
  } else if (cmd == "I") {
    info(cfg_.manufacturer + "\r\n" + cfg_.model + "\r\nRevision: " + cfg_.revision);
  } else if (cmd == "+GMI" || cmd == "+CGMI") {
    info(cfg_.manufacturer);
  } else if (cmd == "+GMM" || cmd == "+CGMM") {
    info(cfg_.model);
  } else if (cmd == "+GMR" || cmd == "+CGMR") {
    info(cfg_.revision);
  } else if (cmd == "+CGSN" || cmd == "+GSN") {
    info(cfg_.serial);
  } else if (cmd == "+CSQ") {
    info("+CSQ: " + std::to_string(cfg_.rssi) + "," + std::to_string(cfg_.ber));
  } else if (cmd == "+CSQ=?") {
    info("+CSQ: (0-31,99),(0-7,99)");
  } else if (cmd == "+IPR?") {
    info("+IPR: " + std::to_string(baud_));
  } else if (cmd == "+IPR=?") {
    info("+IPR: (),(9600,19200,38400,57600,115200,230400,460800,921600)");
  } else if (cmd.compare(0, 5, "+IPR=") == 0) {
    unsigned long rate;
    static const unsigned long rates[] = {9600,   19200,  38400,  57600,
                                          115200, 230400, 460800, 921600};
    bool ok = whole_number(cmd.substr(5), 921600, &rate);
    bool known = false;
    for (unsigned long r : rates) known = known || r == rate;
    if (!ok || !known) {
      reply(kError);
      return;
    }
    reply(kOk);
    baud_after_reply_ = static_cast<uint32_t>(rate);
  } else if (cmd == "+CGDCONT?") {
    info("+CGDCONT: 1,\"IP\",\"internet\",\"0.0.0.0\",0,0");
  } else if (cmd == "+CGDCONT=?") {
    info("+CGDCONT: (1-16),\"IP\",,,(0-3),(0-4)");
  } else if (cmd == "+QHTTPURL?") {
    info("+QHTTPURL: \"" + url_ + "\"");
  } else if (cmd.compare(0, 10, "+QHTTPURL=") == 0 || cmd.compare(0, 11, "+QHTTPPOST=") == 0 ||
             cmd.compare(0, 7, "+QFUPL=") == 0) {
    size_t eq = cmd.find('=');
    std::string what = cmd.substr(1, eq - 1);
    std::vector<std::string> f = fields(cmd.substr(eq + 1));
    size_t first = what == "QFUPL" ? 1 : 0;  // QFUPL names the file first
    unsigned long size = 0, timeout = 60;
    bool ok = f.size() >= first + 1 && whole_number(f[first], 65535, &size) && size > 0 &&
              (f.size() < first + 2 || whole_number(f[first + 1], 65535, &timeout)) &&
              (what != "QFUPL" || !f[0].empty()) && (what != "QHTTPPOST" || !url_.empty());
    if (!ok) {
      reply(kError);
      return;
    }
    pending_ = Upload{what, what == "QFUPL" ? f[0] : "", ""};
    data_left_ = size;
    reply("\r\nCONNECT\r\n", true);
    schedule_event(now() + cfg_.reply_delay + timeout * 1'000'000, kDataTimeout);
  } else {
    reply(kError);
  }
}

void CellularModem::data_byte(uint8_t b) {
  pending_.data.push_back(static_cast<char>(b));
  if (--data_left_ == 0) data_done(true);
}

void CellularModem::data_done(bool complete) {
  data_mode_ = false;
  if (!complete) {
    reply(kError);
    return;
  }
  uploads_.push_back(pending_);
  const std::string& d = pending_.data;
  if (pending_.command == "QHTTPURL") {
    url_ = d;
    reply(kOk);
  } else if (pending_.command == "QHTTPPOST") {
    reply(std::string(kOk) + "\r\n+QHTTPPOST: 0,200,0\r\n");
  } else {
    uint16_t sum = 0;
    for (size_t i = 0; i < d.size(); i += 2) {
      uint16_t hi = static_cast<uint8_t>(d[i]);
      uint16_t lo = i + 1 < d.size() ? static_cast<uint8_t>(d[i + 1]) : 0;
      sum ^= static_cast<uint16_t>(hi << 8 | lo);
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", sum);
    reply("\r\n+QFUPL: " + std::to_string(d.size()) + "," + hex + "\r\n" + kOk);
  }
}

// ------------------------------------------------------------ transcript --
void CellularModem::log(const char* what) {
  if (!cfg_.transcript) return;
  flush(0);
  flush(1);
  std::fprintf(cfg_.transcript, "%" PRIu64 " %s\n", now(), what);
  std::fflush(cfg_.transcript);
}

void CellularModem::log_byte(bool in, uint8_t b) {
  if (!cfg_.transcript) return;
  Chunk& c = log_[in ? 0 : 1];
  if (c.bytes.empty()) c.t = now();
  c.bytes.push_back(static_cast<char>(b));
  if (b == '\n' || (in && b == '\r') || (!in && out_.empty())) flush(in ? 0 : 1);
}

void CellularModem::flush(int dir) {
  Chunk& c = log_[dir];
  if (!cfg_.transcript || c.bytes.empty()) return;
  std::fprintf(cfg_.transcript, "%" PRIu64 " %s %s\n", c.t, dir == 0 ? "in" : "out",
               hostutil::escape(c.bytes).c_str());
  std::fflush(cfg_.transcript);
  c.bytes.clear();
}

// -------------------------------------------------------- command line ---
namespace {

struct Attached : devices::Instance {
  FILE* file = nullptr;
  std::unique_ptr<CellularModem> model;
  ~Attached() override {
    model.reset();
    if (file) std::fclose(file);
  }
};

bool pin_ok(const std::string& p, std::string* error) {
  uint16_t index;
  if (host::parse_pin(p.c_str(), &index)) return true;
  *error = "the chip has no pin " + p + "; its pins: " + host::valid_pin_names();
  return false;
}

std::unique_ptr<devices::Instance> make(const devices::Placement& e, std::string* error) {
  if (e.bus != devices::Bus::kUart || e.bus_number >= kMaxUart) {
    *error = "sits on a serial port uart0.." + std::to_string(kMaxUart - 1);
    return nullptr;
  }
  if (!devices::known_settings(e,
                               {"key", "status", "supply", "status_delay", "rssi", "ber", "dead",
                                "mute", "on", "on_at", "power_on_text", "log"},
                               error))
    return nullptr;
  CellularModem::Config c;
  if (const std::string* v = e.setting("key")) c.key = *v;
  if (const std::string* v = e.setting("status")) c.status = *v;
  if (const std::string* v = e.setting("supply")) c.supply.push_back(*v);
  for (const std::string* p : {&c.key, &c.status})
    if (!pin_ok(*p, error)) return nullptr;
  for (const std::string& p : c.supply)
    if (!pin_ok(p, error)) return nullptr;
  if (const std::string* v = e.setting("status_delay")) {
    std::string why;
    if (!hostutil::parse_duration(*v, &c.status_delay, &why, 0)) {
      *error = "status_delay: " + why;
      return nullptr;
    }
  }
  if (const std::string* v = e.setting("on_at")) {
    std::string why;
    if (!hostutil::parse_duration(*v, &c.on_at, &why, 0)) {
      *error = "on_at: " + why;
      return nullptr;
    }
  }
  if (const std::string* v = e.setting("power_on_text")) {
    std::string why;
    if (!hostutil::unescape(*v, &c.power_on_text, &why)) {
      *error = "power_on_text: " + why;
      return nullptr;
    }
  }
  struct Num {
    const char* key;
    long max;
    int* out;
  };
  int dead = 0, mute = 0, on = 0;
  for (const Num& n : {Num{"rssi", 99, &c.rssi}, Num{"ber", 99, &c.ber}, Num{"dead", 1, &dead},
                       Num{"mute", 1, &mute}, Num{"on", 1, &on}}) {
    const std::string* v = e.setting(n.key);
    if (v && !devices::detail::number(*v, n.max, n.out)) {
      *error = std::string(n.key) + ": expected a number up to " + std::to_string(n.max);
      return nullptr;
    }
  }
  c.dead = dead != 0;
  c.mute = mute != 0;
  c.start_on = on != 0;
  auto made = std::make_unique<Attached>();
  if (const std::string* v = e.setting("log")) {
    made->file = std::fopen(v->c_str(), "ae");
    if (!made->file) {
      *error = "log: cannot write " + *v;
      return nullptr;
    }
    c.transcript = made->file;
  }
  made->model = std::make_unique<CellularModem>(std::move(c));
  made->model->attach(e.bus_number);
  return made;
}

const devices::Registration cellular_modem(
    "cellular-modem",
    "cellular modem with AT commands, e.g. cellular-modem@uart1; settings:\n"
    "      key=PIN (power key, high = pressed, default P0.02), status=PIN (default\n"
    "      P0.31), supply=PIN, status_delay=DURATION (press to status high, default\n"
    "      500ms), rssi=N, ber=N (AT+CSQ), dead=1 (never on), mute=1 (no answers),\n"
    "      on=1 (on from the start), on_at=DURATION (switched on from outside then),\n"
    "      power_on_text=ESCAPED (printed when on, default \\r\\nRDY\\r\\n),\n"
    "      log=FILE (transcript)",
    make);

}  // namespace
}  // namespace sim

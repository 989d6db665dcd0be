// Wi-Fi co-processor model: see sim/wifi_coproc.h.
#include "sim/wifi_coproc.h"

#include <cinttypes>
#include <memory>

#include "hostutil/duration.h"
#include "hostutil/escape.h"
#include "sim/device_registry.h"
#include "sim/host.h"

namespace sim {
namespace {

// Event kinds (the low byte of an event's argument; the power-up generation
// is in the bits above).
enum Kind : uint32_t { kNoise, kReady, kSend, kReply, kGuard, kJoin, kRestart };

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";

// "\"a\",\"b\"" -> a, b (no quotes or commas inside).
bool two_quoted(const std::string& s, std::string* a, std::string* b) {
  if (s.size() < 5 || s[0] != '"') return false;
  size_t q1 = s.find('"', 1);
  if (q1 == std::string::npos || q1 + 2 >= s.size() || s[q1 + 1] != ',' || s[q1 + 2] != '"')
    return false;
  size_t q2 = s.find('"', q1 + 3);
  if (q2 == std::string::npos || q2 + 1 != s.size()) return false;
  *a = s.substr(1, q1 - 1);
  *b = s.substr(q1 + 3, q2 - q1 - 3);
  return true;
}

}  // namespace

WifiCoproc::WifiCoproc(Config config) : cfg_(std::move(config)) {}

WifiCoproc::~WifiCoproc() {
  flush_log();
  for (uint16_t p : pins_) pin_unwatch(p, on_pin, this);
  for (EventId id : events_)
    if (scheduled(id)) cancel(id);
}

void WifiCoproc::attach(int port) {
  uart_attach_peer(port, this);
  for (const std::string& name : cfg_.power_pins) {
    uint16_t p = pin(name.c_str());
    pins_.push_back(p);
    pin_watch(p, on_pin, this);
  }
  power_check();
}

std::string WifiCoproc::noise(size_t n) {
  // What a boot ROM's text at about two thirds of the line rate looks like
  // to the receiver: bytes of every value, control bytes and zeros among
  // them. A fixed sequence, so that runs repeat bit for bit.
  std::string s;
  uint32_t x = 0x2545F491u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s.push_back(static_cast<char>(x >> 24));
  }
  return s;
}

void WifiCoproc::on_pin(void* ctx, uint16_t, int) { static_cast<WifiCoproc*>(ctx)->power_check(); }

void WifiCoproc::power_check() {
  bool powered = true;
  for (uint16_t p : pins_) powered = powered && pin_output_level(p) == 1;
  if (powered && state_ == State::kOff) {
    power_on();
  } else if (!powered && state_ != State::kOff) {
    power_off();
  }
}

void WifiCoproc::power_on() {
  state_ = State::kBooting;
  ++boots_;
  ++generation_;
  echo_ = true;
  wifi_mode_ = 1;
  joined_ = joining_ = false;
  line_.clear();
  line_overflow_ = false;
  log_state("power on");
  if (cfg_.boot_noise > 0) schedule_event(now() + cfg_.noise_at, kNoise);
  schedule_event(now() + cfg_.boot_time, kReady);
}

void WifiCoproc::power_off() {
  state_ = State::kOff;
  ++generation_;  // every event of this power-up is stale now
  out_.clear();
  sending_ = false;
  replies_.clear();
  line_.clear();
  joined_ = joining_ = false;
  log_state("power off");
}

void WifiCoproc::restart() {
  log_state("restart");
  power_off();
  power_on();
}

void WifiCoproc::schedule_event(time_us at, uint32_t kind) {
  // Forget the ids of events that have run.
  std::vector<EventId> live;
  for (EventId id : events_)
    if (scheduled(id)) live.push_back(id);
  events_.swap(live);
  events_.push_back(schedule(at, on_event, this, kind | (generation_ << 8)));
}

void WifiCoproc::on_event(void* ctx, uint32_t arg) {
  auto* m = static_cast<WifiCoproc*>(ctx);
  if ((arg >> 8) != (m->generation_ & 0xFFFFFFu)) return;  // from before a power cycle
  switch (arg & 0xFF) {
    case kNoise:
      m->queue(noise(m->cfg_.boot_noise));
      break;
    case kReady:
      m->state_ = State::kReady;
      m->log_state("ready");
      m->queue("\r\nready\r\n");
      break;
    case kSend:
      m->send_next();
      break;
    case kReply: {
      std::deque<Reply>& q = m->replies_;
      if (q.empty()) break;
      Reply r = q.front();
      q.pop_front();
      m->queue(r.text);
      if (r.restart_after) {
        // Restarts once the answer is out: one byte time per byte.
        time_us t = now() + (m->out_.size() + 1) * uart_byte_time(m->port());
        m->schedule_event(t, kRestart);
      }
      break;
    }
    case kGuard:
      if (m->bytes_in_ == m->guard_count_ && m->line_ == "+++") {
        m->line_.clear();
        m->log_state("escape");
      }
      break;
    case kRestart:
      m->restart();
      break;
    case kJoin: {
      m->joining_ = false;
      std::string r;
      if (!m->cfg_.ap_ssid.empty() && m->join_ssid_ == m->cfg_.ap_ssid) {
        if (m->join_password_ == m->cfg_.ap_password) {
          m->joined_ = true;
          r = "WIFI CONNECTED\r\nWIFI GOT IP\r\n\r\nOK\r\n";
        } else {
          r = "+CWJAP:2\r\n\r\nFAIL\r\n";
        }
      } else {
        r = "+CWJAP:3\r\n\r\nFAIL\r\n";
      }
      m->queue(r);
      break;
    }
    default:
      break;
  }
}

void WifiCoproc::queue(std::string_view bytes) {
  if (state_ == State::kOff || bytes.empty()) return;
  out_.append(bytes);
  if (!sending_) {
    sending_ = true;
    schedule_event(now(), kSend);
  }
}

void WifiCoproc::inject(std::string_view bytes) { queue(bytes); }

void WifiCoproc::send_next() {
  if (out_.empty() || port() < 0) {
    sending_ = false;
    return;
  }
  uint8_t b = static_cast<uint8_t>(out_[0]);
  out_.erase(0, 1);
  // At another rate than the chip's port, the chip receives garbage.
  if (uart_baud(port()) != cfg_.baud) b |= 0x80;
  send(&b, 1);
  sent_.push_back(static_cast<char>(b));
  log_bytes(false, b);
  schedule_event(now() + uart_byte_time(port()), kSend);
}

void WifiCoproc::reply(const std::string& text) {
  replies_.push_back({text, false});
  schedule_event(now() + cfg_.reply_delay, kReply);
}

void WifiCoproc::received(uint8_t byte) {
  heard_.push_back(static_cast<char>(byte));
  log_bytes(true, byte);
  if (state_ != State::kReady) return;  // held in reset or booting: lost
  if (uart_baud(port()) != cfg_.baud) {
    ++framing_errors_;
    return;
  }
  if (cfg_.mute) return;
  ++bytes_in_;
  if (echo_) queue(std::string_view(reinterpret_cast<const char*>(&byte), 1));
  if (byte == '\n') {
    std::string line = line_;
    bool overflow = line_overflow_;
    line_.clear();
    line_overflow_ = false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (overflow) {
      reply(kError);
    } else if (!line.empty()) {
      command(line);
    }
    return;
  }
  if (line_.size() >= cfg_.line_max) {
    line_overflow_ = true;
    return;
  }
  line_.push_back(static_cast<char>(byte));
  if (line_ == "+++") {
    guard_count_ = bytes_in_;
    schedule_event(now() + cfg_.guard_time, kGuard);
  }
}

void WifiCoproc::command(const std::string& line) {
  if (joining_) {
    queue("busy p...\r\n");
    return;
  }
  if (line == "AT") {
    reply(kOk);
  } else if (line == "ATE0" || line == "ATE1") {
    echo_ = line[3] == '1';
    reply(kOk);
  } else if (line == "AT+GMR") {
    reply(cfg_.version + kOk);
  } else if (line == "AT+RST") {
    replies_.push_back({kOk, true});
    schedule_event(now() + cfg_.reply_delay, kReply);
  } else if (line == "AT+CWMODE?") {
    reply("+CWMODE:" + std::to_string(wifi_mode_) + "\r\n" + kOk);
  } else if (line.size() == 11 && line.compare(0, 10, "AT+CWMODE=") == 0 && line[10] >= '0' &&
             line[10] <= '3') {
    wifi_mode_ = line[10] - '0';
    if (wifi_mode_ == 0 || wifi_mode_ == 2) joined_ = false;
    reply(kOk);
  } else if (line == "AT+CWJAP?") {
    reply((joined_ ? "+CWJAP:\"" + join_ssid_ + "\"\r\n" : std::string("No AP\r\n")) + kOk);
  } else if (line.compare(0, 9, "AT+CWJAP=") == 0) {
    std::string ssid, password;
    if (!two_quoted(line.substr(9), &ssid, &password) || wifi_mode_ == 0 || wifi_mode_ == 2) {
      reply(kError);
      return;
    }
    joined_ = false;
    joining_ = true;
    join_ssid_ = ssid;
    join_password_ = password;
    schedule_event(now() + cfg_.join_time, kJoin);
  } else if (line == "AT+CWQAP") {
    reply((joined_ ? std::string("WIFI DISCONNECT\r\n") : std::string()) + kOk);
    joined_ = false;
  } else {
    reply(kError);
  }
}

// ------------------------------------------------------------ transcript --
void WifiCoproc::log_state(const char* what) {
  if (!cfg_.transcript) return;
  flush_log();
  std::fprintf(cfg_.transcript, "%" PRIu64 " %s\n", now(), what);
  std::fflush(cfg_.transcript);
}

void WifiCoproc::log_bytes(bool in, uint8_t byte) {
  if (!cfg_.transcript) return;
  Chunk& c = log_[in ? 0 : 1];
  if (c.bytes.empty()) c.t = now();
  c.bytes.push_back(static_cast<char>(byte));
  // A line of what arrives; a line of what is sent once nothing more of it
  // waits (an answer's lines stay together).
  if (byte == '\n' && (in || out_.empty())) flush_chunk(in);
}

void WifiCoproc::flush_chunk(bool in) {
  Chunk& c = log_[in ? 0 : 1];
  if (c.bytes.empty()) return;
  std::fprintf(cfg_.transcript, "%" PRIu64 " %s %s\n", c.t, in ? "in" : "out",
               hostutil::escape(c.bytes).c_str());
  std::fflush(cfg_.transcript);
  c.bytes.clear();
}

void WifiCoproc::flush_log() {
  if (!cfg_.transcript) return;
  flush_chunk(true);
  flush_chunk(false);
}

// -------------------------------------------------------- command line ---
namespace {

struct Attached : devices::Instance {
  FILE* file = nullptr;
  std::unique_ptr<WifiCoproc> model;
  ~Attached() override {
    model.reset();
    if (file) std::fclose(file);
  }
};

bool duration(const devices::Placement& e, const char* key, time_us* out, std::string* error) {
  const std::string* v = e.setting(key);
  if (!v) return true;
  std::string why;
  if (!hostutil::parse_duration(*v, out, &why, 0)) {
    *error = std::string(key) + ": " + why;
    return false;
  }
  return true;
}

bool count(const devices::Placement& e, const char* key, long max, long* out, std::string* error) {
  const std::string* v = e.setting(key);
  if (!v) return true;
  int n = 0;
  if (!devices::detail::number(*v, max, &n)) {
    *error = std::string(key) + ": expected a number up to " + std::to_string(max) + ", got " + *v;
    return false;
  }
  *out = n;
  return true;
}

std::unique_ptr<devices::Instance> make(const devices::Placement& e, std::string* error) {
  if (e.bus != devices::Bus::kUart || e.bus_number >= kMaxUart) {
    *error = "sits on a serial port uart0.." + std::to_string(kMaxUart - 1);
    return nullptr;
  }
  if (!devices::known_settings(
          e, {"enable", "power", "boot", "noise", "baud", "ap", "mute", "join", "log"}, error))
    return nullptr;
  WifiCoproc::Config c;
  if (const std::string* v = e.setting("enable")) {
    c.power_pins.clear();
    if (*v != "none") c.power_pins.push_back(*v);
  }
  if (const std::string* v = e.setting("power")) c.power_pins.push_back(*v);
  for (const std::string& p : c.power_pins) {
    uint16_t index;
    if (!host::parse_pin(p.c_str(), &index)) {
      *error = "the chip has no pin " + p + "; its pins: " + host::valid_pin_names();
      return nullptr;
    }
  }
  if (!duration(e, "boot", &c.boot_time, error) || !duration(e, "join", &c.join_time, error))
    return nullptr;
  if (c.noise_at > c.boot_time) c.noise_at = c.boot_time / 2;
  long n = static_cast<long>(c.boot_noise);
  if (!count(e, "noise", 4096, &n, error)) return nullptr;
  c.boot_noise = static_cast<size_t>(n);
  long baud = c.baud;
  if (!count(e, "baud", 4000000, &baud, error)) return nullptr;
  if (baud == 0) {
    *error = "baud: 0";
    return nullptr;
  }
  c.baud = static_cast<uint32_t>(baud);
  long mute = 0;
  if (!count(e, "mute", 1, &mute, error)) return nullptr;
  c.mute = mute != 0;
  if (const std::string* v = e.setting("ap")) {
    size_t colon = v->find(':');
    if (colon == std::string::npos || colon == 0) {
      *error = "ap: expected SSID:PASSWORD, got " + *v;
      return nullptr;
    }
    c.ap_ssid = v->substr(0, colon);
    c.ap_password = v->substr(colon + 1);
  }
  auto made = std::make_unique<Attached>();
  if (const std::string* v = e.setting("log")) {
    // Appended to, so that a transcript runs on through the device's resets.
    made->file = std::fopen(v->c_str(), "ae");
    if (!made->file) {
      *error = "log: cannot write " + *v;
      return nullptr;
    }
    c.transcript = made->file;
  }
  made->model = std::make_unique<WifiCoproc>(std::move(c));
  made->model->attach(e.bus_number);
  return made;
}

const devices::Registration wifi_coproc(
    "wifi-coproc",
    "Wi-Fi co-processor with AT commands, e.g. wifi-coproc@uart1; settings:\n"
    "      enable=PIN (default PA0; none: always on), power=PIN (a supply switch too),\n"
    "      boot=DURATION (to \"ready\", default 300ms), noise=N (garbage bytes of its boot\n"
    "      ROM, default 48), baud=N (its rate, default 115200), ap=SSID:PASSWORD (the\n"
    "      access point in range), join=DURATION (default 2s), mute=1 (answers\n"
    "      nothing), log=FILE (transcript: \"<time_us> in|out <bytes>\", power states)",
    make);

}  // namespace
}  // namespace sim

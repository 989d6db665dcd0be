#include "world/driver.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "hostutil/duration.h"
#include "hostutil/escape.h"
#include "hostutil/pty.h"
#include "network/config.h"

namespace sim::world {

namespace {
// Output a terminal has not taken yet is kept up to this much; beyond it,
// bytes are lost as on a line whose peer does not read.
constexpr size_t kPtyBacklog = 1 << 20;
// Wall-clock pacing: run towards the wall clock for at most this much host
// time at once (so that terminal input is taken in promptly even when the
// devices keep the host busy), and a world that falls behind by more than
// kMaxLag follows the wall clock from where it is instead of rushing to
// catch up. Sleeps are at most kMaxSleepMs, so that `done` is seen soon.
constexpr int64_t kSliceUs = 50'000;
constexpr time_us kMaxLag = 200'000;
constexpr int kMaxSleepMs = 20;

bool is_line_end(char c) { return c == '\r' || c == '\n'; }
}  // namespace

struct Driver::Dev {
  int id = 0;
  std::string name;
  std::string flash;
  std::string log;
  int console = 0;
  // Start-up output of ports not on a terminal yet, for the console's.
  std::map<int, std::string> held;
  bool console_pty = false;
  // The input script (see add_input).
  std::string input;
  size_t input_sent = 0;
  bool line_ended = false;
  uint64_t answers = 0;  // console outputs with a line end so far
  uint64_t answers_before = 0;
  time_us answer_until = 0;
  // How far the device may run while its script's next byte has no due time
  // yet (see script_probe).
  time_us probe_step = 0;
};

struct Driver::Pty {
  int id;
  int port;
  hostutil::Pty pty;
  std::string pending;  // output the terminal has not taken yet
};

std::string image_dir_from_env(const std::string& built_in) {
  const char* env = std::getenv("QIV_IMAGE_DIR");
  return env && *env ? env : built_in;
}

std::string image_path_in(const std::string& dir, const std::string& image) {
  if (image.find('/') != std::string::npos) return image;
  return dir + "/" + image;
}

bool valid_device_name(const std::string& n) {
  if (n.empty()) return false;
  for (char c : n)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
  return true;
}

Driver::Driver(Options options) : opt_(std::move(options)) {
  // The socket's path must stay short (a Unix socket's name has room for
  // about 100 bytes): the world's directory is made in /tmp, not $TMPDIR.
  temp_ = std::make_unique<hostutil::TempDir>(opt_.temp_stem, "/tmp");
  if (opt_.dir.empty()) {
    dir_ = temp_->path();
  } else {
    std::error_code ec;
    std::filesystem::create_directories(opt_.dir, ec);
    dir_ = std::filesystem::absolute(opt_.dir).string();
  }
  master_ = std::make_unique<Master>(temp_->path() + "/world.sock");
  Master::Callbacks cb;
  cb.uart = [this](int id, int port, time_us t, const uint8_t* data, size_t len) {
    uart_out(id, port, t, data, len);
  };
  cb.frame = [this](const FrameRecord& r) { frame_out(r); };
  cb.exited = [this](int id, int status, bool expected) {
    for (auto& fn : exit_fns_) fn(id, status, expected);
  };
  master_->set_callbacks(std::move(cb));
}

Driver::~Driver() {
  try {
    end();
  } catch (const std::exception&) {
    // Ending is best effort here; end() called by the owner reports.
  }
  master_.reset();
  ptys_.clear();
  network_.reset();
}

void Driver::keep_dir() {
  if (opt_.dir.empty()) temp_->keep();
}

void Driver::end() {
  if (network_) network_->stop();  // the gateway leaves before the world ends
  if (master_) master_->end();
  transcript_flush(0, true);
}

Driver::Dev& Driver::dev(int id) const {
  if (id < 1 || id > static_cast<int>(devices_.size()))
    throw std::invalid_argument("world: no device " + std::to_string(id));
  return *devices_[static_cast<size_t>(id - 1)];
}

int Driver::find(const std::string& name) const {
  for (const auto& d : devices_)
    if (d->name == name) return d->id;
  return 0;
}

const std::string& Driver::name(int id) const { return dev(id).name; }
const std::string& Driver::flash_path(int id) const { return dev(id).flash; }
const std::string& Driver::log_path(int id) const { return dev(id).log; }
int Driver::console(int id) const { return dev(id).console; }

int Driver::start(const DeviceLaunch& launch) {
  if (!valid_device_name(launch.name))
    throw std::invalid_argument("world: bad device name \"" + launch.name +
                                "\" (letters, digits, '-' and '_')");
  if (find(launch.name))
    throw std::invalid_argument("world: a device is already named " + launch.name);
  DeviceConfig cfg;
  cfg.name = launch.name;
  cfg.program = image_path_in(opt_.image_dir, launch.image);
  if (launch.image.empty() || ::access(cfg.program.c_str(), X_OK) != 0)
    throw std::runtime_error("no image program " + cfg.program);
  auto d = std::make_unique<Dev>();
  d->id = next_id();
  d->name = launch.name;
  d->flash = launch.flash.empty() ? dir_ + "/" + launch.name + ".flash" : launch.flash;
  d->log = dir_ + "/" + launch.name + ".log";
  d->console_pty = launch.console_pty;
  // The master appends to the log (a restart goes on in it); a log of an
  // earlier run in the same directory is emptied.
  if (::truncate(d->log.c_str(), 0) != 0 && errno != ENOENT)
    throw std::runtime_error("cannot write " + d->log + ": " + std::strerror(errno));
  if (!launch.initial_flash.empty()) {
    std::ofstream f(d->flash, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(launch.initial_flash.data()),
            static_cast<std::streamsize>(launch.initial_flash.size()));
    if (!f) throw std::runtime_error("cannot write " + d->flash);
  }
  cfg.log_path = d->log;
  cfg.cwd = dir_;
  cfg.args = {"--flash", d->flash};
  for (int p : launch.world_ports) {
    cfg.args.push_back("--uart-world");
    cfg.args.push_back(std::to_string(p));
  }
  for (const auto& [pin, level] : launch.pins) {
    cfg.args.push_back("--pin");
    cfg.args.push_back(pin + "=" + std::to_string(level));
  }
  for (const auto& [input, mv] : launch.adcs) {
    cfg.args.push_back("--adc");
    cfg.args.push_back(input + "=" + std::to_string(mv));
  }
  cfg.args.insert(cfg.args.end(), launch.args.begin(), launch.args.end());
  // The device is known (by its id) before its start-up prints anything.
  Dev& ref = *d;
  devices_.push_back(std::move(d));
  for (int p : launch.pty_ports) attach_pty(ref.id, p);
  starting_ = ref.id;
  int id;
  try {
    id = master_->spawn(cfg);
  } catch (...) {
    starting_ = 0;
    throw;
  }
  starting_ = 0;
  if (id != ref.id) throw std::runtime_error("world: device ids out of order");
  int console = master_->console_uart(id);
  ref.console = console >= 0 ? console : 0;
  if (ref.console_pty) {
    attach_pty(id, ref.console);
    for (auto& t : ptys_)
      if (t->id == id && t->port == ref.console) t->pending += ref.held[ref.console];
    flush_ptys();
  }
  ref.held.clear();
  return id;
}

std::string Driver::attach_pty(int id, int port) {
  dev(id);
  for (const auto& t : ptys_)
    if (t->id == id && t->port == port) return t->pty.path();
  ptys_.push_back(std::make_unique<Pty>(Pty{id, port, hostutil::Pty(), {}}));
  return ptys_.back()->pty.path();
}

std::vector<Driver::PtyInfo> Driver::ptys() const {
  std::vector<PtyInfo> out;
  for (const auto& t : ptys_) out.push_back({t->id, t->port, t->pty.path()});
  return out;
}

void Driver::uart_out(int id, int port, time_us t, const uint8_t* data, size_t len) {
  if (id < 1 || id > static_cast<int>(devices_.size())) return;
  Dev& d = dev(id);
  if (port == d.console && std::memchr(data, '\n', len)) ++d.answers;
  if (transcript_) {
    const std::string who = d.name + ":" + std::to_string(port) + " ";
    OpenLine& open = open_lines_[{id, port}];
    for (size_t i = 0; i < len; ++i) {
      open.text.push_back(static_cast<char>(data[i]));
      if (data[i] != '\n') continue;
      ready_lines_.emplace(t, who + hostutil::escape(std::string_view(open.text)));
      open.text.clear();
    }
    open.last = t;
    transcript_flush(std::max(t, now()));
  }
  bool on_pty = false;
  for (auto& p : ptys_) {
    if (p->id != id || p->port != port) continue;
    on_pty = true;
    size_t written = p->pending.empty() ? hostutil::write_all(p->pty.master(), data, len) : 0;
    size_t room = kPtyBacklog - std::min(kPtyBacklog, p->pending.size());
    p->pending.append(reinterpret_cast<const char*>(data) + written, std::min(len - written, room));
  }
  if (!on_pty && starting_ == id && d.console_pty)
    d.held[port].append(reinterpret_cast<const char*>(data), len);
  for (auto& fn : uart_fns_) fn(id, port, t, data, len);
}

void Driver::transcript_flush(time_us now, bool all) {
  if (!transcript_) return;
  // Lines left open long enough are written as they are. Nothing later than
  // a line still open is written yet: it may still end before.
  time_us horizon = now;
  for (auto& [key, open] : open_lines_) {
    if (open.text.empty()) continue;
    if (all || open.last + kOpenLineWait <= now) {
      const std::string who = dev(key.first).name + ":" + std::to_string(key.second) + " ";
      ready_lines_.emplace(open.last, who + hostutil::escape(std::string_view(open.text)));
      open.text.clear();
    } else {
      horizon = std::min(horizon, open.last);
    }
  }
  bool wrote = false;
  while (!ready_lines_.empty() && (all || ready_lines_.begin()->first <= horizon)) {
    auto it = ready_lines_.begin();
    std::fprintf(transcript_, "%s %s\n", hostutil::format_time(it->first).c_str(),
                 it->second.c_str());
    ready_lines_.erase(it);
    wrote = true;
  }
  if (wrote) std::fflush(transcript_);
}

void Driver::frame_out(const FrameRecord& r) {
  // What the devices wrote before the frame comes before it.
  transcript_flush(r.t);
  if (frame_log_) {
    const AirFrame& f = r.frame;
    std::string who = "world";
    if (f.sender && f.sender <= devices_.size()) who = dev(static_cast<int>(f.sender)).name;
    std::string payload = hostutil::hex(f.payload, std::min<size_t>(f.len, sizeof f.payload));
    const std::string t = hostutil::format_time(r.t);
    if (f.modem == Modem::kLora)
      std::fprintf(frame_log_, "%s %s %u LORA SF%u BW%u CR4/%u %ddBm %u %s\n", t.c_str(),
                   who.c_str(), f.frequency_hz, f.sf, f.bandwidth_hz, 4u + f.coding_rate,
                   f.tx_power_dbm, f.len, payload.c_str());
    else
      std::fprintf(frame_log_, "%s %s %u FSK %ubps %ddBm %u %s\n", t.c_str(), who.c_str(),
                   f.frequency_hz, f.bitrate, f.tx_power_dbm, f.len, payload.c_str());
    std::fflush(frame_log_);
  }
  for (auto& fn : frame_fns_) fn(r);
}

sim::network::NetworkSetup& Driver::network() {
  if (!network_) network_ = std::make_unique<sim::network::NetworkSetup>();
  return *network_;
}

void Driver::start_network(FILE* log) {
  network().start(*master_);
  network_started_ = true;
  network_->server()->on_log = [log](const std::string& line) {
    if (!log) return;
    std::fprintf(log, "network: %s\n", line.c_str());
    std::fflush(log);
  };
}

// ------------------------------------------------------------ input ---

void Driver::add_input(int id, const std::string& bytes) { dev(id).input += bytes; }

time_us Driver::input_due(const Dev& d) const {
  if (d.input_sent >= d.input.size()) return kNever;
  time_us at = master_->uart_ready_at(d.id, d.console);
  bool next_line = d.line_ended && !is_line_end(d.input[d.input_sent]);
  if (next_line && d.answers == d.answers_before && at != kNever) at = std::max(at, d.answer_until);
  return at;
}

time_us Driver::input_due() const {
  time_us due = kNever;
  for (const auto& d : devices_) due = std::min(due, input_due(*d));
  return due;
}

// While the script's next byte has no due time (its previous byte is still
// on the way, or the receiver is off), the device is held to a short grant:
// granted up to the world's target it would run on through whatever it does
// next (an uplink and its receive windows) before the master hears from it
// again, and the script would wait that long for nothing. The grant doubles
// while the due time stays unknown (a receiver off for long costs few rounds).
time_us Driver::script_probe() {
  constexpr time_us kFirstStep = 1'000, kLongestStep = 1'000'000;
  time_us probe = kNever;
  for (auto& dp : devices_) {
    Dev& d = *dp;
    if (d.input_sent >= d.input.size() || input_due(d) != kNever) {
      d.probe_step = 0;
      continue;
    }
    d.probe_step = d.probe_step == 0 ? kFirstStep : std::min(2 * d.probe_step, kLongestStep);
    probe = std::min(probe, now() + d.probe_step);
  }
  return probe;
}

void Driver::feed_input() {
  for (auto& dp : devices_) {
    Dev& d = *dp;
    if (input_due(d) > now()) continue;
    char c = d.input[d.input_sent++];
    master_->send_uart(d.id, d.console, reinterpret_cast<const uint8_t*>(&c), 1);
    // The first '\r' or '\n' ends the line (a device may answer before the
    // rest of a "\r\n" has come).
    if (!is_line_end(c)) {
      d.line_ended = false;
    } else if (!d.line_ended) {
      d.line_ended = true;
      d.answers_before = d.answers;
      d.answer_until = now() + kAnswerWait;
    }
  }
}

// ------------------------------------------------------------ running ---

bool Driver::run_until(time_us target, const std::function<bool()>& stop) {
  auto script_left = [&]() {
    for (const auto& d : devices_)
      if (d->input_sent < d->input.size()) return true;
    return false;
  };
  if (!script_left()) {
    const bool stopped = master_->run_until(target, stop);
    transcript_flush(now());
    return stopped;
  }
  for (;;) {
    feed_input();
    // Up to where the script's next byte is due (or until a receiver that
    // was off comes on), send it, and go on.
    const time_us to = std::min({target, input_due(), script_probe()});
    const bool stopped =
        master_->run_until(to, [&]() { return (stop && stop()) || input_waiting(); });
    transcript_flush(now());
    if (stop && stop()) return true;
    if (!stopped && to == target) return false;
  }
}

void Driver::flush_ptys() {
  for (auto& p : ptys_) {
    if (p->pending.empty()) continue;
    size_t n = hostutil::write_all(p->pty.master(), p->pending.data(), p->pending.size());
    p->pending.erase(0, n);
  }
}

bool Driver::run_paced(const std::function<bool()>& done, double host_seconds) {
  const int64_t start = hostutil::monotonic_us();
  const int64_t limit =
      host_seconds < 0 ? INT64_MAX : start + static_cast<int64_t>(host_seconds * 1e6);
  int64_t wall0 = start;
  time_us virt0 = now();
  auto wall_target = [&]() {
    return virt0 + static_cast<time_us>(hostutil::monotonic_us() - wall0);
  };
  auto catch_up = [&]() {
    const int64_t slice = hostutil::monotonic_us();
    const time_us target = std::min(wall_target(), input_due());
    bool stopped = false;
    if (now() < target)
      stopped = master_->run_until(target, [&]() {
        return done() || input_waiting() || hostutil::monotonic_us() - slice > kSliceUs;
      });
    if (!stopped && now() + kMaxLag < wall_target()) {
      wall0 = hostutil::monotonic_us();
      virt0 = now();
    }
  };
  std::vector<pollfd> fds;
  for (;;) {
    flush_ptys();
    transcript_flush(now());
    if (done()) return true;
    if (hostutil::monotonic_us() >= limit) return false;
    feed_input();
    catch_up();
    flush_ptys();
    if (done()) return true;
    int timeout = 0;
    if (now() >= wall_target() && !input_waiting()) {
      timeout = kMaxSleepMs;
      time_us next = std::min(master_->next_time(), input_due());
      if (next != kNever) {
        int64_t left = wall0 + static_cast<int64_t>(next - virt0) - hostutil::monotonic_us();
        timeout = static_cast<int>(std::clamp<int64_t>(left / 1000 + 1, 0, kMaxSleepMs));
      }
    }
    fds.clear();
    for (const auto& p : ptys_)
      fds.push_back(
          {p->pty.master(), static_cast<short>(POLLIN | (p->pending.empty() ? 0 : POLLOUT)), 0});
    if (::poll(fds.data(), fds.size(), timeout) <= 0) continue;
    catch_up();  // input counts from the moment it came
    for (size_t i = 0; i < fds.size() && i < ptys_.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      uint8_t buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) master_->send_uart(ptys_[i]->id, ptys_[i]->port, buf, static_cast<size_t>(n));
    }
  }
}

}  // namespace sim::world

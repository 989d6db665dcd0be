#include "systest/world.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef QIV_IMAGE_DIR
#define QIV_IMAGE_DIR "."
#endif

namespace systest {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Printable form of port output for failure messages.
std::string escaped(std::string_view s, size_t max = 600) {
  std::string out;
  if (s.size() > max) {
    out = "...";
    s = s.substr(s.size() - max);
  }
  for (unsigned char c : s) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\\')
      out += "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string make_temp_dir(const char* stem) {
  std::string templ = std::string("/tmp/") + stem + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data()))
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  return buf.data();
}

time_us add_saturated(time_us a, time_us b) { return a > sim::kNever - b ? sim::kNever : a + b; }

}  // namespace

std::string image_dir() {
  const char* env = std::getenv("QIV_IMAGE_DIR");
  return env && *env ? env : QIV_IMAGE_DIR;
}

std::string image_path(const std::string& image) {
  if (image.find('/') != std::string::npos) return image;
  return image_dir() + "/" + image;
}

bool image_available(const std::string& image) {
  return ::access(image_path(image).c_str(), X_OK) == 0;
}

std::string hex(const uint8_t* data, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

std::string hex(const std::vector<uint8_t>& data) { return hex(data.data(), data.size()); }

sim::AirFrame lora_frame(uint32_t frequency_hz, uint8_t sf, uint32_t bandwidth_hz,
                         const std::vector<uint8_t>& payload, time_us start, time_us time_on_air) {
  sim::AirFrame f{};
  f.start_us = start;
  f.end_us = start + time_on_air;
  f.frequency_hz = frequency_hz;
  f.modem = sim::Modem::kLora;
  f.sf = sf;
  f.bandwidth_hz = bandwidth_hz;
  f.coding_rate = 1;
  f.preamble_len = 8;
  f.lora_sync_word = 0x3444;
  f.crc_on = true;
  f.tx_power_dbm = 14;
  f.len = static_cast<uint16_t>(std::min<size_t>(payload.size(), sizeof f.payload));
  std::memcpy(f.payload, payload.data(), f.len);
  return f;
}

// ------------------------------------------------------------- Device ---

const Device::PortOut* Device::find_port(int p) const {
  auto it = out_.find(p);
  return it == out_.end() ? nullptr : &it->second;
}

void Device::write(int port, std::string_view bytes) {
  world_->master_->send_uart(id_, port, reinterpret_cast<const uint8_t*>(bytes.data()),
                             bytes.size());
}

namespace {
// Finds the first whole line at or after `from`; returns its end (after the
// line end) or npos, and the line without its end in *line. A line ends with
// "\r\n"; with `bare_lf` a "\n" alone ends one too. Otherwise a lone "\n"
// (or "\r") stays inside the line, so that a wrong line end shows as a line
// that matches nothing.
size_t next_line_in(const std::string& all, size_t from, bool bare_lf, std::string_view* line) {
  size_t end = from;
  for (;;) {
    size_t nl = all.find('\n', end);
    if (nl == std::string::npos) return std::string::npos;
    if (nl > from && all[nl - 1] == '\r') {
      *line = std::string_view(all).substr(from, nl - 1 - from);
      return nl + 1;
    }
    if (bare_lf) {
      *line = std::string_view(all).substr(from, nl - from);
      return nl + 1;
    }
    end = nl + 1;
  }
}
}  // namespace

void Device::accept_bare_lf(int p, bool on) { port(p).bare_lf = on; }

testing::AssertionResult Device::wait_line(int p, std::string_view line, time_us timeout) {
  time_us start = world_->now();
  size_t scanned = port(p).read;
  auto found = [&]() {
    PortOut& o = port(p);
    std::string_view l;
    for (;;) {
      size_t next = next_line_in(o.all, scanned, o.bare_lf, &l);
      if (next == std::string::npos) return false;
      scanned = next;
      if (l == line) {
        o.read = next;
        return true;
      }
    }
  };
  if (world_->run_until(found, timeout)) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << name_ << " port " << p << ": no line \"" << escaped(line) << "\" between "
         << sim::world::format_time(start) << " and " << sim::world::format_time(world_->now())
         << "; unread output: \"" << escaped(unread(p)) << "\"";
}

std::optional<std::string> Device::next_line(int p, time_us timeout) {
  std::string result;
  auto found = [&]() {
    PortOut& o = port(p);
    std::string_view l;
    size_t next = next_line_in(o.all, o.read, o.bare_lf, &l);
    if (next == std::string::npos) return false;
    result = l;
    o.read = next;
    return true;
  };
  if (world_->run_until(found, timeout)) return result;
  return std::nullopt;
}

testing::AssertionResult Device::expect_lines(int p, const std::vector<std::string>& lines,
                                              time_us timeout) {
  time_us start = world_->now();
  time_us deadline = add_saturated(start, timeout);
  for (size_t i = 0; i < lines.size(); ++i) {
    time_us left = world_->now() < deadline ? deadline - world_->now() : 0;
    std::optional<std::string> got = next_line(p, left);
    if (!got)
      return testing::AssertionFailure()
             << name_ << " port " << p << ": line " << i + 1 << " \"" << escaped(lines[i])
             << "\" did not come between " << sim::world::format_time(start) << " and "
             << sim::world::format_time(world_->now()) << "; unread output: \""
             << escaped(unread(p)) << "\"";
    if (*got != lines[i])
      return testing::AssertionFailure()
             << name_ << " port " << p << ": line " << i + 1 << " is \"" << escaped(*got)
             << "\", expected \"" << escaped(lines[i]) << "\"";
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult Device::quiet(int p, time_us duration) {
  size_t before = port(p).all.size();
  world_->run_for(duration);
  const std::string& all = port(p).all;
  if (all.size() == before) return testing::AssertionSuccess();
  return testing::AssertionFailure() << name_ << " port " << p << " output \""
                                     << escaped(std::string_view(all).substr(before)) << "\"";
}

testing::AssertionResult Device::wait_output(int p, std::string_view bytes, time_us timeout) {
  time_us start = world_->now();
  auto found = [&]() {
    PortOut& o = port(p);
    size_t at = o.all.find(bytes, o.read);
    if (at == std::string::npos) return false;
    o.read = at + bytes.size();
    return true;
  };
  if (world_->run_until(found, timeout)) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << name_ << " port " << p << ": no \"" << escaped(bytes) << "\" between "
         << sim::world::format_time(start) << " and " << sim::world::format_time(world_->now())
         << "; unread output: \"" << escaped(unread(p)) << "\"";
}

std::string Device::output(int p) const {
  const PortOut* o = find_port(p);
  return o ? o->all : std::string();
}

std::string Device::unread(int p) const {
  const PortOut* o = find_port(p);
  return o ? o->all.substr(o->read) : std::string();
}

std::string Device::take(int p) {
  PortOut& o = port(p);
  std::string s = o.all.substr(o.read);
  o.read = o.all.size();
  return s;
}

const std::vector<OutputChunk>& Device::chunks(int p) const {
  static const std::vector<OutputChunk> none;
  const PortOut* o = find_port(p);
  return o ? o->chunks : none;
}

void Device::restart() { world_->master_->restart(id_); }

void Device::reset() {
  world_->master_->request_reset(id_);
  world_->run_until(world_->now());
}

void Device::kill() { world_->master_->kill(id_); }

bool Device::alive() const { return world_->master_->alive(id_); }

std::string Device::attach_pty(int p) {
  for (const World::Pty& t : world_->ptys_)
    if (t.id == id_ && t.port == p) return t.path;
  World::Pty t{id_, p};
  t.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (t.master < 0 || ::grantpt(t.master) != 0 || ::unlockpt(t.master) != 0)
    throw std::runtime_error(std::string("pty: ") + std::strerror(errno));
  const char* name = ::ptsname(t.master);
  if (!name) throw std::runtime_error("pty: no name");
  t.path = name;
  t.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (t.slave >= 0) {
    termios tio;
    if (::tcgetattr(t.slave, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(t.slave, TCSANOW, &tio);
    }
  }
  ::fcntl(t.master, F_SETFL, ::fcntl(t.master, F_GETFL) | O_NONBLOCK);
  world_->ptys_.push_back(t);
  return t.path;
}

std::vector<uint8_t> Device::flash() const {
  std::string s = read_file(flash_path_);
  return std::vector<uint8_t>(s.begin(), s.end());
}

sim::FlashCounters Device::flash_counters() const {
  sim::FlashCounters c{};
  std::istringstream in(read_file(flash_path_ + ".stats"));
  std::string key;
  uint64_t value;
  while (in >> key >> value) {
    if (key == "erases") c.erases = value;
    if (key == "programs") c.programs = value;
  }
  return c;
}

std::string Device::log() const { return read_file(log_path_); }

// -------------------------------------------------------------- World ---

World::World() {
  dir_ = make_temp_dir("qiv-world");
  master_ = std::make_unique<sim::world::Master>(dir_ + "/world.sock");
  sim::world::Master::Callbacks cb;
  cb.uart = [this](int id, int port, time_us t, const uint8_t* data, size_t len) {
    Device* d = by_id(id);
    if (!d) return;
    Device::PortOut& o = d->port(port);
    o.all.append(reinterpret_cast<const char*>(data), len);
    o.chunks.push_back({t, std::string(reinterpret_cast<const char*>(data), len)});
    for (Pty& p : ptys_)
      if (p.id == id && p.port == port) p.pending.append(reinterpret_cast<const char*>(data), len);
  };
  cb.frame = [this](const sim::world::FrameRecord& r) { frames_.push_back(r); };
  cb.exited = [this](int id, int status, bool expected) {
    if (expected) return;
    Device* d = by_id(id);
    std::string log = d ? d->log() : std::string();
    if (log.size() > 3000) log = "..." + log.substr(log.size() - 3000);
    ADD_FAILURE() << "device " << (d ? d->name() : std::to_string(id)) << " ended by itself at "
                  << sim::world::format_time(master_->now()) << " ("
                  << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status)))
                  << "); its output:\n"
                  << log;
  };
  master_->set_callbacks(std::move(cb));
}

World::~World() {
  try {
    master_->end();
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  master_.reset();
  for (Pty& p : ptys_) {
    if (p.master >= 0) ::close(p.master);
    if (p.slave >= 0) ::close(p.slave);
  }
  bool keep = std::getenv("QIV_KEEP_WORLD") != nullptr || testing::Test::HasFailure();
  if (keep) {
    std::fprintf(stderr, "world kept in %s\n", dir_.c_str());
  } else {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

Device* World::by_id(int id) {
  for (auto& d : devices_)
    if (d->id_ == id) return d.get();
  return nullptr;
}

Device& World::start(const std::string& name, const std::string& image) {
  DeviceOptions o;
  o.image = image;
  return start(name, std::move(o));
}

Device& World::start(const std::string& name, DeviceOptions options) {
  for (auto& d : devices_)
    if (d->name_ == name) throw std::invalid_argument("world: a device is already named " + name);
  std::string program = image_path(options.image);
  if (::access(program.c_str(), X_OK) != 0)
    throw std::runtime_error("world: no image program " + program);
  auto dev = std::make_unique<Device>();
  dev->world_ = this;
  dev->name_ = name;
  dev->flash_path_ = options.flash_file.empty() ? dir_ + "/" + name + ".flash" : options.flash_file;
  dev->log_path_ = dir_ + "/" + name + ".log";
  if (!options.initial_flash.empty()) {
    std::ofstream f(dev->flash_path_, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(options.initial_flash.data()),
            static_cast<std::streamsize>(options.initial_flash.size()));
  }
  sim::world::DeviceConfig cfg;
  cfg.name = name;
  cfg.program = program;
  cfg.log_path = dev->log_path_;
  cfg.cwd = dir_;
  cfg.args = {"--flash", dev->flash_path_};
  for (int p : options.ports) {
    cfg.args.push_back("--uart-world");
    cfg.args.push_back(std::to_string(p));
  }
  for (auto& [pin, level] : options.pins) {
    cfg.args.push_back("--pin");
    cfg.args.push_back(pin + "=" + std::to_string(level));
  }
  for (auto& [ch, mv] : options.adcs) {
    cfg.args.push_back("--adc");
    cfg.args.push_back(ch + "=" + std::to_string(mv));
  }
  cfg.args.insert(cfg.args.end(), options.extra_args.begin(), options.extra_args.end());
  dev->opt_ = std::move(options);
  Device& ref = *dev;
  devices_.push_back(std::move(dev));
  // The id is known once spawned; output during start-up is routed by id, so
  // assign it first (ids are handed out in order).
  ref.id_ = master_->device_count() + 1;
  int id = master_->spawn(cfg);
  ref.id_ = id;
  return ref;
}

Device& World::device(const std::string& name) {
  for (auto& d : devices_)
    if (d->name_ == name) return *d;
  throw std::invalid_argument("world: no device named " + name);
}

time_us World::now() const { return master_->now(); }

void World::run_for(time_us duration) { master_->run_until(add_saturated(now(), duration)); }

void World::run_until(time_us t) { master_->run_until(std::max(t, now())); }

bool World::run_until(const std::function<bool()>& done, time_us timeout) {
  return master_->run_until(add_saturated(now(), timeout), done);
}

void World::flush_ptys() {
  for (Pty& p : ptys_) {
    while (!p.pending.empty()) {
      ssize_t n = ::write(p.master, p.pending.data(), p.pending.size());
      if (n <= 0) break;
      p.pending.erase(0, static_cast<size_t>(n));
    }
  }
}

bool World::run_paced(const std::function<bool()>& done, double host_seconds) {
  using clock = std::chrono::steady_clock;
  auto mono_us = []() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               clock::now().time_since_epoch())
        .count();
  };
  const int64_t start = mono_us();
  const int64_t limit = start + static_cast<int64_t>(host_seconds * 1e6);
  int64_t wall0 = start;
  time_us virt0 = now();
  auto wall_target = [&]() { return virt0 + static_cast<time_us>(mono_us() - wall0); };
  // Moves towards the wall clock for at most 50 ms of host time at once; a
  // world that falls behind goes on from where it is.
  auto catch_up = [&]() {
    int64_t slice = mono_us();
    time_us target = wall_target();
    bool stopped = false;
    if (now() < target)
      stopped = master_->run_until(target, [&]() {
        return done() || mono_us() - slice > 50'000;
      });
    if (!stopped && now() + 200'000 < wall_target()) {
      wall0 = mono_us();
      virt0 = now();
    }
  };
  std::vector<pollfd> fds;
  for (;;) {
    flush_ptys();
    if (done()) return true;
    if (mono_us() >= limit) return false;
    catch_up();
    flush_ptys();
    if (done()) return true;
    int timeout = 0;
    if (now() >= wall_target()) {
      timeout = 20;
      time_us next = master_->next_time();
      if (next != sim::kNever) {
        int64_t left = wall0 + static_cast<int64_t>(next - virt0) - mono_us();
        timeout = static_cast<int>(std::clamp<int64_t>(left / 1000 + 1, 0, 20));
      }
    }
    fds.clear();
    for (const Pty& p : ptys_)
      fds.push_back({p.master, static_cast<short>(POLLIN | (p.pending.empty() ? 0 : POLLOUT)), 0});
    if (::poll(fds.data(), fds.size(), timeout) <= 0) continue;
    catch_up();  // input counts from the moment it came
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      uint8_t buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) master_->send_uart(ptys_[i].id, ptys_[i].port, buf, static_cast<size_t>(n));
    }
  }
}

void World::inject_frame(const sim::AirFrame& frame) { master_->inject_frame(frame); }

sim::world::LinkBudget& World::budget() { return master_->budget(); }

// ---------------------------------------------------------- pipe mode ---

bool PipeResult::exited_ok() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

PipeResult run_pipe(const std::string& image, const std::vector<std::string>& args,
                    std::string_view input, const std::string& cwd) {
  std::string program = image_path(image);
  std::string dir = cwd;
  bool own_dir = dir.empty();
  if (own_dir) dir = make_temp_dir("qiv-pipe");
  int in_p[2], out_p[2], err_p[2];
  if (::pipe2(in_p, O_CLOEXEC) || ::pipe2(out_p, O_CLOEXEC) || ::pipe2(err_p, O_CLOEXEC))
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(in_p[0], 0);
    ::dup2(out_p[1], 1);
    ::dup2(err_p[1], 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in_p[0]);
  ::close(out_p[1]);
  ::close(err_p[1]);
  ::signal(SIGPIPE, SIG_IGN);
  ::fcntl(in_p[1], F_SETFL, O_NONBLOCK);
  PipeResult r;
  size_t written = 0;
  int in_fd = in_p[1];
  if (input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  int out_fd = out_p[0], err_fd = err_p[0];
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == in_fd) {
        ssize_t k = ::write(in_fd, input.data() + written, input.size() - written);
        if (k > 0) written += static_cast<size_t>(k);
        if (k < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
        if (written == input.size()) {
          ::close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[4096];
      ssize_t k = ::read(fds[i].fd, buf, sizeof buf);
      if (k > 0) {
        (fds[i].fd == out_fd ? r.out : r.err).append(buf, static_cast<size_t>(k));
      } else if (k == 0 || (errno != EINTR && errno != EAGAIN)) {
        ::close(fds[i].fd);
        (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
      }
    }
  }
  if (in_fd >= 0) ::close(in_fd);
  while (::waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
  }
  if (own_dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return r;
}

}  // namespace systest

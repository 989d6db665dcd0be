#include "systest/world.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hostutil/duration.h"
#include "hostutil/escape.h"
#include "hostutil/process.h"
#include "hostutil/tempdir.h"
#include "world/driver.h"

#ifndef QIV_IMAGE_DIR
#define QIV_IMAGE_DIR "."
#endif

namespace systest {
namespace {

using hostutil::format_time;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Printable form of port output for failure messages.
std::string escaped(std::string_view s) { return hostutil::escape(s, 600); }

time_us add_saturated(time_us a, time_us b) { return a > sim::kNever - b ? sim::kNever : a + b; }

}  // namespace

std::string image_dir() { return sim::world::image_dir_from_env(QIV_IMAGE_DIR); }

std::string image_path(const std::string& image) {
  return sim::world::image_path_in(image_dir(), image);
}

bool image_available(const std::string& image) {
  return ::access(image_path(image).c_str(), X_OK) == 0;
}

std::string hex(const uint8_t* data, size_t len) { return hostutil::hex(data, len); }

std::string hex(const std::vector<uint8_t>& data) { return hostutil::hex(data); }

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
  world_->master().send_uart(id_, port, reinterpret_cast<const uint8_t*>(bytes.data()),
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
         << format_time(start) << " and " << format_time(world_->now()) << "; unread output: \""
         << escaped(unread(p)) << "\"";
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
             << "\" did not come between " << format_time(start) << " and "
             << format_time(world_->now()) << "; unread output: \"" << escaped(unread(p)) << "\"";
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
         << format_time(start) << " and " << format_time(world_->now()) << "; unread output: \""
         << escaped(unread(p)) << "\"";
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

void Device::restart() { world_->master().restart(id_); }

void Device::reset() {
  world_->master().request_reset(id_);
  world_->run_until(world_->now());
}

void Device::kill() { world_->master().kill(id_); }

bool Device::alive() const { return world_->master().alive(id_); }

std::string Device::attach_pty(int p) { return world_->driver_->attach_pty(id_, p); }

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
  sim::world::Driver::Options o;
  o.image_dir = image_dir();
  o.temp_stem = "qiv-world";
  driver_ = std::make_unique<sim::world::Driver>(o);
  dir_ = driver_->dir();
  driver_->on_uart([this](int id, int port, time_us t, const uint8_t* data, size_t len) {
    Device* d = by_id(id);
    if (!d) return;
    Device::PortOut& out = d->port(port);
    out.all.append(reinterpret_cast<const char*>(data), len);
    out.chunks.push_back({t, std::string(reinterpret_cast<const char*>(data), len)});
  });
  driver_->on_frame([this](const sim::world::FrameRecord& r) { frames_.push_back(r); });
  driver_->on_exit([this](int id, int status, bool expected) {
    if (expected) return;
    Device* d = by_id(id);
    std::string log = d ? d->log() : std::string();
    if (log.size() > 3000) log = "..." + log.substr(log.size() - 3000);
    ADD_FAILURE() << "device " << (d ? d->name() : std::to_string(id)) << " ended by itself at "
                  << format_time(now()) << " (" << hostutil::describe_status(status)
                  << "); its output:\n"
                  << log;
  });
}

World::~World() {
  try {
    driver_->end();
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  bool keep = std::getenv("QIV_KEEP_WORLD") != nullptr || testing::Test::HasFailure();
  if (keep) {
    driver_->keep_dir();
    std::fprintf(stderr, "world kept in %s\n", dir_.c_str());
  }
  driver_.reset();
}

sim::world::Master& World::master() { return driver_->master(); }

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
  sim::world::DeviceLaunch launch;
  launch.name = name;
  launch.image = options.image;
  launch.flash = options.flash_file;
  launch.initial_flash = options.initial_flash;
  launch.world_ports = options.ports;
  launch.pins = options.pins;
  launch.adcs = options.adcs;
  launch.args = options.extra_args;
  auto dev = std::make_unique<Device>();
  dev->world_ = this;
  dev->name_ = name;
  dev->opt_ = std::move(options);
  // Output during start-up is routed by id: the device is there first.
  dev->id_ = driver_->next_id();
  Device& ref = *dev;
  devices_.push_back(std::move(dev));
  try {
    driver_->start(launch);
  } catch (...) {
    devices_.pop_back();
    throw;
  }
  ref.flash_path_ = driver_->flash_path(ref.id_);
  ref.log_path_ = driver_->log_path(ref.id_);
  return ref;
}

Device& World::device(const std::string& name) {
  for (auto& d : devices_)
    if (d->name_ == name) return *d;
  throw std::invalid_argument("world: no device named " + name);
}

time_us World::now() const { return driver_->now(); }

void World::run_for(time_us duration) { driver_->run_until(add_saturated(now(), duration)); }

void World::run_until(time_us t) { driver_->run_until(std::max(t, now())); }

bool World::run_until(const std::function<bool()>& done, time_us timeout) {
  return driver_->run_until(add_saturated(now(), timeout), done);
}

bool World::run_paced(const std::function<bool()>& done, double host_seconds) {
  return driver_->run_paced(done, host_seconds);
}

void World::inject_frame(const sim::AirFrame& frame) { master().inject_frame(frame); }

sim::world::LinkBudget& World::budget() { return master().budget(); }

// ---------------------------------------------------------- pipe mode ---

bool PipeResult::exited_ok() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

PipeResult run_pipe(const std::string& image, const std::vector<std::string>& args,
                    std::string_view input, const std::string& cwd) {
  std::vector<std::string> argv{image_path(image)};
  argv.insert(argv.end(), args.begin(), args.end());
  std::unique_ptr<hostutil::TempDir> own;
  if (cwd.empty()) own = std::make_unique<hostutil::TempDir>("qiv-pipe", "/tmp");
  // Without --dir qivsim keeps its world beside itself, one folder for every
  // test run side by side: they would refuse each other or start on each
  // other's flash files. Each run gets its own.
  std::unique_ptr<hostutil::TempDir> world_dir;
  if (image == "qivsim" && std::find(args.begin(), args.end(), "--dir") == args.end()) {
    world_dir = std::make_unique<hostutil::TempDir>("qiv-world", "/tmp");
    argv.insert(argv.begin() + 1, {"--dir", world_dir->path()});
  }
  hostutil::CaptureResult c = hostutil::run_capture(argv, input, own ? own->path() : cwd);
  PipeResult r;
  r.out = std::move(c.out);
  r.err = std::move(c.err);
  r.status = c.status;
  return r;
}

}  // namespace systest

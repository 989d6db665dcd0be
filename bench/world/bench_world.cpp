#include "bench_world.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#ifndef QIV_IMAGE_DIR
#define QIV_IMAGE_DIR "."
#endif

namespace bench {

std::string image_path(const std::string& image) {
  const char* env = std::getenv("QIV_IMAGE_DIR");
  return std::string(env && *env ? env : QIV_IMAGE_DIR) + "/" + image;
}

bool image_built(const std::string& image) { return ::access(image_path(image).c_str(), X_OK) == 0; }

double host_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string payload_hex(int device, unsigned sequence, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    unsigned b = i == 0 ? static_cast<unsigned>(device) : i == 1 ? sequence >> 8 : i == 2 ? sequence : i;
    s += digits[(b >> 4) & 15];
    s += digits[b & 15];
  }
  return s;
}

World::World() {
  char templ[] = "/tmp/qiv-bench-XXXXXX";
  if (!::mkdtemp(templ)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  dir_ = templ;
  master_ = std::make_unique<sim::world::Master>(dir_ + "/world.sock");
  sim::world::Master::Callbacks cb;
  cb.uart = [this](int id, int port, time_us, const uint8_t* data, size_t len) {
    if (id < 1 || static_cast<size_t>(id) > devices_.size()) return;
    if (port < 0 || port >= sim::kMaxUart) return;
    Port& p = device(id).ports[port];
    for (size_t i = 0; i < len; ++i) {
      char c = static_cast<char>(data[i]);
      if (c == '\n') {
        if (!p.partial.empty() && p.partial.back() == '\r') p.partial.pop_back();
        p.lines.push_back(std::move(p.partial));
        p.partial.clear();
      } else {
        p.partial += c;
      }
    }
  };
  master_->set_callbacks(cb);
}

World::~World() {
  master_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

int World::start(const std::string& image, const std::vector<std::string>& args) {
  const int n = static_cast<int>(devices_.size()) + 1;
  sim::world::DeviceConfig cfg;
  cfg.name = image + "-" + std::to_string(n);
  cfg.program = image_path(image);
  cfg.log_path = dir_ + "/" + cfg.name + ".log";
  cfg.cwd = dir_;
  cfg.args = {"--flash", dir_ + "/" + cfg.name + ".flash"};
  for (int p = 0; p < sim::kMaxUart; ++p) {
    cfg.args.push_back("--uart-world");
    cfg.args.push_back(std::to_string(p));
  }
  cfg.args.insert(cfg.args.end(), args.begin(), args.end());
  // The device exists before its start-up prints anything.
  devices_.push_back(Device{});
  const int id = master_->spawn(cfg);
  if (id != n) throw std::runtime_error("bench world: unexpected device id");
  const int console = master_->console_uart(id);
  Device& d = device(id);
  d.console = console < 0 ? 0 : console;
  return id;
}

void World::write(int id, std::string_view text) {
  master_->send_uart(id, device(id).console, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::optional<std::string> World::wait_line(int id, std::string_view prefix, time_us timeout) {
  Port& p = device(id).con();
  std::optional<std::string> line;
  auto found = [&]() {
    while (!line && !p.lines.empty()) {
      if (p.lines.front().compare(0, prefix.size(), prefix) == 0) line = std::move(p.lines.front());
      p.lines.pop_front();
    }
    return line.has_value();
  };
  if (!found()) master_->run_until(master_->now() + timeout, found);
  return line;
}

std::deque<std::string>& World::lines(int id) { return device(id).con().lines; }

}  // namespace bench

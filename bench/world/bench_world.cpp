#include "bench_world.h"

#include <unistd.h>

#include <stdexcept>

#include "hostutil/duration.h"

#ifndef QIV_IMAGE_DIR
#define QIV_IMAGE_DIR "."
#endif

namespace bench {

namespace {
sim::world::Driver::Options world_options(const std::string& dir) {
  sim::world::Driver::Options o;
  o.dir = dir;
  o.image_dir = sim::world::image_dir_from_env(QIV_IMAGE_DIR);
  o.temp_stem = "qiv-bench";
  return o;
}
}  // namespace

std::string image_path(const std::string& image) {
  return sim::world::image_path_in(sim::world::image_dir_from_env(QIV_IMAGE_DIR), image);
}

bool image_built(const std::string& image) {
  return ::access(image_path(image).c_str(), X_OK) == 0;
}

double host_seconds() { return static_cast<double>(hostutil::monotonic_us()) / 1e6; }

std::string payload_hex(int device, unsigned sequence, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    unsigned b = i == 0   ? static_cast<unsigned>(device)
                 : i == 1 ? sequence >> 8
                 : i == 2 ? sequence
                          : i;
    s += digits[(b >> 4) & 15];
    s += digits[b & 15];
  }
  return s;
}

World::World(const std::string& dir) : driver_(world_options(dir)) {
  driver_.on_uart([this](int id, int port, time_us, const uint8_t* data, size_t len) {
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
  });
}

World::~World() = default;

int World::start(const std::string& image, const std::vector<std::string>& args) {
  const int n = driver_.next_id();
  sim::world::DeviceLaunch launch;
  launch.name = image + "-" + std::to_string(n);
  launch.image = image;
  launch.args = args;
  // The device exists before its start-up prints anything.
  devices_.push_back(Device{});
  const int id = driver_.start(launch);
  if (id != n) throw std::runtime_error("bench world: unexpected device id");
  device(id).console = driver_.console(id);
  return id;
}

void World::write(int id, std::string_view text) {
  driver_.master().send_uart(id, device(id).console, reinterpret_cast<const uint8_t*>(text.data()),
                             text.size());
}

void World::write_at(int id, time_us t, std::string_view text) {
  driver_.master().send_uart_at(id, device(id).console, t,
                                reinterpret_cast<const uint8_t*>(text.data()), text.size());
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
  if (!found()) driver_.run_until(driver_.now() + timeout, found);
  return line;
}

std::deque<std::string>& World::lines(int id) { return device(id).con().lines; }

}  // namespace bench

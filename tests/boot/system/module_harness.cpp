#include "module_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "hostutil/process.h"
#include "hostutil/pty.h"

namespace boothw {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void write_all(int fd, const uint8_t* p, size_t n) {
  hostutil::write_all(fd, p, n, /*wait_when_full=*/true);
}

}  // namespace

std::string build_dir() { return QIV_BUILD_DIR; }

std::string scratch_dir(const std::string& test_name) {
  std::filesystem::path p = std::filesystem::path(QIV_TEST_SCRATCH) / test_name;
  std::filesystem::remove_all(p);
  std::filesystem::create_directories(p);
  return p.string();
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> flash_bytes(const std::string& flash, uint32_t addr, size_t len) {
  std::vector<uint8_t> all = read_file(flash);
  size_t off = addr - 0x08000000u;
  if (off + len > all.size()) return {};
  return std::vector<uint8_t>(all.begin() + static_cast<long>(off),
                              all.begin() + static_cast<long>(off + len));
}

uint32_t flash_word(const std::string& flash, uint32_t addr) {
  std::vector<uint8_t> b = flash_bytes(flash, addr, 4);
  if (b.size() != 4) return 0;
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

std::string make_app_file(const std::string& dir, const std::string& image, uint32_t size) {
  std::string out =
      dir + "/" + image + (size ? "-" + std::to_string(size) : std::string()) + ".bin";
  std::string cmd = build_dir() + "/qiv-appfile make --image " + image +
                    (size ? " --size " + std::to_string(size) : std::string()) + " -o " + out;
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("qiv-appfile failed: " + cmd);
  return out;
}

// ------------------------------------------------------------------ Module --
Module::Module(const std::string& flash, const std::vector<std::string>& extra) {
  log_path_ = flash + ".log";
  unlink(log_path_.c_str());  // a module that ran before on this flash left its log
  int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log_fd < 0) throw std::runtime_error("cannot write " + log_path_);
  hostutil::SpawnOptions o;
  o.argv = {build_dir() + "/qiv-module", "--flash", flash, "--pty", "2"};
  o.argv.insert(o.argv.end(), extra.begin(), extra.end());
  o.in = hostutil::SpawnOptions::kDevNull;
  o.out = hostutil::SpawnOptions::kDevNull;
  o.err = log_fd;
  std::string error;
  pid_ = hostutil::spawn(o, &error);
  close(log_fd);
  if (pid_ < 0) throw std::runtime_error(error);
  auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end) {
    std::string text = log();
    size_t at = text.find("PORT 2: ");
    size_t eol = at == std::string::npos ? at : text.find('\n', at);
    if (eol != std::string::npos) {
      pty_ = text.substr(at + 8, eol - at - 8);
      break;
    }
    usleep(10000);
  }
  if (pty_.empty()) throw std::runtime_error("the module did not open its line: " + log());
  fd_ = open_line();
  if (fd_ < 0) throw std::runtime_error("cannot open " + pty_);
}

Module::~Module() {
  power_off();
  if (fd_ >= 0) close(fd_);
}

void Module::power_off() {
  if (pid_ <= 0) return;
  hostutil::stop_process(pid_, 2000);
  pid_ = -1;
}

bool Module::alive() {
  int status;
  if (pid_ <= 0) return false;
  if (!hostutil::wait_exit(pid_, &status, 0)) return true;
  pid_ = -1;  // gone (and reaped): its pid may be another process's soon
  return false;
}

int Module::open_line() const {
  int fd = open(pty_.c_str(), O_RDWR | O_NOCTTY);
  if (fd >= 0) hostutil::make_raw(fd);
  return fd;
}

std::string Module::log() const {
  std::vector<uint8_t> b = read_file(log_path_);
  return std::string(b.begin(), b.end());
}

std::string Module::read_until(const std::string& what, int timeout_ms, bool* found) {
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t at = what.empty() ? std::string::npos : pending_.find(what);
    if (at != std::string::npos) {
      std::string out = pending_.substr(0, at + what.size());
      pending_.erase(0, at + what.size());
      if (found) *found = true;
      return out;
    }
    int left = ms_left(end);
    if (left == 0) break;
    pollfd pf{fd_, POLLIN, 0};
    if (poll(&pf, 1, left) > 0) {
      char buf[4096];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) pending_.append(buf, static_cast<size_t>(n));
    }
  }
  if (found) *found = false;
  std::string out;
  out.swap(pending_);
  return out;
}

std::string Module::read_for(int ms) { return read_until("", ms); }

void Module::write(const std::string& bytes) {
  // A terminal on a real line never answers within the time the module
  // still needs to finish transmitting what it just sent; the simulated line
  // shows the bytes when the transmission starts.
  usleep(20000);
  write_all(fd_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void Module::flush_input() {
  tcflush(fd_, TCIFLUSH);
  pending_.clear();
}

// ---------------------------------------------------------------------- sb --
SbResult run_sb(int line_fd, const std::vector<std::string>& args, int timeout_ms,
                const std::function<void(pid_t)>& on_start) {
  SbResult r;
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) return r;
  hostutil::SpawnOptions o;
  o.argv = {"sb"};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.search_path = true;
  o.in = line_fd;
  o.out = line_fd;
  o.err = err[1];
  std::string error;
  pid_t pid = hostutil::spawn(o, &error);
  close(err[1]);
  if (pid < 0) {
    close(err[0]);
    return r;
  }
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  if (on_start) on_start(pid);
  auto drain = [&]() {
    char buf[1024];
    ssize_t n;
    while ((n = ::read(err[0], buf, sizeof buf)) > 0)
      r.stderr_text.append(buf, static_cast<size_t>(n));
  };
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    drain();
    if (hostutil::wait_exit(pid, &status, 20)) break;
    if (ms_left(end) == 0) {
      kill(pid, SIGKILL);
      hostutil::wait_exit(pid, &status);
      close(err[0]);
      return r;
    }
  }
  drain();
  close(err[0]);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// ------------------------------------------------------------------- Relay --
Relay::Relay(int module_fd, Filter to_module, Filter to_sender)
    : module_fd_(module_fd), to_module_(std::move(to_module)), to_sender_(std::move(to_sender)) {
  std::string error;
  if (!hostutil::open_pty(&pty_, &error)) throw std::runtime_error(error);
  thread_ = std::thread([this] { run(); });
}

Relay::~Relay() {
  stop_ = true;
  thread_.join();
  hostutil::close_pty(&pty_);
}

void Relay::run() {
  uint64_t n_to_module = 0, n_to_sender = 0;
  while (!stop_) {
    pollfd pf[2] = {{pty_.master, POLLIN, 0}, {module_fd_, POLLIN, 0}};
    if (poll(pf, 2, 20) <= 0) continue;
    uint8_t buf[4096];
    if (pf[0].revents & POLLIN) {
      ssize_t n = ::read(pty_.master, buf, sizeof buf);
      std::vector<uint8_t> out;
      for (ssize_t i = 0; i < n; ++i) {
        uint8_t b = buf[i];
        if (!to_module_ || to_module_(n_to_module, b)) out.push_back(b);
        n_to_module++;
      }
      write_all(module_fd_, out.data(), out.size());
    }
    if (pf[1].revents & POLLIN) {
      ssize_t n = ::read(module_fd_, buf, sizeof buf);
      std::vector<uint8_t> out;
      for (ssize_t i = 0; i < n; ++i) {
        uint8_t b = buf[i];
        if (!to_sender_ || to_sender_(n_to_sender, b)) out.push_back(b);
        n_to_sender++;
      }
      write_all(pty_.master, out.data(), out.size());
    }
  }
}

}  // namespace boothw

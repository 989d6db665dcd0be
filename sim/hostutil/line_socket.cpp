#include "hostutil/line_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hostutil {

namespace {
bool make_address(const std::string& path, sockaddr_un* addr, std::string* error) {
  *addr = sockaddr_un{};
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    *error = "socket path empty or too long (at most " + std::to_string(sizeof addr->sun_path - 1) +
             " bytes): " + path;
    return false;
  }
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}
}  // namespace

LineServer::~LineServer() {
  for (auto& [id, c] : clients_) ::close(c.fd);
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(path_.c_str());
  }
}

bool LineServer::listen(const std::string& path, std::string* error) {
  sockaddr_un addr;
  if (!make_address(path, &addr, error)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
    *error = path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  listen_fd_ = fd;
  path_ = path;
  return true;
}

void LineServer::drop(int client) {
  auto it = clients_.find(client);
  if (it == clients_.end()) return;
  ::close(it->second.fd);
  clients_.erase(it);
}

void LineServer::poll(const std::function<void(int, const std::string&)>& on_line,
                      const std::function<void(int)>& on_gone) {
  if (listen_fd_ < 0) return;
  for (;;) {
    int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0) break;
    clients_[next_id_++] = Client{c, {}};
  }
  std::vector<int> gone;
  std::vector<std::pair<int, std::string>> lines;
  for (auto& [id, c] : clients_) {
    for (;;) {
      char buf[4096];
      ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
      if (n > 0) {
        c.in.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) gone.push_back(id);
      break;
    }
    size_t eol;
    while ((eol = c.in.find('\n')) != std::string::npos) {
      std::string line = c.in.substr(0, eol);
      c.in.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.emplace_back(id, line);
    }
  }
  // Lines a tool sent before it closed its end are still carried out.
  for (const auto& [id, line] : lines) on_line(id, line);
  for (int id : gone) {
    drop(id);
    if (on_gone) on_gone(id);
  }
}

bool LineServer::send(int client, const std::string& line) {
  auto it = clients_.find(client);
  if (it == clients_.end()) return false;
  std::string out = line + "\n";
  size_t at = 0;
  // A tool that does not read for long loses its connection rather than
  // holding the world up.
  for (int tries = 0; at < out.size() && tries < 1000; ++tries) {
    ssize_t n = ::send(it->second.fd, out.data() + at, out.size() - at, MSG_NOSIGNAL);
    if (n > 0) {
      at += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      ::usleep(1000);
    } else {
      break;
    }
  }
  if (at < out.size()) {
    drop(client);
    return false;
  }
  return true;
}

int connect_line_socket(const std::string& path, std::string* error) {
  sockaddr_un addr;
  if (!make_address(path, &addr, error)) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot reach " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

Reply exchange(int fd, const std::string& line, std::string& buffered, FILE* out) {
  std::string msg = line + "\n";
  if (::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size()))
    return Reply::kGone;
  for (;;) {
    size_t eol;
    while ((eol = buffered.find('\n')) != std::string::npos) {
      std::string l = buffered.substr(0, eol);
      buffered.erase(0, eol + 1);
      std::fprintf(out, "%s\n", l.c_str());
      std::fflush(out);
      if (l == "OK") return Reply::kOk;
      if (l == "ERROR" || l.rfind("ERROR ", 0) == 0) return Reply::kError;
    }
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Reply::kGone;
    buffered.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace hostutil

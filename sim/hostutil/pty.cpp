#include "hostutil/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace hostutil {

bool make_raw(int fd) {
  termios t;
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool open_pty(PtyEnds* out, std::string* error, bool close_on_exec) {
  const int cloexec = close_on_exec ? O_CLOEXEC : 0;
  PtyEnds p;
  p.master = ::posix_openpt(O_RDWR | O_NOCTTY | cloexec);
  if (p.master < 0 || ::grantpt(p.master) != 0 || ::unlockpt(p.master) != 0) {
    *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    close_pty(&p);
    return false;
  }
  const char* name = ::ptsname(p.master);
  if (!name) {
    *error = "a pseudo-terminal without a name";
    close_pty(&p);
    return false;
  }
  p.path = name;
  p.terminal = ::open(name, O_RDWR | O_NOCTTY | cloexec);
  if (p.terminal >= 0) make_raw(p.terminal);
  ::fcntl(p.master, F_SETFL, ::fcntl(p.master, F_GETFL) | O_NONBLOCK);
  *out = std::move(p);
  return true;
}

void close_pty(PtyEnds* p) {
  if (p->master >= 0) ::close(p->master);
  if (p->terminal >= 0) ::close(p->terminal);
  *p = PtyEnds{};
}

Pty::Pty() {
  std::string error;
  if (!open_pty(&ends_, &error)) throw std::runtime_error(error);
}

Pty& Pty::operator=(Pty&& other) noexcept {
  if (this != &other) {
    close_pty(&ends_);
    ends_ = other.ends_;
    other.ends_ = PtyEnds{};
  }
  return *this;
}

size_t write_all(int fd, const void* data, size_t len, bool wait_when_full) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd, p + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && wait_when_full) {
      pollfd pf{fd, POLLOUT, 0};
      ::poll(&pf, 1, 50);
      continue;
    }
    break;
  }
  return done;
}

}  // namespace hostutil

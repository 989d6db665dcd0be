// Pseudo-terminals for serial ports: a serial tool (a terminal program,
// pyserial, a YMODEM sender) opens the terminal end by its path, the host
// program reads and writes the other end.
#pragma once

#include <cstddef>
#include <string>

namespace hostutil {

// Puts a terminal in raw mode (no echo, no line editing, no translation of
// line ends: bytes pass as they are). False when `fd` is no terminal.
bool make_raw(int fd);

struct PtyEnds {
  int master = -1;    // the host program's end, non-blocking
  int terminal = -1;  // kept open, raw, so that the line never hangs up
                      // when a tool that opened it closes it
  std::string path;   // of the terminal end, e.g. /dev/pts/3
};

// Opens a new pseudo-terminal. `close_on_exec` false keeps both ends open
// across exec (a program that executes itself anew keeps its terminals).
// False with the reason in *error.
bool open_pty(PtyEnds* out, std::string* error, bool close_on_exec = true);
void close_pty(PtyEnds* ends);

// Owns a pseudo-terminal (both ends close with it). Throws
// std::runtime_error when none can be opened.
class Pty {
 public:
  Pty();
  ~Pty() { close_pty(&ends_); }
  Pty(Pty&& other) noexcept : ends_(other.ends_) { other.ends_ = PtyEnds{}; }
  Pty& operator=(Pty&& other) noexcept;
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return ends_.master; }
  int terminal() const { return ends_.terminal; }
  const std::string& path() const { return ends_.path; }

 private:
  PtyEnds ends_;
};

// Writes all of `len` bytes to `fd`, retrying after interruptions. When the
// other side is full (EAGAIN on a non-blocking fd) it waits for room if
// `wait_when_full`, else gives the rest up, as a line loses what its peer
// cannot take. Returns the bytes written.
size_t write_all(int fd, const void* data, size_t len, bool wait_when_full = false);

}  // namespace hostutil

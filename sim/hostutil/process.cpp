#include "hostutil/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace hostutil {

pid_t spawn(const SpawnOptions& o, std::string* error) {
  if (o.argv.empty()) {
    *error = "no program to start";
    return -1;
  }
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> args = o.argv;
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  const int null_fd = (o.in == SpawnOptions::kDevNull || o.out == SpawnOptions::kDevNull ||
                       o.err == SpawnOptions::kDevNull)
                          ? ::open("/dev/null", O_RDWR | O_CLOEXEC)
                          : -1;
  const int fds[3] = {o.in, o.out, o.err};
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("cannot start a process: ") + std::strerror(errno);
    if (null_fd >= 0) ::close(null_fd);
    return -1;
  }
  if (pid == 0) {
    if (o.die_with_parent) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
    }
    for (int target = 0; target < 3; ++target) {
      int fd = fds[target] == SpawnOptions::kDevNull ? null_fd : fds[target];
      if (fd >= 0) ::dup2(fd, target);
    }
    if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
    if (o.search_path)
      ::execvp(argv[0], argv.data());
    else
      ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (null_fd >= 0) ::close(null_fd);
  return pid;
}

bool wait_exit(pid_t pid, int* status, int timeout_ms) {
  if (timeout_ms < 0) {
    while (::waitpid(pid, status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int stop_process(pid_t pid, int grace_ms) {
  int status = 0;
  ::kill(pid, SIGTERM);
  if (wait_exit(pid, &status, grace_ms)) return status;
  ::kill(pid, SIGKILL);
  wait_exit(pid, &status);
  return status;
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return "signal " + std::to_string(WTERMSIG(status));
}

std::string self_dir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string s(buf);
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? "." : s.substr(0, slash);
}

bool CaptureResult::exited_ok() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

CaptureResult run_capture(const std::vector<std::string>& argv, std::string_view input,
                          const std::string& cwd) {
  int in_p[2], out_p[2], err_p[2];
  if (::pipe2(in_p, O_CLOEXEC) || ::pipe2(out_p, O_CLOEXEC) || ::pipe2(err_p, O_CLOEXEC))
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  SpawnOptions o;
  o.argv = argv;
  o.cwd = cwd;
  o.in = in_p[0];
  o.out = out_p[1];
  o.err = err_p[1];
  std::string error;
  pid_t pid = spawn(o, &error);
  ::close(in_p[0]);
  ::close(out_p[1]);
  ::close(err_p[1]);
  if (pid < 0) {
    ::close(in_p[1]);
    ::close(out_p[0]);
    ::close(err_p[0]);
    throw std::runtime_error(error);
  }
  // A child that ends before taking all its input must not end us.
  ::signal(SIGPIPE, SIG_IGN);
  ::fcntl(in_p[1], F_SETFL, O_NONBLOCK);
  CaptureResult r;
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
  wait_exit(pid, &r.status);
  return r;
}

}  // namespace hostutil

// qivble: a BLE central for people, against a running qivsim world (see
// `qivble --help`).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "hostutil/line_socket.h"

namespace {

void usage(FILE* f) {
  std::fprintf(
      f,
      "Usage: qivble [--socket PATH] [COMMAND ...]\n"
      "\n"
      "Drives the BLE central of a running world: start the world with\n"
      "    qivsim --ble-central PATH NAME=IMAGE ...\n"
      "and give qivble the same PATH (or set QIV_BLE_SOCKET). Each COMMAND is one\n"
      "command line; without any, qivble reads command lines from its input.\n"
      "Every reply ends with OK or ERROR; qivble stops at the first ERROR of its\n"
      "COMMAND arguments (exit status 1), and when the world ends.\n"
      "\n"
      "Commands (time is the world's virtual time):\n"
      "  scan [SECONDS]            scan actively (default 2 s) and list what advertises\n"
      "                            (with the names its advertising data carries)\n"
      "  connect ADDRESS           connect (C0:11:22:33:44:55), exchange MTU 247, discover\n"
      "  disconnect                end the link (prints the reason, named)\n"
      "  chars                     the characteristics found\n"
      "  mtu N                     exchange the ATT MTU\n"
      "  read HANDLE               read a value\n"
      "  write HANDLE HEX          write with response\n"
      "  send HANDLE HEX           write without response\n"
      "  subscribe HANDLE          enable notifications of a characteristic\n"
      "  notifications             print and forget the notifications received\n"
      "  at TEXT                   TEXT and CR LF to the serial service; print its answer\n"
      "                            (until its OK or ERROR, or a second of silence)\n"
      "  pair PASSKEY              pair with a passkey\n"
      "  update FILE               send FILE through the firmware-update service\n"
      "  wait SECONDS              let the world run\n"
      "\n"
      "Example:\n"
      "    qivble --socket /tmp/ble.sock 'scan 2' 'connect C0:11:22:33:44:55' 'at AT'\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = std::getenv("QIV_BLE_SOCKET") ? std::getenv("QIV_BLE_SOCKET") : "";
  std::vector<std::string> commands;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    }
    if (a == "--socket") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qivble: --socket needs a path\n");
        return 2;
      }
      path = argv[++i];
      continue;
    }
    commands.push_back(a);
  }
  if (path.empty()) {
    std::fprintf(stderr,
                 "qivble: no socket: give --socket PATH or set QIV_BLE_SOCKET to the PATH of\n"
                 "qivsim --ble-central PATH (see --help)\n");
    return 2;
  }
  std::string error;
  int fd = hostutil::connect_line_socket(path, &error);
  if (fd < 0) {
    std::fprintf(stderr, "qivble: %s (is qivsim running with --ble-central?)\n", error.c_str());
    return 2;
  }
  std::string buffered;
  int rc = 0;
  // False on ERROR; the end of the world ends qivble, also when it reads
  // its commands from its input.
  auto one = [&](const std::string& line) {
    hostutil::Reply r = hostutil::exchange(fd, line, buffered, stdout);
    if (r == hostutil::Reply::kGone) {
      std::fprintf(stderr, "qivble: the world has ended\n");
      ::close(fd);
      std::exit(1);
    }
    return r == hostutil::Reply::kOk;
  };
  if (!commands.empty()) {
    for (const std::string& c : commands)
      if (!one(c)) {
        rc = 1;
        break;
      }
  } else {
    // Command lines from the input, while watching the socket too: a person
    // at the prompt learns at once that the world has ended.
    std::string input;
    for (bool eof = false; !eof;) {
      size_t eol;
      while ((eol = input.find('\n')) != std::string::npos) {
        std::string line = input.substr(0, eol);
        input.erase(0, eol + 1);
        if (!one(line)) rc = 1;
      }
      pollfd fds[2] = {{0, POLLIN, 0}, {fd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) {
        char c;
        if (::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0 ||
            (fds[1].revents & (POLLHUP | POLLERR))) {
          std::fprintf(stderr, "qivble: the world has ended\n");
          ::close(fd);
          return 1;
        }
      }
      if (fds[0].revents) {
        char buf[1024];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0) {
          eof = true;
          if (!input.empty() && !one(input)) rc = 1;
        } else {
          input.append(buf, static_cast<size_t>(n));
        }
      }
    }
  }
  ::close(fd);
  return rc;
}

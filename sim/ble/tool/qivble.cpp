// qivble: a BLE central for people, against a running qivsim world (see
// `qivble --help`).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

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
      "COMMAND arguments (exit status 1).\n"
      "\n"
      "Commands (time is the world's virtual time):\n"
      "  scan [SECONDS]            scan actively (default 2 s) and list what advertises\n"
      "  connect ADDRESS           connect (C0:11:22:33:44:55), exchange MTU 247, discover\n"
      "  disconnect                end the link\n"
      "  chars                     the characteristics found\n"
      "  mtu N                     exchange the ATT MTU\n"
      "  read HANDLE               read a value\n"
      "  write HANDLE HEX          write with response\n"
      "  send HANDLE HEX           write without response\n"
      "  subscribe HANDLE          enable notifications of a characteristic\n"
      "  notifications             print and forget the notifications received\n"
      "  at TEXT                   TEXT and CR LF to the serial service; print its answer\n"
      "  pair PASSKEY              pair with a passkey\n"
      "  update FILE               send FILE through the firmware-update service\n"
      "  wait SECONDS              let the world run\n"
      "\n"
      "Example:\n"
      "    qivble --socket /tmp/ble.sock 'scan 2' 'connect C0:11:22:33:44:55' 'at AT'\n");
}

// Sends one command line and prints the reply; false on ERROR or a lost link.
bool exchange(int fd, const std::string& line, std::string& buffered) {
  std::string out = line + "\n";
  if (::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
    std::fprintf(stderr, "qivble: the world has gone\n");
    return false;
  }
  for (;;) {
    size_t eol;
    while ((eol = buffered.find('\n')) != std::string::npos) {
      std::string l = buffered.substr(0, eol);
      buffered.erase(0, eol + 1);
      std::printf("%s\n", l.c_str());
      std::fflush(stdout);
      if (l == "OK") return true;
      if (l.rfind("ERROR", 0) == 0) return false;
    }
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      std::fprintf(stderr, "qivble: the world has gone\n");
      return false;
    }
    buffered.append(buf, static_cast<size_t>(n));
  }
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
    usage(stderr);
    return 2;
  }
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    std::fprintf(stderr, "qivble: socket path too long\n");
    return 2;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "qivble: cannot reach %s: %s (is qivsim running with --ble-central?)\n",
                 path.c_str(), std::strerror(errno));
    return 2;
  }
  std::string buffered;
  int rc = 0;
  if (!commands.empty()) {
    for (const std::string& c : commands)
      if (!exchange(fd, c, buffered)) {
        rc = 1;
        break;
      }
  } else {
    for (std::string line; std::getline(std::cin, line);)
      if (!exchange(fd, line, buffered)) rc = 1;
  }
  ::close(fd);
  return rc;
}

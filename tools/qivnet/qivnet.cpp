// qivnet: the test network of a running qivsim world, driven by a person or
// a script (see `qivnet --help`).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "hostutil/line_socket.h"
#include "network/control.h"

namespace {

void usage(FILE* f) {
  std::fprintf(f,
               "Usage: qivnet [--socket PATH] [COMMAND ...]\n"
               "\n"
               "Drives the test network (gateway and network server) of a running world:\n"
               "start the world with\n"
               "    qivsim --network FILE --network-socket PATH NAME=IMAGE ...\n"
               "and give qivnet the same PATH (or set QIV_NET_SOCKET). Each COMMAND is one\n"
               "command line; without any, qivnet reads command lines from its input.\n"
               "Every reply ends with a line OK or ERROR <why>; qivnet stops at the first\n"
               "ERROR of its COMMAND arguments (exit status 1). Several qivnet may be\n"
               "connected at once (one following the frames, one queuing downlinks).\n"
               "\n"
               "Commands (times are the world's virtual time):\n");
  for (const std::string& h : sim::network::NetworkControl::help())
    std::fprintf(f, "  %s\n", h.c_str());
  std::fprintf(f,
               "\n"
               "Example: a certification step, then a multicast downlink at 120 s\n"
               "    qivnet --socket /tmp/net.sock 'downlink a 224 00' 'wait-sent a' \\\n"
               "        'wait-uplink a 224'\n"
               "    qivnet --socket /tmp/net.sock 'downlink group1 7 CAFE at 120s'\n"
               "    qivnet --socket /tmp/net.sock follow\n");
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("QIV_NET_SOCKET");
  std::string path = env ? env : "";
  std::vector<std::string> commands;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    }
    if (a == "--socket") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qivnet: --socket needs a path\n");
        return 2;
      }
      path = argv[++i];
      continue;
    }
    if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "qivnet: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
    commands.push_back(a);
  }
  if (path.empty()) {
    std::fprintf(stderr,
                 "qivnet: no socket: give --socket PATH or set QIV_NET_SOCKET to the PATH of\n"
                 "qivsim --network-socket PATH (see --help)\n");
    return 2;
  }
  std::string error;
  int fd = hostutil::connect_line_socket(path, &error);
  if (fd < 0) {
    std::fprintf(stderr, "qivnet: %s (is qivsim running with --network-socket?)\n", error.c_str());
    return 2;
  }
  std::string buffered;
  int rc = 0;
  auto one = [&](const std::string& line) {
    hostutil::Reply r = hostutil::exchange(fd, line, buffered, stdout);
    if (r == hostutil::Reply::kGone) {
      std::fprintf(stderr, "qivnet: the world has ended\n");
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
    for (std::string line; std::getline(std::cin, line);)
      if (!one(line)) rc = 1;
  }
  ::close(fd);
  return rc;
}

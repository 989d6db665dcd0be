// Text commands over a Unix socket, one per line: the service side that a
// world polls between its steps (the BLE central, the test network), and
// the tool side that sends command lines and prints the replies. A reply
// is any number of lines ending with a line "OK" or "ERROR <why>".
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace hostutil {

class LineServer {
 public:
  LineServer() = default;
  ~LineServer();
  LineServer(const LineServer&) = delete;
  LineServer& operator=(const LineServer&) = delete;

  // Listens on `path` (replaced if it exists; removed again at the end).
  // False with a reason when it cannot.
  bool listen(const std::string& path, std::string* error);
  bool listening() const { return listen_fd_ >= 0; }
  const std::string& path() const { return path_; }

  // Takes new tools in and hands each complete line (without its line end)
  // to `on_line` with the number of the tool that sent it; `on_gone` hears
  // of tools that have closed their end. Never blocks.
  void poll(const std::function<void(int client, const std::string& line)>& on_line,
            const std::function<void(int client)>& on_gone = {});
  // One line to a tool (a line end is added); false when it has gone.
  bool send(int client, const std::string& line);
  bool connected(int client) const { return clients_.count(client) != 0; }

 private:
  struct Client {
    int fd;
    std::string in;
  };
  void drop(int client);
  int listen_fd_ = -1;
  std::string path_;
  int next_id_ = 1;
  std::map<int, Client> clients_;
};

// The tool's side. Connects to the service at `path`; -1 with a reason.
int connect_line_socket(const std::string& path, std::string* error);

enum class Reply { kOk, kError, kGone };
// Sends `line`, writes each reply line to `out` (with a line end) until
// the closing OK or ERROR line, which is written too. `buffered` keeps
// what came after that line for the next exchange.
Reply exchange(int fd, const std::string& line, std::string& buffered, FILE* out);

}  // namespace hostutil

// Child processes of host programs: starting one with its standard streams
// where the caller wants them, waiting for it with a time limit, stopping
// it, and running one to its end with its output collected.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace hostutil {

struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0]: the program
  bool search_path = false;       // look argv[0] up in $PATH (else a path)
  std::string cwd;                // "" : the caller's
  // File descriptors for the child's stdin, stdout and stderr; kInherit
  // keeps the caller's, kDevNull reads nothing / writes nowhere.
  int in = kInherit, out = kInherit, err = kInherit;
  // The child is killed when the caller ends (no process outlives a test
  // or a world that crashed).
  bool die_with_parent = true;

  static constexpr int kInherit = -1;
  static constexpr int kDevNull = -2;
};

// Starts the child; returns its pid, or -1 with the reason in *error. A
// program that cannot be executed ends the child with status 127 (126: no
// such working directory).
pid_t spawn(const SpawnOptions& options, std::string* error);

// Waits up to `timeout_ms` (negative: for ever) for the child to end; true
// with its waitpid status in *status when it did.
bool wait_exit(pid_t pid, int* status, int timeout_ms = -1);

// Asks the child to end (SIGTERM), waits up to `grace_ms`, then kills it
// (SIGKILL). Returns its waitpid status.
int stop_process(pid_t pid, int grace_ms);

// "exit status N" or "signal N".
std::string describe_status(int status);

// The directory of the running program (for programs that sit next to it).
std::string self_dir();

// A program run to its end with `input` on its stdin (closed after it).
struct CaptureResult {
  std::string out;
  std::string err;
  int status = -1;         // waitpid status
  bool exited_ok() const;  // exited with status 0
};
// Throws std::runtime_error when the program cannot be started.
CaptureResult run_capture(const std::vector<std::string>& argv, std::string_view input,
                          const std::string& cwd = "");

}  // namespace hostutil

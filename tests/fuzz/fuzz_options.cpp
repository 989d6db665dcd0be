// Defaults of every fuzz target, for the user-mode emulator that runs 32-bit
// programs on some machines as well as for a native run.
//
// Sanitizers:
// - No leak check: it stops the process's threads through ptrace, which the
//   emulator does not provide, so the target would hang at exit. The code
//   under test allocates nothing on the heap.
// - A small quarantine of freed blocks: the stand-ins allocate on every
//   input, and under the emulator a 32-bit process with the sanitizer's
//   shadow runs out of address space long before the default quarantine is
//   full.
//
// libFuzzer's command line (LLVMFuzzerInitialize may add to it):
// - -rss_limit_mb=0 unless given: no memory-watch thread. Under the emulator
//   a second thread can make the main thread see the other's thread data,
//   and the sanitizer then unpoisons the wrong stack when the code under test
//   leaves functions through longjmp or exceptions (a reset of a stand-in
//   chip), and reports stale stack poison as errors.
// - The files of every corpus folder on the command line, as seed inputs:
//   the 32-bit directory listing of libFuzzer's runtime fails under the
//   emulator on file systems with 64-bit directory offsets. This file lists
//   them with 64-bit offsets. Where the runtime lists them too, inputs are
//   only run twice.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" const char *__asan_default_options(void) {
  return "detect_leaks=0:quarantine_size_mb=16";
}

extern "C" const char *__ubsan_default_options(void) { return "print_stacktrace=1"; }

namespace {

bool is_dir(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
  static std::vector<std::string> added;
  static std::vector<char *> args;
  bool rss_given = false;
  bool seeds_given = false;
  std::string seeds;
  for (int i = 1; i < *argc; ++i) {
    const char *a = (*argv)[i];
    rss_given = rss_given || strncmp(a, "-rss_limit_mb=", 14) == 0;
    seeds_given = seeds_given || strncmp(a, "-seed_inputs=", 13) == 0;
    if (a[0] == '-' || !is_dir(a)) {
      continue;
    }
    if (DIR *d = opendir(a)) {
      while (const dirent *e = readdir(d)) {
        std::string path = std::string(a) + "/" + e->d_name;
        if (e->d_name[0] != '.' && !is_dir(path.c_str())) {
          seeds += (seeds.empty() ? "" : ",") + path;
        }
      }
      closedir(d);
    }
  }
  if (!rss_given) {
    added.push_back("-rss_limit_mb=0");
  }
  if (!seeds_given && !seeds.empty()) {
    added.push_back("-seed_inputs=" + seeds);
  }
  args.assign(*argv, *argv + *argc);
  for (std::string &s : added) {
    args.push_back(s.data());
  }
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
  return 0;
}

// Temporary directories for worlds, tests and tools.
#pragma once

#include <string>

namespace hostutil {

// Makes a new, empty directory "<base>/<stem>-XXXXXX" and returns its path.
// `base` "": $TMPDIR, else /tmp. Throws std::runtime_error when it cannot.
std::string make_temp_dir(const std::string& stem, const std::string& base = "");

// A temporary directory removed with everything in it at the end, unless
// keep() was called (to look at it after a failure).
class TempDir {
 public:
  explicit TempDir(const std::string& stem, const std::string& base = "")
      : path_(make_temp_dir(stem, base)) {}
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  void keep() { keep_ = true; }
  bool kept() const { return keep_; }

 private:
  std::string path_;
  bool keep_ = false;
};

}  // namespace hostutil

#include "hostutil/tempdir.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace hostutil {

std::string make_temp_dir(const std::string& stem, const std::string& base) {
  std::string dir = base;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  std::string templ = dir + "/" + stem + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data()))
    throw std::runtime_error("cannot make a directory " + templ + ": " + std::strerror(errno));
  return buf.data();
}

TempDir::~TempDir() {
  if (keep_) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace hostutil

// qiv-appfile: makes and checks the application files of the STM32WLE5
// application images: the file the bootloader receives by YMODEM and
// programs at 0x08006000, standing for the image on the simulated chip (the
// format is stm32_appfile.h, read by the chip when the bootloader jumps).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "stm32_appfile.h"

namespace {

void usage(FILE* f) {
  std::fprintf(f,
               "usage: qiv-appfile make --image NAME [--size BYTES] -o FILE\n"
               "       qiv-appfile check FILE\n"
               "\n"
               "make   writes the application file of image NAME (the program name, e.g.\n"
               "       brisola-t): BYTES long, %u..%u (default %u), decimal or 0x-hex.\n"
               "check  verifies a file and prints: <image name> <length> <crc32>\n",
               static_cast<unsigned>(sizeof(stm32sim::AppHeader)),
               static_cast<unsigned>(stm32sim::kAppAreaSize),
               static_cast<unsigned>(stm32sim::kAppDefaultLength));
}

// Program names: lower-case letters, digits and '-', as the build names them.
bool valid_name(const std::string& name) {
  if (name.empty() || name.size() >= sizeof(stm32sim::AppHeader{}.name)) return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

bool parse_size(const char* text, uint32_t* out) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull)
    return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

int make(int argc, char** argv) {
  std::string image, output;
  uint32_t size = stm32sim::kAppDefaultLength;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--image" && i + 1 < argc) {
      image = argv[++i];
    } else if (a == "--size" && i + 1 < argc) {
      if (!parse_size(argv[++i], &size)) {
        std::fprintf(stderr, "qiv-appfile: bad size '%s'\n", argv[i]);
        return 2;
      }
    } else if (a == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (image.empty() || output.empty()) {
    usage(stderr);
    return 2;
  }
  if (!valid_name(image)) {
    std::fprintf(stderr, "qiv-appfile: bad image name '%s'\n", image.c_str());
    return 2;
  }
  if (size < sizeof(stm32sim::AppHeader) || size > stm32sim::kAppAreaSize) {
    std::fprintf(stderr, "qiv-appfile: size %u out of range\n", static_cast<unsigned>(size));
    return 2;
  }
  std::vector<uint8_t> file = stm32sim::make_app_file(image, size);
  std::string tmp = output + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    if (!out) {
      std::fprintf(stderr, "qiv-appfile: cannot write %s\n", tmp.c_str());
      return 1;
    }
  }
  if (std::rename(tmp.c_str(), output.c_str()) != 0) {
    std::fprintf(stderr, "qiv-appfile: cannot rename to %s: %s\n", output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  return 0;
}

int check(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "qiv-appfile: cannot read %s\n", path);
    return 1;
  }
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string name = stm32sim::app_file_program(data.data(), data.size());
  if (name.empty()) {
    std::fprintf(stderr, "qiv-appfile: %s: not a valid application file\n", path);
    return 1;
  }
  stm32sim::AppHeader h;
  std::memcpy(&h, data.data(), sizeof h);
  std::printf("%s %u %08x\n", name.c_str(), static_cast<unsigned>(h.length),
              static_cast<unsigned>(h.crc32));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "make") == 0) return make(argc - 2, argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "check") == 0) return check(argv[2]);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  usage(stderr);
  return 2;
}

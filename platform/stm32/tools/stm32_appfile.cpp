// Writes the application file of an STM32WLE5 image (stm32_appfile.h):
//   stm32-appfile <program-name> <output-file> [length]
#include <cstdio>
#include <cstdlib>

#include "stm32_appfile.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s <program-name> <output-file> [length]\n", argv[0]);
    return 2;
  }
  uint32_t length = stm32sim::kAppDefaultLength;
  if (argc == 4) length = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0));
  std::vector<uint8_t> file = stm32sim::make_app_file(argv[1], length);
  FILE* f = std::fopen(argv[2], "wb");
  if (!f || std::fwrite(file.data(), 1, file.size(), f) != file.size() || std::fclose(f) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}

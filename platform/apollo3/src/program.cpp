// The host program of an Apollo3 image: what the launcher needs to know of
// it and how it starts (the external bootloader's check of its update flag,
// its install step, then the reset vector of the image's table).
#include "am_mcu_apollo.h"
#include "apollo3_sim.h"
#include "sim/sim.h"

#if !defined(QIV_IMAGE_NAME) || !defined(QIV_CONSOLE_PORT)
#error "QIV_IMAGE_NAME names the program, QIV_CONSOLE_PORT its terminal's UART"
#endif

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info{QIV_IMAGE_NAME, QIV_CONSOLE_PORT,
                                FlashGeometry{0x00000000u, 1024u * 1024u, 8192u, 4u},
                                "0: UART0 (pads 39/40, the AT port)\n"
                                "1: UART1 (pads 42/43)"};
  return info;
}

void program_start() {
  apollo3sim::reset_platform();
  apollo3sim::map_flash();
  const uint8_t* flag = sim::flash_data() + apollo3sim::kBootloaderFlagAddr;
  if (*flag == apollo3sim::kBootloaderFlagUpdate) {
    // The external bootloader owns the device now; its update protocol is
    // outside this system.
    sim::log("bootloader: update mode (0x%02X at 0x%05X); the application does not start", *flag,
             apollo3sim::kBootloaderFlagAddr);
    sim::halt();
  }
  // The host runs this program whatever image the application area holds;
  // the bytes there are what the install step checks and replaces.
  const apollo3sim::InstallResult r =
      apollo3sim::bootloader_start("factory application: " QIV_IMAGE_NAME);
  if (r.installed)
    sim::log("bootloader: installed the image staged at 0x%05X", r.installed);
  else if (r.refused)
    sim::log("bootloader: a registered image failed its check; the application stays");
  if (!r.app_valid) {
    sim::log("bootloader: no whole application at 0x%05X; the module does not start",
             apollo3sim::kAppBase);
    sim::halt();
  }
  apollo3sim::install_vectors();
  g_am_pfnVectors[1]();
  // A reset handler that returns leaves the core spinning.
  sim::halt();
}

}  // namespace sim

// The host program of one nRF52840 image: what the launcher needs to know of
// it and how it starts. Out of reset the MBR hands over to the DFU
// bootloader when GPREGRET asks for update mode, else to the application's
// reset vector.
#include "nrf52840_sim.h"
#include "nrf_soc.h"
#include "qiv_products.h"
#include "sim/sim.h"

#if !defined(QIV_IMAGE_NAME) || !defined(QIV_CONSOLE_PORT)
#error "QIV_IMAGE_NAME names the program, QIV_CONSOLE_PORT its terminal's UART"
#endif

extern "C" void Reset_Handler(void);

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info{
      QIV_IMAGE_NAME, QIV_CONSOLE_PORT,
      FlashGeometry{QIV_NRF52840_FLASH_BASE, QIV_NRF52840_FLASH_SIZE, QIV_NRF52840_FLASH_PAGE_SIZE,
                    QIV_NRF52840_FLASH_WRITE_UNIT},
      "0: UART0 (UARTE0, TX P0.20 / RX P0.19, the AT port)\n"
      "1: UART1 (UARTE1, TX P0.16 / RX P0.15)\n"
      "3: USB0 (the USB CDC-ACM serial port; see --usb-host, --usb-event)"};
  return info;
}

void program_start() {
  nrfsim::reset_platform();
  if (nrfsim::gpregret() == BOOTLOADER_DFU_START) {
    // The DFU bootloader waits for an update, which nothing here sends.
    sim::log("DFU bootloader: update mode (GPREGRET 0x%02x), waiting for an update",
             nrfsim::gpregret());
    sim::halt();
  }
  Reset_Handler();
  sim::halt();
}

}  // namespace sim

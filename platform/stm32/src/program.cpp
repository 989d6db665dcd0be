// The host program of one STM32WLE5 image: what the launcher needs to know
// of it and how it starts (from the reset vector of the image's table).
#include "qiv_products.h"
#include "sim/sim.h"
#include "stm32_sim.h"
#include "stm32wl_cmsis.h"

#if !defined(QIV_IMAGE_NAME) || !defined(QIV_CONSOLE_PORT)
#error "QIV_IMAGE_NAME names the program, QIV_CONSOLE_PORT its terminal's UART"
#endif
#ifndef STM32_PORT_HELP
#define STM32_PORT_HELP            \
  "1: UART1 (USART1 on PB6/PB7)\n" \
  "2: UART2 (LPUART1 on PA2/PA3, the AT port)"
#endif

// The board's band strap, read at start.
#ifdef QIV_BOARD_BAND_STRAP
#define STM32_PIN_HELP                            \
  "PB12 is the band strap: 1 makes a high-band\n" \
  "(868 MHz) module, 0 a low-band (470 MHz) one."
#else
#define STM32_PIN_HELP nullptr
#endif

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info{
      QIV_IMAGE_NAME, QIV_CONSOLE_PORT,
      FlashGeometry{QIV_STM32WLE5_FLASH_BASE, QIV_STM32WLE5_FLASH_SIZE,
                    QIV_STM32WLE5_FLASH_PAGE_SIZE, QIV_STM32WLE5_FLASH_WRITE_UNIT},
      STM32_PORT_HELP, STM32_PIN_HELP};
  return info;
}

void program_start() {
  stm32sim::reset_platform();
  stm32sim::install_vectors();
  g_vector_table[1]();
  // A reset handler that returns leaves the core spinning.
  sim::halt();
}

}  // namespace sim

// The four STM32WLE5 boards.
#include "qiv_board.h"

#include "stm32wl_hal.h"

namespace {

enum BoardIndex {
  BOARD_BRISOLA_T,
  BOARD_BRISOLA_E,
  BOARD_QUENLARLP_SIP,
  BOARD_SAFFROND,
};

const qiv_board_t boards[] = {
    // model         banner H        banner L        strap  gpioC  cli2   drain2 swap-pin          ctrl1              ctrl2               tx1 tx2 conf tcxo  mV    batt
    {"Brisola-T", "BrisolaT-H ", "BrisolaT-L ", true, false, false, false, QIV_PIN('B', 7),
     QIV_PIN('B', 8), QIV_PIN('C', 13), 0, 1, 2, true, 3000, 13},
    {"Brisola-E", "Brisola-H ", "Brisola-L ", true, false, false, false, QIV_PIN('B', 7),
     QIV_PIN('B', 8), QIV_PIN('C', 13), 0, 1, 2, false, 0, 13},
    {"QuenlarLP-SiP", nullptr, nullptr, false, true, false, false, QIV_PIN('B', 6), QIV_PIN('A', 0),
     QIV_PIN('A', 1), 0, 1, 1, true, 3000, 13},
    {"Saffrond", nullptr, nullptr, false, false, true, true, QIV_PIN('B', 7), QIV_PIN('B', 8),
     QIV_PIN('C', 13), 1, 1, 2, true, 1800, 13},
};

#if defined(QIV_BOARD_BRISOLA_T)
constexpr BoardIndex this_board = BOARD_BRISOLA_T;
#elif defined(QIV_BOARD_BRISOLA_E)
constexpr BoardIndex this_board = BOARD_BRISOLA_E;
#elif defined(QIV_BOARD_QUENLARLP_SIP)
constexpr BoardIndex this_board = BOARD_QUENLARLP_SIP;
#elif defined(QIV_BOARD_SAFFROND)
constexpr BoardIndex this_board = BOARD_SAFFROND;
#else
#error "the image names its board (QIV_BOARD_...)"
#endif

}  // namespace

const qiv_board_t &qiv_board = boards[this_board];

#ifdef QIV_BOARD_BAND_STRAP
uint8_t BoardGetHardwareFreq(void) {
  __HAL_RCC_GPIOB_CLK_ENABLE();
  GPIO_InitTypeDef init = {};
  init.Pin = GPIO_PIN_12;
  init.Mode = GPIO_MODE_INPUT;
  init.Pull = GPIO_NOPULL;
  HAL_GPIO_Init(GPIOB, &init);
  uint8_t level = HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_12) == GPIO_PIN_SET ? 1 : 0;
  HAL_GPIO_DeInit(GPIOB, GPIO_PIN_12);
  return level;
}
#endif

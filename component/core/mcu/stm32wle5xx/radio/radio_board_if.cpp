// Board radio interface: the RF switch pins, TX path, TCXO and DC-DC of the
// image's board (its row in qiv_board).
#include "radio_board_if.h"

#include "qiv_board.h"
#include "radio_conf.h"
#include "stm32wl_hal.h"

namespace {

GPIO_TypeDef* port_of(uint8_t pin) {
  switch (pin / 16) {
    case 0:
      return GPIOA;
    case 1:
      return GPIOB;
    default:
      return GPIOC;
  }
}

uint16_t mask_of(uint8_t pin) { return (uint16_t)(1u << (pin % 16)); }

void clock_on(uint8_t pin) {
  switch (pin / 16) {
    case 0:
      __HAL_RCC_GPIOA_CLK_ENABLE();
      break;
    case 1:
      __HAL_RCC_GPIOB_CLK_ENABLE();
      break;
    default:
      __HAL_RCC_GPIOC_CLK_ENABLE();
      break;
  }
}

void drive(uint8_t pin, uint8_t level) {
  HAL_GPIO_WritePin(port_of(pin), mask_of(pin), level ? GPIO_PIN_SET : GPIO_PIN_RESET);
}

}  // namespace

int32_t RBI_Init(void) {
  const uint8_t ctrl1 = qiv_board.rf_ctrl1_pin;
  const uint8_t ctrl2 = qiv_board.rf_ctrl2_pin;
  clock_on(ctrl1);
  clock_on(ctrl2);
  GPIO_InitTypeDef init = {};
  init.Mode = GPIO_MODE_OUTPUT_PP;
  init.Pull = GPIO_NOPULL;
  init.Speed = GPIO_SPEED_FREQ_VERY_HIGH;
  init.Pin = mask_of(ctrl1);
  HAL_GPIO_Init(port_of(ctrl1), &init);
  init.Pin = mask_of(ctrl2);
  HAL_GPIO_Init(port_of(ctrl2), &init);
  drive(ctrl2, 0);
  drive(ctrl1, 0);
  return 0;
}

int32_t RBI_DeInit(void) {
  drive(qiv_board.rf_ctrl2_pin, 0);
  drive(qiv_board.rf_ctrl1_pin, 0);
  return 0;
}

int32_t RBI_ConfigRFSwitch(RBI_Switch_TypeDef Config) {
  uint8_t c1, c2;
  switch (Config) {
    case RBI_SWITCH_OFF:
      c1 = 0;
      c2 = 0;
      break;
    case RBI_SWITCH_RX:
      c1 = 1;
      c2 = 0;
      break;
    case RBI_SWITCH_RFO_LP:
    case RBI_SWITCH_RFO_HP:
      c1 = qiv_board.rf_tx_ctrl1;
      c2 = qiv_board.rf_tx_ctrl2;
      break;
    default:
      return 0;  // nothing changes
  }
  drive(qiv_board.rf_ctrl1_pin, c1);
  drive(qiv_board.rf_ctrl2_pin, c2);
  return 0;
}

int32_t RBI_GetTxConfig(void) { return qiv_board.rf_tx_config; }

int32_t RBI_IsTCXO(void) { return qiv_board.tcxo ? 1 : 0; }

int32_t RBI_IsDCDC(void) { return 1; }

uint8_t qiv_radio_tcxo_voltage(void) {
  // TCXO_CTRL_1_6V 0 ... 3_3V 7 in the radio's steps.
  static const uint16_t millivolts[8] = {1600, 1700, 1800, 2200, 2400, 2700, 3000, 3300};
  for (uint8_t code = 0; code < 8; code++) {
    if (millivolts[code] == qiv_board.tcxo_millivolts) {
      return code;
    }
  }
  return 0;
}

// Board radio interface of the STM32WLE5 boards: the RF switch, the TX path,
// the TCXO and the DC-DC converter, as the sub-GHz radio driver asks for them.
#pragma once

#include <stdint.h>

typedef enum {
  RBI_SWITCH_OFF = 0,
  RBI_SWITCH_RX = 1,
  RBI_SWITCH_RFO_LP = 2,
  RBI_SWITCH_RFO_HP = 3,
} RBI_Switch_TypeDef;

#define RBI_CONF_RFO_LP_HP 0
#define RBI_CONF_RFO_LP 1
#define RBI_CONF_RFO_HP 2

int32_t RBI_Init(void);
int32_t RBI_DeInit(void);
int32_t RBI_ConfigRFSwitch(RBI_Switch_TypeDef Config);
int32_t RBI_GetTxConfig(void);
int32_t RBI_IsTCXO(void);
int32_t RBI_IsDCDC(void);

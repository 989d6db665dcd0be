// Radio constants of the image's board, read by the sub-GHz radio driver at
// its initialisation.
#pragma once

#include <stdint.h>

// TCXO start-up time in ms (programmed as 64 units of 15.625 us per ms).
#define RF_WAKEUP_TIME 1U
// Crystal trim of the boards without a TCXO.
#define XTAL_DEFAULT_CAP_VALUE 0x10U
// The TCXO supply voltage code of the board (TCXO_CTRL_1_8V 2, 3_0V 6).
#define TCXO_CTRL_VOLTAGE qiv_radio_tcxo_voltage()

uint8_t qiv_radio_tcxo_voltage(void);

// The STM32WLE5 boards as data: one row per module. An image is built for
// one board (QIV_BOARD_BRISOLA_T, QIV_BOARD_BRISOLA_E, QIV_BOARD_QUENLARLP_SIP
// or QIV_BOARD_SAFFROND) and reads its row through qiv_board.
#pragma once

#include <stdint.h>

// A pin as the port numbers it: 16 x port + line (A 0..15, B 16..31, C 32..47).
#define QIV_PIN(port, line) ((uint8_t)(16 * ((port) - 'A') + (line)))

typedef struct {
  const char *model;  // "Brisola-T"
  // Start-up (8.101 variants).
  const char *banner_high;   // debug banner on a high-band module; null: no banner
  const char *banner_low;    // debug banner on a low-band module
  bool band_strap;           // PB12 tells the high/low band hardware
  bool gpioc_clock_at_init;  // qiv_init enables the GPIOC clock
  bool cli_on_uart2_only;    // the line editor starts on UART2 only
  bool drain_uart2_only;     // the dispatcher reads UART2 only
  // Serial ports.
  uint8_t uart1_one_wire_swap_pin;  // the line of UART1 in wire mode 2
  // Board radio interface.
  uint8_t rf_ctrl1_pin;
  uint8_t rf_ctrl2_pin;
  uint8_t rf_tx_ctrl1;   // CTRL1 level while transmitting
  uint8_t rf_tx_ctrl2;   // CTRL2 level while transmitting
  uint8_t rf_tx_config;  // RBI_CONF_RFO_LP_HP 0, RBI_CONF_RFO_LP 1, RBI_CONF_RFO_HP 2
  bool tcxo;
  uint16_t tcxo_millivolts;  // 0 without a TCXO
  // Battery service.
  uint8_t batt_table_rows;
} qiv_board_t;

// The row of the board this image is built for.
extern const qiv_board_t &qiv_board;

#ifdef QIV_BOARD_BAND_STRAP
// Reads the band strap (PB12): 1 on a high-band module ("-H"), 0 on a
// low-band module ("-L").
uint8_t BoardGetHardwareFreq(void);
#endif

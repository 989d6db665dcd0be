// The cellular tracker board: its modem's power and status lines, the
// modem link on UART1, the keep-modem-on window and the pass-through
// command to the modem.
#pragma once

#include <stdint.h>

#include "service_mode_cli.h"
#include "udrv_serial.h"

// Modem lines (port * 32 + pin).
#define BG96_STATUS_PIN 31u           // P0.31, input: high while the modem is on
#define BG96_PWRKEY_PIN 2u            // P0.02, output: high presses the power key
#define BG96_RESET_PIN 28u            // P0.28, output, driven low
#define BG96_AP_READY_PIN 29u         // P0.29, output, driven high
#define BG96_POWER_EN_PIN (32u + 7u)  // P1.07, output: high while powered
#define BG96_LEVEL_EN_PIN (32u + 9u)  // P1.09, output: high while powered

// The modem link.
#define BG96_UART_BAUDRATE 115200u

// A modem that does not come on is given this many power-up attempts, each
// with its full status poll window; start-up (and a wake) then goes on with
// the modem reported off.
#define BG96_POWERUP_ATTEMPTS 3u
#define BG96_POLLS_PER_ATTEMPT 12u

extern volatile bool keep_bg96_on;
extern bool cellular_parser_enable;

void Gsm_Gpio_Init(void);
void Gsm_Init(void);
// Powers the modem up; true once STATUS reads high, false when every attempt
// failed.
bool Gsm_PowerUp(void);
// The power-off sequence: a 1000 ms key press, the lines back to default.
void Gsm_PowerOff(void);
uint8_t get_bg96_status(void);

// The modem status check of the main loop.
void vostrel_modem_check(void);
// The end of the keep-modem-on window (timer interrupt).
void qiv_user_application_timer_handler(void *data);

// The pass-through command's row handler and the raw upload mode's byte
// handler (USB bytes while `cellular_parser_enable` is set).
int At_Cellular(SERIAL_PORT port, char *cmd, stParam *param);
void service_mode_cli_cellular_handler(SERIAL_PORT port, uint8_t ch);

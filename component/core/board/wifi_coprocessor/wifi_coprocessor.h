// The Wi-Fi co-processor beside the LoRa radio: it is powered through its
// enable pin (CHIP_EN) and speaks its own AT command language on UART1
// (SERIAL_ESP32C2). The host port (UART2) is in one of two AT modes: in the
// LoRa AT mode its lines go to the module's own AT interpreter; in the ESP AT
// mode they are passed through to the co-processor, whose output is copied
// back to the host, and only the lines "AT+ESP=0" and "AT+ESP=?" are taken
// out of the stream so that the host can always return.
//
// The mode and the power state live in RAM only: every start begins in the
// LoRa AT mode, and the user program powers the co-processor.
#pragma once

#include <stdint.h>

#include "service_mode_cli.h"
#include "udrv_serial.h"

// The MCU pin of the co-processor's enable input (PA0, numbered as the port
// numbers pins: 16 x port + line).
#define CHIP_EN 0

// The AT mode of the host port.
typedef enum {
  LORA_AT_MODE = 0,
  ESP_AT_MODE = 1,
} Mode;

// The state of the two modes, of the power and of the line being collected in
// the ESP AT mode.
extern uint8_t currentATMode;
// Set on every mode change; in the ESP AT mode the next LF from the host is
// then dropped (the line end that followed the command that entered it).
extern bool switchATModeFlag;
extern uint8_t currentEspPowerMode;
extern char cmd_buffer[257];
extern int32_t cmd_index;

// 0 or 1: stored (and, for the power, applied to CHIP_EN), result 0; any
// other value changes nothing and returns -1.
int32_t setCurrentATMode(uint8_t mode);
uint8_t getCurrentATMode(void);
int32_t setEspPowerMode(uint8_t mode);
uint8_t getEspPowerMode(void);

// "AT+ESP" and "AT+ESPPOWER": "?" prints "<command>=<value>"; "0" or "1" sets
// the mode or the power; anything else answers AT_PARAM_ERROR.
int At_Esp(SERIAL_PORT port, char *cmd, stParam *param);
int At_EspPower(SERIAL_PORT port, char *cmd, stParam *param);

// The dispatcher's step for serial data: the host port's bytes (to the AT
// interpreter or, in the ESP AT mode, to the line passed through), then in
// the ESP AT mode the co-processor's bytes to the host port.
void wifi_coprocessor_serial_event(void);

// The co-processor's UART rate (its factory setting); the link is opened at
// this rate whatever rate the host port is set to.
#define WIFI_COPROCESSOR_BAUDRATE 115200u

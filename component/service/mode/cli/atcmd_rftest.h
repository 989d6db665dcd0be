// The RF test commands: RSSI reading, carrier, packet error rate runs, the
// test modulation, hopping transmit runs, continuous wave and stop. Present
// in the images that link the LoRaWAN service; they work in any work mode.
#pragma once

#include "service_mode_cli.h"

#ifdef QIV_LORA_SERVICES_LINKED
int At_Trssi(SERIAL_PORT port, char *cmd, stParam *param);
int At_Ttone(SERIAL_PORT port, char *cmd, stParam *param);
int At_Ttx(SERIAL_PORT port, char *cmd, stParam *param);
int At_Trx(SERIAL_PORT port, char *cmd, stParam *param);
int At_Tconf(SERIAL_PORT port, char *cmd, stParam *param);
int At_Tth(SERIAL_PORT port, char *cmd, stParam *param);
int At_Trth(SERIAL_PORT port, char *cmd, stParam *param);
int At_Toff(SERIAL_PORT port, char *cmd, stParam *param);
int At_Cw(SERIAL_PORT port, char *cmd, stParam *param);
#endif

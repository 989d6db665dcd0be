// The band, channel-mask, single-channel and multicast commands of the
// images that link the LoRaWAN service.
#pragma once

#include "service_mode_cli.h"

#ifdef QIV_LORA_SERVICES_LINKED
int At_Mask(SERIAL_PORT port, char *cmd, stParam *param);
int At_Che(SERIAL_PORT port, char *cmd, stParam *param);
int At_Chs(SERIAL_PORT port, char *cmd, stParam *param);
int At_Band(SERIAL_PORT port, char *cmd, stParam *param);
int At_Addmulc(SERIAL_PORT port, char *cmd, stParam *param);
int At_Rmvmulc(SERIAL_PORT port, char *cmd, stParam *param);
int At_Lstmulc(SERIAL_PORT port, char *cmd, stParam *param);
#endif

// The long-packet send of the LoRaWAN service and the certification-mode
// switch. Present in the images that link the LoRaWAN service and, for the
// switch, its certification mode.
#pragma once

#include "service_mode_cli.h"

#ifdef QIV_LORA_SERVICES_LINKED
int At_Lpsend(SERIAL_PORT port, char *cmd, stParam *param);
#endif
#ifdef QIV_LORA_CERTIFICATION_LINKED
int At_Certif(SERIAL_PORT port, char *cmd, stParam *param);
#endif

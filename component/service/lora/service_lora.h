// The LoRa services: the work mode of the module, the point-to-point
// service and, where the LoRaWAN MAC is linked, the LoRaWAN service.
#pragma once

#include <stdint.h>

#include "service_lora_p2p.h"
#include "service_lora_types.h"
#if __has_include("LoRaMac.h")
#include "service_lora_longpacket.h"
#include "service_lora_lorawan.h"
#include "service_lora_channels.h"
#endif
#ifdef QIV_LORA_CERTIFICATION_LINKED
#include "service_lora_certification.h"
#endif

// The stored work mode: SERVICE_LORA_P2P, SERVICE_LORAWAN or SERVICE_LORA_FSK.
SERVICE_LORA_WORK_MODE service_lora_get_nwm(void);
// Stores the work mode, which takes effect at the next start: 0, -7 for a
// mode above SERVICE_LORA_FSK (nothing stored), or the store's error.
int32_t service_lora_set_nwm(SERVICE_LORA_WORK_MODE nwm);

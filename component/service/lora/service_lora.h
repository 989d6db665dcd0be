// The LoRa services: the work mode of the module and the point-to-point
// service. (The LoRaWAN service joins this header when its MAC is linked.)
#pragma once

#include <stdint.h>

#include "service_lora_p2p.h"
#include "service_lora_types.h"

// The stored work mode: SERVICE_LORA_P2P, SERVICE_LORAWAN or SERVICE_LORA_FSK.
SERVICE_LORA_WORK_MODE service_lora_get_nwm(void);
// Stores the work mode, which takes effect at the next start: 0, -7 for a
// mode above SERVICE_LORA_FSK (nothing stored), or the store's error.
int32_t service_lora_set_nwm(SERVICE_LORA_WORK_MODE nwm);

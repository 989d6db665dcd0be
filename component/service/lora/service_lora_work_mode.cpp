// The work mode of the LoRa services. It is only stored here: start-up reads
// it to start the LoRaWAN MAC or the point-to-point service.
#include "service_lora.h"
#include "service_nvm.h"
#include "udrv_errno.h"

SERVICE_LORA_WORK_MODE service_lora_get_nwm(void) { return service_nvm_get_nwm_from_nvm(); }

int32_t service_lora_set_nwm(SERVICE_LORA_WORK_MODE nwm) {
  if (static_cast<uint8_t>(nwm) > SERVICE_LORA_FSK) {
    return -UDRV_INTERNAL_ERR;
  }
  // A store that failed must not be reported as a changed mode: the caller
  // restarts on success.
  return service_nvm_set_nwm_to_nvm(nwm);
}

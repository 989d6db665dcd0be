// Stand-in of the LoRa service's sleep hooks for the runtime-core tests: the
// images that link the LoRaWAN service compile the power-save path with
// them, and these tests build that same path without the radio behind it.
// The service is never busy, so it never holds the chip out of deep sleep.
// (Declared here: the service's header is not on every test configuration's
// include path.)
void service_lora_suspend(void);
void service_lora_resume(void);
bool service_lora_isbusy(void);

void service_lora_suspend(void) {}
void service_lora_resume(void) {}
bool service_lora_isbusy(void) { return false; }

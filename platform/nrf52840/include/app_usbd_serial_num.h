// The USB serial-number text, made from the chip's identity.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void app_usbd_serial_num_generate(void);

#ifdef __cplusplus
}  // extern "C"
#endif

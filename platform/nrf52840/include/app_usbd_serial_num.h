// The USB serial-number text, made from the chip's identity.
#pragma once

void app_usbd_serial_num_generate(void);

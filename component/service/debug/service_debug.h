// The debug level: a stored setting that switches the image's diagnostic
// lines on (level 1) or off (any other level).
#pragma once

#include <stdint.h>

// Stores the level; returns the flash result (0 on success; callers test
// for != 0).
uint32_t service_set_debug_level(uint8_t level);
// The stored level.
uint8_t service_get_debug_level(void);

// A diagnostic line: at debug level 1 the format is rendered into a 512-byte
// buffer (longer texts are cut) and the rendered text is printed as it is to
// every AT port; at any other level nothing is printed.
void service_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Real-time trace channel: up-buffers the debugger reads. On the host the
// bytes of up-buffer 0 go to the trace log (launcher option --trace-log
// FILE); without one they are dropped. Writes never block.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RTT_MODE_NO_BLOCK_SKIP 0u  // a write that does not fit is dropped
#define RTT_MODE_NO_BLOCK_TRIM 1u  // a write is cut to what fits
#define RTT_MODE_BLOCK_IF_FIFO_FULL 2u

// Returns 0, or -1 for a buffer index the channel does not have (0 to 2).
int RTT_ConfigUpBuffer(unsigned index, const char* name, void* buffer, unsigned size,
                       unsigned flags);
unsigned RTT_Write(unsigned index, const void* data, unsigned len);
unsigned RTT_WriteString(unsigned index, const char* text);
// Formatted write (vsnprintf rules, at most 1024 bytes per call); returns the
// bytes written.
int RTT_printf(unsigned index, const char* format, ...) __attribute__((format(printf, 2, 3)));
int RTT_vprintf(unsigned index, const char* format, va_list* args);

#ifdef __cplusplus
}
#endif

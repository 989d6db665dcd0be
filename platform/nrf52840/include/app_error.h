// The fatal-error path: every failed vendor call goes to the application's
// error handler with the result. The tracker board's image uses the bare
// handler (the result only); the others add the line and the file.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

void app_error_handler(ret_code_t error_code, uint32_t line_num, const uint8_t *p_file_name);
[[noreturn]] void app_error_handler_bare(ret_code_t error_code);
void app_error_fault_handler(uint32_t id, uint32_t pc, uint32_t info);

#if defined(QIV_BOARD_VOSTREL)
#define APP_ERROR_HANDLER(ERR_CODE) app_error_handler_bare(ERR_CODE)
#else
#define APP_ERROR_HANDLER(ERR_CODE) \
  app_error_handler((ERR_CODE), __LINE__, reinterpret_cast<const uint8_t *>(__FILE__))
#endif

#define APP_ERROR_CHECK(ERR_CODE)                \
  do {                                           \
    const uint32_t local_err_code_ = (ERR_CODE); \
    if (local_err_code_ != NRF_SUCCESS) {        \
      APP_ERROR_HANDLER(local_err_code_);        \
    }                                            \
  } while (0)

#ifdef __cplusplus
}  // extern "C"
#endif

// The fatal-error path: every failed vendor call goes to the application's
// app_error_handler with the result, the line and the file.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

void app_error_handler(ret_code_t error_code, uint32_t line_num, const uint8_t *p_file_name);
void app_error_fault_handler(uint32_t id, uint32_t pc, uint32_t info);

#define APP_ERROR_CHECK(ERR_CODE)                                                                \
  do {                                                                                           \
    const uint32_t local_err_code_ = (ERR_CODE);                                                 \
    if (local_err_code_ != NRF_SUCCESS) {                                                        \
      app_error_handler(local_err_code_, __LINE__, reinterpret_cast<const uint8_t *>(__FILE__)); \
    }                                                                                            \
  } while (0)

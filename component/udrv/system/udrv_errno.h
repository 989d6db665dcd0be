// Result codes of the driver layer and the services. Operations return 0 for
// success and the negated code for a failure (-3 for UDRV_WRONG_ARG).
#pragma once

#include <stdint.h>

typedef enum : uint8_t {
  UDRV_RETURN_OK = 0,
  UDRV_NOT_INIT = 1,
  UDRV_ALREADY_INIT = 2,
  UDRV_WRONG_ARG = 3,
  UDRV_NACK = 4,
  UDRV_OCCUPIED = 5,
  UDRV_BUSY = 6,
  UDRV_INTERNAL_ERR = 7,
  UDRV_TEMP_LOCKED = 8,
  UDRV_BUFF_OVERFLOW = 9,
  UDRV_ADDR_NOT_ALIGNED = 10,
  UDRV_LEN_NOT_ALIGNED = 11,
  UDRV_NO_WAN_CONNECTION = 12,
  UDRV_FORBIDDEN = 13,
  UDRV_CONTINUE = 14,
  UDRV_NOT_FOUND = 15,
  UDRV_PARAM_ERR = 16,
  UDRV_UNSUPPORTED_BAND = 17,
  UDRV_INVALID_KEY_LENGTH = 32,
  UDRV_INVALID_INPUT_LENGTH = 34,
} UDRV_RETURN_CODE;

// Besides the codes: no operation table is bound to the device.
#define UDRV_NOT_BOUND (-1)

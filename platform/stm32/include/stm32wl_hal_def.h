// Common types of the STM32WL HAL stand-in.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "stm32wl_cmsis.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  HAL_OK = 0x00,
  HAL_ERROR = 0x01,
  HAL_BUSY = 0x02,
  HAL_TIMEOUT = 0x03,
} HAL_StatusTypeDef;

typedef enum { HAL_UNLOCKED = 0x00, HAL_LOCKED = 0x01 } HAL_LockTypeDef;

typedef enum { RESET = 0, SET = !RESET } FlagStatus, ITStatus;
typedef enum { DISABLE = 0, ENABLE = !DISABLE } FunctionalState;

#define HAL_MAX_DELAY 0xFFFFFFFFU

#ifndef UNUSED
#define UNUSED(x) ((void)(x))
#endif

#define __HAL_LINKDMA(HANDLE, PPP_DMA_FIELD, DMA_HANDLE) \
  do {                                                   \
    (HANDLE)->PPP_DMA_FIELD = &(DMA_HANDLE);             \
    (DMA_HANDLE).Parent = (HANDLE);                      \
  } while (0)

#define SET_BIT(REG, BIT) ((REG) |= (BIT))
#define CLEAR_BIT(REG, BIT) ((REG) &= ~(BIT))
#define READ_BIT(REG, BIT) ((REG) & (BIT))
#define WRITE_REG(REG, VAL) ((REG) = (VAL))
#define READ_REG(REG) ((REG))

#ifdef __cplusplus
}  // extern "C"
#endif

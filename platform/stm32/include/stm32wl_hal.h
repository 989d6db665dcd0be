// The STM32WL HAL as the STM32WLE5 firmware uses it, on the simulated chip.
#pragma once

#include "stm32wl_cmsis.h"
#include "stm32wl_hal_adc.h"
#include "stm32wl_hal_core.h"
#include "stm32wl_hal_def.h"
#include "stm32wl_hal_dma.h"
#include "stm32wl_hal_flash.h"
#include "stm32wl_hal_gpio.h"
#include "stm32wl_hal_i2c.h"
#include "stm32wl_hal_rcc.h"
#include "stm32wl_hal_rtc.h"
#include "stm32wl_hal_spi.h"
#include "stm32wl_hal_tim.h"
#include "stm32wl_hal_uart.h"
#include "stm32wl_ll.h"

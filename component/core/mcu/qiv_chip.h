// The profile of the chip an image is built for: the facts about the chip
// that the chip-neutral layers need (flash map, page size, console port,
// which driver classes the port implements), each chip in its own folder.
// Neutral code includes this one name (through qiv_config.h) and never tests
// the chip itself; a new chip adds its folder and a line here.
#pragma once

#if defined(QIV_MCU_APOLLO3)
#include "apollo3/chip_profile.h"
#elif defined(QIV_MCU_STM32WLE5)
#include "stm32wle5xx/chip_profile.h"
#elif defined(QIV_MCU_NRF52840)
#include "nrf52840/chip_profile.h"
#else
#error "no profile for this chip"
#endif

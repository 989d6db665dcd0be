/*!
 * \file gpio-board.h
 *
 * \brief The board's MCU GPIO layer behind gpio.h; each board supplies it.
 */
#ifndef __GPIO_BOARD_H__
#define __GPIO_BOARD_H__

#include "gpio.h"

void GpioMcuInit(Gpio_t* obj, PinNames pin, PinModes mode, PinConfigs config, PinTypes type,
                 uint32_t value);
void GpioMcuSetInterrupt(Gpio_t* obj, IrqModes irqMode, IrqPriorities irqPriority,
                         GpioIrqHandler* irqHandler);
void GpioMcuWrite(Gpio_t* obj, uint32_t value);
uint32_t GpioMcuRead(Gpio_t* obj);

#endif  // __GPIO_BOARD_H__

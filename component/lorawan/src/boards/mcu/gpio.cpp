/*!
 * \file gpio.cpp
 *
 * \brief Generic pin calls: each forwards its arguments unchanged to the
 *        board's MCU GPIO layer.
 */
#include "gpio.h"
#include "gpio-board.h"

void GpioInit(Gpio_t* obj, PinNames pin, PinModes mode, PinConfigs config, PinTypes type,
              uint32_t value) {
  GpioMcuInit(obj, pin, mode, config, type, value);
}

void GpioSetInterrupt(Gpio_t* obj, IrqModes irqMode, IrqPriorities irqPriority,
                      GpioIrqHandler* irqHandler) {
  GpioMcuSetInterrupt(obj, irqMode, irqPriority, irqHandler);
}

void GpioWrite(Gpio_t* obj, uint32_t value) { GpioMcuWrite(obj, value); }

uint32_t GpioRead(Gpio_t* obj) { return GpioMcuRead(obj); }

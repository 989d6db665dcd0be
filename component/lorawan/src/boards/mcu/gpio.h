/*!
 * \file gpio.h
 *
 * \brief Generic pin objects and the calls the radio layer uses on them; each
 *        call forwards to the board's MCU GPIO layer (gpio-board.h).
 */
#ifndef __GPIO_H__
#define __GPIO_H__

#include <stdint.h>

/*!
 * Pin names: pads 0 to 47 of the MCU, 48 to 63 reserved for an IO expander.
 */
typedef enum : int8_t {
  P0 = 0,
  P1,
  P2,
  P3,
  P4,
  P5,
  P6,
  P7,
  P8,
  P9,
  P10,
  P11,
  P12,
  P13,
  P14,
  P15,
  P16,
  P17,
  P18,
  P19,
  P20,
  P21,
  P22,
  P23,
  P24,
  P25,
  P26,
  P27,
  P28,
  P29,
  P30,
  P31,
  P32,
  P33,
  P34,
  P35,
  P36,
  P37,
  P38,
  P39,
  P40,
  P41,
  P42,
  P43,
  P44,
  P45,
  P46,
  P47,
  IOE_0 = 48,
  IOE_1,
  IOE_2,
  IOE_3,
  IOE_4,
  IOE_5,
  IOE_6,
  IOE_7,
  IOE_8,
  IOE_9,
  IOE_10,
  IOE_11,
  IOE_12,
  IOE_13,
  IOE_14,
  IOE_15,
  NC = -1,
} PinNames;

typedef enum {
  PIN_INPUT = 0,
  PIN_OUTPUT,
  PIN_ALTERNATE_FCT,
  PIN_ANALOGIC,
} PinModes;

typedef enum {
  PIN_NO_PULL = 0,
  PIN_PULL_UP = 1,
  PIN_PULL_DOWN = 2,
} PinTypes;

typedef enum {
  PIN_PUSH_PULL = 0,
  PIN_OPEN_DRAIN,
} PinConfigs;

typedef enum {
  NO_IRQ = 0,
  IRQ_RISING_EDGE,
  IRQ_FALLING_EDGE,
  IRQ_RISING_FALLING_EDGE,
} IrqModes;

typedef enum {
  IRQ_VERY_LOW_PRIORITY = 0,
  IRQ_LOW_PRIORITY,
  IRQ_MEDIUM_PRIORITY,
  IRQ_HIGH_PRIORITY,
  IRQ_VERY_HIGH_PRIORITY,
} IrqPriorities;

/*!
 * Handler of a pin interrupt; gets the pin object's Context.
 */
typedef void(GpioIrqHandler)(void* context);

typedef struct {
  PinNames pin;
  uint16_t pinIndex;
  void* port;
  uint16_t portIndex;
  PinTypes pull;
  void* Context;
  GpioIrqHandler* IrqHandler;
} Gpio_t;

void GpioInit(Gpio_t* obj, PinNames pin, PinModes mode, PinConfigs config, PinTypes type,
              uint32_t value);
void GpioSetInterrupt(Gpio_t* obj, IrqModes irqMode, IrqPriorities irqPriority,
                      GpioIrqHandler* irqHandler);
void GpioWrite(Gpio_t* obj, uint32_t value);
uint32_t GpioRead(Gpio_t* obj);

#endif  // __GPIO_H__

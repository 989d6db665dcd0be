// The Tarnelka board on the Apollo3: which pad does what, and the pad words
// of the board's serial, SPI and I2C lines.
#pragma once

#include "am_mcu_apollo.h"

#ifdef __cplusplus
extern "C" {
#endif

// UARTs.
#define AM_BSP_GPIO_UART0_TX 39
#define AM_BSP_GPIO_UART0_RX 40
#define AM_BSP_GPIO_UART1_TX 42
#define AM_BSP_GPIO_UART1_RX 43

// SPI masters (no hardware chip select on this board).
#define AM_BSP_GPIO_IOM0_SCK 5
#define AM_BSP_GPIO_IOM0_MISO 6
#define AM_BSP_GPIO_IOM0_MOSI 7
#define AM_BSP_GPIO_IOM1_SCK 8
#define AM_BSP_GPIO_IOM1_MISO 9
#define AM_BSP_GPIO_IOM1_MOSI 10
extern const am_hal_gpio_pincfg_t g_AM_BSP_GPIO_IOM0_SCK;
extern const am_hal_gpio_pincfg_t g_AM_BSP_GPIO_IOM0_MISO;
extern const am_hal_gpio_pincfg_t g_AM_BSP_GPIO_IOM0_MOSI;
extern const am_hal_gpio_pincfg_t g_AM_BSP_GPIO_IOM1_SCK;
extern const am_hal_gpio_pincfg_t g_AM_BSP_GPIO_IOM1_MISO;
extern const am_hal_gpio_pincfg_t g_AM_BSP_GPIO_IOM1_MOSI;

// I2C master on IOM2.
#define AM_BSP_GPIO_IOM2_SCL 27
#define AM_BSP_GPIO_IOM2_SDA 25

// The SX1262 radio on IOM1.
#define AM_BSP_GPIO_RADIO_NSS 11
#define AM_BSP_GPIO_RADIO_DIO1 15
#define AM_BSP_GPIO_RADIO_BUSY 16
#define AM_BSP_GPIO_RADIO_NRESET 17
#define AM_BSP_GPIO_RADIO_ANT_POWER 18

// Debug pads (serial wire), left alone by the GPIO suspend.
#define AM_BSP_GPIO_SWDCK 20
#define AM_BSP_GPIO_SWDIO 21

#ifdef __cplusplus
}
#endif

/*!
 * \file spi.h
 *
 * \brief SPI master bus object of the radio; the board supplies the calls.
 */
#ifndef __SPI_H__
#define __SPI_H__

#include <stdint.h>

#include "gpio.h"

typedef enum {
  SPI_1 = 0,
  SPI_2,
} SpiId_t;

typedef struct {
  SpiId_t SpiId;
  Gpio_t Mosi;
  Gpio_t Miso;
  Gpio_t Sclk;
  Gpio_t Nss;
} Spi_t;

void SpiInit(Spi_t* obj, SpiId_t spiId, PinNames mosi, PinNames miso, PinNames sclk, PinNames nss);
void SpiDeInit(Spi_t* obj);

/*!
 * One full-duplex byte: the low byte of outData goes out, the received byte
 * is returned.
 */
uint16_t SpiInOut(Spi_t* obj, uint16_t outData);

#endif  // __SPI_H__

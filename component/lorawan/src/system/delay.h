/*!
 * \file delay.h
 *
 * \brief Blocking delay of the LoRaWAN stack (the board's).
 */
#ifndef __DELAY_H__
#define __DELAY_H__

#include <stdint.h>

void DelayMs(uint32_t ms);

#endif  // __DELAY_H__

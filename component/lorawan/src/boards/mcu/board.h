/*!
 * \file board.h
 *
 * \brief What the radio driver, the timer list and the MAC need of the board:
 *        initialisation, reset, a nesting critical section and a blocking
 *        delay.
 */
#ifndef __BOARD_H__
#define __BOARD_H__

#include <stdint.h>

void BoardInitMcu(void);
void BoardResetMcu(void);

/*!
 * Saves the interrupt mask into *mask and masks interrupts; End writes the
 * saved mask back and nothing else, so sections nest.
 */
void BoardCriticalSectionBegin(uint32_t* mask);
void BoardCriticalSectionEnd(uint32_t* mask);

#define CRITICAL_SECTION_BEGIN() \
  uint32_t mask;                 \
  BoardCriticalSectionBegin(&mask)
#define CRITICAL_SECTION_END() BoardCriticalSectionEnd(&mask)

/*!
 * Blocking delay of the board (lets time pass; no event draining).
 */
void DelayMsMcu(uint32_t ms);

#endif  // __BOARD_H__

/*
 * Test stand-in for the radio operations record: the SX126x driver's record
 * and types, with `Radio` implemented by a recording fake (fake_radio.h)
 * instead of the driver, and checked like every radio backend against what
 * the regions call (radio_contract.h).
 */
#ifndef __RADIO_H__
#define __RADIO_H__

#include "../../../../radio/sx126x/sx126x_radio.h"

#include "radio_contract.h"

#endif  // __RADIO_H__

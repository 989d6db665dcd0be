/*!
 * \file radio.h
 *
 * \brief The radio as the shared code sees it, where the image links the
 *        SX126x driver: the driver's record and types (sx126x_radio.h),
 *        checked against what the shared code calls (radio_contract.h).
 */
#ifndef __RADIO_H__
#define __RADIO_H__

#include "sx126x_radio.h"

#include "radio_contract.h"

#endif  // __RADIO_H__

// The radio as the shared code sees it on the STM32WLE5 images: the sub-GHz
// driver's record and types (subghz_phy_radio.h), checked against what the
// shared code calls (radio_contract.h).
#pragma once

#include "subghz_phy_radio.h"

#include "radio_contract.h"

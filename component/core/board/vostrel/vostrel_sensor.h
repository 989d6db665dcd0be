// The tracker board's four I2C sensors as one aggregate, started once at
// bring-up.
#pragma once

#include <stdint.h>

// Starts the bus and the four sensors, then takes one reading of each; true
// when all four answered.
bool qiv_vostrel_sensor_init(void);

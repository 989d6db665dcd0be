// Battery and supply voltage from the ADC, by the image's formula.
#pragma once

#include <stdint.h>

// One row of the battery calibration table: the voltage of readings below
// the threshold (rows ascending).
typedef struct {
  float voltage;
  uint32_t threshold;
} batt_table_row_t;

extern const batt_table_row_t batt_table[];
// Rows of the board's battery table (the port's answer).
uint32_t get_batt_table_size(void);

// Write the battery voltage, or the supply voltage, in volts to *bat_lvl /
// *sys_lvl. 0, or the ADC driver's negative result when the reading failed
// (the value is then 0).
int32_t service_battery_get_batt_level(float *bat_lvl);
int32_t service_battery_get_SysVolt_level(float *sys_lvl);

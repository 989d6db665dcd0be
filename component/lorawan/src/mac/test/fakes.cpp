/*
 * What the regions call below themselves, for the MAC's unit tests: a radio
 * that accepts every frequency and does nothing else, a clock standing at 0
 * and listen-before-talk off.
 */
#include "RegionLbt.h"
#include "radio.h"
#include "timer.h"

TimerTime_t TimerGetCurrentTime(void) { return 0; }

TimerTime_t TimerGetElapsedTime(TimerTime_t past) { return 0 - past; }

int32_t service_lora_get_lbt(void) { return 0; }

int16_t service_lora_get_lbt_rssi(void) { return -80; }

uint32_t service_lora_get_lbt_scantime(void) { return 5; }

namespace {

bool CheckRfFrequency(uint32_t) { return true; }

}  // namespace

const struct Radio_s Radio = {
    .CheckRfFrequency = CheckRfFrequency,
};

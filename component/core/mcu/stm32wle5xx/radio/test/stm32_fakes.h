// Small fakes of the STM32WLE5 port around its radio, for programs that run
// the radio path without the whole port: the system event queue (a record of
// what is posted), the sleep flag, the critical section, Error_Handler and
// the timer server's driver (milliseconds of the virtual clock, the alarm on
// RTC_Alarm_IRQn).
#pragma once

#include <vector>

#include "udrv_system.h"

namespace stm32_env {
// Every system event posted, in order.
std::vector<udrv_system_event_op_t>& posted();
// Installs the radio and alarm interrupts, the timer server, and the
// sub-GHz peripheral (MX_SUBGHZ_Init) as at power-on.
void power_on();
}  // namespace stm32_env

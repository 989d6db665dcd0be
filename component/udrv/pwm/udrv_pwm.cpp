#include "udrv_pwm.h"

void udrv_pwm_suspend(void) { uhal_pwm_suspend(); }

void udrv_pwm_resume(void) { uhal_pwm_resume(); }

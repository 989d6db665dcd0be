// PWM of the STM32WLE5 images on TIM1 and TIM2: one channel per port, the
// timer set up again for every change of duty.
#include "stm32wle5xx_port.h"
#include "uhal_peripherals.h"

uhal_pwm_status_t uhal_pwm_status[UDRV_PWM_MAX];
UDRV_PWM_RESOLUTION pwm_resolution = UDRV_PWM_RESOLUTION_8BIT;
uint32_t uhal_pwm_period = 256;
TIM_HandleTypeDef htim1;
TIM_HandleTypeDef htim2;

namespace {

struct pwm_output {
  uint32_t pin;
  TIM_TypeDef *timer;
  uint32_t channel;
};

const pwm_output pwm_outputs[] = {
    {0, TIM2, TIM_CHANNEL_1}, {15, TIM2, TIM_CHANNEL_1}, {1, TIM2, TIM_CHANNEL_2},
    {8, TIM1, TIM_CHANNEL_4}, {9, TIM1, TIM_CHANNEL_2},  {10, TIM1, TIM_CHANNEL_3},
};

const pwm_output *output_of(uint32_t pin) {
  for (const pwm_output &out : pwm_outputs) {
    if (out.pin == pin) {
      return &out;
    }
  }
  return nullptr;
}

TIM_HandleTypeDef *handle_of(const pwm_output &out) { return out.timer == TIM2 ? &htim2 : &htim1; }

// The period of a resolution, 0 for an unknown one.
uint32_t period_of(UDRV_PWM_RESOLUTION resolution) {
  switch (resolution) {
    case UDRV_PWM_RESOLUTION_8BIT:
      return 256;
    case UDRV_PWM_RESOLUTION_10BIT:
      return 1024;
    case UDRV_PWM_RESOLUTION_12BIT:
      return 4096;
    case UDRV_PWM_RESOLUTION_14BIT:
      return 16384;
    default:
      return 0;
  }
}

// The prescaler division that gives `freq_hz` with `period` counts, or 0
// when the 16-bit prescaler cannot give it (no frequency, or too high or
// too low a frequency for the core clock).
uint32_t prescaler_division(uint32_t freq_hz, uint32_t period) {
  uint64_t counts = static_cast<uint64_t>(freq_hz) * period;
  if (counts == 0) {
    return 0;
  }
  uint64_t division = SystemCoreClock / counts;
  return division >= 1 && division <= 0x10000U ? static_cast<uint32_t>(division) : 0;
}

void pin_to_timer(uint32_t pin) {
  GPIO_InitTypeDef init = {};
  init.Pin = static_cast<uint16_t>(1U << (pin % 16));
  init.Mode = GPIO_MODE_AF_PP;
  init.Pull = GPIO_PULLUP;
  init.Speed = GPIO_SPEED_FREQ_VERY_HIGH;
  init.Alternate = GPIO_AF1_TIM1;
  HAL_GPIO_Init(reinterpret_cast<GPIO_TypeDef *>(GPIOA_BASE + (pin / 16) * 0x400U), &init);
}

// Sets the pin's timer up for `freq_hz` at the current period with the
// compare value `compare`; the caller has checked the frequency.
void pwm_timer_init(uint32_t freq_hz, const pwm_output &out, uint32_t compare) {
  TIM_HandleTypeDef *htim = handle_of(out);
  htim->Instance = out.timer;
  htim->Init.Prescaler = prescaler_division(freq_hz, uhal_pwm_period) - 1;
  htim->Init.CounterMode = TIM_COUNTERMODE_UP;
  htim->Init.Period = uhal_pwm_period - 1;
  htim->Init.ClockDivision = TIM_CLOCKDIVISION_DIV1;
  htim->Init.RepetitionCounter = 0;
  htim->Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_DISABLE;
  if (HAL_TIM_PWM_Init(htim) != HAL_OK) {
    Error_Handler();
  }
  TIM_MasterConfigTypeDef master = {};
  master.MasterOutputTrigger = TIM_TRGO_RESET;
  master.MasterOutputTrigger2 = TIM_TRGO2_RESET;
  master.MasterSlaveMode = TIM_MASTERSLAVEMODE_DISABLE;
  if (HAL_TIMEx_MasterConfigSynchronization(htim, &master) != HAL_OK) {
    Error_Handler();
  }
  TIM_OC_InitTypeDef oc = {};
  oc.OCMode = TIM_OCMODE_PWM1;
  oc.Pulse = compare;
  oc.OCPolarity = TIM_OCPOLARITY_HIGH;
  oc.OCNPolarity = TIM_OCNPOLARITY_HIGH;
  oc.OCFastMode = TIM_OCFAST_DISABLE;
  oc.OCIdleState = TIM_OCIDLESTATE_RESET;
  oc.OCNIdleState = TIM_OCNIDLESTATE_RESET;
  if (HAL_TIM_PWM_ConfigChannel(htim, &oc, out.channel) != HAL_OK) {
    Error_Handler();
  }
  TIM_BreakDeadTimeConfigTypeDef bdt = {};
  bdt.OffStateRunMode = TIM_OSSR_DISABLE;
  bdt.OffStateIDLEMode = TIM_OSSI_DISABLE;
  bdt.LockLevel = TIM_LOCKLEVEL_OFF;
  bdt.DeadTime = 0;
  bdt.BreakState = TIM_BREAK_DISABLE;
  bdt.BreakPolarity = TIM_BREAKPOLARITY_HIGH;
  bdt.BreakFilter = 0;
  bdt.BreakAFMode = TIM_BREAK_AFMODE_INPUT;
  bdt.Break2State = TIM_BREAK2_DISABLE;
  bdt.Break2Polarity = TIM_BREAK2POLARITY_HIGH;
  bdt.Break2Filter = 0;
  bdt.Break2AFMode = TIM_BREAK2_AFMODE_INPUT;
  bdt.AutomaticOutput = TIM_AUTOMATICOUTPUT_DISABLE;
  if (HAL_TIMEx_ConfigBreakDeadTime(htim, &bdt) != HAL_OK) {
    Error_Handler();
  }
  pin_to_timer(out.pin);
}

}  // namespace

void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef *htim) {
  if (htim->Instance == TIM1) {
    __HAL_RCC_TIM1_CLK_ENABLE();
  } else if (htim->Instance == TIM2) {
    __HAL_RCC_TIM2_CLK_ENABLE();
  }
}

void HAL_TIM_PWM_MspDeInit(TIM_HandleTypeDef *htim) {
  if (htim->Instance == TIM1) {
    __HAL_RCC_TIM1_CLK_DISABLE();
  } else if (htim->Instance == TIM2) {
    __HAL_RCC_TIM2_CLK_DISABLE();
  }
}

// Everything is checked before the running output is touched, so a refused
// duty leaves the port as it was.
int32_t uhal_pwm_set_duty(udrv_pwm_port port, uint32_t duty) {
  if (port >= UDRV_PWM_MAX) {
    return -UDRV_WRONG_ARG;
  }
  uint32_t period = period_of(pwm_resolution);
  if (period == 0) {
    return -UDRV_INTERNAL_ERR;
  }
  if (duty >= period) {
    return -UDRV_WRONG_ARG;
  }
  uhal_pwm_status_t &status = uhal_pwm_status[port];
  const pwm_output *out = output_of(status.pin);
  if (out == nullptr || prescaler_division(status.freq_hz, period) == 0) {
    return -UDRV_WRONG_ARG;
  }
  TIM_HandleTypeDef *htim = handle_of(*out);
  HAL_TIM_PWM_Stop(htim, out->channel);
  HAL_TIM_PWM_DeInit(htim);
  uhal_pwm_period = period;
  pwm_timer_init(status.freq_hz, *out, duty);
  if (HAL_TIM_PWM_Start(htim, out->channel) != HAL_OK) {
    Error_Handler();
  }
  status.duty = duty;
  return 0;
}

void uhal_pwm_suspend(void) {}

// The timers lose nothing in sleep that the firmware keeps elsewhere: each
// open port's timer is set up again and an enabled port runs with its duty.
void uhal_pwm_resume(void) {
  for (uint8_t port = 0; port < UDRV_PWM_MAX; ++port) {
    const uhal_pwm_status_t &status = uhal_pwm_status[port];
    const pwm_output *out = output_of(status.pin);
    if (out == nullptr || prescaler_division(status.freq_hz, uhal_pwm_period) == 0) {
      continue;
    }
    if (status.initialized) {
      pwm_timer_init(status.freq_hz, *out, status.duty);
    }
    if (status.enabled) {
      if (HAL_TIM_PWM_Start(handle_of(*out), out->channel) != HAL_OK) {
        Error_Handler();
      }
      uhal_pwm_set_duty(static_cast<udrv_pwm_port>(port), status.duty);
    }
  }
}

// TIM1 and TIM2 in PWM mode: set-up and channel state, recorded.
#include "internal.h"
#include "sim/model.h"

extern "C" {
TIM_TypeDef stm32_tim1 = {1};
TIM_TypeDef stm32_tim2 = {2};
}

namespace stm32sim {
namespace detail {
namespace {

TimState timers[3];  // by timer number; 0 unused

TimState* timer_of(const TIM_HandleTypeDef* h) {
  if (!h || (h->Instance != TIM1 && h->Instance != TIM2)) return nullptr;
  return &timers[h->Instance->index];
}

int channel_index(uint32_t channel) {
  switch (channel) {
    case TIM_CHANNEL_1:
      return 0;
    case TIM_CHANNEL_2:
      return 1;
    case TIM_CHANNEL_3:
      return 2;
    case TIM_CHANNEL_4:
      return 3;
    default:
      return -1;
  }
}

}  // namespace

void tim_reset() {
  for (auto& t : timers) t = TimState{};
}

}  // namespace detail

using namespace detail;

TimState tim_state(int timer) { return timer == 1 || timer == 2 ? timers[timer] : TimState{}; }

}  // namespace stm32sim

using namespace stm32sim;
using namespace stm32sim::detail;

extern "C" {

__weak void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef*) {}
__weak void HAL_TIM_PWM_MspDeInit(TIM_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_TIM_PWM_Init(TIM_HandleTypeDef* htim) {
  TimState* t = timer_of(htim);
  if (!t) return HAL_ERROR;
  uint64_t max_period = htim->Instance == TIM1 ? 0xFFFFu : 0xFFFFFFFFu;
  if (htim->Init.Prescaler > 0xFFFFu || htim->Init.Period > max_period) return HAL_ERROR;
  if (htim->State == HAL_TIM_STATE_RESET) {
    htim->Lock = HAL_UNLOCKED;
    HAL_TIM_PWM_MspInit(htim);
  }
  t->initialised = true;
  t->prescaler = htim->Init.Prescaler;
  t->period = htim->Init.Period;
  t->counter_mode = htim->Init.CounterMode;
  t->clock_division = htim->Init.ClockDivision;
  t->repetition = htim->Init.RepetitionCounter;
  t->auto_reload_preload = htim->Init.AutoReloadPreload;
  ++t->inits;
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_DeInit(TIM_HandleTypeDef* htim) {
  TimState* t = timer_of(htim);
  if (!t) return HAL_ERROR;
  uint32_t inits = t->inits;
  *t = TimState{};
  t->inits = inits;
  HAL_TIM_PWM_MspDeInit(htim);
  htim->State = HAL_TIM_STATE_RESET;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim,
                                                        TIM_MasterConfigTypeDef* config) {
  TimState* t = timer_of(htim);
  if (!t || !config || !t->initialised) return HAL_ERROR;
  t->master_trigger = config->MasterOutputTrigger;
  t->master_slave = config->MasterSlaveMode;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* config,
                                            uint32_t channel) {
  TimState* t = timer_of(htim);
  int ch = channel_index(channel);
  if (!t || !config || ch < 0 || !t->initialised) return HAL_ERROR;
  TimState::Channel& c = t->channels[ch];
  c.configured = true;
  c.mode = config->OCMode;
  c.pulse = config->Pulse;
  c.polarity = config->OCPolarity;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIMEx_ConfigBreakDeadTime(TIM_HandleTypeDef* htim,
                                                TIM_BreakDeadTimeConfigTypeDef* config) {
  TimState* t = timer_of(htim);
  if (!t || !config || !t->initialised) return HAL_ERROR;
  t->break_state = config->BreakState;
  t->dead_time = config->DeadTime;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Start(TIM_HandleTypeDef* htim, uint32_t channel) {
  TimState* t = timer_of(htim);
  int ch = channel_index(channel);
  if (!t || ch < 0 || !t->initialised) return HAL_ERROR;
  t->channels[ch].running = true;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Stop(TIM_HandleTypeDef* htim, uint32_t channel) {
  TimState* t = timer_of(htim);
  int ch = channel_index(channel);
  if (!t || ch < 0) return HAL_ERROR;
  t->channels[ch].running = false;
  return HAL_OK;
}

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_tim, {.name = "stm32.tim", .on_reset = stm32sim::detail::tim_reset});

// TIM1 and TIM2 as PWM generators. The simulated timers record their set-up
// and which channels run (stm32_sim.h); they drive no pin levels.
#pragma once

#include "stm32wl_hal_def.h"

typedef struct {
  uint8_t index;  // 1 for TIM1, 2 for TIM2
} TIM_TypeDef;
extern "C" TIM_TypeDef stm32_tim1, stm32_tim2;
#define TIM1 (&stm32_tim1)
#define TIM2 (&stm32_tim2)

#define TIM_COUNTERMODE_UP 0x0U
#define TIM_COUNTERMODE_DOWN 0x10U
#define TIM_CLOCKDIVISION_DIV1 0x0U
#define TIM_CLOCKDIVISION_DIV2 0x100U
#define TIM_CLOCKDIVISION_DIV4 0x200U
#define TIM_AUTORELOAD_PRELOAD_DISABLE 0x0U
#define TIM_AUTORELOAD_PRELOAD_ENABLE 0x80U

#define TIM_CHANNEL_1 0x0U
#define TIM_CHANNEL_2 0x4U
#define TIM_CHANNEL_3 0x8U
#define TIM_CHANNEL_4 0xCU

#define TIM_OCMODE_PWM1 0x60U
#define TIM_OCMODE_PWM2 0x70U
#define TIM_OCPOLARITY_HIGH 0x0U
#define TIM_OCPOLARITY_LOW 0x2U
#define TIM_OCNPOLARITY_HIGH 0x0U
#define TIM_OCNPOLARITY_LOW 0x8U
#define TIM_OCFAST_DISABLE 0x0U
#define TIM_OCFAST_ENABLE 0x4U
#define TIM_OCIDLESTATE_RESET 0x0U
#define TIM_OCIDLESTATE_SET 0x100U
#define TIM_OCNIDLESTATE_RESET 0x0U
#define TIM_OCNIDLESTATE_SET 0x200U

#define TIM_TRGO_RESET 0x0U
#define TIM_TRGO2_RESET 0x0U
#define TIM_MASTERSLAVEMODE_DISABLE 0x0U
#define TIM_MASTERSLAVEMODE_ENABLE 0x80U

#define TIM_OSSR_DISABLE 0x0U
#define TIM_OSSI_DISABLE 0x0U
#define TIM_LOCKLEVEL_OFF 0x0U
#define TIM_BREAK_DISABLE 0x0U
#define TIM_BREAK_ENABLE 0x1000U
#define TIM_BREAKPOLARITY_HIGH 0x2000U
#define TIM_BREAK_AFMODE_INPUT 0x0U
#define TIM_BREAK2_DISABLE 0x0U
#define TIM_BREAK2POLARITY_HIGH 0x0U
#define TIM_BREAK2_AFMODE_INPUT 0x0U
#define TIM_AUTOMATICOUTPUT_DISABLE 0x0U

typedef struct {
  uint32_t Prescaler;
  uint32_t CounterMode;
  uint32_t Period;
  uint32_t ClockDivision;
  uint32_t RepetitionCounter;
  uint32_t AutoReloadPreload;
} TIM_Base_InitTypeDef;

typedef struct {
  uint32_t OCMode;
  uint32_t Pulse;
  uint32_t OCPolarity;
  uint32_t OCNPolarity;
  uint32_t OCFastMode;
  uint32_t OCIdleState;
  uint32_t OCNIdleState;
} TIM_OC_InitTypeDef;

typedef struct {
  uint32_t MasterOutputTrigger;
  uint32_t MasterOutputTrigger2;
  uint32_t MasterSlaveMode;
} TIM_MasterConfigTypeDef;

typedef struct {
  uint32_t OffStateRunMode;
  uint32_t OffStateIDLEMode;
  uint32_t LockLevel;
  uint32_t DeadTime;
  uint32_t BreakState;
  uint32_t BreakPolarity;
  uint32_t BreakFilter;
  uint32_t BreakAFMode;
  uint32_t Break2State;
  uint32_t Break2Polarity;
  uint32_t Break2Filter;
  uint32_t Break2AFMode;
  uint32_t AutomaticOutput;
} TIM_BreakDeadTimeConfigTypeDef;

typedef enum {
  HAL_TIM_STATE_RESET = 0x00U,
  HAL_TIM_STATE_READY = 0x01U,
  HAL_TIM_STATE_BUSY = 0x02U,
} HAL_TIM_StateTypeDef;

typedef struct {
  TIM_TypeDef* Instance;
  TIM_Base_InitTypeDef Init;
  HAL_LockTypeDef Lock;
  __IO HAL_TIM_StateTypeDef State;
} TIM_HandleTypeDef;

extern "C" {
// Initialisation runs the MSP initialisation first when the handle is in its
// reset state. TIM1 counts in 16 bits, TIM2 in 32; both prescalers are 16
// bits: a prescaler or period the timer cannot hold is HAL_ERROR.
HAL_StatusTypeDef HAL_TIM_PWM_Init(TIM_HandleTypeDef* htim);
HAL_StatusTypeDef HAL_TIM_PWM_DeInit(TIM_HandleTypeDef* htim);
void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef* htim);    // weak; the firmware defines it
void HAL_TIM_PWM_MspDeInit(TIM_HandleTypeDef* htim);  // weak
HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim,
                                                        TIM_MasterConfigTypeDef* config);
HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* config,
                                            uint32_t channel);
HAL_StatusTypeDef HAL_TIMEx_ConfigBreakDeadTime(TIM_HandleTypeDef* htim,
                                                TIM_BreakDeadTimeConfigTypeDef* config);
HAL_StatusTypeDef HAL_TIM_PWM_Start(TIM_HandleTypeDef* htim, uint32_t channel);
HAL_StatusTypeDef HAL_TIM_PWM_Stop(TIM_HandleTypeDef* htim, uint32_t channel);
}

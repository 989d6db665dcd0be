// HAL core: start-up, the millisecond tick, delays, the unique ID and the
// NVIC wrappers.
#pragma once

#include "stm32wl_hal_def.h"

#define TICK_INT_PRIORITY 15U
#define NVIC_PRIORITYGROUP_4 0x00000003U

typedef enum {
  HAL_TICK_FREQ_1KHZ = 1U,
} HAL_TickFreqTypeDef;

extern "C" {

HAL_StatusTypeDef HAL_Init(void);
HAL_StatusTypeDef HAL_DeInit(void);
void HAL_MspInit(void);    // weak; the firmware may define it
void HAL_MspDeInit(void);  // weak
HAL_StatusTypeDef HAL_InitTick(uint32_t tick_priority);

// The millisecond tick. It counts while the SysTick runs and stands still
// while it is suspended (stop mode).
void HAL_IncTick(void);
uint32_t HAL_GetTick(void);
uint32_t HAL_GetTickPrio(void);
HAL_TickFreqTypeDef HAL_GetTickFreq(void);
void HAL_SuspendTick(void);
void HAL_ResumeTick(void);
// Busy wait of at least `delay` ms on the tick.
void HAL_Delay(uint32_t delay);

uint32_t HAL_GetUIDw0(void);
uint32_t HAL_GetUIDw1(void);
uint32_t HAL_GetUIDw2(void);

void HAL_NVIC_SetPriorityGrouping(uint32_t priority_group);
void HAL_NVIC_SetPriority(IRQn_Type irqn, uint32_t preempt_priority, uint32_t sub_priority);
void HAL_NVIC_EnableIRQ(IRQn_Type irqn);
void HAL_NVIC_DisableIRQ(IRQn_Type irqn);
void HAL_NVIC_SystemReset(void);
void HAL_NVIC_SetPendingIRQ(IRQn_Type irqn);
void HAL_NVIC_ClearPendingIRQ(IRQn_Type irqn);
uint32_t HAL_NVIC_GetPendingIRQ(IRQn_Type irqn);
uint32_t HAL_SYSTICK_Config(uint32_t ticks_numb);

}  // extern "C"

// The RTC in binary mode: SSR is a 32-bit down-counter at 32768 Hz from the
// LSE. It keeps counting through stop modes and MCU resets (backup domain);
// the backup-domain reset starts it again from 0xFFFFFFFF. Alarm A matches
// SSR against a 32-bit value; the sub-second underflow (SSR passing from 0 to
// 0xFFFFFFFF) has its own interrupt. The backup registers survive MCU resets.
#pragma once

#include "stm32wl_hal_def.h"

typedef struct {
  uint8_t reserved_;
} RTC_TypeDef;
extern "C" RTC_TypeDef stm32_rtc_regs;
#define RTC (&stm32_rtc_regs)

#define RTC_HOURFORMAT_24 0x0U
#define RTC_OUTPUT_DISABLE 0x0U
#define RTC_OUTPUT_REMAP_NONE 0x0U
#define RTC_OUTPUT_POLARITY_HIGH 0x0U
#define RTC_OUTPUT_TYPE_OPENDRAIN 0x0U
#define RTC_OUTPUT_PULLUP_NONE 0x0U
#define RTC_BINARY_NONE 0x0U
#define RTC_BINARY_ONLY 0x1U
#define RTC_BINARY_MIX 0x2U
#define RTC_BINARY_MIX_BCDU_0 0x0U
#define RTC_FORMAT_BIN 0x0U
#define RTC_FORMAT_BCD 0x1U

#define RTC_ALARM_A 0x100U
#define RTC_ALARM_B 0x200U
#define RTC_ALARMMASK_NONE 0x0U
#define RTC_ALARMMASK_ALL 0x80808080U
#define RTC_ALARMSUBSECONDBINMASK_NONE 0x0U
#define RTC_ALARMSUBSECONDBINMASK_ALL 0x3F000000U
#define RTC_ALARMSUBSECONDBIN_AUTOCLR_NO 0x0U
#define RTC_ALARMSUBSECONDBIN_AUTOCLR_YES 0x1U
#define RTC_ALARMDATEWEEKDAYSEL_DATE 0x0U

#define RTC_FLAG_ALRAF (1UL << 0)
#define RTC_FLAG_SSRUF (1UL << 6)
#define RTC_CLEAR_ALRAF RTC_FLAG_ALRAF
#define RTC_CLEAR_SSRUF RTC_FLAG_SSRUF

#define RTC_BKP_DR0 0x00U
#define RTC_BKP_DR1 0x01U
#define RTC_BKP_DR2 0x02U
#define RTC_BKP_DR3 0x03U
#define RTC_BKP_DR4 0x04U
#define RTC_BKP_NUMBER 20U

#define RTC_ALL_FEATURES 0xFFFFFFFFU

typedef enum {
  HAL_RTC_STATE_RESET = 0x00U,
  HAL_RTC_STATE_READY = 0x01U,
  HAL_RTC_STATE_BUSY = 0x02U,
  HAL_RTC_STATE_ERROR = 0x04U,
} HAL_RTCStateTypeDef;

typedef struct {
  uint32_t HourFormat;
  uint32_t AsynchPrediv;
  uint32_t SynchPrediv;
  uint32_t OutPut;
  uint32_t OutPutRemap;
  uint32_t OutPutPolarity;
  uint32_t OutPutType;
  uint32_t OutPutPullUp;
  uint32_t BinMode;
  uint32_t BinMixBcdU;
} RTC_InitTypeDef;

typedef struct {
  uint8_t Hours;
  uint8_t Minutes;
  uint8_t Seconds;
  uint8_t TimeFormat;
  uint32_t SubSeconds;
  uint32_t SecondFraction;
  uint32_t DayLightSaving;
  uint32_t StoreOperation;
} RTC_TimeTypeDef;

typedef struct {
  RTC_TimeTypeDef AlarmTime;
  uint32_t AlarmMask;
  uint32_t AlarmSubSecondMask;
  uint32_t BinaryAutoClr;
  uint32_t AlarmDateWeekDaySel;
  uint8_t AlarmDateWeekDay;
  uint32_t Alarm;
} RTC_AlarmTypeDef;

typedef struct {
  uint32_t RtcFeatures;
} RTC_FeaturesTypeDef;

typedef struct {
  RTC_TypeDef* Instance;
  RTC_InitTypeDef Init;
  HAL_LockTypeDef Lock;
  __IO HAL_RTCStateTypeDef State;
  RTC_FeaturesTypeDef IsEnabled;
} RTC_HandleTypeDef;

extern "C" {
HAL_StatusTypeDef HAL_RTC_Init(RTC_HandleTypeDef* hrtc);
HAL_StatusTypeDef HAL_RTC_DeInit(RTC_HandleTypeDef* hrtc);
void HAL_RTC_MspInit(RTC_HandleTypeDef* hrtc);    // weak
void HAL_RTC_MspDeInit(RTC_HandleTypeDef* hrtc);  // weak
HAL_StatusTypeDef HAL_RTC_SetAlarm_IT(RTC_HandleTypeDef* hrtc, RTC_AlarmTypeDef* alarm,
                                      uint32_t format);
HAL_StatusTypeDef HAL_RTC_DeactivateAlarm(RTC_HandleTypeDef* hrtc, uint32_t alarm);
void HAL_RTC_AlarmIRQHandler(RTC_HandleTypeDef* hrtc);
void HAL_RTC_AlarmAEventCallback(RTC_HandleTypeDef* hrtc);  // weak
HAL_StatusTypeDef HAL_RTCEx_EnableBypassShadow(RTC_HandleTypeDef* hrtc);
HAL_StatusTypeDef HAL_RTCEx_SetSSRU_IT(RTC_HandleTypeDef* hrtc);
HAL_StatusTypeDef HAL_RTCEx_DeactivateSSRU(RTC_HandleTypeDef* hrtc);
void HAL_RTCEx_SSRUIRQHandler(RTC_HandleTypeDef* hrtc);
void HAL_RTCEx_SSRUEventCallback(RTC_HandleTypeDef* hrtc);  // weak
void HAL_RTCEx_BKUPWrite(RTC_HandleTypeDef* hrtc, uint32_t backup_register, uint32_t data);
uint32_t HAL_RTCEx_BKUPRead(RTC_HandleTypeDef* hrtc, uint32_t backup_register);

void stm32_rtc_clear_flags(uint32_t flags);
}

#define __HAL_RTC_ALARM_CLEAR_FLAG(h, flag) stm32_rtc_clear_flags(flag)
#define __HAL_RTC_SSRU_CLEAR_FLAG(h, flag) stm32_rtc_clear_flags(flag)

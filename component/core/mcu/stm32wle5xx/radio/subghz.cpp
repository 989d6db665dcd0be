// The sub-GHz radio peripheral, its interrupt and the radio interrupt
// callbacks: every radio interrupt and radio timeout also posts the LoRaWAN
// event and ends the sleep loop.
#include "board.h"
#include "radio.h"
#include "stm32wl_hal.h"
#include "stm32wl_hal_subghz.h"
#include "udrv_powersave.h"
#include "udrv_system.h"

// A vendor-HAL initialisation failed: the MCU resets (the port's).
[[noreturn]] void Error_Handler(void);

SUBGHZ_HandleTypeDef hsubghz;

static udrv_system_event_t qiv_lora_event = {UDRV_SYS_EVT_OP_LORAWAN, NULL};

void MX_SUBGHZ_Init(void) {
  hsubghz.Init.BaudratePrescaler = SUBGHZSPI_BAUDRATEPRESCALER_4;
  if (HAL_SUBGHZ_Init(&hsubghz) != HAL_OK) {
    Error_Handler();
  }
}

void HAL_SUBGHZ_MspInit(SUBGHZ_HandleTypeDef* subghzHandle) {
  (void)subghzHandle;
  __HAL_RCC_SUBGHZSPI_CLK_ENABLE();
  HAL_NVIC_SetPriority(SUBGHZ_Radio_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(SUBGHZ_Radio_IRQn);
}

extern "C" void SUBGHZ_Radio_IRQHandler(void) { HAL_SUBGHZ_IRQHandler(&hsubghz); }

static void post_lora_event(void) {
  udrv_system_event_produce(&qiv_lora_event);
  udrv_powersave_in_sleep = false;
}

void RadioOnDioIrq(RadioIrqMasks_t radioIrq) {
  SubghzRadio.PendingIrq = radioIrq;
  post_lora_event();
  RadioIrqProcess();
}

void RadioOnTxTimeoutIrq(void* context) {
  (void)context;
  RadioEvents_t* events = SubghzRadio.Events;
  if ((events != NULL) && (events->TxTimeout != NULL)) {
    events->TxTimeout();
    post_lora_event();
  }
}

void RadioOnRxTimeoutIrq(void* context) {
  (void)context;
  RadioEvents_t* events = SubghzRadio.Events;
  if ((events != NULL) && (events->RxTimeout != NULL)) {
    events->RxTimeout();
    post_lora_event();
  }
}

// ------------------------------------------------- board glue of the MAC --

void BoardCriticalSectionBegin(uint32_t* mask) { uhal_sys_board_critical_section_begin(mask); }

void BoardCriticalSectionEnd(uint32_t* mask) { uhal_sys_board_critical_section_end(mask); }

void BoardInitMcu(void) {}

void BoardResetMcu(void) { NVIC_SystemReset(); }

// I2C2 as an interrupt-driven master on a simulated bus. Devices on the bus
// are simulated slaves that tests attach by address (stm32_sim.h); each
// answers its address and the bytes written with an acknowledge or not. The
// transfer takes the bus time that the timing register gives (nine clocks a
// byte); its end raises the event interrupt, a missing acknowledge the error
// interrupt (after a stop).
#pragma once

#include "stm32wl_hal_def.h"

typedef struct {
  uint8_t index;
} I2C_TypeDef;
extern "C" I2C_TypeDef stm32_i2c2;
#define I2C2 (&stm32_i2c2)

#define I2C_ADDRESSINGMODE_7BIT 0x1U
#define I2C_ADDRESSINGMODE_10BIT 0x2U
#define I2C_DUALADDRESS_DISABLE 0x0U
#define I2C_DUALADDRESS_ENABLE 0x8000U
#define I2C_OA2_NOMASK 0x0U
#define I2C_GENERALCALL_DISABLE 0x0U
#define I2C_GENERALCALL_ENABLE 0x80000U
#define I2C_NOSTRETCH_DISABLE 0x0U
#define I2C_NOSTRETCH_ENABLE 0x20000U
#define I2C_ANALOGFILTER_ENABLE 0x0U
#define I2C_ANALOGFILTER_DISABLE 0x1000U
#define I2C_FASTMODEPLUS_I2C1 0x1U
#define I2C_FASTMODEPLUS_I2C2 0x2U
#define I2C_FASTMODEPLUS_I2C3 0x4U

// Frame options of the sequential transfers: whether the transfer ends with
// a stop (the *LAST* options) or leaves the bus to the next transfer, which
// then starts again (repeated start).
#define I2C_FIRST_FRAME 0x1U
#define I2C_FIRST_AND_NEXT_FRAME 0x2U
#define I2C_NEXT_FRAME 0x3U
#define I2C_FIRST_AND_LAST_FRAME 0x4U
#define I2C_LAST_FRAME 0x5U
#define I2C_LAST_FRAME_NO_STOP 0x6U
#define I2C_OTHER_FRAME 0x7U
#define I2C_OTHER_AND_LAST_FRAME 0x8U

#define HAL_I2C_ERROR_NONE 0x00U
#define HAL_I2C_ERROR_BERR 0x01U
#define HAL_I2C_ERROR_ARLO 0x02U
#define HAL_I2C_ERROR_AF 0x04U
#define HAL_I2C_ERROR_OVR 0x08U
#define HAL_I2C_ERROR_TIMEOUT 0x20U

typedef struct {
  uint32_t Timing;
  uint32_t OwnAddress1;
  uint32_t AddressingMode;
  uint32_t DualAddressMode;
  uint32_t OwnAddress2;
  uint32_t OwnAddress2Masks;
  uint32_t GeneralCallMode;
  uint32_t NoStretchMode;
} I2C_InitTypeDef;

typedef enum {
  HAL_I2C_STATE_RESET = 0x00U,
  HAL_I2C_STATE_READY = 0x20U,
  HAL_I2C_STATE_BUSY = 0x24U,
  HAL_I2C_STATE_BUSY_TX = 0x21U,
  HAL_I2C_STATE_BUSY_RX = 0x22U,
  HAL_I2C_STATE_ERROR = 0xE0U,
} HAL_I2C_StateTypeDef;

typedef struct __I2C_HandleTypeDef {
  I2C_TypeDef* Instance;
  I2C_InitTypeDef Init;
  uint8_t* pBuffPtr;
  uint16_t XferSize;
  __IO uint16_t XferCount;
  __IO uint32_t XferOptions;
  HAL_LockTypeDef Lock;
  __IO HAL_I2C_StateTypeDef State;
  __IO uint32_t ErrorCode;
} I2C_HandleTypeDef;

extern "C" {
// Initialisation runs the MSP initialisation first when the handle is in its
// reset state; de-initialisation ends with the MSP de-initialisation.
HAL_StatusTypeDef HAL_I2C_Init(I2C_HandleTypeDef* hi2c);
HAL_StatusTypeDef HAL_I2C_DeInit(I2C_HandleTypeDef* hi2c);
void HAL_I2C_MspInit(I2C_HandleTypeDef* hi2c);    // weak; the firmware defines it
void HAL_I2C_MspDeInit(I2C_HandleTypeDef* hi2c);  // weak
HAL_StatusTypeDef HAL_I2CEx_ConfigAnalogFilter(I2C_HandleTypeDef* hi2c, uint32_t analog_filter);
HAL_StatusTypeDef HAL_I2CEx_ConfigDigitalFilter(I2C_HandleTypeDef* hi2c, uint32_t digital_filter);
void HAL_I2CEx_EnableFastModePlus(uint32_t config);
void HAL_I2CEx_DisableFastModePlus(uint32_t config);

// Start a transfer to `address` (the 7-bit address shifted left by one) and
// return at once: HAL_BUSY when the peripheral is not ready (not initialised
// or a transfer runs), HAL_ERROR for a missing buffer.
HAL_StatusTypeDef HAL_I2C_Master_Seq_Transmit_IT(I2C_HandleTypeDef* hi2c, uint16_t address,
                                                 uint8_t* data, uint16_t size, uint32_t options);
HAL_StatusTypeDef HAL_I2C_Master_Seq_Receive_IT(I2C_HandleTypeDef* hi2c, uint16_t address,
                                                uint8_t* data, uint16_t size, uint32_t options);
HAL_I2C_StateTypeDef HAL_I2C_GetState(I2C_HandleTypeDef* hi2c);
uint32_t HAL_I2C_GetError(I2C_HandleTypeDef* hi2c);

// Interrupt service: the end of a transfer (event) and errors.
void HAL_I2C_EV_IRQHandler(I2C_HandleTypeDef* hi2c);
void HAL_I2C_ER_IRQHandler(I2C_HandleTypeDef* hi2c);
void HAL_I2C_MasterTxCpltCallback(I2C_HandleTypeDef* hi2c);  // weak
void HAL_I2C_MasterRxCpltCallback(I2C_HandleTypeDef* hi2c);  // weak
void HAL_I2C_ErrorCallback(I2C_HandleTypeDef* hi2c);         // weak
}

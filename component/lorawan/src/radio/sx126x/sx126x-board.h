/*!
 * \file sx126x-board.h
 *
 * \brief What the SX126x command layer and the radio driver need of the
 *        board: pins, SPI command framing, busy waiting, the radio's
 *        operating mode, TX power path and the TCXO.
 */
#ifndef __SX126x_BOARD_H__
#define __SX126x_BOARD_H__

#include <stdbool.h>
#include <stdint.h>

#include "sx126x.h"

void SX126xIoInit(void);
/*! DIO1 rising edge calls dioIrq. */
void SX126xIoIrqInit(DioIrqHandler dioIrq);
void SX126xIoTcxoInit(void);
/*! TCXO wake-up time of the board in ms. */
uint32_t SX126xGetBoardTcxoWakeupTime(void);
void SX126xIoRfSwitchInit(void);
void SX126xReset(void);
void SX126xWaitOnBusy(void);
/*! Wakes the radio from sleep; leaves the mode MODE_STDBY_RC. */
void SX126xWakeup(void);
void SX126xWriteCommand(RadioCommands_t opcode, uint8_t* buffer, uint16_t size);
/*! Returns the radio's status byte. */
uint8_t SX126xReadCommand(RadioCommands_t opcode, uint8_t* buffer, uint16_t size);
void SX126xWriteRegisters(uint16_t address, uint8_t* buffer, uint16_t size);
void SX126xWriteRegister(uint16_t address, uint8_t value);
void SX126xReadRegisters(uint16_t address, uint8_t* buffer, uint16_t size);
uint8_t SX126xReadRegister(uint16_t address);
void SX126xWriteBuffer(uint8_t offset, uint8_t* buffer, uint8_t size);
void SX126xReadBuffer(uint8_t offset, uint8_t* buffer, uint8_t size);
void SX126xSetRfTxPower(int8_t power);
/*! SX1261 or SX1262, the chip that is fitted. */
uint8_t SX126xGetDeviceId(void);
void SX126xAntSwOn(void);
void SX126xAntSwOff(void);
uint32_t SX126xGetDio1PinState(void);
RadioOperatingModes_t SX126xGetOperatingMode(void);
void SX126xSetOperatingMode(RadioOperatingModes_t mode);

#endif  // __SX126x_BOARD_H__

/*!
 * \file radio_contract.h
 *
 * \brief What the shared code above the radio (the regions, the LoRaWAN MAC,
 *        the LoRa services) relies on in a radio driver's `Radio` record and
 *        its types, checked when the code is compiled.
 *
 * Each radio backend has its own header (the SX126x driver's, the sub-GHz
 * driver's of the STM32WLE5 images, the tests' stand-ins) and a small radio.h
 * beside it that includes that header and then this one. Shared code includes
 * only radio.h and calls only the slots checked here, so a backend may add
 * slots, callbacks and modem values of its own, but one whose shared slots
 * differ in name or signature fails to build instead of misbehaving.
 *
 * Register access is the one part the backends spell differently (the
 * SX126x driver takes 32-bit register addresses, the sub-GHz driver 16-bit
 * ones): shared code writes a register only with a 16-bit address and a byte,
 * which both accept, and reads none.
 */
#ifndef __RADIO_CONTRACT_H__
#define __RADIO_CONTRACT_H__

#ifdef __cplusplus

#include <cstdint>
#include <type_traits>

namespace radio_contract {

// The operations the shared code calls, with their exact types.
using Init = void (*)(RadioEvents_t* events);
using GetStatus = RadioState_t (*)(void);
using SetModem = void (*)(RadioModems_t modem);
using SetChannel = void (*)(uint32_t freq);
using IsChannelFree = bool (*)(uint32_t freq, uint32_t rxBandwidth, int16_t rssiThresh,
                               uint32_t maxCarrierSenseTime);
using Random = uint32_t (*)(void);
using SetRxConfig = void (*)(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate,
                             uint8_t coderate, uint32_t bandwidthAfc, uint16_t preambleLen,
                             uint16_t symbTimeout, bool fixLen, uint8_t payloadLen, bool crcOn,
                             bool freqHopOn, uint8_t hopPeriod, bool iqInverted, bool rxContinuous);
using SetTxConfig = void (*)(RadioModems_t modem, int8_t power, uint32_t fdev, uint32_t bandwidth,
                             uint32_t datarate, uint8_t coderate, uint16_t preambleLen, bool fixLen,
                             bool crcOn, bool freqHopOn, uint8_t hopPeriod, bool iqInverted,
                             uint32_t timeout);
using CheckRfFrequency = bool (*)(uint32_t frequency);
using TimeOnAir = uint32_t (*)(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate,
                               uint8_t coderate, uint16_t preambleLen, bool fixLen,
                               uint8_t payloadLen, bool crcOn);
using Send = void (*)(uint8_t* buffer, uint8_t size);
using Sleep = void (*)(void);
using Standby = void (*)(void);
using Rx = void (*)(uint32_t timeout);
using StartCad = void (*)(void);
using SetTxContinuousWave = void (*)(uint32_t freq, int8_t power, uint16_t time);
using Rssi = int16_t (*)(RadioModems_t modem);
using SetMaxPayloadLength = void (*)(RadioModems_t modem, uint8_t max);
using SetPublicNetwork = void (*)(bool enable);
using GetWakeupTime = uint32_t (*)(void);
using IrqProcess = void (*)(void);

// The callbacks a user registers, as the backend calls them.
using TxDone = void (*)(void);
using TxTimeout = void (*)(void);
using RxDone = void (*)(uint8_t* payload, uint16_t size, int16_t rssi, int8_t snr);
using RxTimeout = void (*)(void);
using RxError = void (*)(void);
using FhssChangeChannel = void (*)(uint8_t currentChannel);
using CadDone = void (*)(bool channelActivityDetected);

}  // namespace radio_contract

#define RADIO_CONTRACT_SLOT(name)                                              \
  static_assert(std::is_same_v<decltype(Radio_s::name), radio_contract::name>, \
                "the radio record's " #name " slot differs from what the shared code calls")

RADIO_CONTRACT_SLOT(Init);
RADIO_CONTRACT_SLOT(GetStatus);
RADIO_CONTRACT_SLOT(SetModem);
RADIO_CONTRACT_SLOT(SetChannel);
RADIO_CONTRACT_SLOT(IsChannelFree);
RADIO_CONTRACT_SLOT(Random);
RADIO_CONTRACT_SLOT(SetRxConfig);
RADIO_CONTRACT_SLOT(SetTxConfig);
RADIO_CONTRACT_SLOT(CheckRfFrequency);
RADIO_CONTRACT_SLOT(TimeOnAir);
RADIO_CONTRACT_SLOT(Send);
RADIO_CONTRACT_SLOT(Sleep);
RADIO_CONTRACT_SLOT(Standby);
RADIO_CONTRACT_SLOT(Rx);
RADIO_CONTRACT_SLOT(StartCad);
RADIO_CONTRACT_SLOT(SetTxContinuousWave);
RADIO_CONTRACT_SLOT(Rssi);
RADIO_CONTRACT_SLOT(SetMaxPayloadLength);
RADIO_CONTRACT_SLOT(SetPublicNetwork);
RADIO_CONTRACT_SLOT(GetWakeupTime);
// The port's interrupt path (or main loop) calls it through the record.
RADIO_CONTRACT_SLOT(IrqProcess);
#undef RADIO_CONTRACT_SLOT

// The P2P sync word: a register write with a byte, at an address of 16 bits
// or more.
static_assert(std::is_same_v<decltype(Radio_s::Write), void (*)(uint16_t addr, uint8_t data)> ||
                  std::is_same_v<decltype(Radio_s::Write), void (*)(uint32_t addr, uint8_t data)>,
              "the radio record's Write slot cannot write a register at a 16-bit address");

// The callbacks every backend raises; a backend may have more after them.
#define RADIO_CONTRACT_EVENT(name)                                                   \
  static_assert(std::is_same_v<decltype(RadioEvents_t::name), radio_contract::name>, \
                "the radio events record's " #name " callback differs from what its users set")

RADIO_CONTRACT_EVENT(TxDone);
RADIO_CONTRACT_EVENT(TxTimeout);
RADIO_CONTRACT_EVENT(RxDone);
RADIO_CONTRACT_EVENT(RxTimeout);
RADIO_CONTRACT_EVENT(RxError);
RADIO_CONTRACT_EVENT(FhssChangeChannel);
RADIO_CONTRACT_EVENT(CadDone);
#undef RADIO_CONTRACT_EVENT

// The modem and state values the shared code passes and compares.
static_assert(MODEM_FSK == 0 && MODEM_LORA == 1, "the radio's modem values differ");
static_assert(RF_IDLE == 0 && RF_RX_RUNNING == 1 && RF_TX_RUNNING == 2 && RF_CAD == 3,
              "the radio's state values differ");

// The record the shared code calls through.
static_assert(std::is_same_v<decltype(Radio), const Radio_s>,
              "`Radio` is not the constant operations record");

#endif  // __cplusplus

#endif  // __RADIO_CONTRACT_H__

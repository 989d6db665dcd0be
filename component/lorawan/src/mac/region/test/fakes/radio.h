/*
 * Test stand-in for the radio operations record: the same names and slot
 * order as the firmware's, implemented by a recording fake (fake_radio.h),
 * and checked like every radio backend against what the regions call
 * (radio_contract.h).
 */
#ifndef __RADIO_H__
#define __RADIO_H__

#include <stdbool.h>
#include <stdint.h>

typedef enum {
  MODEM_FSK = 0,
  MODEM_LORA,
} RadioModems_t;

typedef enum {
  RF_IDLE = 0,
  RF_RX_RUNNING,
  RF_TX_RUNNING,
  RF_CAD,
} RadioState_t;

typedef struct {
  void (*TxDone)(void);
  void (*TxTimeout)(void);
  void (*RxDone)(uint8_t* payload, uint16_t size, int16_t rssi, int8_t snr);
  void (*RxTimeout)(void);
  void (*RxError)(void);
  void (*FhssChangeChannel)(uint8_t currentChannel);
  void (*CadDone)(bool channelActivityDetected);
  void (*GnssDone)(void);
  void (*WifiDone)(void);
} RadioEvents_t;

struct Radio_s {
  void (*Init)(RadioEvents_t* events);
  RadioState_t (*GetStatus)(void);
  void (*SetModem)(RadioModems_t modem);
  void (*SetChannel)(uint32_t freq);
  bool (*IsChannelFree)(uint32_t freq, uint32_t rxBandwidth, int16_t rssiThresh,
                        uint32_t maxCarrierSenseTime);
  uint32_t (*Random)(void);
  void (*SetRxConfig)(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate, uint8_t coderate,
                      uint32_t bandwidthAfc, uint16_t preambleLen, uint16_t symbTimeout,
                      bool fixLen, uint8_t payloadLen, bool crcOn, bool freqHopOn,
                      uint8_t hopPeriod, bool iqInverted, bool rxContinuous);
  void (*SetTxConfig)(RadioModems_t modem, int8_t power, uint32_t fdev, uint32_t bandwidth,
                      uint32_t datarate, uint8_t coderate, uint16_t preambleLen, bool fixLen,
                      bool crcOn, bool freqHopOn, uint8_t hopPeriod, bool iqInverted,
                      uint32_t timeout);
  bool (*CheckRfFrequency)(uint32_t frequency);
  uint32_t (*TimeOnAir)(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate,
                        uint8_t coderate, uint16_t preambleLen, bool fixLen, uint8_t payloadLen,
                        bool crcOn);
  void (*Send)(uint8_t* buffer, uint8_t size);
  void (*Sleep)(void);
  void (*Standby)(void);
  void (*Rx)(uint32_t timeout);
  void (*StartCad)(void);
  void (*SetTxContinuousWave)(uint32_t freq, int8_t power, uint16_t time);
  int16_t (*Rssi)(RadioModems_t modem);
  void (*Write)(uint32_t addr, uint8_t data);
  uint8_t (*Read)(uint32_t addr);
  void (*WriteBuffer)(uint32_t addr, uint8_t* buffer, uint8_t size);
  void (*ReadBuffer)(uint32_t addr, uint8_t* buffer, uint8_t size);
  void (*SetMaxPayloadLength)(RadioModems_t modem, uint8_t max);
  void (*SetPublicNetwork)(bool enable);
  uint32_t (*GetWakeupTime)(void);
  void (*IrqProcess)(void);
  void (*RxBoosted)(uint32_t timeout);
  void (*SetRxDutyCycle)(uint32_t rxTime, uint32_t sleepTime);
};

extern const struct Radio_s Radio;

#include "radio_contract.h"

#endif  // __RADIO_H__

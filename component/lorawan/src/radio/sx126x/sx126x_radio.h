/*!
 * \file sx126x_radio.h
 *
 * \brief The SX126x radio driver: its operations record `Radio`, the events
 *        record its users register and the functions behind the slots.
 *        Shared code includes radio.h, which brings this header in where the
 *        image links this driver.
 */
#ifndef __SX126X_RADIO_H__
#define __SX126X_RADIO_H__

#include <stdbool.h>
#include <stdint.h>

typedef enum {
  MODEM_FSK = 0,
  MODEM_LORA,
} RadioModems_t;

typedef enum {
  RF_IDLE = 0,    //!< standby or sleep
  RF_RX_RUNNING,  //!< receiving
  RF_TX_RUNNING,  //!< transmitting
  RF_CAD,         //!< channel activity detection
} RadioState_t;

/*!
 * Callbacks of one radio user; any may be absent. They run in the context
 * that runs the radio's interrupt processing.
 */
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

/*! The DIO1 interrupt handler given to the board; also forces a pass. */
void RadioOnDioIrq(void* context);

/*! The operations behind the slots of `Radio`, for callers that use them
 *  directly. */
void RadioInit(RadioEvents_t* events);
RadioState_t RadioGetStatus(void);
void RadioSetModem(RadioModems_t modem);
void RadioSetChannel(uint32_t freq);
bool RadioIsChannelFree(uint32_t freq, uint32_t rxBandwidth, int16_t rssiThresh,
                        uint32_t maxCarrierSenseTime);
uint32_t RadioRandom(void);
void RadioSetRxConfig(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate, uint8_t coderate,
                      uint32_t bandwidthAfc, uint16_t preambleLen, uint16_t symbTimeout,
                      bool fixLen, uint8_t payloadLen, bool crcOn, bool freqHopOn,
                      uint8_t hopPeriod, bool iqInverted, bool rxContinuous);
void RadioSetTxConfig(RadioModems_t modem, int8_t power, uint32_t fdev, uint32_t bandwidth,
                      uint32_t datarate, uint8_t coderate, uint16_t preambleLen, bool fixLen,
                      bool crcOn, bool freqHopOn, uint8_t hopPeriod, bool iqInverted,
                      uint32_t timeout);
bool RadioCheckRfFrequency(uint32_t frequency);
uint32_t RadioTimeOnAir(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate,
                        uint8_t coderate, uint16_t preambleLen, bool fixLen, uint8_t payloadLen,
                        bool crcOn);
void RadioSend(uint8_t* buffer, uint8_t size);
void RadioSleep(void);
void RadioStandby(void);
void RadioRx(uint32_t timeout);
void RadioStartCad(void);
void RadioSetTxContinuousWave(uint32_t freq, int8_t power, uint16_t time);
int16_t RadioRssi(RadioModems_t modem);
void RadioWrite(uint32_t addr, uint8_t data);
uint8_t RadioRead(uint32_t addr);
void RadioWriteBuffer(uint32_t addr, uint8_t* buffer, uint8_t size);
void RadioReadBuffer(uint32_t addr, uint8_t* buffer, uint8_t size);
void RadioSetMaxPayloadLength(RadioModems_t modem, uint8_t max);
void RadioSetPublicNetwork(bool enable);
uint32_t RadioGetWakeupTime(void);
void RadioIrqProcess(void);
void RadioRxBoosted(uint32_t timeout);
void RadioSetRxDutyCycle(uint32_t rxTime, uint32_t sleepTime);

#endif  // __SX126X_RADIO_H__

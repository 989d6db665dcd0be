// The sub-GHz radio driver of the STM32WL (stand-in for the vendor's driver):
// its operations record `Radio` and the events record of its users. It drives
// the radio through the SUBGHZ HAL and calls the board radio interface
// (RBI_*, radio_board_if.h) for the RF switch, TX path, TCXO and DC-DC, and
// the image's radio_conf.h for the TCXO start-up and crystal trim.
//
// Interrupts: the SUBGHZ HAL's callbacks call RadioOnDioIrq(irq) (the
// board's), which stores the mask in SubghzRadio.PendingIrq and runs
// RadioIrqProcess; the TX and RX timeout timers (timer server) call the
// board's RadioOnTxTimeoutIrq / RadioOnRxTimeoutIrq. The users' callbacks
// therefore run in interrupt context.
//
// The firmware's shared code includes the port's radio.h, which brings this
// header in and checks the record against what that code calls.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  MODEM_FSK = 0,
  MODEM_LORA,
  MODEM_MSK,
  MODEM_BPSK,
  MODEM_SIGFOX_TX,
  MODEM_SIGFOX_RX,
} RadioModems_t;

typedef enum {
  RF_IDLE = 0,
  RF_RX_RUNNING,
  RF_TX_RUNNING,
  RF_CAD,
} RadioState_t;

typedef enum {
  IRQ_RADIO_NONE = 0x0000,
  IRQ_TX_DONE = 0x0001,
  IRQ_RX_DONE = 0x0002,
  IRQ_PREAMBLE_DETECTED = 0x0004,
  IRQ_SYNCWORD_VALID = 0x0008,
  IRQ_HEADER_VALID = 0x0010,
  IRQ_HEADER_ERROR = 0x0020,
  IRQ_CRC_ERROR = 0x0040,
  IRQ_CAD_CLEAR = 0x0080,
  IRQ_CAD_DETECTED = 0x0100,
  IRQ_RX_TX_TIMEOUT = 0x0200,
  IRQ_RADIO_ALL = 0xFFFF,
} RadioIrqMasks_t;

typedef struct {
  void (*TxDone)(void);
  void (*TxTimeout)(void);
  void (*RxDone)(uint8_t* payload, uint16_t size, int16_t rssi, int8_t snr);
  void (*RxTimeout)(void);
  void (*RxError)(void);
  void (*FhssChangeChannel)(uint8_t currentChannel);
  void (*CadDone)(bool channelActivityDetected);
} RadioEvents_t;

// Generic configurations of the radio (accepted, not supported here: the
// shared code never uses them).
typedef void RadioGenericConfig_t;

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
  void (*Write)(uint16_t addr, uint8_t data);
  uint8_t (*Read)(uint16_t addr);
  void (*WriteRegisters)(uint16_t addr, uint8_t* buffer, uint8_t size);
  void (*ReadRegisters)(uint16_t addr, uint8_t* buffer, uint8_t size);
  void (*SetMaxPayloadLength)(RadioModems_t modem, uint8_t max);
  void (*SetPublicNetwork)(bool enable);
  uint32_t (*GetWakeupTime)(void);
  void (*IrqProcess)(void);
  void (*RxBoosted)(uint32_t timeout);
  void (*SetRxDutyCycle)(uint32_t rxTime, uint32_t sleepTime);
  void (*TxPrbs)(void);
  void (*TxCw)(int8_t power);
  int32_t (*RadioSetRxGenericConfig)(RadioModems_t modem, RadioGenericConfig_t* config,
                                     uint32_t rxContinuous, uint32_t symbTimeout);
  int32_t (*RadioSetTxGenericConfig)(RadioModems_t modem, RadioGenericConfig_t* config,
                                     int8_t power, uint32_t timeout);
  int32_t (*TransmitLongPacket)(uint16_t payloadSize, uint32_t timeout,
                                void (*txLongPacketGetNextChunk)(uint8_t**, uint8_t));
  int32_t (*ReceiveLongPacket)(uint8_t boostedRx, uint32_t timeout,
                               void (*rxLongPacketStoreChunk)(uint8_t*, uint8_t));
};

extern const struct Radio_s Radio;

// What the board's interrupt callbacks share with the driver.
typedef struct {
  RadioEvents_t* Events;       // the events record of the last Init
  RadioIrqMasks_t PendingIrq;  // the interrupt RadioIrqProcess handles next
} SubghzRadio_t;
extern SubghzRadio_t SubghzRadio;

void RadioIrqProcess(void);

// Supplied by the board (its radio interrupt callbacks).
void RadioOnDioIrq(RadioIrqMasks_t radioIrq);
void RadioOnTxTimeoutIrq(void* context);
void RadioOnRxTimeoutIrq(void* context);

#ifdef __cplusplus
}  // extern "C"
#endif

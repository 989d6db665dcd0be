/*
 * Controls and records of the test stand-ins: radio, clock, random draws and
 * the LoRa service's listen-before-talk settings.
 */
#ifndef REGION_TEST_FAKES_H
#define REGION_TEST_FAKES_H

#include <functional>
#include <map>
#include <vector>

#include "radio.h"
#include "timer.h"

namespace fake {

struct TxConfigCall {
  RadioModems_t Modem;
  int8_t Power;
  uint32_t Fdev;
  uint32_t Bandwidth;
  uint32_t Datarate;
  uint8_t Coderate;
  uint16_t PreambleLen;
  uint32_t Timeout;
};

struct RxConfigCall {
  RadioModems_t Modem;
  uint32_t Bandwidth;
  uint32_t Datarate;
  uint8_t Coderate;
  uint32_t BandwidthAfc;
  uint16_t PreambleLen;
  uint16_t SymbTimeout;
  bool FixLen;
  uint8_t PayloadLen;
  bool CrcOn;
  bool IqInverted;
  bool RxContinuous;
};

struct TimeOnAirCall {
  RadioModems_t Modem;
  uint32_t Bandwidth;
  uint32_t Datarate;
  uint8_t Coderate;
  uint16_t PreambleLen;
  uint8_t PayloadLen;
};

struct ChannelFreeCall {
  uint32_t Frequency;
  uint32_t RxBandwidth;
  int16_t RssiThreshold;
  uint32_t MaxCarrierSenseTime;
};

struct RadioState {
  // Behaviour.
  RadioState_t Status = RF_IDLE;
  uint32_t WakeupTime = 1;
  uint32_t TimeOnAirMs = 100;
  uint32_t MinFrequency = 150000000;
  uint32_t MaxFrequency = 960000000;
  int16_t NoiseFloor = -120;
  std::map<uint32_t, int16_t> ChannelEnergy;  // dBm heard on a frequency

  // Records.
  std::vector<uint32_t> Channels;  // SetChannel arguments
  std::vector<TxConfigCall> TxConfigs;
  std::vector<RxConfigCall> RxConfigs;
  std::vector<TimeOnAirCall> TimeOnAirs;
  std::vector<ChannelFreeCall> ChannelFreeCalls;
  std::vector<std::pair<RadioModems_t, uint8_t>> MaxPayloadLengths;
  std::vector<uint32_t> RxCalls;
  int SleepCalls = 0;
  int TotalCalls = 0;
};

extern RadioState radio;

// The clock of TimerGetCurrentTime/TimerGetElapsedTime, in ms.
extern TimerTime_t now;

// What randr draws; by default the lowest value of the range.
extern std::function<int32_t(int32_t, int32_t)> random;

// The LoRa service's listen-before-talk settings.
extern int32_t lbt;
extern int16_t lbtRssi;
extern uint32_t lbtScanTime;

// Back to the defaults above, records cleared.
void Reset();

}  // namespace fake

#endif  // REGION_TEST_FAKES_H

#include "fakes.h"

#include "RegionLbt.h"
#include "utilities.h"

namespace fake {

RadioState radio;
TimerTime_t now = 0;
std::function<int32_t(int32_t, int32_t)> random;
int32_t lbt = 0;
int16_t lbtRssi = -80;
uint32_t lbtScanTime = 5;

void Reset() {
  radio = RadioState{};
  now = 0;
  random = [](int32_t min, int32_t) { return min; };
  lbt = 0;
  lbtRssi = -80;
  lbtScanTime = 5;
}

}  // namespace fake

using fake::radio;

TimerTime_t TimerGetCurrentTime(void) { return fake::now; }

TimerTime_t TimerGetElapsedTime(TimerTime_t past) { return (past == 0) ? 0 : fake::now - past; }

int32_t randr(int32_t min, int32_t max) {
  int32_t value = fake::random ? fake::random(min, max) : min;
  return (value < min || value > max) ? min : value;
}

int32_t service_lora_get_lbt(void) { return fake::lbt; }

int16_t service_lora_get_lbt_rssi(void) { return fake::lbtRssi; }

uint32_t service_lora_get_lbt_scantime(void) { return fake::lbtScanTime; }

namespace {

void Init(RadioEvents_t*) { radio.TotalCalls++; }

RadioState_t GetStatus() {
  radio.TotalCalls++;
  return radio.Status;
}

void SetModem(RadioModems_t) { radio.TotalCalls++; }

void SetChannel(uint32_t freq) {
  radio.TotalCalls++;
  radio.Channels.push_back(freq);
}

// Free when the energy heard on the frequency stays below the threshold.
bool IsChannelFree(uint32_t freq, uint32_t rxBandwidth, int16_t rssiThresh,
                   uint32_t maxCarrierSenseTime) {
  radio.TotalCalls++;
  radio.ChannelFreeCalls.push_back({freq, rxBandwidth, rssiThresh, maxCarrierSenseTime});
  auto it = radio.ChannelEnergy.find(freq);
  int16_t rssi = (it != radio.ChannelEnergy.end()) ? it->second : radio.NoiseFloor;
  return rssi < rssiThresh;
}

uint32_t Random() {
  radio.TotalCalls++;
  return 0;
}

void SetRxConfig(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate, uint8_t coderate,
                 uint32_t bandwidthAfc, uint16_t preambleLen, uint16_t symbTimeout, bool fixLen,
                 uint8_t payloadLen, bool crcOn, bool, uint8_t, bool iqInverted,
                 bool rxContinuous) {
  radio.TotalCalls++;
  radio.RxConfigs.push_back({modem, bandwidth, datarate, coderate, bandwidthAfc, preambleLen,
                             symbTimeout, fixLen, payloadLen, crcOn, iqInverted, rxContinuous});
}

void SetTxConfig(RadioModems_t modem, int8_t power, uint32_t fdev, uint32_t bandwidth,
                 uint32_t datarate, uint8_t coderate, uint16_t preambleLen, bool, bool, bool,
                 uint8_t, bool, uint32_t timeout) {
  radio.TotalCalls++;
  radio.TxConfigs.push_back(
      {modem, power, fdev, bandwidth, datarate, coderate, preambleLen, timeout});
}

bool CheckRfFrequency(uint32_t frequency) {
  radio.TotalCalls++;
  return frequency >= radio.MinFrequency && frequency <= radio.MaxFrequency;
}

uint32_t TimeOnAir(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate, uint8_t coderate,
                   uint16_t preambleLen, bool, uint8_t payloadLen, bool) {
  radio.TotalCalls++;
  radio.TimeOnAirs.push_back({modem, bandwidth, datarate, coderate, preambleLen, payloadLen});
  return radio.TimeOnAirMs;
}

void Send(uint8_t*, uint8_t) { radio.TotalCalls++; }

void Sleep() {
  radio.TotalCalls++;
  radio.SleepCalls++;
}

void Standby() { radio.TotalCalls++; }

void Rx(uint32_t timeout) {
  radio.TotalCalls++;
  radio.RxCalls.push_back(timeout);
}

void StartCad() { radio.TotalCalls++; }

void SetTxContinuousWave(uint32_t, int8_t, uint16_t) { radio.TotalCalls++; }

int16_t Rssi(RadioModems_t) {
  radio.TotalCalls++;
  return radio.NoiseFloor;
}

void Write(uint32_t, uint8_t) { radio.TotalCalls++; }

uint8_t Read(uint32_t) {
  radio.TotalCalls++;
  return 0;
}

void WriteBuffer(uint32_t, uint8_t*, uint8_t) { radio.TotalCalls++; }

void ReadBuffer(uint32_t, uint8_t*, uint8_t) { radio.TotalCalls++; }

void SetMaxPayloadLength(RadioModems_t modem, uint8_t max) {
  radio.TotalCalls++;
  radio.MaxPayloadLengths.push_back({modem, max});
}

void SetPublicNetwork(bool) { radio.TotalCalls++; }

uint32_t GetWakeupTime() {
  radio.TotalCalls++;
  return radio.WakeupTime;
}

void IrqProcess() { radio.TotalCalls++; }

void RxBoosted(uint32_t) { radio.TotalCalls++; }

void SetRxDutyCycle(uint32_t, uint32_t) { radio.TotalCalls++; }

}  // namespace

const struct Radio_s Radio = {
    Init,
    GetStatus,
    SetModem,
    SetChannel,
    IsChannelFree,
    Random,
    SetRxConfig,
    SetTxConfig,
    CheckRfFrequency,
    TimeOnAir,
    Send,
    Sleep,
    Standby,
    Rx,
    StartCad,
    SetTxContinuousWave,
    Rssi,
    Write,
    Read,
    WriteBuffer,
    ReadBuffer,
    SetMaxPayloadLength,
    SetPublicNetwork,
    GetWakeupTime,
    IrqProcess,
    RxBoosted,
    SetRxDutyCycle,
};

#include "fake_radio.h"

#include "board.h"

namespace fakeradio {

State radio;

void reset() { radio = State(); }

std::vector<Call> calls_of(const std::string &op) {
  std::vector<Call> out;
  for (const Call &c : radio.calls) {
    if (c.op == op) {
      out.push_back(c);
    }
  }
  return out;
}

bool called(const std::string &op) { return !calls_of(op).empty(); }

namespace {

void log(const std::string &op, std::vector<int64_t> args = {}) {
  radio.calls.push_back({op, std::move(args)});
}

void Init(RadioEvents_t *events) {
  radio.events = events;
  radio.status = RF_IDLE;
  log("Init");
}

RadioState_t GetStatus(void) { return radio.status; }

void SetModem(RadioModems_t modem) { log("SetModem", {modem}); }

void SetChannel(uint32_t freq) { log("SetChannel", {freq}); }

bool IsChannelFree(uint32_t, uint32_t, int16_t, uint32_t) {
  log("IsChannelFree");
  return true;
}

uint32_t Random(void) {
  log("Random");
  if (radio.randoms.empty()) {
    return 0;
  }
  uint32_t r = radio.randoms.front();
  radio.randoms.pop_front();
  return r;
}

void SetRxConfig(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate, uint8_t coderate,
                 uint32_t bandwidthAfc, uint16_t preambleLen, uint16_t symbTimeout, bool fixLen,
                 uint8_t payloadLen, bool crcOn, bool freqHopOn, uint8_t hopPeriod, bool iqInverted,
                 bool rxContinuous) {
  log("SetRxConfig", {modem, bandwidth, datarate, coderate, bandwidthAfc, preambleLen, symbTimeout,
                      fixLen, payloadLen, crcOn, freqHopOn, hopPeriod, iqInverted, rxContinuous});
}

void SetTxConfig(RadioModems_t modem, int8_t power, uint32_t fdev, uint32_t bandwidth,
                 uint32_t datarate, uint8_t coderate, uint16_t preambleLen, bool fixLen, bool crcOn,
                 bool freqHopOn, uint8_t hopPeriod, bool iqInverted, uint32_t timeout) {
  log("SetTxConfig", {modem, power, fdev, bandwidth, datarate, coderate, preambleLen, fixLen, crcOn,
                      freqHopOn, hopPeriod, iqInverted, timeout});
}

bool CheckRfFrequency(uint32_t) { return true; }

uint32_t TimeOnAir(RadioModems_t, uint32_t, uint32_t, uint8_t, uint16_t, bool, uint8_t, bool) {
  return 0;
}

void Send(uint8_t *buffer, uint8_t size) {
  radio.sent.assign(buffer, buffer + size);
  radio.status = RF_TX_RUNNING;
  log("Send", {size});
}

void Sleep(void) {
  radio.status = RF_IDLE;
  log("Sleep");
}

void Standby(void) {
  radio.status = RF_IDLE;
  log("Standby");
}

void Rx(uint32_t timeout) {
  radio.status = RF_RX_RUNNING;
  log("Rx", {timeout});
}

void StartCad(void) {
  radio.status = RF_CAD;
  log("StartCad");
  if (radio.on_cad) {
    radio.on_cad();
  }
}

void SetTxContinuousWave(uint32_t, int8_t, uint16_t) {}

int16_t Rssi(RadioModems_t) { return -120; }

void Write(uint16_t addr, uint8_t data) {
  radio.regs[addr] = data;
  log("Write", {addr, data});
}

uint8_t Read(uint16_t addr) { return radio.regs[addr]; }

void WriteRegisters(uint16_t, uint8_t *, uint8_t) {}

void ReadRegisters(uint16_t, uint8_t *, uint8_t) {}

void SetMaxPayloadLength(RadioModems_t modem, uint8_t max) {
  log("SetMaxPayloadLength", {modem, max});
}

void SetPublicNetwork(bool) {}

uint32_t GetWakeupTime(void) { return 0; }

void IrqProcess(void) {}

void RxBoosted(uint32_t) {}

void SetRxDutyCycle(uint32_t, uint32_t) {}

void TxPrbs(void) {}

void TxCw(int8_t) {}

int32_t SetRxGenericConfig(RadioModems_t, RadioGenericConfig_t *, uint32_t, uint32_t) { return -1; }

int32_t SetTxGenericConfig(RadioModems_t, RadioGenericConfig_t *, int8_t, uint32_t) { return -1; }

int32_t TransmitLongPacket(uint16_t, uint32_t, void (*)(uint8_t **, uint8_t)) { return -1; }

int32_t ReceiveLongPacket(uint8_t, uint32_t, void (*)(uint8_t *, uint8_t)) { return -1; }

}  // namespace

}  // namespace fakeradio

using namespace fakeradio;

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
    WriteRegisters,
    ReadRegisters,
    SetMaxPayloadLength,
    SetPublicNetwork,
    GetWakeupTime,
    IrqProcess,
    RxBoosted,
    SetRxDutyCycle,
    TxPrbs,
    TxCw,
    SetRxGenericConfig,
    SetTxGenericConfig,
    TransmitLongPacket,
    ReceiveLongPacket,
};

void BoardInitMcu(void) { fakeradio::radio.board_inits++; }

void BoardResetMcu(void) {}

void BoardCriticalSectionBegin(uint32_t *mask) { *mask = 0; }

void BoardCriticalSectionEnd(uint32_t *) {}

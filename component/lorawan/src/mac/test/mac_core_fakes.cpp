#include "mac_core_fakes.h"

#include <cstring>
#include <map>

#include "LoRaMac.h"
#include "RegionLbt.h"
#include "board.h"
#include "rtc-board.h"
#include "timer.h"

namespace mac_world {

RadioLog radio;
Client client;

namespace {

uint64_t now = 0;
uint32_t timerContext = 0;
std::optional<uint64_t> alarmAt;
uint32_t bkup0 = 0;
uint32_t bkup1 = 0;
std::multimap<uint64_t, std::function<void()>> events;
bool processRequested = false;
uint64_t radioGeneration = 0;  // pending radio events of an older operation are void

void At(uint64_t t, std::function<void()> fn) { events.emplace(t, std::move(fn)); }

void MainLoop() {
  while (processRequested) {
    processRequested = false;
    LoRaMacProcess();
  }
}

void McpsConfirm(McpsConfirm_t* c) {
  client.Calls.push_back("mcps-confirm");
  client.McpsConfirms.push_back(*c);
  client.McpsConfirmTimes.push_back(now);
}

void McpsIndication(McpsIndication_t* i) {
  client.Calls.push_back("mcps-indication");
  client.McpsIndications.push_back(*i);
  client.IndicationPayloads.emplace_back(i->Buffer, i->Buffer + (i->Buffer ? i->BufferSize : 0));
}

void MlmeConfirm(MlmeConfirm_t* c) {
  client.Calls.push_back("mlme-confirm");
  client.MlmeConfirms.push_back(*c);
}

void MlmeIndication(MlmeIndication_t* i) {
  client.Calls.push_back("mlme-indication");
  client.MlmeIndications.push_back(*i);
}

void NvmDataChange(uint16_t flags) {
  client.Calls.push_back("nvm");
  client.NvmFlags.push_back(flags);
  if (client.OnNvmDataChange) {
    client.OnNvmDataChange(flags);
  }
}

void MacProcessNotify() { processRequested = true; }

}  // namespace

LoRaMacPrimitives_t primitives = {McpsConfirm, McpsIndication, MlmeConfirm, MlmeIndication};
LoRaMacCallback_t callbacks = {nullptr, nullptr, NvmDataChange, MacProcessNotify};

uint64_t Now() { return now; }

void Reset() {
  now = 1000;  // the timer list treats time 0 as "never"
  timerContext = 0;
  alarmAt.reset();
  events.clear();
  processRequested = false;
  radio = RadioLog{};
  client = Client{};
}

void RunUntil(uint64_t t) {
  MainLoop();
  for (;;) {
    uint64_t next = t + 1;
    if (alarmAt && *alarmAt < next) {
      next = *alarmAt;
    }
    if (!events.empty() && events.begin()->first < next) {
      next = events.begin()->first;
    }
    if (next > t) {
      break;
    }
    now = next;
    if (alarmAt && *alarmAt == now) {
      alarmAt.reset();
      TimerIrqHandler();
    } else {
      auto it = events.begin();
      auto fn = std::move(it->second);
      events.erase(it);
      fn();
    }
    MainLoop();
  }
  now = t;
}

void RunFor(uint64_t ms) { RunUntil(now + ms); }

}  // namespace mac_world

using mac_world::radio;

// --- board ------------------------------------------------------------------

void BoardCriticalSectionBegin(uint32_t* mask) { *mask = 0; }

void BoardCriticalSectionEnd(uint32_t*) {}

void DelayMsMcu(uint32_t) {}

// --- RTC: one tick per ms ---------------------------------------------------

void RtcInit(void) {}

uint32_t RtcSetTimerContext(void) {
  mac_world::timerContext = (uint32_t)mac_world::now;
  return mac_world::timerContext;
}

uint32_t RtcGetTimerContext(void) { return mac_world::timerContext; }

uint32_t RtcGetMinimumTimeout(void) { return 1; }

uint32_t RtcMs2Tick(TimerTime_t milliseconds) { return milliseconds; }

TimerTime_t RtcTick2Ms(uint32_t tick) { return tick; }

void RtcSetAlarm(uint32_t timeout) {
  mac_world::alarmAt = (uint64_t)mac_world::timerContext + timeout;
}

void RtcStopAlarm(void) { mac_world::alarmAt.reset(); }

uint32_t RtcGetTimerValue(void) { return (uint32_t)mac_world::now; }

uint32_t RtcGetTimerElapsedTime(void) { return (uint32_t)mac_world::now - mac_world::timerContext; }

uint32_t RtcGetCalendarTime(uint16_t* milliseconds) {
  *milliseconds = (uint16_t)(mac_world::now % 1000);
  return (uint32_t)(mac_world::now / 1000);
}

void RtcBkupWrite(uint32_t data0, uint32_t data1) {
  mac_world::bkup0 = data0;
  mac_world::bkup1 = data1;
}

void RtcBkupRead(uint32_t* data0, uint32_t* data1) {
  *data0 = mac_world::bkup0;
  *data1 = mac_world::bkup1;
}

TimerTime_t RtcTempCompensation(TimerTime_t period, float) { return period; }

// --- listen-before-talk settings of the LoRa service --------------------------

int32_t service_lora_get_lbt(void) { return 0; }

int16_t service_lora_get_lbt_rssi(void) { return -80; }

uint32_t service_lora_get_lbt_scantime(void) { return 5; }

// --- radio ----------------------------------------------------------------------

namespace {

void Init(RadioEvents_t* events) { radio.Events = events; }

RadioState_t GetStatus() { return radio.State; }

void SetModem(RadioModems_t) {}

void SetChannel(uint32_t freq) { radio.Frequency = freq; }

bool IsChannelFree(uint32_t, uint32_t, int16_t, uint32_t) { return true; }

uint32_t Random() { return 0x12345678; }

void SetRxConfig(RadioModems_t, uint32_t, uint32_t datarate, uint8_t, uint32_t, uint16_t, uint16_t,
                 bool, uint8_t, bool, bool, uint8_t, bool, bool rxContinuous) {
  radio.RxDatarate = datarate;
  radio.RxContinuous = rxContinuous;
}

void SetTxConfig(RadioModems_t, int8_t, uint32_t, uint32_t, uint32_t datarate, uint8_t, uint16_t,
                 bool, bool, bool, uint8_t, bool, uint32_t) {
  radio.TxDatarate = datarate;
}

bool CheckRfFrequency(uint32_t) { return true; }

uint32_t TimeOnAir(RadioModems_t, uint32_t, uint32_t, uint8_t, uint16_t, bool, uint8_t, bool) {
  return radio.AirTimeMs;
}

void Send(uint8_t* buffer, uint8_t size) {
  radio.Ops.push_back("send");
  radio.Sent.push_back(
      {mac_world::now, radio.Frequency, radio.TxDatarate, {buffer, buffer + size}});
  uint64_t gen = ++mac_world::radioGeneration;
  radio.State = RF_TX_RUNNING;
  if (radio.TxTimesOut) {
    mac_world::At(mac_world::now + 3000, [gen] {
      if (gen != mac_world::radioGeneration) return;
      radio.State = RF_IDLE;
      radio.Events->TxTimeout();
    });
    return;
  }
  mac_world::At(mac_world::now + radio.AirTimeMs, [gen] {
    if (gen != mac_world::radioGeneration) return;
    radio.State = RF_IDLE;
    radio.Events->TxDone();
  });
}

// Frames heard are copied here, as a radio keeps them in its own buffer.
uint8_t rxBuffer[255];

void Sleep() {
  radio.Ops.push_back("sleep");
  radio.State = RF_IDLE;
  ++mac_world::radioGeneration;
}

void Standby() {
  radio.Ops.push_back("standby");
  radio.State = RF_IDLE;
  ++mac_world::radioGeneration;
}

void Rx(uint32_t timeout) {
  radio.Ops.push_back("rx");
  mac_world::RxCall call{mac_world::now, timeout, radio.Frequency, radio.RxDatarate, timeout == 0};
  radio.Rx.push_back(call);
  uint64_t gen = ++mac_world::radioGeneration;
  radio.State = RF_RX_RUNNING;
  std::optional<std::vector<uint8_t>> frame;
  if (radio.Air) {
    frame = radio.Air(call);
  }
  if (frame) {
    std::vector<uint8_t> bytes = *frame;
    bool continuous = timeout == 0;
    mac_world::At(mac_world::now + radio.RxFrameMs, [gen, bytes, continuous] {
      if (gen != mac_world::radioGeneration) return;
      if (!continuous) radio.State = RF_IDLE;
      if (!bytes.empty()) memcpy(rxBuffer, bytes.data(), bytes.size());
      radio.Events->RxDone(rxBuffer, (uint16_t)bytes.size(), -60, radio.RxSnr);
    });
  } else if (timeout != 0) {
    mac_world::At(mac_world::now + radio.RxTimeoutMs, [gen] {
      if (gen != mac_world::radioGeneration) return;
      radio.State = RF_IDLE;
      radio.Events->RxTimeout();
    });
  }
}

void SetTxContinuousWave(uint32_t, int8_t, uint16_t time) {
  radio.Ops.push_back("cw");
  uint64_t gen = ++mac_world::radioGeneration;
  radio.State = RF_TX_RUNNING;
  mac_world::At(mac_world::now + time * 1000ULL, [gen] {
    if (gen != mac_world::radioGeneration) return;
    radio.State = RF_IDLE;
    radio.Events->TxTimeout();
  });
}

void SetMaxPayloadLength(RadioModems_t, uint8_t) {}

void SetPublicNetwork(bool enable) { radio.PublicNetwork = enable; }

uint32_t GetWakeupTime() { return 1; }

}  // namespace

const struct Radio_s Radio = {
    .Init = Init,
    .GetStatus = GetStatus,
    .SetModem = SetModem,
    .SetChannel = SetChannel,
    .IsChannelFree = IsChannelFree,
    .Random = Random,
    .SetRxConfig = SetRxConfig,
    .SetTxConfig = SetTxConfig,
    .CheckRfFrequency = CheckRfFrequency,
    .TimeOnAir = TimeOnAir,
    .Send = Send,
    .Sleep = Sleep,
    .Standby = Standby,
    .Rx = Rx,
    .StartCad = nullptr,
    .SetTxContinuousWave = SetTxContinuousWave,
    .Rssi = nullptr,
    .Write = nullptr,
    .Read = nullptr,
    .WriteBuffer = nullptr,
    .ReadBuffer = nullptr,
    .SetMaxPayloadLength = SetMaxPayloadLength,
    .SetPublicNetwork = SetPublicNetwork,
    .GetWakeupTime = GetWakeupTime,
    .IrqProcess = nullptr,
    .RxBoosted = nullptr,
    .SetRxDutyCycle = nullptr,
};

/*
 * The world of the MAC core's unit tests: a virtual millisecond clock under
 * the real timer list (a fake RTC), a recording radio whose transmissions end
 * after a set air time and whose receptions end with a frame the test
 * supplies or a timeout, and a client that records every primitive.
 */
#ifndef MAC_CORE_FAKES_H
#define MAC_CORE_FAKES_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "LoRaMac.h"
#include "radio.h"

namespace mac_world {

struct RxCall {
  uint64_t At;
  uint32_t Timeout;
  uint32_t Frequency;
  uint32_t Datarate;  // spreading factor (LoRa) of the last RX configuration
  bool Continuous;
};

struct TxFrame {
  uint64_t At;
  uint32_t Frequency;
  uint32_t Datarate;
  std::vector<uint8_t> Bytes;
};

struct RadioLog {
  RadioEvents_t* Events = nullptr;
  std::vector<TxFrame> Sent;
  std::vector<RxCall> Rx;
  std::vector<std::string> Ops;  // "send", "rx", "sleep", "standby", "cw"
  uint32_t Frequency = 0;
  uint32_t RxDatarate = 0;
  uint32_t TxDatarate = 0;
  bool RxContinuous = false;
  bool PublicNetwork = false;
  uint32_t AirTimeMs = 60;    // every frame's time on air
  uint32_t RxTimeoutMs = 30;  // a window without a frame ends after this
  uint32_t RxFrameMs = 40;    // a frame in a window is received after this
  bool TxTimesOut = false;
  int8_t RxSnr = 7;  // the SNR of every frame heard
  // What the radio is doing, as a radio reports it: a continuous reception
  // keeps running after a frame, a single one ends with it or its timeout.
  RadioState_t State = RF_IDLE;
  // Answers a reception: the frame heard in that window, if any.
  std::function<std::optional<std::vector<uint8_t>>(const RxCall&)> Air;
};

extern RadioLog radio;

/*! Virtual time in ms. */
uint64_t Now();

/*! Back to time 0, empty logs, no pending events or timers. */
void Reset();

/*!
 * Lets time run to \a ms: timer alarms and radio events fire at their
 * times, and after each the client's main loop runs the process step when
 * the MAC asked for one.
 */
void RunUntil(uint64_t ms);
void RunFor(uint64_t ms);

/*! What the client received, in order. */
struct Client {
  std::vector<std::string> Calls;  // "mcps-confirm", "mlme-confirm", ...
  std::vector<McpsConfirm_t> McpsConfirms;
  std::vector<uint64_t> McpsConfirmTimes;
  std::vector<MlmeConfirm_t> MlmeConfirms;
  std::vector<McpsIndication_t> McpsIndications;
  std::vector<std::vector<uint8_t>> IndicationPayloads;
  std::vector<MlmeIndication_t> MlmeIndications;
  std::vector<uint16_t> NvmFlags;
  std::function<void(uint16_t)> OnNvmDataChange;
};

extern Client client;
extern LoRaMacPrimitives_t primitives;
extern LoRaMacCallback_t callbacks;

}  // namespace mac_world

#endif

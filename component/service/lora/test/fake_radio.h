// A stand-in for the radio operations record `Radio` and the board's radio
// bring-up: it logs every call with its arguments and keeps the state a
// caller can observe (status, registers, the events record). Tests raise the
// radio's callbacks themselves, as the radio interrupt would.
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "radio.h"

namespace fakeradio {

struct Call {
  std::string op;
  std::vector<int64_t> args;
};

struct State {
  std::vector<Call> calls;
  RadioEvents_t *events = nullptr;
  RadioState_t status = RF_IDLE;
  std::map<uint16_t, uint8_t> regs;
  std::vector<uint8_t> sent;     // payload of the last Send
  std::deque<uint32_t> randoms;  // values Random returns (then 0)
  // Runs inside StartCad: the CAD-done interrupt, when it comes at all.
  std::function<void()> on_cad;
  int board_inits = 0;
};

extern State radio;

void reset();
// The calls of one operation, in order.
std::vector<Call> calls_of(const std::string &op);
bool called(const std::string &op);

}  // namespace fakeradio

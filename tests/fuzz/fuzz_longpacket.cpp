// A long packet from the user (AT+LPSEND's data) cut into fragments while
// the network moves the device's data rate and the MAC refuses, loses or
// delivers fragments: the real fragmenter over stand-ins of the MAC's
// payload room, the LoRaWAN service's send and the timer server (those of
// its unit test). Every fragment must fit the room it was cut for and carry
// a right header and checksum; a transfer whose fragments all arrived must
// put the packet back together.
//
// Input: byte 0 the port, byte 1 options (bit 0 confirmed, bits 1-2 the
// resends allowed), byte 2 the room at the start, byte 3 the length S of
// the script, S script bytes, then the packet. A script byte is an event:
//   bits 0-1  0: the fragment in flight arrived; 1: it was lost; 2: the
//             room changes to the next script byte; 3: the next send is
//             refused (bit 2: for a busy MAC, else for another reason)
//             and the retry timer fires.
// When the script ends, every fragment still to come arrives.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <vector>

#include "LoRaMac.h"
#include "service_lora_longpacket.h"
#include "service_lora_lorawan_internal.h"
#include "timer.h"
#include "udrv_errno.h"
#include "udrv_system.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sent {
  Bytes bytes;
  uint16_t room;
};

uint16_t g_room = 51;
std::vector<int32_t> g_send_results;  // the next results of the send, then 0
std::vector<Sent> g_sent;
uint8_t g_retry = 0;
void (*g_timer_callback)(void *) = nullptr;
bool g_timer_running = false;

void require(bool ok) {
  if (!ok) abort();
}

// What a receiver reads of a fragment; aborts on a malformed one.
struct Frag {
  uint8_t header, magic, to_come, serial;
  Bytes data;
};

Frag Check(const Sent &s) {
  const Bytes &p = s.bytes;
  require(p.size() >= 6 && p.size() <= 255);
  require(p[4] + 6u == p.size());
  // The room the MAC offered, less what the fragmenter keeps back.
  uint32_t m = s.room > 200 ? s.room - 20u : s.room;
  require(p.size() <= m);
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < p.size(); ++i) sum = (uint8_t)(sum + p[i]);
  require(sum == p.back());
  require((p[0] & 1) == 1);
  return {p[0], p[1], p[2], p[3], Bytes(p.begin() + 5, p.end() - 1)};
}

void FireTimer() {
  if (g_timer_running && g_timer_callback) {
    g_timer_running = false;
    g_timer_callback(nullptr);
  }
  service_lora_lptp_process();
}

}  // namespace

TimerTime_t DutyCycleWaitTime = 0;

uint16_t GetMaxAppPayloadWithFOptsLength(void) { return g_room; }

int32_t service_lora_send(uint8_t *buff, uint32_t len, SERVICE_LORA_SEND_INFO, bool) {
  int32_t ret = 0;
  if (!g_send_results.empty()) {
    ret = g_send_results.front();
    g_send_results.erase(g_send_results.begin());
  }
  if (ret == 0) g_sent.push_back({Bytes(buff, buff + len), g_room});
  return ret;
}

uint8_t service_nvm_get_retry_from_nvm(void) { return g_retry; }
uint32_t udrv_system_random(uint32_t) { return 0xA5; }
int32_t udrv_system_event_produce(udrv_system_event_t *) { return 0; }
void TimerInit(TimerEvent_t *, void (*callback)(void *)) { g_timer_callback = callback; }
void TimerStart(TimerEvent_t *) { g_timer_running = true; }
void TimerStop(TimerEvent_t *) { g_timer_running = false; }
void TimerSetValue(TimerEvent_t *, uint32_t) { g_timer_running = false; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  // Ends a transfer an earlier input left running.
  for (int i = 0; i < 600 && service_lora_lptp_busy(); ++i) {
    g_send_results.clear();
    FireTimer();
    service_lora_lptp_send_callback(0);
  }
  require(!service_lora_lptp_busy());
  g_send_results.clear();
  g_sent.clear();
  g_timer_running = false;

  const uint8_t port = data[0];
  const bool confirmed = (data[1] & 1) != 0;
  g_retry = (data[1] >> 1) & 3;
  g_room = data[2];
  const size_t scriptLen = data[3] < size - 4 ? data[3] : size - 4;
  const uint8_t *script = data + 4;
  const Bytes packet(data + 4 + scriptLen, data + size);

  const int32_t ret = service_lora_lptp_send(
      port, confirmed, packet.empty() ? nullptr : packet.data(), (uint16_t)packet.size());
  if (ret != 0) {
    require(!service_lora_lptp_busy() && g_sent.empty());
    return 0;
  }
  // What arrived, by serial number: the last copy of each.
  std::map<uint8_t, Frag> arrived;
  bool lastArrived = false;
  size_t checked = 0;
  auto checkNew = [&]() {
    for (; checked < g_sent.size(); ++checked) Check(g_sent[checked]);
  };
  auto deliver = [&](bool ok) {
    checkNew();
    if (!g_sent.empty() && ok) {
      Frag f = Check(g_sent.back());
      lastArrived = lastArrived || f.to_come == 0;
      arrived[f.serial] = f;
    }
    service_lora_lptp_send_callback(ok ? 0 : 1);
  };
  for (size_t i = 0; i < scriptLen && service_lora_lptp_busy(); ++i) {
    const uint8_t e = script[i];
    switch (e & 3) {
      case 0:
        deliver(true);
        break;
      case 1:
        deliver(false);
        break;
      case 2:
        if (i + 1 < scriptLen) g_room = script[++i];
        break;
      case 3:
        g_send_results.push_back((e & 4) ? -UDRV_BUSY : -UDRV_WRONG_ARG);
        FireTimer();
        break;
    }
  }
  g_send_results.clear();
  for (int i = 0; i < 600 && service_lora_lptp_busy(); ++i) {
    FireTimer();
    if (service_lora_lptp_busy()) deliver(true);
  }
  checkNew();
  require(!service_lora_lptp_busy());
  if (lastArrived) {
    // Serial numbers from 1 without a gap, each announcing the rest.
    Bytes out;
    uint8_t serial = 1;
    for (auto &[s, f] : arrived) {
      require(s == serial++);
      require(f.magic == 0xA5);
      out.insert(out.end(), f.data.begin(), f.data.end());
    }
    require(out == packet);
  }
  return 0;
}

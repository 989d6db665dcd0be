// Long packets over the LoRaWAN service, one fragment per uplink. The
// fragment size is worked out anew for every fragment from the room the MAC
// leaves at the current data rate, so a data-rate change in mid-transfer only
// changes the size of the fragments still to send.
#include "service_lora_longpacket.h"

#include <string.h>

#include "LoRaMac.h"
#include "service_lora.h"
#include "service_lora_lorawan_internal.h"
#include "service_nvm.h"
#include "timer.h"
#include "udrv_errno.h"
#include "udrv_system.h"

namespace {

typedef struct {
  uint8_t LType : 1;
  uint8_t RetryFlag : 1;
  uint8_t RSV : 6;
} LHDR_st;

typedef struct {
  LHDR_st header;
  uint8_t magic;
  uint8_t fcnt;
  uint8_t fser;
  uint8_t fdata_len;
  uint8_t *pdata;
  uint32_t data_total_len;
  uint32_t data_finish_len;
  uint32_t data_packet_len;
  uint32_t confirm_status;
} LP_State_st;

// Header, transfer identifier, fragments to come, serial number, data length;
// then the checksum after the data.
constexpr uint32_t kOverhead = 6;
// The data of one fragment is limited so that header and checksum always fit
// the 256-byte fragment buffer and the 8-bit fragment length, whatever the
// MAC reports (no data rate carries more than 242 bytes).
constexpr uint32_t kMaxFragmentData = 249;
// The serial number (from 1) and the count of fragments to come are 8 bits
// wide.
constexpr uint32_t kMaxFragments = 255;
// Wait before a fragment refused for a busy MAC is offered again.
constexpr uint32_t kRetryDelayMs = 1000;

LP_State_st lp_state;
uint8_t lp_data[LPTP_DATA_BUFFER_MAX_SIZE];
uint16_t lp_len = 0;
bool lptp_enable = false;
uint8_t AppPort = 0;
uint8_t AppData[256];
uint8_t AppLen = 0;

// The current fragment's uplink is on its way and its end is awaited.
bool in_flight = false;
// Sends of the same fragment still allowed after a failed one.
uint8_t resends_left = 0;
// A refused send waits for the retry timer.
TimerEvent_t retry_timer;
bool retry_timer_ready = false;
volatile bool retry_due = false;
udrv_system_event_t lptp_event = {UDRV_SYS_EVT_OP_LORAWAN, nullptr};

// Data bytes a fragment can carry at the current data rate with the MAC
// commands now pending; 0 when not even one fits.
uint32_t fragment_room(void) {
  uint32_t m = GetMaxAppPayloadWithFOptsLength();
  if (m > 200) {
    m -= 20;
  }
  if (m <= kOverhead) {
    return 0;
  }
  uint32_t n = m - kOverhead;
  return n > kMaxFragmentData ? kMaxFragmentData : n;
}

void on_retry_timer(void *) {
  // Timer context: the send itself runs in the dispatcher.
  retry_due = true;
  udrv_system_event_produce(&lptp_event);
}

void retry_later(uint32_t delay_ms) {
  if (!retry_timer_ready) {
    TimerInit(&retry_timer, on_retry_timer);
    retry_timer_ready = true;
  }
  TimerStop(&retry_timer);
  TimerSetValue(&retry_timer, delay_ms);
  TimerStart(&retry_timer);
}

void stop_transfer(void) {
  lptp_enable = false;
  in_flight = false;
  retry_due = false;
  if (retry_timer_ready) {
    TimerStop(&retry_timer);
  }
}

// Offers the current fragment again after a refusal; only a busy MAC or
// duty-cycle wait is worth waiting for, anything else ends the transfer.
void send_or_wait(void) {
  int32_t ret = lora_send_subcontract();
  if (ret == 0) {
    return;
  }
  if (ret == -UDRV_BUSY) {
    retry_later(DutyCycleWaitTime > kRetryDelayMs ? static_cast<uint32_t>(DutyCycleWaitTime)
                                                  : kRetryDelayMs);
    return;
  }
  stop_transfer();
}

}  // namespace

int32_t service_lora_lptp_send(uint8_t port, bool ack, uint8_t const *data, uint16_t len) {
  if (port < 1 || port > 223 || len > LPTP_DATA_BUFFER_MAX_SIZE || (len != 0 && data == nullptr)) {
    return -UDRV_WRONG_ARG;
  }
  // A packet needing more fragments than the 8-bit counters can number
  // cannot be sent at this data rate.
  uint32_t room = fragment_room();
  if (room == 0 || (len + room - 1) / room > kMaxFragments) {
    return -UDRV_WRONG_ARG;
  }
  stop_transfer();
  lptp_enable = true;
  if (len != 0) {
    memcpy(lp_data, data, len);
  }
  lp_len = len;
  lp_state.header.LType = 1;
  lp_state.header.RetryFlag = 0;
  lp_state.header.RSV = 0;
  lp_state.magic = static_cast<uint8_t>(udrv_system_random(255));
  lp_state.data_finish_len = 0;
  lp_state.data_total_len = len;
  lp_state.fser = 1;
  AppPort = port;
  lp_state.pdata = lp_data;
  lp_state.confirm_status = ack ? 1 : 0;
  resends_left = service_nvm_get_retry_from_nvm();
  int32_t ret = lora_send_subcontract();
  if (ret != 0) {
    // Nothing went out: no later uplink may continue this transfer.
    stop_transfer();
  }
  return ret;
}

int32_t lora_send_subcontract(void) {
  memset(AppData, 0, sizeof AppData);
  uint32_t room = fragment_room();
  if (room == 0) {
    return -UDRV_WRONG_ARG;
  }
  lp_state.data_packet_len = room;
  const uint32_t remaining = lp_state.data_total_len - lp_state.data_finish_len;
  const uint32_t to_come = remaining == 0 ? 0 : (remaining + room - 1) / room - 1;
  if (lp_state.fser + to_come > kMaxFragments) {
    return -UDRV_WRONG_ARG;
  }
  lp_state.fcnt = static_cast<uint8_t>(to_come);
  const uint32_t n = remaining < room ? remaining : room;
  lp_state.fdata_len = static_cast<uint8_t>(n);

  AppData[0] = static_cast<uint8_t>(lp_state.header.LType | (lp_state.header.RetryFlag << 1));
  AppData[1] = lp_state.magic;
  AppData[2] = lp_state.fcnt;
  AppData[3] = lp_state.fser;
  AppData[4] = lp_state.fdata_len;
  memcpy(&AppData[5], lp_state.pdata + lp_state.data_finish_len, n);
  uint8_t sum = 0;
  for (uint32_t i = 0; i < 5 + n; ++i) {
    sum = static_cast<uint8_t>(sum + AppData[i]);
  }
  AppData[5 + n] = sum;
  AppLen = static_cast<uint8_t>(kOverhead + n);

  // The service itself does not resend fragments: a fragment sent again
  // carries the retry flag, so the receiver can tell it from the next one.
  SERVICE_LORA_SEND_INFO info{};
  info.port = AppPort;
  info.retry_valid = true;
  info.retry = 0;
  info.confirm_valid = true;
  info.confirm = lp_state.confirm_status != 0 ? SERVICE_LORA_ACK : SERVICE_LORA_NO_ACK;
  int32_t ret = service_lora_send(AppData, AppLen, info, false);
  in_flight = ret == 0;
  return ret;
}

void service_lora_lptp_send_callback(int32_t status) {
  // Only the end of this transfer's own fragment moves it on.
  if (!lptp_enable || !in_flight) {
    return;
  }
  in_flight = false;
  if (status == 0) {
    if (lp_state.fcnt == 0) {
      stop_transfer();
      return;
    }
    lp_state.header.RetryFlag = 0;
    lp_state.fser++;
    lp_state.data_finish_len += lp_state.fdata_len;
    resends_left = service_nvm_get_retry_from_nvm();
  } else {
    if (resends_left == 0) {
      stop_transfer();
      return;
    }
    --resends_left;
    lp_state.header.RetryFlag = 1;
  }
  send_or_wait();
}

void service_lora_lptp_process(void) {
  if (!retry_due) {
    return;
  }
  retry_due = false;
  if (lptp_enable && !in_flight) {
    send_or_wait();
  }
}

bool service_lora_lptp_busy(void) { return lptp_enable; }

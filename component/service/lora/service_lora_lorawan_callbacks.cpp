// The MAC's confirm and indication callbacks: the "+EVT:" and "+BC:" lines,
// the resend of unacknowledged confirmed uplinks, the retry of a failed
// join, link check, device time and the class B acquisition. They run in
// LoRaMacProcess, in the main loop.
#include <stdio.h>
#include <string.h>

#include "Region.h"
#include "radio.h"
#include "service_debug.h"
#include "service_lora.h"
#include "service_lora_longpacket.h"
#include "service_lora_lorawan_internal.h"
#include "service_nvm.h"
#include "udrv_errno.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#include "udrv_timer.h"
#include "utilities.h"
#ifdef QIV_LORA_CERTIFICATION_LINKED
#include "service_lora_certification.h"
#endif

namespace {

SERVICE_LORA_CLASS_B_STATE class_b_state = SERVICE_LORA_CLASS_B_S0;
TIMEREQ_STATE timereq_status = TIMEREQ_DISABLED;

uint8_t last_dlink_data[256];
uint8_t last_dlink_data_size = 0;
uint8_t last_dlink_port = 0;
int16_t rssi = 0;
int8_t snr = 0;

bool linkcheck_flag = false;
uint8_t linkcheck_state = 0;
uint8_t DemodMargin = 0;
uint8_t NbGateways = 0;

SysTime_t btime = {0, 0};
beacon_bgw_t beacon_bgw = {};

udrv_system_event_t qiv_lora_join_cb_event = {UDRV_SYS_EVT_OP_LORAWAN_JOIN_CB, nullptr};

const char *slot_name(LoRaMacRxSlot_t slot) {
  switch (slot) {
    case RX_SLOT_WIN_1:
      return "1";
    case RX_SLOT_WIN_2:
      return "2";
    case RX_SLOT_WIN_CLASS_C:
    case RX_SLOT_WIN_CLASS_C_MULTICAST:
      return "C";
    case RX_SLOT_WIN_CLASS_B_PING_SLOT:
    case RX_SLOT_WIN_CLASS_B_MULTICAST_SLOT:
      return "B";
    default:
      return "";
  }
}

bool mib_set_class(DeviceClass_t cls) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_DEVICE_CLASS;
  mib.Param.Class = cls;
  return LoRaMacMibSetRequestConfirm(&mib) == LORAMAC_STATUS_OK;
}

void mlme_request(Mlme_t type) {
  MlmeReq_t req{};
  req.Type = type;
  LoRaMacMlmeRequest(&req);
}

void call_send_hook(LoRaMacEventInfoStatus_t status) {
  if (service_lora_send_callback != nullptr) {
    service_lora_send_callback(static_cast<int32_t>(status));
  }
}

// The payload as two lower-case hex digits a byte, on every port that runs
// AT commands and is not locked; in pieces that fit the print buffer.
void print_payload_on_at_ports(const uint8_t *data, uint8_t size) {
  static const char digits[] = "0123456789abcdef";
  char hex[2 * 64 + 1];
  for (uint32_t i = 0; i < size;) {
    size_t n = 0;
    for (; i < size && n < sizeof hex - 1; ++i) {
      hex[n++] = digits[data[i] >> 4];
      hex[n++] = digits[data[i] & 0x0F];
    }
    hex[n] = '\0';
    udrv_serial_log_printf("%s", hex);
  }
  udrv_serial_log_printf("\r\n");
}

}  // namespace

void McpsConfirm(McpsConfirm_t *c) {
  last_ack = c->Status == LORAMAC_EVENT_INFO_STATUS_OK && c->AckReceived;
  if (c->McpsRequest == MCPS_CONFIRMED) {
    if (c->AckReceived) {
      udrv_serial_log_printf("+EVT:SEND_CONFIRMED_OK\r\n");
      call_send_hook(c->Status);
      AckTimeoutRetriesCounter = 0;
    } else {
      udrv_serial_log_printf("+EVT:SEND_CONFIRMED_FAILED(%d)\r\n", static_cast<int>(c->Status));
      if (AckTimeoutRetries != 0 && AckTimeoutRetries >= AckTimeoutRetriesCounter) {
        uint8_t made = AckTimeoutRetriesCounter;
        AckTimeoutRetriesCounter = 0;
        if (service_lora_send(AckTimeoutRetries_buff, AckTimeoutRetries_len, AckTimeoutRetries_info,
                              false) == 0) {
          AckTimeoutRetriesCounter = static_cast<uint8_t>(made + 1);
        } else {
          AckTimeoutRetriesCounter = 0;
        }
      } else {
        AckTimeoutRetriesCounter = 0;
        call_send_hook(c->Status);
      }
    }
  } else {
    AckTimeoutRetriesCounter = 0;
    call_send_hook(c->Status);
    udrv_serial_log_printf("+EVT:TX_DONE\r\n");
  }
  // A long-packet fragment moves on once it went out (acknowledged, when
  // confirmed); a failed one is sent again.
  bool done = c->Status == LORAMAC_EVENT_INFO_STATUS_OK &&
              (c->McpsRequest != MCPS_CONFIRMED || c->AckReceived);
  if (AckTimeoutRetriesCounter == 0) {
    service_lora_lptp_send_callback(done ? 0
                                         : (c->Status != 0 ? static_cast<int32_t>(c->Status) : -1));
  }
#ifdef QIV_LORA_CERTIFICATION_LINKED
  LmHandlerPackagesMcpsConfirm(c);
#endif
}

void McpsIndication(McpsIndication_t *ind) {
  if (ind->Status != LORAMAC_EVENT_INFO_STATUS_OK) {
    return;
  }
  rssi = ind->Rssi;
  snr = ind->Snr;
  service_lora_arssi_rx_callback(ind->Rssi);
  if (ind->BufferSize != 0 && ind->Buffer != nullptr) {
    udrv_serial_log_printf("+EVT:RX_%s:%d:%d", slot_name(ind->RxSlot), static_cast<int>(ind->Rssi),
                           static_cast<int>(ind->Snr));
    udrv_serial_log_printf(ind->Multicast == 1 ? ":MULTICAST" : ":UNICAST");
    udrv_serial_log_printf(":%d:", static_cast<int>(ind->Port));
    print_payload_on_at_ports(ind->Buffer, ind->BufferSize);
    memcpy(last_dlink_data, ind->Buffer, ind->BufferSize);
    last_dlink_data_size = ind->BufferSize;
    last_dlink_port = ind->Port;
  }
  if (ind->IsUplinkTxPending == 1 && service_nvm_get_class_from_nvm() == SERVICE_LORA_CLASS_A) {
    service_lora_send_null(nullptr);
  } else if (ind->McpsIndication == MCPS_CONFIRMED) {
    // The acknowledgement of a confirmed downlink rides on an uplink.
    service_lora_send_null(nullptr);
  }
  if (linkcheck_flag) {
    linkcheck_flag = false;
    if (linkcheck_state == 0) {
      udrv_serial_log_printf("+EVT:LINKCHECK:0:%d:%d:%d:%d\r\n", DemodMargin, NbGateways,
                             static_cast<int>(ind->Rssi), static_cast<int>(ind->Snr));
      if (service_lora_linkcheck_callback != nullptr) {
        SERVICE_LORA_LINKCHECK_T lc = {0, DemodMargin, NbGateways, ind->Rssi, ind->Snr};
        service_lora_linkcheck_callback(&lc);
      }
    }
  }
  if (ind->Port != 224 && service_lora_recv_callback != nullptr) {
    SERVICE_LORA_RECEIVE_T data = {ind->Port, ind->RxDatarate, ind->Buffer,         ind->BufferSize,
                                   ind->Rssi, ind->Snr,        ind->DownLinkCounter};
    service_lora_recv_callback(data);
  }
#ifdef QIV_LORA_CERTIFICATION_LINKED
  LmHandlerPackagesMcpsIndication(ind);
#endif
  if (service_get_debug_level() != 0) {
    switch (ind->RxSlot) {
      case RX_SLOT_WIN_1:
        service_debug("Receiving in RX_SLOT_WIN_1\r\n");
        break;
      case RX_SLOT_WIN_2:
        service_debug("Receiving in RX_SLOT_WIN_2\r\n");
        break;
      case RX_SLOT_WIN_CLASS_C:
        service_debug("Receiving in RX_SLOT_WIN_CLASS_C\r\n");
        break;
      default:
        break;
    }
    service_debug("DevAddress:%08x\r\n", static_cast<unsigned>(ind->DevAddress));
    service_debug("Port:%d\r\n", ind->Port);
    service_debug("Rssi:%d\r\n", ind->Rssi);
    service_debug("Snr:%d\r\n", ind->Snr);
    service_debug("RxDatarate:%u\r\n", ind->RxDatarate);
    service_debug("FCntDown:%u\r\n", static_cast<unsigned>(ind->DownLinkCounter));
  }
}

void MlmeConfirm(MlmeConfirm_t *c) {
#ifdef QIV_LORA_CERTIFICATION_LINKED
  LmHandlerPackagesMlmeConfirm(c);
#endif
  switch (c->MlmeRequest) {
    case MLME_JOIN:
      if (c->Status == LORAMAC_EVENT_INFO_STATUS_OK) {
        udrv_serial_log_printf("+EVT:JOINED\r\n");
        udrv_system_timer_stop(SYSTIMER_LORAWAN);
        auto_join_retry_cnt = 0;
        if (service_nvm_get_class_from_nvm() == SERVICE_LORA_CLASS_C && !mib_set_class(CLASS_C)) {
          udrv_serial_log_printf("+EVT:SWITCH_FAILED\r\n");
        }
        if (service_lora_join_callback != nullptr) {
          service_lora_join_callback(0);
        }
        service_lora_set_dr(service_lora_stored_dr(), false);
        if (service_get_debug_level() != 0) {
          MibRequestConfirm_t mib{};
          mib.Type = MIB_DEV_ADDR;
          LoRaMacMibGetRequestConfirm(&mib);
          service_debug("Receiving MLME_JOIN\r\n");
          service_debug("DevAddr:%08x\r\n", static_cast<unsigned>(mib.Param.DevAddr));
        }
      } else {
        if (c->Status == LORAMAC_EVENT_INFO_STATUS_TX_TIMEOUT) {
          udrv_serial_log_printf("+EVT:JOIN_FAILED_TX_TIMEOUT\r\n");
        } else if (c->Status == LORAMAC_EVENT_INFO_STATUS_RX1_TIMEOUT ||
                   c->Status == LORAMAC_EVENT_INFO_STATUS_RX2_TIMEOUT) {
          udrv_serial_log_printf("+EVT:JOIN_FAILED_RX_TIMEOUT\r\n");
        } else {
          udrv_serial_log_printf("+EVT:JOIN_FAILED_%d\r\n", static_cast<int>(c->Status));
        }
        service_lora_join_retry(585);
        if (service_lora_join_callback != nullptr) {
          qiv_lora_join_cb_event.p_context =
              reinterpret_cast<void *>(static_cast<uintptr_t>(c->Status));
          udrv_system_event_produce(&qiv_lora_join_cb_event);
        }
        Radio.Sleep();
      }
      break;
    case MLME_LINK_CHECK:
      linkcheck_flag = true;
      DemodMargin = c->DemodMargin;
      NbGateways = c->NbGateways;
      linkcheck_state = static_cast<uint8_t>(c->Status);
      if (c->Status != LORAMAC_EVENT_INFO_STATUS_OK) {
        udrv_serial_log_printf("+EVT:LINKCHECK:1:0:0:0:0\r\n");
        if (service_lora_linkcheck_callback != nullptr) {
          SERVICE_LORA_LINKCHECK_T lc = {static_cast<uint8_t>(c->Status), 0, 0, 0, 0};
          service_lora_linkcheck_callback(&lc);
        }
      }
      break;
    case MLME_DEVICE_TIME:
      if (c->Status == LORAMAC_EVENT_INFO_STATUS_OK) {
        if (timereq_status == TIMEREQ_ENABLED) {
          udrv_serial_log_printf("+EVT:TIMEREQ_OK\r\n");
          if (service_lora_timereq_callback != nullptr) {
            service_lora_timereq_callback(0);
          }
          timereq_status = TIMEREQ_DISABLED;
        }
        if (service_nvm_get_class_from_nvm() == SERVICE_LORA_CLASS_B &&
            class_b_state != SERVICE_LORA_CLASS_B_COMPLETED) {
          class_b_state = SERVICE_LORA_CLASS_B_S1;
          mlme_request(MLME_BEACON_ACQUISITION);
        }
      } else if (timereq_status == TIMEREQ_ENABLED) {
        udrv_serial_log_printf("+EVT:TIMEREQ_FAILED\r\n");
        if (service_lora_timereq_callback != nullptr) {
          service_lora_timereq_callback(1);
        }
        timereq_status = TIMEREQ_DISABLED;
      }
      break;
    case MLME_BEACON_ACQUISITION:
      if (c->Status != LORAMAC_EVENT_INFO_STATUS_OK) {
        udrv_serial_log_printf("+BC:FAILED\r\n");
        if (class_b_state != SERVICE_LORA_CLASS_B_COMPLETED) {
          class_b_state = SERVICE_LORA_CLASS_B_S3;
        }
        mlme_request(MLME_DEVICE_TIME);
      }
      break;
    case MLME_PING_SLOT_INFO:
      if (c->Status == LORAMAC_EVENT_INFO_STATUS_OK) {
        class_b_state = SERVICE_LORA_CLASS_B_COMPLETED;
        if (mib_set_class(CLASS_B)) {
          udrv_serial_log_printf("+BC:DONE\r\n");
          service_lora_send_null(nullptr);
        }
      }
      break;
    default:
      break;
  }
}

void MlmeIndication(MlmeIndication_t *ind) {
#ifdef QIV_LORA_CERTIFICATION_LINKED
  LmHandlerPackagesMlmeIndication(ind);
#endif
  if (ind->MlmeIndication == MLME_BEACON) {
    if (ind->Status == LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED) {
      udrv_serial_log_printf("+BC:LOCKED\r\n");
      if (class_b_state != SERVICE_LORA_CLASS_B_COMPLETED) {
        class_b_state = SERVICE_LORA_CLASS_B_S2;
        udrv_system_timer_stop(SYSTIMER_LORAWAN);
        if (udrv_system_timer_create(SYSTIMER_LORAWAN, service_lora_send_null, HTMR_ONESHOT) != 0) {
          udrv_serial_log_printf("+BC:FAILED_%d\r\n", 778);
          udrv_system_timer_stop(SYSTIMER_LORAWAN);
        } else {
          uint32_t r = static_cast<uint32_t>(rand1()) & 0x7FFFFFFFu;
          udrv_system_timer_start(SYSTIMER_LORAWAN, (r % 32) * 1000 + 1000, nullptr);
        }
      }
      const uint8_t *info = ind->BeaconInfo.GwSpecific.Info;
      uint32_t first = info[0] | (info[1] << 8) | (static_cast<uint32_t>(info[2]) << 16);
      uint32_t second = info[3] | (info[4] << 8) | (static_cast<uint32_t>(info[5]) << 16);
      uint8_t desc = ind->BeaconInfo.GwSpecific.InfoDesc;
      if (desc <= 2) {
        beacon_bgw.GPS_coordinate = desc;
        beacon_bgw.latitude = first;
        beacon_bgw.longitude = second;
      } else if (desc == 3) {
        beacon_bgw.net_ID = first;
        beacon_bgw.gateway_ID = second;
      }
    } else if (ind->Status == LORAMAC_EVENT_INFO_STATUS_BEACON_LOST) {
      udrv_serial_log_printf("+BC:FAILED\r\n");
    }
    btime = ind->BeaconInfo.Time;
  } else if (ind->MlmeIndication == MLME_BEACON_LOST) {
    udrv_serial_log_printf("+BC:LOST\r\n");
    class_b_state = SERVICE_LORA_CLASS_B_S0;
    mib_set_class(CLASS_A);
  }
}

bool service_lora_get_cfs(void) { return last_ack; }
int16_t service_lora_get_rssi(void) { return rssi; }
int8_t service_lora_get_snr(void) { return snr; }

uint32_t service_lora_get_last_recv(uint8_t *port, uint8_t *buff, uint32_t len) {
  uint32_t n = len < last_dlink_data_size ? len : last_dlink_data_size;
  memcpy(buff, last_dlink_data, n);
  *port = last_dlink_port;
  last_dlink_port = 0;
  last_dlink_data_size = 0;
  return n;
}

uint32_t service_lora_get_beacon_time(void) { return btime.Seconds; }
beacon_bgw_t service_lora_get_beacon_gwspecific(void) { return beacon_bgw; }
SERVICE_LORA_CLASS_B_STATE service_lora_get_class_b_state(void) { return class_b_state; }
void service_lora_set_class_b_state(SERVICE_LORA_CLASS_B_STATE state) { class_b_state = state; }
uint8_t service_lora_get_timereq(void) { return timereq_status; }

int32_t service_lora_set_timereq(uint8_t mode) {
  if (!service_lora_get_njs()) {
    return -UDRV_NO_WAN_CONNECTION;
  }
  if (mode > 1) {
    return -UDRV_WRONG_ARG;
  }
  timereq_status = static_cast<TIMEREQ_STATE>(mode);
  return 0;
}

int32_t service_lora_get_local_time(char *local_time) {
  SysTime_t now = SysTimeGet();
  struct tm t {};
  SysTimeLocalTime(now.Seconds - 18, &t);
  // The caller's buffer holds the text and its terminator (30 bytes).
  char text[64];
  int n = snprintf(text, sizeof text, "%02dh%02dm%02ds on %02d/%02d/%04d", t.tm_hour, t.tm_min,
                   t.tm_sec, t.tm_mon + 1, t.tm_mday, t.tm_year + 1900);
  size_t len = n < 0 ? 0 : (static_cast<size_t>(n) > 29 ? 29 : static_cast<size_t>(n));
  memcpy(local_time, text, len);
  local_time[len] = '\0';
  return 0;
}

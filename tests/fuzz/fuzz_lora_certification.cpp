// The test server's commands on port 224 and what the compliance package
// makes of them: the real package (its command parser, the replies it
// prepares, its beacon status) in certification mode, over stand-ins of the
// LoRaWAN service, the MAC's requests and the system timer that record what
// the package asks of them. The MAC's own parsing of the frames that carry
// these payloads is fuzz_lorawan_downlink's.
//
// Input: records, each a kind byte, a length byte and that many bytes:
//   kind bits 0-1  0: a downlink on port 224 carrying the bytes;
//                  1: a downlink on the port of the first byte with the rest
//                     (no bytes: an acknowledgement without data);
//                  2: a beacon event: the first byte picks locked, not
//                     locked or lost, the rest fill the beacon's record;
//                  3: the certification uplink is due (its timer fires);
//                     the first byte's bit 0 ends the beacon acquisition
//                     with success, bit 1 with failure
//   kind bits 2-4  the band (EU868, US915, AU915, CN470, LA915, AS923-1,
//                  KR920, IN865)
//   kind bit 5     OTAA (else ABP); bit 6 joined
// After each record the package's process step runs and the next uplink is
// sent: it never exceeds the package's buffer, goes on port 224 when a
// reply is pending, and an echo reply is the request's bytes plus one.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "board.h"
#include "service_lora.h"
#include "service_lora_certification.h"
#include "service_nvm.h"
#include "udrv_serial.h"
#include "udrv_timer.h"

namespace {

using Bytes = std::vector<uint8_t>;

void require(bool ok) {
  if (!ok) abort();
}

struct Uplink {
  Bytes bytes;
  uint8_t port;
};

std::vector<Uplink> g_sent;
timer_handler g_lct = nullptr;
bool g_lct_running = false;
SERVICE_LORA_BAND g_band = SERVICE_LORA_EU868;
SERVICE_LORA_JOIN_MODE g_njm = SERVICE_LORA_ABP;
bool g_joined = true;
int g_resets = 0;
int g_joins = 0;

const SERVICE_LORA_BAND kBands[8] = {SERVICE_LORA_EU868, SERVICE_LORA_US915, SERVICE_LORA_AU915,
                                     SERVICE_LORA_CN470, SERVICE_LORA_LA915, SERVICE_LORA_AS923,
                                     SERVICE_LORA_KR920, SERVICE_LORA_IN865};

}  // namespace

// --- the LoRaWAN service --------------------------------------------------

SERVICE_LORA_JOIN_MODE service_lora_get_njm(void) { return g_njm; }
bool service_lora_get_njs(void) { return g_joined; }
int32_t service_lora_join(int32_t, int32_t, int32_t, int32_t) {
  ++g_joins;
  return 0;
}
void LmHandlerJoinRequest(bool) { ++g_joins; }
SERVICE_LORA_BAND service_lora_get_band(void) { return g_band; }
int32_t service_lora_set_mask(uint16_t *mask, bool) {
  require(mask != nullptr);
  return 0;
}
int32_t service_lora_set_class(SERVICE_LORA_CLASS c, bool) {
  require(c <= SERVICE_LORA_CLASS_C);
  return 0;
}
int32_t service_lora_set_adr(bool, bool) { return 0; }
int32_t service_lora_set_cfm(SERVICE_LORA_CONFIRM_MODE c) {
  require(c == SERVICE_LORA_NO_ACK || c == SERVICE_LORA_ACK);
  return 0;
}
int32_t service_lora_set_IsCertPortOn(uint8_t) { return 0; }
int32_t service_lora_send(uint8_t *buff, uint32_t len, SERVICE_LORA_SEND_INFO info, bool) {
  require(len <= 242);
  g_sent.push_back({Bytes(buff, buff + len), info.port});
  return 0;
}
const char *service_lora_mac_status_text(LoRaMacStatus_t) { return "OK"; }
uint8_t service_nvm_get_dcs_from_nvm(void) { return 1; }
void BoardResetMcu(void) { ++g_resets; }

// --- the MAC's requests -------------------------------------------------------

LoRaMacStatus_t LoRaMacMibSetRequestConfirm(MibRequestConfirm_t *mib) {
  require(mib != nullptr);
  return LORAMAC_STATUS_OK;
}
LoRaMacStatus_t LoRaMacMibGetRequestConfirm(MibRequestConfirm_t *mib) {
  require(mib != nullptr);
  if (mib->Type == MIB_LORAWAN_VERSION) {
    mib->Param.LrWanVersion.LoRaWan.Value = 0x01000400;
    mib->Param.LrWanVersion.LoRaWanRegion.Value = 0x02010003;
  }
  return LORAMAC_STATUS_OK;
}
LoRaMacStatus_t LoRaMacMlmeRequest(MlmeReq_t *req) {
  require(req != nullptr);
  if (req->Type == MLME_TXCW) return LORAMAC_STATUS_PARAMETER_INVALID;
  return LORAMAC_STATUS_OK;
}
void LoRaMacTestSetDutyCycleOn(bool) {}

// --- the system timer and the log ------------------------------------------------

int32_t udrv_system_timer_create(SysTimerID_E id, timer_handler handler, TimerMode_E) {
  if (id == SYSTIMER_LCT) g_lct = handler;
  return 0;
}
int32_t udrv_system_timer_start(SysTimerID_E id, uint32_t, void *) {
  if (id == SYSTIMER_LCT) g_lct_running = true;
  return 0;
}
int32_t udrv_system_timer_stop(SysTimerID_E id) {
  if (id == SYSTIMER_LCT) g_lct_running = false;
  return 0;
}
int32_t udrv_serial_log_printf(const char *, ...) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  g_sent.clear();
  g_lct = nullptr;
  g_lct_running = false;
  g_band = SERVICE_LORA_EU868;
  g_njm = SERVICE_LORA_ABP;
  g_joined = true;
  require(LmHandlerPackageRegister(PACKAGE_ID_COMPLIANCE, &LmhpComplianceParams) ==
          LORAMAC_HANDLER_SUCCESS);
  require(service_lora_certification(1) == 0);
  require(g_lct != nullptr && g_lct_running);

  for (size_t i = 0; i + 2 <= size;) {
    const uint8_t kind = data[i];
    const size_t len = data[i + 1] < size - i - 2 ? data[i + 1] : size - i - 2;
    // The bytes in a buffer of their own length: a read past them is caught.
    Bytes body(data + i + 2, data + i + 2 + len);
    i += 2 + len;
    g_band = kBands[(kind >> 2) & 7];
    g_njm = (kind & 0x20) ? SERVICE_LORA_OTAA : SERVICE_LORA_ABP;
    g_joined = (kind & 0x40) != 0;

    McpsIndication_t ind{};
    MlmeIndication_t mind{};
    MlmeConfirm_t conf{};
    bool echo = false;
    Bytes request;
    switch (kind & 3) {
      case 0:
      case 1: {
        ind.McpsIndication = MCPS_UNCONFIRMED;
        ind.Status = LORAMAC_EVENT_INFO_STATUS_OK;
        uint8_t *payload = nullptr;
        size_t n = body.size();
        if ((kind & 3) == 0) {
          ind.Port = 224;
          payload = body.data();
        } else if (!body.empty()) {
          ind.Port = body[0];
          payload = body.data() + 1;
          n--;
        } else {
          ind.AckReceived = true;
        }
        if (n > 242) n = 242;  // no downlink carries more
        Bytes copy(payload, payload + n);
        ind.Buffer = copy.empty() ? nullptr : copy.data();
        ind.BufferSize = (uint8_t)n;
        ind.RxData = n != 0;
        echo = ind.Port == 224 && n > 0 && copy[0] == 0x08;
        request = copy;
        LmHandlerPackagesMcpsIndication(&ind);
        break;
      }
      case 2: {
        const uint8_t what = body.empty() ? 0 : body[0] % 3;
        mind.MlmeIndication = what == 2 ? MLME_BEACON_LOST : MLME_BEACON;
        mind.Status = what == 0 ? LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED
                                : LORAMAC_EVENT_INFO_STATUS_BEACON_LOST;
        const size_t k = body.size() > 1 ? body.size() - 1 : 0;
        if (k != 0)
          memcpy(&mind.BeaconInfo, body.data() + 1,
                 k < sizeof mind.BeaconInfo ? k : sizeof mind.BeaconInfo);
        LmHandlerPackagesMlmeIndication(&mind);
        break;
      }
      case 3:
        if (!body.empty() && (body[0] & 3) != 0) {
          conf.MlmeRequest = MLME_BEACON_ACQUISITION;
          conf.Status = (body[0] & 1) ? LORAMAC_EVENT_INFO_STATUS_OK
                                      : LORAMAC_EVENT_INFO_STATUS_BEACON_NOT_FOUND;
          LmHandlerPackagesMlmeConfirm(&conf);
        }
        break;
    }
    LmHandlerPackagesProcess();
    if (g_lct_running) {
      const size_t before = g_sent.size();
      g_lct(nullptr);
      require(g_sent.size() == before + 1);
      const Uplink &up = g_sent.back();
      if (echo) {
        // The echo reply: the command byte, then each byte plus one.
        require(up.port == 224 && !up.bytes.empty() && up.bytes[0] == 0x08);
        require(up.bytes.size() == request.size());
        for (size_t k = 1; k < request.size(); k++)
          require(up.bytes[k] == (uint8_t)(request[k] + 1));
      }
      if (up.port != 224) require(up.port == 2 && up.bytes == Bytes{0x43});
    }
  }
  service_lora_certification(0);
  return 0;
}

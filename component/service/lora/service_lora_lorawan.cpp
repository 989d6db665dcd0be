// The LoRaWAN service: start-up, join, uplinks, band change and factory
// settings. The MAC runs its callbacks in LoRaMacProcess, which the
// dispatcher runs for the LoRaWAN processing event this service posts.
#include <string.h>

#include "Region.h"
#include "RegionAS923.h"
#include "RegionAU915.h"
#include "RegionUS915.h"
#include "board.h"
#include "radio.h"
#include "service_debug.h"
#include "service_lora.h"
#include "service_lora_lorawan_internal.h"
#include "service_nvm.h"
#include "udrv_errno.h"
#include "udrv_powersave.h"
#include "udrv_serial.h"
#include "udrv_system.h"
#include "udrv_timer.h"

#ifdef QIV_LORA_CERTIFICATION_LINKED
#include "service_lora_certification.h"
#endif

#if __has_include("qiv_board.h")
#include "qiv_board.h"
#endif

namespace {

uint8_t is_init = 0;
LoRaMacPrimitives_t LoRaMacPrimitives;
LoRaMacCallback_t LoRaMacCallbacks;
udrv_system_event_t qiv_lora_event = {UDRV_SYS_EVT_OP_LORAWAN, nullptr};
uint8_t kept_payload[255];

bool is_as923_band(SERVICE_LORA_BAND band) {
  return band == SERVICE_LORA_AS923 || band == SERVICE_LORA_AS923_2 ||
         band == SERVICE_LORA_AS923_3 || band == SERVICE_LORA_AS923_4;
}

// The MAC region of a band; the AS923 sub-bands select the sub-band first.
LoRaMacRegion_t region_of(SERVICE_LORA_BAND band, bool select_sub_band) {
  if (!is_as923_band(band)) {
    return static_cast<LoRaMacRegion_t>(band);
  }
  if (select_sub_band) {
    RegionAS923SubBandSet(
        band == SERVICE_LORA_AS923 ? 1 : static_cast<uint8_t>(band - SERVICE_LORA_AS923_2 + 2));
  }
  return LORAMAC_REGION_AS923;
}

// From the MAC's radio and timer callbacks (interrupt context): a process
// step is due, and a sleep in progress ends.
void OnMacProcessNotify(void) {
  udrv_system_event_produce(&qiv_lora_event);
  udrv_powersave_in_sleep = false;
}

// Zeroes the stored MAC context (the store keeps the DevNonce: a network
// refuses a join request whose nonce it has seen).
int32_t clear_stored_mac_context(void) {
  service_lora_mac_nvm_data_reset();
  return service_nvm_set_lora_nvm_data_to_nvm();
}

LoRaMacNvmData_t *live_context(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_NVM_CTXS;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return nullptr;
  }
  return mib.Param.Contexts;
}

void print_tx_diagnostics(bool with_fcnt) {
  if (service_get_debug_level() == 0) {
    return;
  }
  LoRaMacNvmData_t *nvm = live_context();
  if (nvm == nullptr) {
    return;
  }
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK || mib.Param.ChannelList == nullptr) {
    return;
  }
  const ChannelParams_t &ch = mib.Param.ChannelList[last_tx_channel];
  uint32_t rxc = nvm->MacGroup2.MacParams.RxCChannel.Frequency;
  uint32_t rx1;
  switch (nvm->MacGroup2.Region) {
    case LORAMAC_REGION_AU915:
    case LORAMAC_REGION_US915:
      rx1 = rxc + (last_tx_channel % 8) * 600000u;
      break;
    case LORAMAC_REGION_CN470:
      rx1 = rxc + (last_tx_channel % 48) * 200000u;
      break;
    default:
      rx1 = ch.Rx1Frequency != 0 ? ch.Rx1Frequency : ch.Frequency;
      break;
  }
  service_debug("Frequency:%u\r\n", static_cast<unsigned>(ch.Frequency));
  service_debug("Rx1Frequency:%u\r\n", static_cast<unsigned>(rx1));
  service_debug("RxCFrequency:%u\r\n", static_cast<unsigned>(rxc));
  service_debug("ChannelsDatarate:%d\r\n", nvm->MacGroup1.ChannelsDatarate);
  service_debug("ChannelsTxPower:%d\r\n", nvm->MacGroup1.ChannelsTxPower);
  if (with_fcnt) {
    service_debug("FCntUp:%u\r\n", static_cast<unsigned>(nvm->Crypto.FCntList.FCntUp - 1));
  }
}

// The RX2 data rate the MAC runs on. The record's defaults hold 0, a rate
// some bands have no receive window for (CN470 receives from DR1): a stored
// rate below the band's lowest receive rate means the band's default RX2
// rate, as the stored transmit rate does for the lowest transmit rate.
SERVICE_LORA_DATA_RATE stored_rx2dr(void) {
  const SERVICE_LORA_DATA_RATE dr = service_nvm_get_rx2dr_from_nvm();
  const LoRaMacRegion_t region = region_of(service_lora_get_band(), false);
  GetPhyParams_t phy{};
  phy.Attribute = PHY_MIN_RX_DR;
  if (!RegionIsActive(region) || dr >= RegionGetPhyParam(region, &phy).Value) {
    return dr;
  }
  phy.Attribute = PHY_DEF_RX2_DR;
  return static_cast<SERVICE_LORA_DATA_RATE>(RegionGetPhyParam(region, &phy).Value);
}

// Pushes the stored settings into the MAC, without storing them again.
int32_t push_stored_settings(void) {
  int32_t ret;
  if ((ret = service_lora_set_njm(service_nvm_get_njm_from_nvm(), false)) != 0) return ret;
  if ((ret = service_lora_setup_multicast()) != 0) return ret;
  if ((ret = service_lora_set_class(service_nvm_get_class_from_nvm(), false)) != 0) return ret;
  if ((ret = service_lora_set_adr(service_nvm_get_adr_from_nvm(), false)) != 0) return ret;
  if ((ret = service_lora_set_dr(service_lora_stored_dr(), false)) != 0) return ret;
  if ((ret = service_lora_set_rx2dr(stored_rx2dr(), false)) != 0) return ret;
  service_lora_set_rx2freq(service_nvm_get_rx2fq_from_nvm(), false);
  if ((ret = service_lora_set_jn1dl(service_nvm_get_jn1dl_from_nvm(), false)) != 0) return ret;
  // The second join window follows the stored setting too, so that a
  // restart keeps what AT+JN2DL set.
  if ((ret = service_lora_set_jn2dl(service_nvm_get_jn2dl_from_nvm(), false)) != 0) return ret;
  if ((ret = service_lora_set_pub_nwk_mode(service_nvm_get_pub_nwk_mode_from_nvm(), false)) != 0)
    return ret;
  if ((ret = service_lora_set_rx1dl(service_nvm_get_rx1dl_from_nvm(), false)) != 0) return ret;
  if ((ret = service_lora_set_txpower(service_nvm_get_txpower_from_nvm(), false)) != 0) return ret;
  LoRaMacTestSetDutyCycleOn(service_nvm_get_dcs_from_nvm() != 0);
  return 0;
}

}  // namespace

SERVICE_LORA_DATA_RATE service_lora_stored_dr(void) {
  const SERVICE_LORA_DATA_RATE dr = service_nvm_get_dr_from_nvm();
  const LoRaMacRegion_t region = region_of(service_lora_get_band(), false);
  GetPhyParams_t phy{};
  phy.Attribute = PHY_MIN_TX_DR;
  if (!RegionIsActive(region) || dr >= RegionGetPhyParam(region, &phy).Value) {
    return dr;
  }
  phy.Attribute = PHY_DEF_TX_DR;
  return static_cast<SERVICE_LORA_DATA_RATE>(RegionGetPhyParam(region, &phy).Value);
}

// The MAC's status as the service prints it.
const char *service_lora_mac_status_text(LoRaMacStatus_t status) {
  static const char *const kText[] = {
      "OK",
      "Busy",
      "Service unknown",
      "Parameter invalid",
      "Frequency invalid",
      "Datarate invalid",
      "Frequency or datarate invalid",
      "No network joined",
      "Length error",
      "Region not supported",
      "Skipped APP data",
      "Duty-cycle restricted",
      "No channel found",
      "No free channel found",
      "Busy beacon reserved time",
      "Busy ping-slot window time",
      "Busy uplink collision",
      "Crypto error",
      "FCnt handler error",
      "MAC command error",
      "ClassB error",
      "Confirm queue error",
      "Multicast group undefined",
      "Unknown error",
  };
  size_t i = static_cast<size_t>(status);
  constexpr size_t n = sizeof kText / sizeof kText[0];
  return kText[i < n ? i : n - 1];
}

// ---- Module state shared with the callbacks ----
uint8_t AckTimeoutRetries = 0;
uint8_t AckTimeoutRetriesCounter = 0;
uint8_t *AckTimeoutRetries_buff = nullptr;
uint32_t AckTimeoutRetries_len = 0;
SERVICE_LORA_SEND_INFO AckTimeoutRetries_info = {};
bool last_ack = false;
TimerTime_t DutyCycleWaitTime = 0;
uint32_t auto_join_retry_cnt = 0;

void (*service_lora_send_callback)(int32_t status) = nullptr;
void (*service_lora_recv_callback)(SERVICE_LORA_RECEIVE_T data) = nullptr;
void (*service_lora_join_callback)(int32_t status) = nullptr;
void (*service_lora_linkcheck_callback)(SERVICE_LORA_LINKCHECK_T *data) = nullptr;
void (*service_lora_timereq_callback)(int32_t status) = nullptr;

bool service_lora_region_isActive(SERVICE_LORA_BAND band) {
  return RegionIsActive(region_of(band, false));
}

LoRaMacStatus_t service_lora_systemMaxRxError(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_SYSTEM_MAX_RX_ERROR;
  mib.Param.SystemMaxRxError = 25;
  return LoRaMacMibSetRequestConfirm(&mib);
}

int32_t service_lora_init(SERVICE_LORA_BAND band) {
  int32_t ret = 0;
  BoardInitMcu();
  const bool lorawan = service_lora_get_nwm() == SERVICE_LORAWAN;
  if (!lorawan) {
    service_lora_p2p_init();
  } else {
    LoRaMacRegion_t region = region_of(band, true);
    LoRaMacPrimitives.MacMcpsConfirm = McpsConfirm;
    LoRaMacPrimitives.MacMcpsIndication = McpsIndication;
    LoRaMacPrimitives.MacMlmeConfirm = MlmeConfirm;
    LoRaMacPrimitives.MacMlmeIndication = MlmeIndication;
    LoRaMacCallbacks.GetBatteryLevel = nullptr;
    LoRaMacCallbacks.GetTemperatureLevel = nullptr;
    LoRaMacCallbacks.NvmDataChange = OnNvmDataChange;
    LoRaMacCallbacks.MacProcessNotify = OnMacProcessNotify;
    if (LoRaMacInitialization(&LoRaMacPrimitives, &LoRaMacCallbacks, region) != LORAMAC_STATUS_OK) {
      return -UDRV_INTERNAL_ERR;
    }
    is_init = 1;
    MibRequestConfirm_t mib{};
    mib.Type = MIB_ABP_LORAWAN_VERSION;
    mib.Param.AbpLrWanVersion.Value = 0x01000300;
    if (LoRaMacMibSetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
      return -UDRV_INTERNAL_ERR;
    }
    if ((ret = service_lora_apply_channel_plan(band)) != 0) {
      return ret;
    }
    if ((ret = push_stored_settings()) != 0) {
      return ret;
    }
    // The next join request continues the stored nonce sequence.
    LoRaMacNvmData_t *nvm = live_context();
    if (nvm == nullptr) {
      return -UDRV_INTERNAL_ERR;
    }
    nvm->Crypto.DevNonce = service_nvm_get_DevNonce_from_nvm();
    nvm->MacGroup2.IsCertPortOn = service_nvm_get_IsCertPortOn_from_nvm() != 0;
    if (service_nvm_get_njm_from_nvm() == SERVICE_LORA_ABP) {
      service_lora_restore_mac_context();
      if (service_nvm_get_adr_from_nvm() &&
          (ret = service_lora_set_dr(service_lora_stored_dr(), false)) != 0) {
        return ret;
      }
    }
    AU915_SingleChannelRegisterCallback(&SingleChannelAU915);
    US915_SingleChannelRegisterCallback(&SingleChannelUS915);
    service_lora_systemMaxRxError();
    if (LoRaMacStart() != LORAMAC_STATUS_OK) {
      return -UDRV_INTERNAL_ERR;
    }
#ifdef QIV_LORA_CERTIFICATION_LINKED
    if (LmHandlerPackageRegister(PACKAGE_ID_COMPLIANCE, &LmhpComplianceParams) !=
        LORAMAC_HANDLER_SUCCESS) {
      return -UDRV_INTERNAL_ERR;
    }
#endif
  }
  if (service_nvm_get_class_from_nvm() != SERVICE_LORA_CLASS_C &&
      service_nvm_get_njm_from_nvm() == SERVICE_LORA_OTAA) {
    Radio.Sleep();
  }
  if (lorawan && ret == 0 && service_nvm_get_auto_join_from_nvm()) {
    service_lora_join(service_nvm_get_join_start_from_nvm(), service_nvm_get_auto_join_from_nvm(),
                      static_cast<int32_t>(service_nvm_get_auto_join_period_from_nvm()),
                      static_cast<int32_t>(service_nvm_get_auto_join_max_cnt_from_nvm()));
  }
  return ret;
}

int32_t service_lora_stop(void) {
  switch (LoRaMacStop()) {
    case LORAMAC_STATUS_OK:
      udrv_system_timer_stop(SYSTIMER_LORAWAN);
      return 0;
    case LORAMAC_STATUS_BUSY:
      return -UDRV_BUSY;
    default:
      return -UDRV_INTERNAL_ERR;
  }
}

SERVICE_LORA_BAND service_lora_get_band(void) { return service_nvm_get_band_from_nvm(); }

int32_t service_lora_set_band(SERVICE_LORA_BAND band) {
  if (band == service_nvm_get_band_from_nvm()) {
    return 0;
  }
  if (!service_lora_region_isActive(band)) {
    return -UDRV_UNSUPPORTED_BAND;
  }
#if defined(QIV_BOARD_BAND_STRAP)
  // The module's radio front end covers one part of the spectrum only.
  const bool low_band = band == SERVICE_LORA_CN470 || band == SERVICE_LORA_EU433;
  if (BoardGetHardwareFreq() ? low_band : !low_band) {
    return -UDRV_UNSUPPORTED_BAND;
  }
#endif
  int32_t ret = service_lora_stop();
  if (ret != 0 && is_init) {
    return ret;
  }
  if (service_lora_clear_multicast() != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  if ((ret = service_nvm_set_chs_to_nvm(0)) != 0) {
    return ret;
  }
  clear_stored_mac_context();
  if (LoRaMacInitialization(&LoRaMacPrimitives, &LoRaMacCallbacks, region_of(band, true)) !=
      LORAMAC_STATUS_OK) {
    return -UDRV_INTERNAL_ERR;
  }
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS_DEFAULT_DATARATE;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  if ((ret = service_nvm_set_dr_to_nvm(
           static_cast<SERVICE_LORA_DATA_RATE>(mib.Param.ChannelsDefaultDatarate))) != 0)
    return ret;
  mib.Type = MIB_RX2_DEFAULT_CHANNEL;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  if ((ret = service_nvm_set_rx2dr_to_nvm(
           static_cast<SERVICE_LORA_DATA_RATE>(mib.Param.Rx2DefaultChannel.Datarate))) != 0)
    return ret;
  if ((ret = static_cast<int32_t>(
           service_nvm_set_rx2fq_to_nvm(mib.Param.Rx2DefaultChannel.Frequency))) != 0)
    return ret;
  mib.Type = MIB_CHANNELS_DEFAULT_TX_POWER;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  if ((ret = service_nvm_set_txpower_to_nvm(
           static_cast<uint8_t>(mib.Param.ChannelsDefaultTxPower))) != 0)
    return ret;
  if (band == SERVICE_LORA_AU915 || band == SERVICE_LORA_CN470 || band == SERVICE_LORA_US915 ||
      band == SERVICE_LORA_LA915) {
    mib.Type = MIB_CHANNELS_DEFAULT_MASK;
    if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
    if ((ret = service_nvm_set_mask_to_nvm(mib.Param.ChannelsDefaultMask)) != 0) return ret;
  }
  if ((ret = service_nvm_set_band_to_nvm(band)) != 0) {
    return ret;
  }
  return service_lora_init(band);
}

int32_t service_lora_set_lora_default(void) {
  SERVICE_LORA_BAND band = service_nvm_get_band_from_nvm();
  if (service_lora_get_nwm() == SERVICE_LORAWAN) {
    int32_t ret = service_lora_stop();
    if (ret != 0 && service_lora_region_isActive(band)) {
      return ret;
    }
  }
  // The stored MAC context is zeroed in RAM first and written only once the
  // defaults run: a restore that fails on the way leaves it stored as it was.
  service_lora_mac_nvm_data_reset();
  if (service_nvm_set_default_config_to_nvm() != 0) {
    udrv_serial_log_printf("%s():Fail\r\n", "service_lora_set_lora_default");
    return -UDRV_INTERNAL_ERR;
  }
  if (service_lora_clear_multicast() != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  if (service_lora_get_nwm() == SERVICE_LORAWAN) {
    band = service_nvm_get_band_from_nvm();
    int32_t ret = service_lora_init(band);
    if (ret != 0 && service_lora_region_isActive(band)) {
      return ret;
    }
  }
  return service_nvm_set_lora_nvm_data_to_nvm() != 0 ? -UDRV_INTERNAL_ERR : 0;
}

// The join-retry step: another attempt after the stored period, until the
// stored maximum count is exceeded (0 disables the retry).
void service_lora_join_retry(uint32_t failed_code) {
  udrv_system_timer_stop(SYSTIMER_LORAWAN);
  ++auto_join_retry_cnt;
  if (auto_join_retry_cnt > service_nvm_get_auto_join_max_cnt_from_nvm()) {
    auto_join_retry_cnt = 0;
    return;
  }
  if (udrv_system_timer_create(SYSTIMER_LORAWAN, service_lora_auto_join, HTMR_ONESHOT) != 0) {
    udrv_serial_log_printf("+EVT:JOIN_FAILED_%d\r\n", static_cast<int>(failed_code));
    return;
  }
  udrv_system_timer_start(SYSTIMER_LORAWAN, service_nvm_get_auto_join_period_from_nvm() * 1000u,
                          nullptr);
}

int32_t service_lora_join(int32_t join_start, int32_t auto_join, int32_t auto_join_period,
                          int32_t auto_join_max_cnt) {
  int32_t ret;
  if (join_start != -1 && (join_start != 0) != service_nvm_get_join_start_from_nvm() &&
      (ret = service_nvm_set_join_start_to_nvm(join_start != 0)) != 0) {
    return ret;
  }
  if (auto_join != -1 && (auto_join != 0) != service_nvm_get_auto_join_from_nvm() &&
      (ret = service_nvm_set_auto_join_to_nvm(auto_join != 0)) != 0) {
    return ret;
  }
  if (auto_join_period != -1 &&
      static_cast<uint32_t>(auto_join_period) != service_nvm_get_auto_join_period_from_nvm() &&
      (ret = service_nvm_set_auto_join_period_to_nvm(static_cast<uint32_t>(auto_join_period))) !=
          0) {
    return ret;
  }
  if (auto_join_max_cnt != -1 &&
      static_cast<uint32_t>(auto_join_max_cnt) != service_nvm_get_auto_join_max_cnt_from_nvm() &&
      (ret = service_nvm_set_auto_join_max_cnt_to_nvm(static_cast<uint32_t>(auto_join_max_cnt))) !=
          0) {
    return ret;
  }
  if (join_start == 0) {
    udrv_system_timer_stop(SYSTIMER_LORAWAN);
    auto_join_retry_cnt = 0;
    return 0;
  }
  if (!service_lora_region_isActive(service_nvm_get_band_from_nvm())) {
    return -UDRV_UNSUPPORTED_BAND;
  }
  switch (service_nvm_get_njm_from_nvm()) {
    case SERVICE_LORA_OTAA: {
      // The nonce this request will carry is stored before it goes out: a
      // restart at any point continues past it.
      LoRaMacNvmData_t *live = live_context();
      if (live == nullptr) {
        return -UDRV_INTERNAL_ERR;
      }
      if (live->Crypto.DevNonce != 0xFFFF &&
          service_nvm_get_DevNonce_from_nvm() <= live->Crypto.DevNonce &&
          service_lora_set_DevNonce(static_cast<uint16_t>(live->Crypto.DevNonce + 1)) != 0) {
        return -UDRV_INTERNAL_ERR;
      }
      MlmeReq_t req{};
      req.Type = MLME_JOIN;
      req.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
      req.Req.Join.Datarate = static_cast<uint8_t>(service_lora_stored_dr());
      LoRaMacStatus_t status = LoRaMacMlmeRequest(&req);
      DutyCycleWaitTime = req.ReqReturn.DutyCycleWaitTime;
      switch (status) {
        case LORAMAC_STATUS_OK: {
          if (service_nvm_get_class_from_nvm() == SERVICE_LORA_CLASS_B) {
            service_lora_set_class_b_state(SERVICE_LORA_CLASS_B_S0);
          }
          // Stored already; a nonce stored ahead is never set back.
          if (live->Crypto.DevNonce > service_nvm_get_DevNonce_from_nvm()) {
            service_lora_set_DevNonce(live->Crypto.DevNonce);
          }
          print_tx_diagnostics(false);
          return 0;
        }
        case LORAMAC_STATUS_BUSY:
          return -UDRV_BUSY;
        case LORAMAC_STATUS_DUTYCYCLE_RESTRICTED:
          service_lora_join_retry(2053);
          udrv_serial_log_printf("Restricted_Wait_%d_ms\r\n", static_cast<int>(DutyCycleWaitTime));
          return -UDRV_BUSY;
        default: {
          // Every DevNonce has been used: a further request would repeat
          // one, which the network refuses. Say so; nothing is retried.
          LoRaMacNvmData_t *nvm = live_context();
          if (status == LORAMAC_STATUS_CRYPTO_ERROR && nvm != nullptr &&
              nvm->Crypto.DevNonce == 0xFFFF) {
            udrv_system_timer_stop(SYSTIMER_LORAWAN);
            auto_join_retry_cnt = 0;
            udrv_serial_log_printf("+EVT:JOIN_FAILED_DEVNONCE_EXHAUSTED\r\n");
          }
          return -UDRV_INTERNAL_ERR;
        }
      }
    }
    case SERVICE_LORA_ABP: {
      MibRequestConfirm_t mib{};
      mib.Type = MIB_NETWORK_ACTIVATION;
      mib.Param.NetworkActivation = ACTIVATION_TYPE_ABP;
      if (LoRaMacMibSetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
        return -UDRV_INTERNAL_ERR;
      }
      if (service_nvm_get_class_from_nvm() == SERVICE_LORA_CLASS_C) {
        mib.Type = MIB_DEVICE_CLASS;
        mib.Param.Class = CLASS_C;
        LoRaMacMibSetRequestConfirm(&mib);
      }
      return 0;
    }
    default:
      return -UDRV_INTERNAL_ERR;
  }
}

void service_lora_auto_join(void *) { service_lora_join(1, -1, -1, -1); }

void LmHandlerJoinRequest(bool isOtaa) {
  service_lora_set_njm(isOtaa ? SERVICE_LORA_OTAA : SERVICE_LORA_ABP, true);
  service_lora_join(1, -1, -1, -1);
}

int32_t service_lora_send(uint8_t *buff, uint32_t len, SERVICE_LORA_SEND_INFO info, bool blocking) {
  (void)blocking;
  if (!service_lora_get_njs()) {
    return -UDRV_NO_WAN_CONNECTION;
  }
  if (LoRaMacIsBusy()) {
    return -UDRV_BUSY;
  }
  const bool stored_confirm = service_nvm_get_cfm_from_nvm() == SERVICE_LORA_ACK;
  if (AckTimeoutRetriesCounter != 0 && (stored_confirm || AckTimeoutRetries_info.confirm_valid)) {
    return -UDRV_BUSY;
  }
  switch (service_nvm_get_class_from_nvm()) {
    case SERVICE_LORA_CLASS_C: {
      MibRequestConfirm_t mib{};
      mib.Type = MIB_DEVICE_CLASS;
      mib.Param.Class = CLASS_C;
      LoRaMacMibSetRequestConfirm(&mib);
      break;
    }
    case SERVICE_LORA_CLASS_B:
      if (service_lora_get_class_b_state() == SERVICE_LORA_CLASS_B_S0) {
        MlmeReq_t req{};
        req.Type = MLME_DEVICE_TIME;
        LoRaMacMlmeRequest(&req);
      } else if (service_lora_get_class_b_state() == SERVICE_LORA_CLASS_B_S2) {
        udrv_system_timer_stop(SYSTIMER_LORAWAN);
        MlmeReq_t req{};
        req.Type = MLME_PING_SLOT_INFO;
        req.Req.PingSlotInfo.PingSlot.Value =
            service_nvm_get_ping_slot_periodicity_from_nvm() & 0x07;
        LoRaMacMlmeRequest(&req);
      }
      break;
    default:
      break;
  }
  // A rate the pinned channel does not take would leave the MAC without a
  // channel: the uplink goes at the nearest rate the channel takes.
  const int8_t datarate =
      service_lora_pinned_channel_dr(static_cast<int8_t>(service_lora_stored_dr()));
  if (service_lora_get_adr()) {
    MibRequestConfirm_t mib{};
    mib.Type = MIB_CHANNELS_DATARATE;
    if (LoRaMacMibGetRequestConfirm(&mib) == LORAMAC_STATUS_OK) {
      const int8_t usable = service_lora_pinned_channel_dr(mib.Param.ChannelsDatarate);
      if (usable != mib.Param.ChannelsDatarate) {
        mib.Param.ChannelsDatarate = usable;
        LoRaMacMibSetRequestConfirm(&mib);
      }
    }
  }
  uint8_t linkcheck = service_nvm_get_linkcheck_from_nvm();
  if (linkcheck != LINK_CHECK_DISABLE) {
    if (linkcheck == LINK_CHECK_ONCE) {
      service_nvm_set_linkcheck_to_nvm(LINK_CHECK_DISABLE);
    }
    MlmeReq_t req{};
    req.Type = MLME_LINK_CHECK;
    LoRaMacMlmeRequest(&req);
  }
  if (service_lora_get_timereq() == TIMEREQ_ENABLED) {
    MlmeReq_t req{};
    req.Type = MLME_DEVICE_TIME;
    LoRaMacMlmeRequest(&req);
  }
  LoRaMacTxInfo_t tx_info{};
  LoRaMacStatus_t possible = LoRaMacQueryTxPossible(static_cast<uint8_t>(len % 256), &tx_info);
  service_debug(
      "QueryTxPossible: %s, UserDataSize %d PossibleDataSize %d AdditionalFOptsSize %d\r\n",
      service_lora_mac_status_text(possible), static_cast<int>(len),
      tx_info.MaxPossibleApplicationDataSize,
      tx_info.CurrentPossiblePayloadSize - tx_info.MaxPossibleApplicationDataSize);
  // A payload longer than the 8-bit length the MAC takes never fits.
  const bool fits = possible == LORAMAC_STATUS_OK && len <= 255;
  McpsReq_t req{};
  if (fits) {
    const bool confirmed =
        info.confirm_valid ? info.confirm != SERVICE_LORA_NO_ACK : stored_confirm;
    if (confirmed) {
      req.Type = MCPS_CONFIRMED;
      req.Req.Confirmed.fPort = info.port;
      req.Req.Confirmed.fBuffer = buff;
      req.Req.Confirmed.fBufferSize = static_cast<uint16_t>(len);
      req.Req.Confirmed.Datarate = datarate;
    } else {
      req.Type = MCPS_UNCONFIRMED;
      req.Req.Unconfirmed.fPort = info.port;
      req.Req.Unconfirmed.fBuffer = buff;
      req.Req.Unconfirmed.fBufferSize = static_cast<uint16_t>(len);
      req.Req.Unconfirmed.Datarate = datarate;
    }
    AckTimeoutRetries = info.retry_valid ? info.retry : service_nvm_get_retry_from_nvm();
    last_ack = false;
  } else {
    // An empty frame still carries the pending MAC commands.
    req.Type = MCPS_UNCONFIRMED;
    req.Req.Unconfirmed.fBuffer = nullptr;
    req.Req.Unconfirmed.fBufferSize = 0;
    req.Req.Unconfirmed.Datarate = datarate;
  }
  if (AckTimeoutRetriesCounter == 0) {
    // The uplink to resend is kept here: the caller may reuse its buffer
    // (a refused second send has already overwritten it) before the
    // confirm asks for the resend.
    uint32_t kept = fits ? len : 0;
    if (kept != 0 && buff != kept_payload) {
      memcpy(kept_payload, buff, kept);
    }
    AckTimeoutRetries_buff = kept_payload;
    AckTimeoutRetries_len = kept;
    AckTimeoutRetries_info = info;
  }
  // An ABP session's counter is stored ahead of the frame before it goes
  // out: a restart never sends a counter again.
  if (service_nvm_get_njm_from_nvm() == SERVICE_LORA_ABP &&
      service_lora_reserve_uplink_counter() != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  LoRaMacStatus_t status = LoRaMacMcpsRequest(&req);
  DutyCycleWaitTime = req.ReqReturn.DutyCycleWaitTime;
  if (status == LORAMAC_STATUS_OK) {
    print_tx_diagnostics(true);
  }
  switch (status) {
    case LORAMAC_STATUS_OK:
      if (!fits) {
        return -UDRV_WRONG_ARG;
      }
      if (AckTimeoutRetries != 0 && (stored_confirm || info.confirm_valid)) {
        AckTimeoutRetriesCounter = 1;
      }
      return 0;
    case LORAMAC_STATUS_BUSY:
    case LORAMAC_STATUS_BUSY_BEACON_RESERVED_TIME:
    case LORAMAC_STATUS_BUSY_PING_SLOT_WINDOW_TIME:
      return -UDRV_BUSY;
    case LORAMAC_STATUS_DUTYCYCLE_RESTRICTED:
      udrv_serial_log_printf("Restricted_Wait_%d_ms\r\n", static_cast<int>(DutyCycleWaitTime));
      return -UDRV_BUSY;
    default:
      return -UDRV_INTERNAL_ERR;
  }
}

void service_lora_send_null(void *) {
  SERVICE_LORA_SEND_INFO info{};
  info.port = 1;
  info.retry_valid = true;
  info.retry = 3;
  info.confirm_valid = false;
  service_lora_send(nullptr, 0, info, false);
}

void service_lora_suspend(void) {
  if (Radio.GetStatus() == RF_IDLE) {
    Radio.Sleep();
  }
}

void service_lora_resume(void) {
  // The sub-GHz radio wakes by itself on the next command.
  (void)Radio.GetStatus();
}

bool service_lora_isbusy(void) { return Radio.GetStatus() != RF_IDLE; }

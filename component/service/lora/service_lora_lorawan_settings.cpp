// The LoRaWAN settings: each accessor keeps the configuration record and the
// MAC's parameters in step. A MAC setter with commit false changes the MAC
// only (start-up pushes the stored values that way).
#include <string.h>

#include "Region.h"
#include "service_lora.h"
#include "service_lora_lorawan_internal.h"
#include "service_nvm.h"
#include "udrv_errno.h"

namespace {

bool band_active(void) { return service_lora_region_isActive(service_nvm_get_band_from_nvm()); }

LoRaMacStatus_t mib_set(MibRequestConfirm_t &mib) { return LoRaMacMibSetRequestConfirm(&mib); }

LoRaMacStatus_t mib_set_key(Mib_t type, uint8_t const *key) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  // The MAC copies the key; it never writes through the pointer.
  mib.Param.AppKey = const_cast<uint8_t *>(key);
  return LoRaMacMibSetRequestConfirm(&mib);
}

int32_t credential_result(LoRaMacStatus_t status) {
  if (status == LORAMAC_STATUS_OK) return 0;
  return status == LORAMAC_STATUS_BUSY ? -UDRV_BUSY : -UDRV_INTERNAL_ERR;
}

// Maps a refusal of a MAC setter: invalid parameters are the caller's error
// where the setting distinguishes them, every other refusal internal.
int32_t mac_result(LoRaMacStatus_t status, bool distinguish_invalid) {
  if (status == LORAMAC_STATUS_OK) return 0;
  if (distinguish_invalid && status == LORAMAC_STATUS_PARAMETER_INVALID) return -UDRV_WRONG_ARG;
  return -UDRV_INTERNAL_ERR;
}

uint32_t dev_addr_value(uint8_t const *b) {
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

bool otaa(void) { return service_nvm_get_njm_from_nvm() == SERVICE_LORA_OTAA; }

// The session values of a joined OTAA device come from the MAC; before the
// join they read as zeros. `size` is the item's size (16 or 4).
enum class Session { AppSKey, NwkSKey, DevAddr, NetId };

int32_t session_value(Session which, uint8_t *buff, uint32_t len, uint32_t size) {
  if (len < size) {
    return -UDRV_INTERNAL_ERR;
  }
  if (!service_lora_get_njs()) {
    memset(buff, 0, size);
    return 0;
  }
  MibRequestConfirm_t mib{};
  switch (which) {
    case Session::AppSKey:
    case Session::NwkSKey: {
      // The keys stay inside the secure element; the MAC copies them out.
      mib.Type = which == Session::AppSKey ? MIB_APP_S_KEY : MIB_NWK_S_ENC_KEY;
      mib.Param.AppSKey = buff;
      if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
      if (mib.Param.AppSKey != buff && mib.Param.AppSKey != nullptr)
        memcpy(buff, mib.Param.AppSKey, 16);
      return 0;
    }
    case Session::DevAddr:
      mib.Type = MIB_DEV_ADDR;
      if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
      buff[0] = static_cast<uint8_t>(mib.Param.DevAddr >> 24);
      buff[1] = static_cast<uint8_t>(mib.Param.DevAddr >> 16);
      buff[2] = static_cast<uint8_t>(mib.Param.DevAddr >> 8);
      buff[3] = static_cast<uint8_t>(mib.Param.DevAddr);
      return 0;
    case Session::NetId:
      mib.Type = MIB_NET_ID;
      if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
      memcpy(buff, &mib.Param.NetID, 4);
      return 0;
  }
  return -UDRV_INTERNAL_ERR;
}

}  // namespace

// ---- Identity and keys ----

int32_t service_lora_get_app_eui(uint8_t *buff, uint32_t len) {
  return service_nvm_get_app_eui_from_nvm(buff, len);
}
int32_t service_lora_get_app_key(uint8_t *buff, uint32_t len) {
  return service_nvm_get_app_key_from_nvm(buff, len);
}
int32_t service_lora_get_dev_eui(uint8_t *buff, uint32_t len) {
  return service_nvm_get_dev_eui_from_nvm(buff, len);
}

int32_t service_lora_set_app_eui(uint8_t const *buff, uint32_t len) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  if (len != 8) return -UDRV_WRONG_ARG;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_JOIN_EUI;
  mib.Param.JoinEui = const_cast<uint8_t *>(buff);
  int32_t ret = credential_result(mib_set(mib));
  if (ret != 0) return ret;
  return service_nvm_set_app_eui_to_nvm(buff, len);
}

int32_t service_lora_set_app_key(uint8_t const *buff, uint32_t len) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  if (len != 16) return -UDRV_WRONG_ARG;
  int32_t ret = credential_result(mib_set_key(MIB_APP_KEY, buff));
  if (ret == 0) ret = credential_result(mib_set_key(MIB_NWK_KEY, buff));
  if (ret != 0) return ret;
  return service_nvm_set_app_key_to_nvm(buff, len);
}

int32_t service_lora_set_dev_eui(uint8_t const *buff, uint32_t len) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  if (len != 8) return -UDRV_WRONG_ARG;
  if (service_lora_get_nwm() == SERVICE_LORAWAN) {
    MibRequestConfirm_t mib{};
    mib.Type = MIB_DEV_EUI;
    mib.Param.DevEui = const_cast<uint8_t *>(buff);
    int32_t ret = credential_result(mib_set(mib));
    if (ret != 0) return ret;
  }
  return service_nvm_set_dev_eui_to_nvm(buff, len);
}

int32_t service_lora_set_app_skey(uint8_t const *buff, uint32_t len) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  if (len != 16) return -UDRV_WRONG_ARG;
  int32_t ret = credential_result(mib_set_key(MIB_APP_S_KEY, buff));
  if (ret != 0) return ret;
  return service_nvm_set_app_skey_to_nvm(buff, len);
}

int32_t service_lora_set_nwk_skey(uint8_t const *buff, uint32_t len) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  if (len != 16) return -UDRV_WRONG_ARG;
  static const Mib_t items[] = {MIB_F_NWK_S_INT_KEY, MIB_S_NWK_S_INT_KEY, MIB_NWK_S_ENC_KEY};
  for (Mib_t item : items) {
    int32_t ret = credential_result(mib_set_key(item, buff));
    if (ret != 0) return ret;
  }
  return service_nvm_set_nwk_skey_to_nvm(buff, len);
}

int32_t service_lora_set_dev_addr(uint8_t const *buff, uint32_t len) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  if (len != 4) return -UDRV_WRONG_ARG;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_DEV_ADDR;
  mib.Param.DevAddr = dev_addr_value(buff);
  int32_t ret = credential_result(mib_set(mib));
  if (ret != 0) return ret;
  return service_nvm_set_dev_addr_to_nvm(buff, len);
}

int32_t service_lora_get_app_skey(uint8_t *buff, uint32_t len) {
  return otaa() ? session_value(Session::AppSKey, buff, len, 16)
                : service_nvm_get_app_skey_from_nvm(buff, len);
}

int32_t service_lora_get_nwk_skey(uint8_t *buff, uint32_t len) {
  return otaa() ? session_value(Session::NwkSKey, buff, len, 16)
                : service_nvm_get_nwk_skey_from_nvm(buff, len);
}

int32_t service_lora_get_dev_addr(uint8_t *buff, uint32_t len) {
  return otaa() ? session_value(Session::DevAddr, buff, len, 4)
                : service_nvm_get_dev_addr_from_nvm(buff, len);
}

int32_t service_lora_get_net_id(uint8_t *buff, uint32_t len) {
  return otaa() ? session_value(Session::NetId, buff, len, 4)
                : service_nvm_get_net_id_from_nvm(buff, len);
}

int32_t service_lora_get_McRoot_key(uint8_t *buff) {
  // No multicast root key is kept: nothing to give.
  (void)buff;
  return 0;
}

// ---- Store-only settings ----

uint8_t service_lora_get_retry(void) { return service_nvm_get_retry_from_nvm(); }
int32_t service_lora_set_retry(uint8_t retry) {
  return retry > 7 ? -UDRV_WRONG_ARG : service_nvm_set_retry_to_nvm(retry);
}

SERVICE_LORA_CONFIRM_MODE service_lora_get_cfm(void) { return service_nvm_get_cfm_from_nvm(); }
int32_t service_lora_set_cfm(SERVICE_LORA_CONFIRM_MODE cfm) {
  return service_nvm_set_cfm_to_nvm(cfm);
}

uint8_t service_lora_get_linkcheck(void) { return service_nvm_get_linkcheck_from_nvm(); }
int32_t service_lora_set_linkcheck(uint8_t mode) {
  return mode > LINK_CHECK_EVERYTIME ? -UDRV_WRONG_ARG : service_nvm_set_linkcheck_to_nvm(mode);
}

uint8_t service_lora_get_ping_slot_periodicity(void) {
  return service_nvm_get_ping_slot_periodicity_from_nvm();
}
int32_t service_lora_set_ping_slot_periodicity(uint8_t periodicity) {
  return service_nvm_set_ping_slot_periodicity_to_nvm(periodicity);
}

uint8_t service_lora_get_join_start(void) { return service_nvm_get_join_start_from_nvm() ? 1 : 0; }
uint8_t service_lora_get_auto_join(void) { return service_nvm_get_auto_join_from_nvm() ? 1 : 0; }
uint32_t service_lora_get_auto_join_period(void) {
  return service_nvm_get_auto_join_period_from_nvm();
}
uint32_t service_lora_get_auto_join_max_cnt(void) {
  return service_nvm_get_auto_join_max_cnt_from_nvm();
}

int32_t service_lora_get_lbt(void) { return service_nvm_get_lbt_from_nvm(); }
int32_t service_lora_set_lbt(uint8_t enable) { return service_nvm_set_lbt_to_nvm(enable); }
int16_t service_lora_get_lbt_rssi(void) { return service_nvm_get_lbt_rssi_from_nvm(); }
int32_t service_lora_set_lbt_rssi(int16_t rssi) { return service_nvm_set_lbt_rssi_to_nvm(rssi); }
uint32_t service_lora_get_lbt_scantime(void) { return service_nvm_get_lbt_scantime_from_nvm(); }
int32_t service_lora_set_lbt_scantime(uint32_t time) {
  return service_nvm_set_lbt_scantime_to_nvm(time);
}

int32_t service_lora_set_DevNonce(uint16_t dev_nonce) {
  return service_nvm_set_DevNonce_to_nvm(dev_nonce);
}

int32_t service_lora_set_IsCertPortOn(uint8_t on) {
  if (on == 0) {
    int32_t ret = service_nvm_set_certi_to_nvm(0);
    if (ret != 0) return ret;
  }
  return service_nvm_set_IsCertPortOn_to_nvm(on);
}

// ---- Join mode and status ----

SERVICE_LORA_JOIN_MODE service_lora_get_njm(void) { return service_nvm_get_njm_from_nvm(); }

bool service_lora_get_njs(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_NETWORK_ACTIVATION;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return false;
  }
  return mib.Param.NetworkActivation != ACTIVATION_TYPE_NONE;
}

int32_t service_lora_set_njm(SERVICE_LORA_JOIN_MODE njm, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_NETWORK_ACTIVATION;
  if (njm != SERVICE_LORA_ABP) {
    if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
    // A device joined by OTAA stays joined.
    if (mib.Param.NetworkActivation == ACTIVATION_TYPE_ABP) {
      mib.Param.NetworkActivation = ACTIVATION_TYPE_NONE;
      if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
    }
    uint8_t eui[8];
    uint8_t key[16];
    service_nvm_get_dev_eui_from_nvm(eui, sizeof eui);
    mib.Type = MIB_DEV_EUI;
    mib.Param.DevEui = eui;
    if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
    service_nvm_get_app_eui_from_nvm(eui, sizeof eui);
    mib.Type = MIB_JOIN_EUI;
    mib.Param.JoinEui = eui;
    if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
    service_nvm_get_app_key_from_nvm(key, sizeof key);
    if (mib_set_key(MIB_APP_KEY, key) != LORAMAC_STATUS_OK ||
        mib_set_key(MIB_NWK_KEY, key) != LORAMAC_STATUS_OK) {
      return -UDRV_INTERNAL_ERR;
    }
    return commit ? service_nvm_set_njm_to_nvm(njm) : 0;
  }
  mib.Param.NetworkActivation = ACTIVATION_TYPE_ABP;
  if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  uint8_t key[16];
  uint8_t addr[4];
  service_nvm_get_app_skey_from_nvm(key, sizeof key);
  if (mib_set_key(MIB_APP_S_KEY, key) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  service_nvm_get_dev_addr_from_nvm(addr, sizeof addr);
  mib.Type = MIB_DEV_ADDR;
  mib.Param.DevAddr = dev_addr_value(addr);
  if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  service_nvm_get_nwk_skey_from_nvm(key, sizeof key);
  static const Mib_t items[] = {MIB_F_NWK_S_INT_KEY, MIB_S_NWK_S_INT_KEY, MIB_NWK_S_ENC_KEY};
  for (Mib_t item : items) {
    if (mib_set_key(item, key) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  }
  int32_t ret = service_lora_set_class(service_nvm_get_class_from_nvm(), false);
  if (ret != 0) return ret;
  return commit ? service_nvm_set_njm_to_nvm(njm) : 0;
}

// ---- MAC settings ----

bool service_lora_get_adr(void) { return service_nvm_get_adr_from_nvm(); }
int32_t service_lora_set_adr(bool adr, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_ADR;
  mib.Param.AdrEnable = adr;
  LoRaMacStatus_t status = mib_set(mib);
  if (status == LORAMAC_STATUS_PARAMETER_INVALID) return -UDRV_WRONG_ARG;
  if (status == LORAMAC_STATUS_BUSY) return -UDRV_BUSY;
  return commit ? service_nvm_set_adr_to_nvm(adr) : 0;
}

SERVICE_LORA_CLASS service_lora_get_class(void) { return service_nvm_get_class_from_nvm(); }

int32_t service_lora_set_class(SERVICE_LORA_CLASS device_class, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  auto store = [&]() { return commit ? service_nvm_set_class_to_nvm(device_class) : 0; };
  if (device_class > SERVICE_LORA_CLASS_C) return -UDRV_INTERNAL_ERR;
  // A band that sends no beacons cannot run class B: choosing it is
  // refused rather than left to listen on no frequency.
  if (commit && device_class == SERVICE_LORA_CLASS_B && service_lora_get_beacon_freq() == 0) {
    return -UDRV_UNSUPPORTED_BAND;
  }
  if (!service_lora_get_njs()) {
    return store();
  }
  MibRequestConfirm_t mib{};
  mib.Type = MIB_DEVICE_CLASS;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  const DeviceClass_t now = mib.Param.Class;
  if (now > CLASS_C) return -UDRV_INTERNAL_ERR;
  // Class B is entered only by the acquisition (beacon, ping slots).
  if (device_class == SERVICE_LORA_CLASS_B && now != CLASS_B) {
    // The acquisition's requests are those of a class A device: a class C
    // MAC would refuse the ping-slot request and the acquisition stall.
    if (now == CLASS_C) {
      mib.Param.Class = CLASS_A;
      if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
    }
    service_lora_set_class_b_state(SERVICE_LORA_CLASS_B_S0);
    return store();
  }
  const DeviceClass_t wanted = device_class == SERVICE_LORA_CLASS_A   ? CLASS_A
                               : device_class == SERVICE_LORA_CLASS_B ? CLASS_B
                                                                      : CLASS_C;
  if (wanted != now || now == CLASS_B) {
    mib.Param.Class = wanted;
    if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  }
  return store();
}

uint8_t service_lora_get_dcs(void) { return service_nvm_get_dcs_from_nvm() ? 1 : 0; }
int32_t service_lora_set_dcs(uint8_t dutycycle, bool commit) {
  LoRaMacTestSetDutyCycleOn(dutycycle != 0);
  return commit ? static_cast<int32_t>(service_nvm_set_dcs_to_nvm(dutycycle)) : 0;
}

SERVICE_LORA_DATA_RATE service_lora_get_dr(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS_DATARATE;
  LoRaMacMibGetRequestConfirm(&mib);
  return static_cast<SERVICE_LORA_DATA_RATE>(mib.Param.ChannelsDatarate);
}

int32_t service_lora_set_dr(SERVICE_LORA_DATA_RATE dr, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS_DATARATE;
  mib.Param.ChannelsDatarate = static_cast<int8_t>(dr);
  int32_t ret = mac_result(mib_set(mib), true);
  if (ret != 0) return ret;
  return commit ? service_nvm_set_dr_to_nvm(dr) : 0;
}

namespace {

int32_t set_delay(Mib_t type, uint32_t delay) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  mib.Param.ReceiveDelay1 = delay;  // all delays share the layout
  return mac_result(LoRaMacMibSetRequestConfirm(&mib), false);
}

uint32_t get_delay(Mib_t type) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return 0;
  return mib.Param.ReceiveDelay1;
}

}  // namespace

uint32_t service_lora_get_jn1dl(void) { return service_nvm_get_jn1dl_from_nvm(); }
int32_t service_lora_set_jn1dl(uint32_t delay, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  int32_t ret = set_delay(MIB_JOIN_ACCEPT_DELAY_1, delay);
  if (ret != 0) return ret;
  return commit ? service_nvm_set_jn1dl_to_nvm(delay) : 0;
}

uint32_t service_lora_get_jn2dl(void) { return service_nvm_get_jn2dl_from_nvm(); }
int32_t service_lora_set_jn2dl(uint32_t delay, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  int32_t ret = set_delay(MIB_JOIN_ACCEPT_DELAY_2, delay);
  if (ret != 0) return ret;
  return commit ? service_nvm_set_jn2dl_to_nvm(delay) : 0;
}

bool service_lora_get_pub_nwk_mode(void) { return service_nvm_get_pub_nwk_mode_from_nvm(); }
int32_t service_lora_set_pub_nwk_mode(bool pnm, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_PUBLIC_NETWORK;
  mib.Param.EnablePublicNetwork = pnm;
  int32_t ret = mac_result(mib_set(mib), false);
  if (ret != 0) return ret;
  return commit ? service_nvm_set_pub_nwk_mode_to_nvm(pnm) : 0;
}

uint32_t service_lora_get_rx1dl(void) {
  if (otaa() && service_lora_get_njs()) {
    return get_delay(MIB_RECEIVE_DELAY_1);
  }
  return service_nvm_get_rx1dl_from_nvm();
}

int32_t service_lora_set_rx1dl(uint32_t delay, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  int32_t ret = set_delay(MIB_RECEIVE_DELAY_1, delay);
  if (ret == 0) ret = set_delay(MIB_RECEIVE_DELAY_2, delay + 1000);
  if (ret != 0 || !commit) return ret;
  if ((ret = service_nvm_set_rx2dl_to_nvm(delay + 1000)) != 0) return ret;
  return service_nvm_set_rx1dl_to_nvm(delay);
}

uint32_t service_lora_get_rx2dl(void) { return service_nvm_get_rx2dl_from_nvm(); }
int32_t service_lora_set_rx2dl(uint32_t delay, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  int32_t ret = set_delay(MIB_RECEIVE_DELAY_2, delay);
  if (ret == 0) ret = set_delay(MIB_RECEIVE_DELAY_1, delay - 1000);
  if (ret != 0 || !commit) return ret;
  if ((ret = service_nvm_set_rx1dl_to_nvm(delay - 1000)) != 0) return ret;
  return service_nvm_set_rx2dl_to_nvm(delay);
}

uint8_t service_lora_get_txpower(void) { return service_nvm_get_txpower_from_nvm(); }
int32_t service_lora_set_txpower(uint8_t txp, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS_TX_POWER;
  mib.Param.ChannelsTxPower = static_cast<int8_t>(txp);
  int32_t ret = mac_result(mib_set(mib), true);
  if (ret != 0) return ret;
  return commit ? service_nvm_set_txpower_to_nvm(txp) : 0;
}

uint32_t service_lora_get_rx2freq(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_RX2_CHANNEL;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return static_cast<uint32_t>(-UDRV_INTERNAL_ERR);
  }
  return mib.Param.Rx2Channel.Frequency;
}

int32_t service_lora_set_rx2freq(uint32_t freq, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_RX2_CHANNEL;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  mib.Param.Rx2Channel.Frequency = freq;
  if (mib_set(mib) != LORAMAC_STATUS_OK) return -UDRV_WRONG_ARG;
  return commit ? static_cast<int32_t>(service_nvm_set_rx2fq_to_nvm(freq)) : 0;
}

SERVICE_LORA_DATA_RATE service_lora_get_rx2dr(void) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_RX2_CHANNEL;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) {
    return static_cast<SERVICE_LORA_DATA_RATE>(249);
  }
  return static_cast<SERVICE_LORA_DATA_RATE>(mib.Param.Rx2Channel.Datarate);
}

int32_t service_lora_set_rx2dr(SERVICE_LORA_DATA_RATE dr, bool commit) {
  if (!band_active()) return -UDRV_UNSUPPORTED_BAND;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_RX2_CHANNEL;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK) return -UDRV_INTERNAL_ERR;
  RxChannelParams_t channel = mib.Param.Rx2Channel;
  channel.Datarate = static_cast<uint8_t>(dr);
  mib.Type = MIB_RXC_CHANNEL;
  mib.Param.RxCChannel = channel;
  mib_set(mib);
  mib.Type = MIB_RX2_CHANNEL;
  mib.Param.Rx2Channel = channel;
  int32_t ret = mac_result(mib_set(mib), true);
  if (ret != 0) return ret;
  return commit ? service_nvm_set_rx2dr_to_nvm(dr) : 0;
}

uint32_t service_lora_get_beacon_freq(void) {
  GetPhyParams_t phy{};
  phy.Attribute = PHY_BEACON_CHANNEL_FREQ;
  SERVICE_LORA_BAND band = service_nvm_get_band_from_nvm();
  LoRaMacRegion_t region =
      band >= SERVICE_LORA_AS923_2 ? LORAMAC_REGION_AS923 : static_cast<LoRaMacRegion_t>(band);
  return RegionGetPhyParam(region, &phy).Value;
}

uint8_t service_lora_get_beacon_dr(void) {
  GetPhyParams_t phy{};
  phy.Attribute = PHY_BEACON_CHANNEL_DR;
  SERVICE_LORA_BAND band = service_nvm_get_band_from_nvm();
  LoRaMacRegion_t region =
      band >= SERVICE_LORA_AS923_2 ? LORAMAC_REGION_AS923 : static_cast<LoRaMacRegion_t>(band);
  return static_cast<uint8_t>(RegionGetPhyParam(region, &phy).Value);
}

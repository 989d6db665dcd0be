// The configuration store: every setting of the image in one record,
// PRE_qiv_cfg_t, kept in RAM as g_qiv_cfg_t and stored whole in one flash
// page; a factory copy in another page; on the LoRa images a block for the
// MAC's persistent context. One getter and one setter per field.
//
// The record is stored byte for byte as it lies in RAM (little-endian,
// natural alignment, zero padding), so its layout is fixed per MCU family:
// 676 bytes on the Apollo3 image, 660 on the STM32WLE5 images, 196 on the
// nRF52840 images.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "qiv_config.h"
#include "qiv_products.h"
#include "udrv_errno.h"
#include "udrv_serial.h"
#ifdef SUPPORT_LORA
#include "service_lora_types.h"
#endif

#define PRE_QIV_CFG_MAGIC 0xAABBCCDDu
#define PRE_QIV_CFG_VERSION 4u

// Flash map of the record, the MAC block and the factory copy: the chip's.
#define SERVICE_NVM_CFG_ADDR QIV_CHIP_NVM_CFG_ADDR
#ifdef QIV_CHIP_NVM_LORA_MAC_ADDR
#define SERVICE_NVM_LORA_MAC_ADDR QIV_CHIP_NVM_LORA_MAC_ADDR
#endif
#define SERVICE_NVM_FACTORY_ADDR QIV_CHIP_NVM_FACTORY_ADDR

#ifdef SUPPORT_LORA
typedef struct {
  uint32_t Frequency;  // Hz
  uint8_t Spreadfact;
  uint16_t Bandwidth;
  uint8_t Codingrate;
  uint16_t Preamlen;
  uint8_t Powerdbm;  // dBm
  uint8_t p2p_workmode;
  bool crypt_enable;
  uint8_t crypt_key[8];
  uint32_t bitrate;    // FSK bit/s
  uint32_t deviation;  // FSK Hz
  uint32_t fsk_rxbw;   // FSK Hz
} PRE_S_LORAP2P_PARAM;
static_assert(sizeof(PRE_S_LORAP2P_PARAM) == 36);
#endif

#ifdef SUPPORT_BLE
typedef struct {
  uint8_t work_mode;
  uint8_t long_range_enable;
  uint8_t mac[12];  // the BLE address as 12 hex characters
  uint8_t reserve[2];
} PRE_ble_central_cfg_t;
static_assert(sizeof(PRE_ble_central_cfg_t) == 16);
#endif

#ifdef SUPPORT_LORA
typedef struct {
  SERVICE_LORA_BAND region;
  uint8_t dev_eui[8];
  uint8_t app_eui[8];
  uint8_t app_key[16];
  uint8_t app_skey[16];
  uint8_t dev_addr[4];
  uint8_t nwk_id[4];
  uint8_t nwk_skey[16];
  uint32_t multi_dev_addr;
  uint8_t multi_nwks_key[16];
  uint8_t multi_apps_key[16];
  bool MulticastEnable;
  uint16_t ch_mask[6];
  SERVICE_LORA_JOIN_MODE join_mode;
  SERVICE_LORA_CLASS device_class;
  SERVICE_LORA_CONFIRM_MODE confirm;
  uint8_t retry;
  SERVICE_LORA_DATA_RATE dr;
  SERVICE_LORA_DATA_RATE rx2dr;
  bool adr;
  uint8_t tx_power;
  uint8_t DutycycleEnable;
  uint32_t jn1dl;  // ms
  uint32_t jn2dl;
  uint32_t rx1dl;
  uint32_t rx2dl;
  uint32_t rx2fq;  // Hz
  bool pub_nwk_mode;
  uint8_t linkcheck_mode;
  uint8_t ping_slot_periodicity;
  bool join_start;
  bool auto_join;
  uint32_t auto_join_period;  // s
  uint32_t auto_join_max_cnt;
  McSession_t McSession_group[4];
  uint32_t chs;  // single-channel frequency
  uint8_t tp_port[SERIAL_MAX];
} PRE_lora_cfg_t;
static_assert(sizeof(PRE_lora_cfg_t) == 388);
static_assert(offsetof(PRE_lora_cfg_t, multi_dev_addr) == 76);
static_assert(offsetof(PRE_lora_cfg_t, ch_mask) == 114);
static_assert(offsetof(PRE_lora_cfg_t, jn1dl) == 136);
static_assert(offsetof(PRE_lora_cfg_t, auto_join_period) == 164);
static_assert(offsetof(PRE_lora_cfg_t, McSession_group) == 172);
static_assert(offsetof(PRE_lora_cfg_t, chs) == 380);
static_assert(offsetof(PRE_lora_cfg_t, tp_port) == 384);
#endif

typedef struct {
  uint32_t seconds;
  uint32_t subseconds;
} PRE_rtc_delta_t;

typedef struct {
#ifdef SUPPORT_LORA
  bool iqinverted;
  uint32_t symbol_timeout;
  uint16_t syncword;
  uint8_t syncword_dirty_byte;
  bool fix_length_payload;
  uint8_t lbt_enable;
  int16_t lbt_rssi;  // dBm
  uint32_t lbt_scantime;
#endif
  uint8_t auto_sleep_level;
#ifdef SUPPORT_LORA
  uint8_t crypt_key16[16];
  uint8_t crypt_IV[16];
  uint8_t CAD;
  uint8_t certif;
  uint8_t IsCertPortOn;
#endif
} qiv_cfg_t_ex;

typedef struct {
  uint32_t magic_num;
  uint32_t version_code;
#ifdef SUPPORT_LORA
  SERVICE_LORA_WORK_MODE lora_work_mode;
  PRE_S_LORAP2P_PARAM g_lora_p2p_cfg_t;
#endif
#ifdef SUPPORT_BLE
  PRE_ble_central_cfg_t g_ble_cfg_t;
#endif
#ifdef SUPPORT_LORA
  PRE_lora_cfg_t g_lora_cfg_t;
#endif
  PRE_rtc_delta_t g_rtc_delta_t;
  SERVICE_MODE_TYPE mode_type[SERIAL_MAX];
  SERIAL_WLOCK_STATE serial_lock_status[SERIAL_MAX];
  uint32_t baudrate;
  uint8_t atcmd_echo;
  char serial_passwd[9];     // text of at most 8 characters, zero-filled
  uint32_t auto_sleep_time;  // ms
  char sn[18];
  char alias[16];
  uint8_t debug_level;
  char firmware_ver[32];
  char hwmodel[32];
  char cli_ver[32];
  qiv_cfg_t_ex g_qiv_cfg_ex;
} PRE_qiv_cfg_t;

#if QIV_CHIP_NVM_LAYOUT == QIV_NVM_LAYOUT_LORA_BLE
static_assert(sizeof(PRE_qiv_cfg_t) == 676);
static_assert(offsetof(PRE_qiv_cfg_t, g_ble_cfg_t) == 48);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t) == 64);
static_assert(offsetof(PRE_qiv_cfg_t, g_rtc_delta_t) == 452);
static_assert(offsetof(PRE_qiv_cfg_t, mode_type) == 460);
static_assert(offsetof(PRE_qiv_cfg_t, serial_lock_status) == 464);
static_assert(offsetof(PRE_qiv_cfg_t, baudrate) == 468);
static_assert(offsetof(PRE_qiv_cfg_t, serial_passwd) == 473);
static_assert(offsetof(PRE_qiv_cfg_t, auto_sleep_time) == 484);
static_assert(offsetof(PRE_qiv_cfg_t, sn) == 488);
static_assert(offsetof(PRE_qiv_cfg_t, alias) == 506);
static_assert(offsetof(PRE_qiv_cfg_t, debug_level) == 522);
static_assert(offsetof(PRE_qiv_cfg_t, cli_ver) == 587);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex) == 620);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.lbt_rssi) == 634);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.auto_sleep_level) == 640);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.IsCertPortOn) == 675);
#elif QIV_CHIP_NVM_LAYOUT == QIV_NVM_LAYOUT_LORA
static_assert(sizeof(PRE_qiv_cfg_t) == 660);
static_assert(offsetof(PRE_qiv_cfg_t, lora_work_mode) == 8);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_p2p_cfg_t) == 12);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_p2p_cfg_t.Bandwidth) == 18);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_p2p_cfg_t.crypt_key) == 27);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_p2p_cfg_t.fsk_rxbw) == 44);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t) == 48);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.dev_eui) == 49);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.nwk_skey) == 105);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.MulticastEnable) == 160);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.join_mode) == 174);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.DutycycleEnable) == 182);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.rx2fq) == 200);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.auto_join) == 208);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.auto_join_max_cnt) == 216);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.McSession_group) == 220);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.chs) == 428);
static_assert(offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.tp_port) == 432);
static_assert(offsetof(PRE_qiv_cfg_t, g_rtc_delta_t) == 436);
static_assert(offsetof(PRE_qiv_cfg_t, g_rtc_delta_t.subseconds) == 440);
static_assert(offsetof(PRE_qiv_cfg_t, mode_type) == 444);
static_assert(offsetof(PRE_qiv_cfg_t, serial_lock_status) == 447);
static_assert(offsetof(PRE_qiv_cfg_t, baudrate) == 452);
static_assert(offsetof(PRE_qiv_cfg_t, atcmd_echo) == 456);
static_assert(offsetof(PRE_qiv_cfg_t, serial_passwd) == 457);
static_assert(offsetof(PRE_qiv_cfg_t, auto_sleep_time) == 468);
static_assert(offsetof(PRE_qiv_cfg_t, sn) == 472);
static_assert(offsetof(PRE_qiv_cfg_t, alias) == 490);
static_assert(offsetof(PRE_qiv_cfg_t, debug_level) == 506);
static_assert(offsetof(PRE_qiv_cfg_t, firmware_ver) == 507);
static_assert(offsetof(PRE_qiv_cfg_t, hwmodel) == 539);
static_assert(offsetof(PRE_qiv_cfg_t, cli_ver) == 571);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex) == 604);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.symbol_timeout) == 608);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.syncword) == 612);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.syncword_dirty_byte) == 614);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.fix_length_payload) == 615);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.lbt_enable) == 616);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.lbt_rssi) == 618);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.lbt_scantime) == 620);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.auto_sleep_level) == 624);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.crypt_key16) == 625);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.crypt_IV) == 641);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.CAD) == 657);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.certif) == 658);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.IsCertPortOn) == 659);
#else
static_assert(sizeof(PRE_qiv_cfg_t) == 196);
static_assert(offsetof(PRE_qiv_cfg_t, g_ble_cfg_t) == 8);
static_assert(offsetof(PRE_qiv_cfg_t, g_rtc_delta_t) == 24);
static_assert(offsetof(PRE_qiv_cfg_t, mode_type) == 32);
static_assert(offsetof(PRE_qiv_cfg_t, baudrate) == 44);
static_assert(offsetof(PRE_qiv_cfg_t, auto_sleep_time) == 60);
static_assert(offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex) == 195);
#endif

#ifdef SUPPORT_LORA
// The MAC's persistent context as the store keeps it: the crypto group, MAC
// groups 1 and 2, the secure-element group and the 96 channel entries of the
// region's channel group, each in the MAC's own stored layout.
#define SERVICE_NVM_CRYPTO_SIZE 56
#define SERVICE_NVM_MACGROUP1_SIZE 32
#define SERVICE_NVM_MACGROUP2_SIZE 388
#define SERVICE_NVM_SEC_ELEMENT_SIZE 416
#define SERVICE_NVM_REGIONCHANNELS_SIZE 1152
typedef struct alignas(4) {
  uint8_t loramac_crypto_nvm[SERVICE_NVM_CRYPTO_SIZE];
  uint8_t loramac_macgroup1[SERVICE_NVM_MACGROUP1_SIZE];
  uint8_t loramac_macgroup2[SERVICE_NVM_MACGROUP2_SIZE];
  uint8_t loramac_secureelement[SERVICE_NVM_SEC_ELEMENT_SIZE];
  uint8_t loramac_channels[SERVICE_NVM_REGIONCHANNELS_SIZE];
} lora_mac_nvm_data_t;
static_assert(sizeof(lora_mac_nvm_data_t) == 2044);
static_assert(offsetof(lora_mac_nvm_data_t, loramac_macgroup2) == 88);
static_assert(offsetof(lora_mac_nvm_data_t, loramac_secureelement) == 476);
static_assert(offsetof(lora_mac_nvm_data_t, loramac_channels) == 892);

extern lora_mac_nvm_data_t g_lora_mac_nvm_data;
#endif

extern PRE_qiv_cfg_t g_qiv_cfg_t;

// Version texts the defaults copy into the record.
extern const char sw_version[];
extern const char model_id[];
extern const char cli_version[];

// ---- Boot load, defaults and whole-record writes ----
int32_t service_nvm_init_config(void);
int32_t service_nvm_set_default_config_to_nvm(void);
int32_t service_nvm_set_cfg_to_nvm(void);
// Makes the stored record the factory copy (AT+FACTORY): 0, or a negated
// code when the copy could not be written.
int32_t service_nvm_set_factory_copy_to_nvm(void);
// Recognises the layout of the record page at data_flash_addr, from which cfg
// has just been read, and leaves cfg as a version-4 record (an older layout
// converted, erased fields of a version-4 record replaced) or all zeros (no
// layout recognised, or a newer firmware's record). Changes RAM only.
void service_nvm_data_recovery_from_legacy(uint32_t data_flash_addr, PRE_qiv_cfg_t *cfg);
// Gives the fields that the older layouts lack the values of those days.
void service_nvm_data_add_to_legacy(PRE_qiv_cfg_t *cfg);
#ifdef SUPPORT_LORA
int32_t service_lora_mac_nvm_data_init(void);
void service_lora_mac_nvm_data_reset(void);
int32_t service_nvm_set_lora_nvm_data_to_nvm(void);
#endif

// ---- Accessors ----
// Value setters store what they are given and write the whole record,
// returning the flash driver's result. Buffer getters answer -9 when the
// buffer is shorter than the field. Key and identifier setters need exactly
// the field size, text setters at most; a refused value answers -3 and
// changes nothing. Per-port accessors take a SERIAL_PORT first.

SERVICE_MODE_TYPE service_nvm_get_mode_type_from_nvm(SERIAL_PORT port);
int32_t service_nvm_set_mode_type_to_nvm(SERIAL_PORT port, SERVICE_MODE_TYPE mode_type);
SERIAL_WLOCK_STATE service_nvm_get_lock_status_from_nvm(SERIAL_PORT port);
int32_t service_nvm_set_lock_status_to_nvm(SERIAL_PORT port, SERIAL_WLOCK_STATE lock_status);

// The password: the getter returns the length of the stored text (at most 8).
int32_t service_nvm_get_serial_passwd_from_nvm(char *buff, uint32_t len);
int32_t service_nvm_set_serial_passwd_to_nvm(char const *buff, uint32_t len);
int32_t service_nvm_get_atcmd_alias_from_nvm(char *buff, uint32_t len);
int32_t service_nvm_set_atcmd_alias_to_nvm(char const *buff, uint32_t len);
int32_t service_nvm_get_sn_from_nvm(char *buff, uint32_t len);
int32_t service_nvm_set_sn_to_nvm(char const *buff, uint32_t len);
uint8_t service_nvm_get_firmware_ver_from_nvm(char *buff, uint32_t len);
uint8_t service_nvm_get_hwmodel_from_nvm(char *buff, uint32_t len);
uint8_t service_nvm_get_cli_ver_from_nvm(char *buff, uint32_t len);
#ifdef SUPPORT_BLE
uint8_t service_nvm_get_ble_mac_from_nvm(uint8_t *buff, uint32_t len);
uint8_t service_nvm_set_ble_mac_to_nvm(uint8_t const *buff, uint32_t len);
#endif

uint8_t service_nvm_get_auto_sleep_level_from_nvm(void);
uint8_t service_nvm_set_auto_sleep_level_to_nvm(uint8_t level);
uint8_t service_nvm_get_debug_level_from_nvm(void);
uint32_t service_nvm_set_debug_level_to_nvm(uint8_t level);

// Value fields: name, type, setter result.
#define SERVICE_NVM_SYSTEM_VALUE_FIELDS(X) \
  X(auto_sleep_time, uint32_t, int32_t)    \
  X(delta_sec, uint32_t, int32_t)          \
  X(delta_subsec, uint32_t, int32_t)       \
  X(baudrate, uint32_t, int32_t)           \
  X(atcmd_echo, uint8_t, int32_t)

#ifdef SUPPORT_LORA
#define SERVICE_NVM_LORA_VALUE_FIELDS(X)     \
  X(band, SERVICE_LORA_BAND, int32_t)        \
  X(retry, uint8_t, int32_t)                 \
  X(cfm, SERVICE_LORA_CONFIRM_MODE, int32_t) \
  X(nwm, SERVICE_LORA_WORK_MODE, int32_t)    \
  X(njm, SERVICE_LORA_JOIN_MODE, int32_t)    \
  X(adr, bool, int32_t)                      \
  X(class, SERVICE_LORA_CLASS, int32_t)      \
  X(dr, SERVICE_LORA_DATA_RATE, int32_t)     \
  X(rx2dr, SERVICE_LORA_DATA_RATE, int32_t)  \
  X(jn1dl, uint32_t, int32_t)                \
  X(jn2dl, uint32_t, int32_t)                \
  X(rx2fq, uint32_t, uint32_t)               \
  X(pub_nwk_mode, bool, int32_t)             \
  X(rx1dl, uint32_t, int32_t)                \
  X(rx2dl, uint32_t, int32_t)                \
  X(txpower, uint8_t, int32_t)               \
  X(linkcheck, uint8_t, int32_t)             \
  X(ping_slot_periodicity, uint8_t, int32_t) \
  X(join_start, bool, int32_t)               \
  X(auto_join, bool, int32_t)                \
  X(auto_join_period, uint32_t, int32_t)     \
  X(auto_join_max_cnt, uint32_t, int32_t)    \
  X(lbt, uint8_t, int32_t)                   \
  X(lbt_rssi, int16_t, int32_t)              \
  X(lbt_scantime, uint32_t, int32_t)         \
  X(IsCertPortOn, uint8_t, int32_t)          \
  X(chs, uint32_t, uint32_t)                 \
  X(dcs, uint8_t, uint32_t)                  \
  X(CAD, uint8_t, int32_t)                   \
  X(certi, uint8_t, int32_t)                 \
  X(freq, uint32_t, int32_t)                 \
  X(sf, uint8_t, int32_t)                    \
  X(codingrate, uint8_t, int32_t)            \
  X(preamlen, uint16_t, int32_t)             \
  X(powerdbm, uint8_t, int32_t)              \
  X(crypt_enable, bool, int32_t)             \
  X(fdev, uint32_t, uint32_t)                \
  X(bitrate, uint32_t, uint32_t)             \
  X(iqinverted, bool, int32_t)               \
  X(symbol_timeout, uint32_t, int32_t)       \
  X(fix_length_payload, bool, int32_t)       \
  X(syncword, uint16_t, int32_t)
#else
#define SERVICE_NVM_LORA_VALUE_FIELDS(X)
#endif

#define SERVICE_NVM_DECLARE_VALUE(name, type, result) \
  type service_nvm_get_##name##_from_nvm(void);       \
  result service_nvm_set_##name##_to_nvm(type value);
SERVICE_NVM_SYSTEM_VALUE_FIELDS(SERVICE_NVM_DECLARE_VALUE)
SERVICE_NVM_LORA_VALUE_FIELDS(SERVICE_NVM_DECLARE_VALUE)
#undef SERVICE_NVM_DECLARE_VALUE

#ifdef SUPPORT_LORA
// Keys and identifiers: exactly the field size.
#define SERVICE_NVM_LORA_KEY_FIELDS(X) \
  X(app_eui, 8)                        \
  X(dev_eui, 8)                        \
  X(app_key, 16)                       \
  X(app_skey, 16)                      \
  X(nwk_skey, 16)                      \
  X(dev_addr, 4)                       \
  X(crypt_key, 16)                     \
  X(crypt_IV, 16)

#define SERVICE_NVM_DECLARE_KEY(name, size)                               \
  int32_t service_nvm_get_##name##_from_nvm(uint8_t *buff, uint32_t len); \
  int32_t service_nvm_set_##name##_to_nvm(uint8_t const *buff, uint32_t len);
SERVICE_NVM_LORA_KEY_FIELDS(SERVICE_NVM_DECLARE_KEY)
#undef SERVICE_NVM_DECLARE_KEY

int32_t service_nvm_get_net_id_from_nvm(uint8_t *buff, uint32_t len);

int32_t service_nvm_get_mask_from_nvm(uint16_t *mask);
int32_t service_nvm_set_mask_to_nvm(uint16_t const *mask);

// P2P work mode: Bandwidth; FSK work mode: fsk_rxbw.
uint32_t service_nvm_get_bandwidth_from_nvm(void);
int32_t service_nvm_set_bandwidth_to_nvm(uint32_t bandwidth);

// The MAC block: DevNonce (in the crypto group) and the groups. Setters copy
// the group into the RAM block and write the whole block.
uint16_t service_nvm_get_DevNonce_from_nvm(void);
int32_t service_nvm_set_DevNonce_to_nvm(uint16_t dev_nonce);
void *service_nvm_get_crypto_from_nvm(void);
int32_t service_nvm_set_crypto_to_nvm(void const *group);
void *service_nvm_get_macgroup1_from_nvm(void);
int32_t service_nvm_set_macgroup1_to_nvm(void const *group);
void *service_nvm_get_macgroup2_from_nvm(void);
int32_t service_nvm_set_macgroup2_to_nvm(void const *group);
void *service_nvm_get_sec_element_from_nvm(void);
int32_t service_nvm_set_sec_element_to_nvm(void const *group);
void *service_nvm_get_regionchannels_from_nvm(void);
int32_t service_nvm_set_regionchannels_to_nvm(void const *group);

// The four multicast sessions, stored in the record.
McSession_t *service_nvm_get_multicast_from_nvm(void);
int32_t service_nvm_set_multicast_to_nvm(McSession_t const *sessions);
#endif

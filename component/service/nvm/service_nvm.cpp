#include "service_nvm.h"

#include <string.h>

#include "fund_text.h"
#include "udrv_flash.h"

// The Apollo3 image and the STM32WLE5 images other than the Wi-Fi
// co-processor board were released with the older record layouts; the
// others only ever stored the current one.
#if defined(SUPPORT_LORA) && !defined(QIV_BOARD_ESP32C2)
#define SERVICE_NVM_OLDER_LAYOUTS 1
#include "fund_crc32.h"
#endif

PRE_qiv_cfg_t g_qiv_cfg_t;
#ifdef SUPPORT_LORA
lora_mac_nvm_data_t g_lora_mac_nvm_data;
#endif

#ifdef QIV_BOARD_BAND_STRAP
// The board's frequency-band strap: non-zero on the high-band hardware.
uint8_t BoardGetHardwareFreq(void);
#endif

namespace {

#ifdef QIV_CHIP_NVM_COPIES
// The record, the factory copy and the MAC block in two copies each; the
// first slot of each is where the single-copy layout kept it, read when no
// slot holds a copy yet (a flash file of an earlier firmware).
constexpr udrv_flash_copies_t cfg_copies = {{SERVICE_NVM_CFG_ADDR, QIV_CHIP_NVM_CFG_COPY_ADDR},
                                            QIV_CHIP_NVM_CFG_SLOT_SIZE};
constexpr udrv_flash_copies_t factory_copies = {
    {SERVICE_NVM_FACTORY_ADDR, QIV_CHIP_NVM_FACTORY_COPY_ADDR}, QIV_CHIP_NVM_FACTORY_SLOT_SIZE};
static_assert(UDRV_FLASH_COPY_SIZE(sizeof(PRE_qiv_cfg_t)) <= QIV_CHIP_NVM_CFG_SLOT_SIZE);
static_assert(UDRV_FLASH_COPY_SIZE(sizeof(PRE_qiv_cfg_t)) <= QIV_CHIP_NVM_FACTORY_SLOT_SIZE);
#ifdef SUPPORT_LORA
constexpr udrv_flash_copies_t mac_copies = {
    {SERVICE_NVM_LORA_MAC_ADDR, QIV_CHIP_NVM_LORA_MAC_COPY_ADDR}, QIV_CHIP_NVM_LORA_MAC_SLOT_SIZE};
static_assert(UDRV_FLASH_COPY_SIZE(sizeof(lora_mac_nvm_data_t)) <= QIV_CHIP_NVM_LORA_MAC_SLOT_SIZE);
#endif
#endif

#if defined(QIV_CHIP_NVM_SHARED_COPIES) && defined(SUPPORT_LORA)
// The record and the MAC block share one page: they are kept together as one
// record in two copies, the record at its start and the MAC block at its
// place behind it, with the bytes between erased as the single-copy layout
// left them. The first slot is that page, read as before when no slot holds
// a copy yet (a flash file of an earlier firmware).
#define SERVICE_NVM_SHARED_COPIES 1
constexpr uint32_t shared_mac_offset = SERVICE_NVM_LORA_MAC_ADDR - SERVICE_NVM_CFG_ADDR;
constexpr uint32_t shared_size = shared_mac_offset + sizeof(lora_mac_nvm_data_t);
static_assert(shared_mac_offset >= sizeof(PRE_qiv_cfg_t) && shared_mac_offset % 4 == 0);
static_assert(UDRV_FLASH_COPY_SIZE(shared_size) <= QIV_CHIP_NVM_SHARED_SLOT_SIZE);
constexpr udrv_flash_copies_t shared_copies = {
    {SERVICE_NVM_CFG_ADDR, QIV_CHIP_NVM_SHARED_COPY_ADDR}, QIV_CHIP_NVM_SHARED_SLOT_SIZE};
alignas(4) uint8_t shared_page[shared_size];

// 0 with the record and the MAC block of the newest copy in RAM; 1 when no
// slot holds a copy; a negated code when the flash cannot be read.
int32_t shared_read(void) {
  int32_t const found = udrv_flash_copies_read(&shared_copies, shared_page, shared_size, nullptr);
  if (found == 0) {
    memcpy(&g_qiv_cfg_t, shared_page, sizeof(g_qiv_cfg_t));
    memcpy(&g_lora_mac_nvm_data, &shared_page[shared_mac_offset], sizeof(g_lora_mac_nvm_data));
  }
  return found;
}

// Writes the record and the MAC block in RAM as the newest copy.
int32_t shared_write(void) {
  memset(shared_page, 0xFF, sizeof(shared_page));
  memcpy(shared_page, &g_qiv_cfg_t, sizeof(g_qiv_cfg_t));
  memcpy(&shared_page[shared_mac_offset], &g_lora_mac_nvm_data, sizeof(g_lora_mac_nvm_data));
  return udrv_flash_copies_write(&shared_copies, shared_page, shared_size, 0);
}
#endif

constexpr char default_serial_passwd[] = "58203761";
#ifdef SUPPORT_LORA
constexpr uint16_t default_syncword = 0x1424;
constexpr int16_t default_lbt_rssi = -80;
constexpr uint32_t default_lbt_scantime = 5;
#endif

// Mode of each serial port in a record built from defaults: the chip's AT
// UART and the ports other than UARTs take AT commands, the other UARTs start
// in custom mode.
constexpr SERVICE_MODE_TYPE uart_default_mode(SERIAL_PORT port) {
  return port == QIV_CHIP_AT_UART ? SERVICE_MODE_TYPE_CLI : SERVICE_MODE_TYPE_CUSTOM;
}
constexpr SERVICE_MODE_TYPE default_mode_type[SERIAL_MAX] = {
    uart_default_mode(SERIAL_UART0),
#ifdef QIV_BOARD_ESP32C2
    SERVICE_MODE_TYPE_ESP32,  // UART1, the Wi-Fi co-processor link
#else
    uart_default_mode(SERIAL_UART1),
#endif
    uart_default_mode(SERIAL_UART2),
#ifdef SUPPORT_USB
    SERVICE_MODE_TYPE_CLI,  // USB0
#endif
#ifdef SUPPORT_BLE
    SERVICE_MODE_TYPE_CLI,  // BLE0
#endif
#ifdef SUPPORT_NFC
    SERVICE_MODE_TYPE_CLI,  // NFC
#endif
};

bool record_is_current(PRE_qiv_cfg_t const *cfg) {
  return cfg->magic_num == PRE_QIV_CFG_MAGIC && cfg->version_code == PRE_QIV_CFG_VERSION;
}

// A text of 31 characters or fewer is stored zero-terminated; a longer one
// fills all 32 bytes with no terminator.
void copy_version_text(char (&field)[32], char const *text) {
  size_t const len = fund_strnlen(text, sizeof(field));
  memset(field, 0, sizeof(field));
  memcpy(field, text, len);
}

void set_version_texts(PRE_qiv_cfg_t *cfg) {
  copy_version_text(cfg->firmware_ver, sw_version);
  copy_version_text(cfg->hwmodel, model_id);
  copy_version_text(cfg->cli_ver, cli_version);
}

#ifdef SUPPORT_LORA
constexpr size_t dev_nonce_offset = 4;  // in the crypto group

uint16_t stored_dev_nonce(void) {
  uint16_t nonce;
  memcpy(&nonce, &g_lora_mac_nvm_data.loramac_crypto_nvm[dev_nonce_offset], sizeof(nonce));
  return nonce;
}

// Empties the RAM copy of the MAC block but keeps the DevNonce: join requests
// must never repeat a nonce the network has already seen.
void clear_mac_block_keeping_dev_nonce(void) {
  uint16_t const nonce = stored_dev_nonce();
  memset(&g_lora_mac_nvm_data, 0, sizeof(g_lora_mac_nvm_data));
  memcpy(&g_lora_mac_nvm_data.loramac_crypto_nvm[dev_nonce_offset], &nonce, sizeof(nonce));
}
#endif

void set_defaults(PRE_qiv_cfg_t *cfg) {
  cfg->magic_num = PRE_QIV_CFG_MAGIC;
  cfg->version_code = PRE_QIV_CFG_VERSION;
  cfg->baudrate = 115200;
  memcpy(cfg->serial_passwd, default_serial_passwd, sizeof(default_serial_passwd));
  for (uint32_t port = 0; port < SERIAL_MAX; port++) {
    cfg->mode_type[port] = default_mode_type[port];
    cfg->serial_lock_status[port] = SERIAL_WLOCK_OPEN;
  }
#ifdef SUPPORT_LORA
  cfg->lora_work_mode = SERVICE_LORAWAN;
  PRE_lora_cfg_t &lora = cfg->g_lora_cfg_t;
  lora.region = SERVICE_LORA_EU868;
  lora.join_mode = SERVICE_LORA_OTAA;
  lora.adr = true;
  lora.DutycycleEnable = 1;
  lora.pub_nwk_mode = true;
  lora.jn1dl = 5000;
  lora.jn2dl = 6000;
  lora.rx1dl = 1000;
  lora.rx2dl = 2000;
  lora.auto_join_period = 8;
  PRE_S_LORAP2P_PARAM &p2p = cfg->g_lora_p2p_cfg_t;
  p2p.Frequency = 868000000;
  p2p.Spreadfact = 7;
  p2p.Bandwidth = 0;
  p2p.Codingrate = 0;
  p2p.Preamlen = 8;
  p2p.Powerdbm = 14;
  p2p.bitrate = 4915;
  p2p.deviation = 5000;
  p2p.fsk_rxbw = 20000;
#ifdef QIV_BOARD_BAND_STRAP
  // The low-band hardware starts on CN470 with every channel enabled.
  if (BoardGetHardwareFreq() == 0) {
    lora.region = SERVICE_LORA_CN470;
    for (uint16_t &mask : lora.ch_mask) {
      mask = 0xFFFF;
    }
  }
  if (BoardGetHardwareFreq() == 0) {
    p2p.Frequency = 470000000;
  }
#endif
  qiv_cfg_t_ex &ex = cfg->g_qiv_cfg_ex;
  ex.syncword = default_syncword;
  ex.lbt_rssi = default_lbt_rssi;
  ex.lbt_scantime = default_lbt_scantime;
  ex.auto_sleep_level = 1;
  ex.IsCertPortOn = 1;
#endif
  set_version_texts(cfg);
}

template <typename Result>
Result write_record(void) {
  return static_cast<Result>(service_nvm_set_cfg_to_nvm());
}

bool printable(char const *text, uint32_t len) {
  for (uint32_t i = 0; i < len; i++) {
    uint8_t const c = static_cast<uint8_t>(text[i]);
    if (c < 0x20 || c > 0x7E) {
      return false;
    }
  }
  return true;
}

#ifdef SUPPORT_BLE
bool hex_digit(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
#endif

// Buffer getter of a fixed-size field: -9 when the buffer is too short.
template <size_t N, typename T>
int32_t get_field(T const (&field)[N], void *buff, uint32_t len) {
  if (len < sizeof(field)) {
    return -UDRV_BUFF_OVERFLOW;
  }
  memcpy(buff, field, sizeof(field));
  return 0;
}

// Setter of a key or identifier: exactly the field size.
template <size_t N>
int32_t set_key(uint8_t (&field)[N], uint8_t const *buff, uint32_t len) {
  if (len != N || buff == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  memcpy(field, buff, N);
  return write_record<int32_t>();
}

// Setter of a text: at most the field size, zero-filled.
template <size_t N>
int32_t set_text(char (&field)[N], char const *buff, uint32_t len) {
  if (len > N || (len != 0 && buff == nullptr)) {
    return -UDRV_WRONG_ARG;
  }
  memset(field, 0, N);
  memcpy(field, buff, len);
  return write_record<int32_t>();
}

// ---- Older record layouts ----
//
// Earlier firmware stored the record in three older layouts. Versions 1 and 2
// carry the CRC-32 of the record's bytes from byte 4 in word 0; version 3 is
// recognised by a marker word after the record. The fields they have are
// copied one by one into the current record; the rest get the values the
// older firmware behaved with.

constexpr uint32_t legacy_page_read_size = 800;

#ifdef SUPPORT_LORA
// A byte view of a bool field: a value read from flash may be any byte, and
// only 0 and 1 may be loaded as a bool.
uint8_t &raw_byte(bool &field) { return *reinterpret_cast<uint8_t *>(&field); }
#endif

// Fields added to the current layout after its first release read as erased
// flash in a record written before them; they get the values the firmware of
// that time behaved with.
void replace_erased_fields(PRE_qiv_cfg_t *cfg) {
  if (cfg->debug_level == 0xFF) {
    cfg->debug_level = 0;
  }
  if (static_cast<uint8_t>(cfg->firmware_ver[0]) == 0xFF) {
    copy_version_text(cfg->firmware_ver, sw_version);
  }
  if (static_cast<uint8_t>(cfg->hwmodel[0]) == 0xFF) {
    copy_version_text(cfg->hwmodel, model_id);
  }
  if (static_cast<uint8_t>(cfg->cli_ver[0]) == 0xFF) {
    copy_version_text(cfg->cli_ver, cli_version);
  }
  qiv_cfg_t_ex &ex = cfg->g_qiv_cfg_ex;
  if (ex.auto_sleep_level == 0xFF) {
    ex.auto_sleep_level = 1;
  }
#ifdef SUPPORT_LORA
  if (raw_byte(ex.iqinverted) == 0xFF) {
    raw_byte(ex.iqinverted) = 0;
  }
  if (ex.symbol_timeout > 248) {
    ex.symbol_timeout = 0;
  }
  if (ex.syncword_dirty_byte == 0xFF) {
    ex.syncword = default_syncword;
    ex.syncword_dirty_byte = 0;
  }
  if (raw_byte(ex.fix_length_payload) == 0xFF) {
    raw_byte(ex.fix_length_payload) = 0;
  }
  if (ex.lbt_enable == 0xFF) {
    ex.lbt_enable = 0;
  }
  if ((static_cast<uint16_t>(ex.lbt_rssi) & 0xFF) == 0xFF) {
    ex.lbt_rssi = default_lbt_rssi;
  }
  // Only the whole erased word: every other scan time is a user's setting.
  if (ex.lbt_scantime == 0xFFFFFFFFu) {
    ex.lbt_scantime = default_lbt_scantime;
  }
  if (ex.IsCertPortOn == 0xFF) {
    ex.IsCertPortOn = 1;
  }
  // Only when all 16 bytes are erased: a user's IV may start with 0xFF.
  bool iv_erased = true;
  for (uint8_t b : ex.crypt_IV) {
    iv_erased = iv_erased && b == 0xFF;
  }
  if (iv_erased) {
    memset(ex.crypt_IV, 0, sizeof(ex.crypt_IV));
  }
  if (ex.CAD == 0xFF) {
    ex.CAD = 0;
  }
#endif
}

#ifdef SERVICE_NVM_OLDER_LAYOUTS
uint32_t load_le32(uint8_t const *bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

constexpr uint32_t legacy_marker = 0xEDD1Eu;
constexpr uint16_t legacy_not_stored = 0xFFFF;

// One field of the older layouts: where it lies in the current record, in a
// version-1 page and in a version-2 or version-3 page, and its length.
struct legacy_field {
  uint16_t target;
  uint16_t v1;
  uint16_t v2;
  uint16_t len;
};

#define LEGACY_FIELD(member, v1, v2) \
  legacy_field { offsetof(PRE_qiv_cfg_t, member), v1, v2, sizeof(PRE_qiv_cfg_t::member) }

#if QIV_CHIP_NVM_LAYOUT == QIV_NVM_LAYOUT_LORA_BLE
constexpr uint32_t legacy_v1_crc_end = 524;
constexpr uint32_t legacy_v2_crc_end = 528;
constexpr uint32_t legacy_marker_offset = 528;
constexpr legacy_field legacy_fields[] = {
    LEGACY_FIELD(lora_work_mode, 4, 4),
    LEGACY_FIELD(g_lora_p2p_cfg_t, 8, 8),
    LEGACY_FIELD(g_ble_cfg_t, 44, 44),
    LEGACY_FIELD(g_lora_cfg_t, 60, 60),
    LEGACY_FIELD(g_rtc_delta_t, 452, 452),
    LEGACY_FIELD(mode_type, 460, 460),
    LEGACY_FIELD(serial_lock_status, legacy_not_stored, 466),
    LEGACY_FIELD(baudrate, 468, 472),
    LEGACY_FIELD(atcmd_echo, 472, 476),
    LEGACY_FIELD(serial_passwd, 473, 477),
    LEGACY_FIELD(auto_sleep_time, 484, 488),
    LEGACY_FIELD(sn, 488, 492),
    LEGACY_FIELD(alias, 506, 510),
};
static_assert(SERIAL_MAX == 4);
#else
constexpr uint32_t legacy_v1_crc_end = 500;
constexpr uint32_t legacy_v2_crc_end = 504;
constexpr uint32_t legacy_marker_offset = 504;
constexpr legacy_field legacy_fields[] = {
    LEGACY_FIELD(lora_work_mode, 4, 4),
    LEGACY_FIELD(g_lora_p2p_cfg_t, 8, 8),
    LEGACY_FIELD(g_lora_cfg_t, 44, 44),
    LEGACY_FIELD(g_rtc_delta_t, 432, 432),
    LEGACY_FIELD(mode_type, 440, 440),
    LEGACY_FIELD(serial_lock_status, legacy_not_stored, 443),
    LEGACY_FIELD(baudrate, 444, 448),
    LEGACY_FIELD(atcmd_echo, 448, 452),
    LEGACY_FIELD(serial_passwd, 449, 453),
    LEGACY_FIELD(auto_sleep_time, 460, 464),
    LEGACY_FIELD(sn, 464, 468),
    LEGACY_FIELD(alias, 482, 486),
};
static_assert(SERIAL_MAX == 3);
#endif
#undef LEGACY_FIELD

// Every copy stays inside the part of the page its layout's CRC covers, and
// so inside the page buffer.
constexpr bool legacy_fields_fit(void) {
  for (legacy_field const &f : legacy_fields) {
    if (f.v1 != legacy_not_stored && f.v1 + f.len > legacy_v1_crc_end) {
      return false;
    }
    if (f.v2 + f.len > legacy_v2_crc_end) {
      return false;
    }
  }
  return legacy_marker_offset + 4 <= legacy_page_read_size;
}
static_assert(legacy_fields_fit());

void copy_legacy_fields(PRE_qiv_cfg_t *cfg, uint8_t const *page, bool version1) {
  uint8_t *record = reinterpret_cast<uint8_t *>(cfg);
  for (legacy_field const &f : legacy_fields) {
    uint16_t const from = version1 ? f.v1 : f.v2;
    if (from != legacy_not_stored) {
      memcpy(&record[f.target], &page[from], f.len);
    }
  }
  if (version1) {
    // Version 1 had no port lock.
    for (SERIAL_WLOCK_STATE &state : cfg->serial_lock_status) {
      state = SERIAL_WLOCK_OPEN;
    }
  }
}
#endif

// ---- Values read from flash ----
//
// A record read from flash is used only when every value in it is one its
// setter path could have stored. A page whose write was cut short by a power
// loss, or that was damaged otherwise, can carry the right magic with
// anything after it; loaded as it is, a baud rate of 0 or a port mode outside
// its enumeration leaves the module without an AT port. Such a record is not
// trusted field by field: the caller falls back to the factory copy, then to
// the defaults. The bounds are those of the AT commands, services and user
// API that set each field (or the enumeration, for fields no command of these
// images sets); fields that take any value are not tested.

bool text_valid(char const *text, size_t size, size_t min_len) {
  size_t const len = fund_strnlen(text, size);
  return len >= min_len && printable(text, static_cast<uint32_t>(len));
}

template <typename T>
bool at_most(T value, uint32_t max) {
  return static_cast<uint32_t>(value) <= max;
}

template <typename T>
bool within(T value, uint32_t min, uint32_t max) {
  return static_cast<uint32_t>(value) >= min && static_cast<uint32_t>(value) <= max;
}

#ifdef SUPPORT_LORA
// A bool read from flash may hold any byte; it is read as 0 or 1.
void normalise(bool &field) {
  uint8_t &byte = *reinterpret_cast<uint8_t *>(&field);
  byte = byte != 0 ? 1 : 0;
}

bool band_valid(SERVICE_LORA_BAND band) {
  return at_most(band, SERVICE_LORA_LA915) ||
         within(band, SERVICE_LORA_AS923_2, SERVICE_LORA_AS923_4);
}

// The bounds the P2P and FSK service checks before it stores.
constexpr uint32_t p2p_freq_min = 150000000u, p2p_freq_max = 960000000u;
constexpr uint32_t p2p_sf_min = 5, p2p_sf_max = 12;
constexpr uint32_t p2p_bandwidth_index_max = 9;
constexpr uint32_t p2p_codingrate_max = 3;
constexpr uint32_t p2p_preamble_min = 5;
constexpr uint32_t p2p_power_min = 5, p2p_power_max = 22;
constexpr uint32_t fsk_fdev_min = 600, fsk_fdev_max = 200000;
constexpr uint32_t fsk_bitrate_min = 600, fsk_bitrate_max = 300000;
constexpr uint32_t fsk_rxbw_min = 4800, fsk_rxbw_max = 467000;
#endif

bool mode_type_valid(SERVICE_MODE_TYPE mode) {
  switch (mode) {
    case SERVICE_MODE_TYPE_CLI:
    case SERVICE_MODE_TYPE_CUSTOM:
#ifdef QIV_BOARD_ESP32C2
    case SERVICE_MODE_TYPE_ESP32:
#endif
      return true;
    default:
      return false;
  }
}

// Checks the fields of a record one by one. Without a fallback record a
// field out of bounds makes the record invalid; with one, such a field takes
// the fallback's value and the others are kept.
class field_check {
 public:
  field_check(PRE_qiv_cfg_t *cfg, PRE_qiv_cfg_t const *fallback) : cfg_(cfg), fallback_(fallback) {}

  template <typename T>
  void operator()(T &field, bool ok) {
    if (ok) {
      return;
    }
    if (fallback_ == nullptr) {
      valid_ = false;
      return;
    }
    size_t const offset = static_cast<size_t>(reinterpret_cast<uint8_t *>(&field) -
                                              reinterpret_cast<uint8_t *>(cfg_));
    memcpy(&field, reinterpret_cast<uint8_t const *>(fallback_) + offset, sizeof(T));
  }

  bool valid() const { return valid_; }

 private:
  PRE_qiv_cfg_t *cfg_;
  PRE_qiv_cfg_t const *fallback_;
  bool valid_ = true;
};

bool check_values(PRE_qiv_cfg_t *cfg, PRE_qiv_cfg_t const *fallback) {
  field_check check(cfg, fallback);
  for (uint32_t port = 0; port < SERIAL_MAX; port++) {
    check(cfg->mode_type[port], mode_type_valid(cfg->mode_type[port]));
    check(cfg->serial_lock_status[port],
          at_most(cfg->serial_lock_status[port], SERIAL_WLOCK_DISABLED));
  }
  check(cfg->baudrate, udrv_serial_baudrate_supported(cfg->baudrate));
  check(cfg->atcmd_echo, at_most(cfg->atcmd_echo, 1));
  check(cfg->serial_passwd, text_valid(cfg->serial_passwd, 8, 1));
  check(cfg->alias, text_valid(cfg->alias, sizeof(cfg->alias), 0));
  check(cfg->auto_sleep_time, at_most(cfg->auto_sleep_time, 1));
  check(cfg->debug_level, at_most(cfg->debug_level, 1));
  check(cfg->g_qiv_cfg_ex.auto_sleep_level, at_most(cfg->g_qiv_cfg_ex.auto_sleep_level, 2));
#ifdef SUPPORT_LORA
  PRE_lora_cfg_t &lora = cfg->g_lora_cfg_t;
  normalise(lora.MulticastEnable);
  normalise(lora.adr);
  normalise(lora.pub_nwk_mode);
  normalise(lora.join_start);
  normalise(lora.auto_join);
  check(cfg->lora_work_mode, at_most(cfg->lora_work_mode, SERVICE_LORA_FSK));
  check(lora.region, band_valid(lora.region));
  check(lora.join_mode, at_most(lora.join_mode, SERVICE_LORA_OTAA));
  check(lora.device_class, at_most(lora.device_class, SERVICE_LORA_CLASS_C));
  check(lora.confirm, at_most(lora.confirm, SERVICE_LORA_ACK));
  check(lora.dr, at_most(lora.dr, SERVICE_LORA_DR_15));
  check(lora.rx2dr, at_most(lora.rx2dr, SERVICE_LORA_DR_15));
  PRE_S_LORAP2P_PARAM &p2p = cfg->g_lora_p2p_cfg_t;
  normalise(p2p.crypt_enable);
  check(p2p.Frequency, within(p2p.Frequency, p2p_freq_min, p2p_freq_max));
  check(p2p.Spreadfact, within(p2p.Spreadfact, p2p_sf_min, p2p_sf_max));
  check(p2p.Bandwidth, at_most(p2p.Bandwidth, p2p_bandwidth_index_max));
  check(p2p.Codingrate, at_most(p2p.Codingrate, p2p_codingrate_max));
  check(p2p.Preamlen, p2p.Preamlen >= p2p_preamble_min);
  check(p2p.Powerdbm, within(p2p.Powerdbm, p2p_power_min, p2p_power_max));
  check(p2p.deviation, within(p2p.deviation, fsk_fdev_min, fsk_fdev_max));
  check(p2p.bitrate, within(p2p.bitrate, fsk_bitrate_min, fsk_bitrate_max));
  check(p2p.fsk_rxbw, within(p2p.fsk_rxbw, fsk_rxbw_min, fsk_rxbw_max));
  qiv_cfg_t_ex &ex = cfg->g_qiv_cfg_ex;
  normalise(ex.iqinverted);
  normalise(ex.fix_length_payload);
  check(ex.symbol_timeout, at_most(ex.symbol_timeout, 248));
  check(ex.CAD, at_most(ex.CAD, 1));
#endif
  return check.valid();
}

bool loaded_values_valid(PRE_qiv_cfg_t *cfg) { return check_values(cfg, nullptr); }

#ifdef SERVICE_NVM_OLDER_LAYOUTS
// A record migrated from an older layout keeps what the user stored (the
// network identity and keys above all); a field today's firmware cannot run
// on (a baud rate the ports cannot make, a value outside its enumeration or
// its setter's bounds) takes its default instead of throwing the record away.
void repair_migrated_values(PRE_qiv_cfg_t *cfg) {
  // Older firmware stored the auto-sleep time in milliseconds; today the
  // field only switches auto-sleep on, which any time but 0 meant.
  if (cfg->auto_sleep_time > 1) {
    cfg->auto_sleep_time = 1;
  }
  static PRE_qiv_cfg_t defaults;
  memset(&defaults, 0, sizeof(defaults));
  set_defaults(&defaults);
  check_values(cfg, &defaults);
}
#endif

}  // namespace

// ---- Boot load, defaults and whole-record writes ----

void service_nvm_data_add_to_legacy(PRE_qiv_cfg_t *cfg) {
  cfg->debug_level = 0;
  set_version_texts(cfg);
  qiv_cfg_t_ex &ex = cfg->g_qiv_cfg_ex;
  ex.auto_sleep_level = 1;
#ifdef SUPPORT_LORA
  ex.syncword = default_syncword;
  ex.syncword_dirty_byte = 0;
  ex.fix_length_payload = false;
  ex.lbt_rssi = default_lbt_rssi;
  ex.lbt_scantime = default_lbt_scantime;
  ex.iqinverted = false;
  ex.symbol_timeout = 0;
  ex.lbt_enable = 0;
  memset(ex.crypt_key16, 0, sizeof(ex.crypt_key16));
  memset(ex.crypt_IV, 0, sizeof(ex.crypt_IV));
  ex.CAD = 0;
  // Every other field the older layouts lack stays 0, the certification
  // port included: a migrated record has it off, unlike the defaults.
#endif
}

void service_nvm_data_recovery_from_legacy(uint32_t data_flash_addr, PRE_qiv_cfg_t *cfg) {
  // Static rather than on the stack: the boot load runs early on small
  // stacks. The page is seeded with the caller's record so that a failed
  // read never leaves bytes of an earlier page behind.
  static uint8_t page[legacy_page_read_size];
  memset(page, 0xFF, sizeof(page));
  memcpy(page, cfg, sizeof(*cfg));
  udrv_flash_read(data_flash_addr, sizeof(page), page);

  // A later test that succeeds overrides an earlier one.
  uint32_t layout = 0;
  if (cfg->magic_num == PRE_QIV_CFG_MAGIC) {
    layout = cfg->version_code;
  }
#ifdef SERVICE_NVM_OLDER_LAYOUTS
  if (load_le32(&page[legacy_marker_offset]) == legacy_marker) {
    layout = 3;
  }
  if (load_le32(page) == fund_crc32(&page[4], legacy_v2_crc_end - 4)) {
    layout = 2;
  }
  if (load_le32(page) == fund_crc32(&page[4], legacy_v1_crc_end - 4)) {
    layout = 1;
  }
#endif

  memset(cfg, 0, sizeof(*cfg));
  if (layout == PRE_QIV_CFG_VERSION) {
    memcpy(cfg, page, sizeof(*cfg));
    replace_erased_fields(cfg);
  }
#ifdef SERVICE_NVM_OLDER_LAYOUTS
  else if (layout >= 1 && layout <= 3) {
    copy_legacy_fields(cfg, page, layout == 1);
    service_nvm_data_add_to_legacy(cfg);
    repair_migrated_values(cfg);
  }
#endif
  else {
    // Nothing recognised, or a newer firmware's record: the caller falls
    // back to the factory copy or the defaults.
    return;
  }
  cfg->magic_num = PRE_QIV_CFG_MAGIC;
  cfg->version_code = PRE_QIV_CFG_VERSION;
}

#ifdef SERVICE_NVM_SHARED_COPIES
static int32_t load_mac_block(void);
#endif

int32_t service_nvm_init_config(void) {
#ifdef SERVICE_NVM_SHARED_COPIES
  // The MAC block is loaded with the record: a record write takes the MAC
  // block from RAM, and one may come before the MAC starts.
  if (shared_read() == 0) {
    if (!record_is_current(&g_qiv_cfg_t) || !loaded_values_valid(&g_qiv_cfg_t)) {
      service_nvm_set_default_config_to_nvm();
    }
    return 0;
  }
  load_mac_block();
#endif
#ifdef QIV_CHIP_NVM_COPIES
  if (udrv_flash_copies_read(&cfg_copies, reinterpret_cast<uint8_t *>(&g_qiv_cfg_t),
                             sizeof(g_qiv_cfg_t), nullptr) == 0) {
    if (!record_is_current(&g_qiv_cfg_t) || !loaded_values_valid(&g_qiv_cfg_t)) {
      service_nvm_set_default_config_to_nvm();
    }
    return 0;
  }
#endif
  udrv_flash_read(SERVICE_NVM_CFG_ADDR, sizeof(g_qiv_cfg_t),
                  reinterpret_cast<uint8_t *>(&g_qiv_cfg_t));
  service_nvm_data_recovery_from_legacy(SERVICE_NVM_CFG_ADDR, &g_qiv_cfg_t);
  if (!record_is_current(&g_qiv_cfg_t) || !loaded_values_valid(&g_qiv_cfg_t)) {
    service_nvm_set_default_config_to_nvm();
  }
  return 0;
}

int32_t service_nvm_set_default_config_to_nvm(void) {
  static PRE_qiv_cfg_t factory;
#ifdef QIV_CHIP_NVM_COPIES
  bool const copy = udrv_flash_copies_read(&factory_copies, reinterpret_cast<uint8_t *>(&factory),
                                           sizeof(factory), nullptr) == 0;
#else
  bool const copy = false;
#endif
  if (!copy) {
    udrv_flash_read(SERVICE_NVM_FACTORY_ADDR, sizeof(factory),
                    reinterpret_cast<uint8_t *>(&factory));
  }
  if (copy) {
    // Written whole by this firmware: nothing to migrate.
  } else if (!record_is_current(&factory)) {
    service_nvm_data_recovery_from_legacy(SERVICE_NVM_FACTORY_ADDR, &factory);
  } else {
    // The copy may have been taken from a record written before the
    // fields at its end existed: they get the same values as in a record
    // page, or the device would start differently from the same bytes.
    replace_erased_fields(&factory);
  }
  memset(&g_qiv_cfg_t, 0, sizeof(g_qiv_cfg_t));
  if (record_is_current(&factory) && loaded_values_valid(&factory)) {
    memcpy(&g_qiv_cfg_t, &factory, sizeof(g_qiv_cfg_t));
    return 0;
  }
  set_defaults(&g_qiv_cfg_t);
#ifdef SUPPORT_LORA
  clear_mac_block_keeping_dev_nonce();
#endif
  return 0;
}

int32_t service_nvm_set_cfg_to_nvm(void) {
#ifdef SERVICE_NVM_SHARED_COPIES
  return shared_write();
#elif defined(QIV_CHIP_NVM_COPIES)
  return udrv_flash_copies_write(&cfg_copies, reinterpret_cast<uint8_t const *>(&g_qiv_cfg_t),
                                 sizeof(g_qiv_cfg_t), 0);
#else
  return udrv_flash_write(SERVICE_NVM_CFG_ADDR, sizeof(g_qiv_cfg_t),
                          reinterpret_cast<uint8_t const *>(&g_qiv_cfg_t));
#endif
}

int32_t service_nvm_set_factory_copy_to_nvm(void) {
#ifdef QIV_CHIP_NVM_COPIES
  // The record as it is stored, with its sequence number: the factory
  // slots then hold the bytes of the record's page. A record of the
  // single-copy layout is taken as it was loaded.
  static PRE_qiv_cfg_t stored;
  uint32_t number = 0;
  int32_t const found = udrv_flash_copies_read(&cfg_copies, reinterpret_cast<uint8_t *>(&stored),
                                               sizeof(stored), &number);
  if (found < 0) {
    return found;
  }
  if (found != 0) {
    stored = g_qiv_cfg_t;
    number = 0;
  }
  return udrv_flash_copies_write(&factory_copies, reinterpret_cast<uint8_t const *>(&stored),
                                 sizeof(stored), number);
#else
#ifdef SERVICE_NVM_SHARED_COPIES
  // The newest whole copy of the record's page (the first slot may be the
  // one a cut left torn).
  if (udrv_flash_copies_read(&shared_copies, shared_page, shared_size, nullptr) == 0) {
    if (udrv_flash_erase(SERVICE_NVM_FACTORY_ADDR, QIV_CHIP_FLASH_PAGE_SIZE) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
    return udrv_flash_write(SERVICE_NVM_FACTORY_ADDR, shared_size, shared_page);
  }
#endif
  // The record's whole page, as it is in flash.
  static uint8_t page[QIV_CHIP_FLASH_PAGE_SIZE];
  if (udrv_flash_read(SERVICE_NVM_CFG_ADDR, sizeof(page), page) != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  if (udrv_flash_erase(SERVICE_NVM_FACTORY_ADDR, sizeof(page)) != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  return udrv_flash_write(SERVICE_NVM_FACTORY_ADDR, sizeof(page), page);
#endif
}

#ifdef SUPPORT_LORA
// The MAC block as the single-copy layout stored it.
static int32_t load_mac_block(void) {
  int32_t const ret = udrv_flash_read(SERVICE_NVM_LORA_MAC_ADDR, sizeof(g_lora_mac_nvm_data),
                                      reinterpret_cast<uint8_t *>(&g_lora_mac_nvm_data));
  uint32_t word;
  memcpy(&word, reinterpret_cast<uint8_t const *>(&g_lora_mac_nvm_data) + 12, sizeof(word));
  if (word == 0xFFFFFFFFu) {
    // Erased flash: nothing stored yet.
    memset(&g_lora_mac_nvm_data, 0, sizeof(g_lora_mac_nvm_data));
  }
  return ret;
}

int32_t service_lora_mac_nvm_data_init(void) {
#ifdef SERVICE_NVM_SHARED_COPIES
  // Read again from flash, as on the other chips: loading the defaults
  // clears the block in RAM.
  int32_t const found = udrv_flash_copies_read(&shared_copies, shared_page, shared_size, nullptr);
  if (found == 0) {
    memcpy(&g_lora_mac_nvm_data, &shared_page[shared_mac_offset], sizeof(g_lora_mac_nvm_data));
    return 0;
  }
#elif defined(QIV_CHIP_NVM_COPIES)
  if (udrv_flash_copies_read(&mac_copies, reinterpret_cast<uint8_t *>(&g_lora_mac_nvm_data),
                             sizeof(g_lora_mac_nvm_data), nullptr) == 0) {
    return 0;
  }
#endif
  return load_mac_block();
}

void service_lora_mac_nvm_data_reset(void) { clear_mac_block_keeping_dev_nonce(); }

int32_t service_nvm_set_lora_nvm_data_to_nvm(void) {
#ifdef SERVICE_NVM_SHARED_COPIES
  return shared_write();
#elif defined(QIV_CHIP_NVM_COPIES)
  return udrv_flash_copies_write(&mac_copies,
                                 reinterpret_cast<uint8_t const *>(&g_lora_mac_nvm_data),
                                 sizeof(g_lora_mac_nvm_data), 0);
#else
  return udrv_flash_write(SERVICE_NVM_LORA_MAC_ADDR, sizeof(g_lora_mac_nvm_data),
                          reinterpret_cast<uint8_t const *>(&g_lora_mac_nvm_data));
#endif
}
#endif

// ---- Accessors ----

SERVICE_MODE_TYPE service_nvm_get_mode_type_from_nvm(SERIAL_PORT port) {
  return g_qiv_cfg_t.mode_type[port];
}

int32_t service_nvm_set_mode_type_to_nvm(SERIAL_PORT port, SERVICE_MODE_TYPE mode_type) {
  g_qiv_cfg_t.mode_type[port] = mode_type;
  return write_record<int32_t>();
}

SERIAL_WLOCK_STATE service_nvm_get_lock_status_from_nvm(SERIAL_PORT port) {
  return g_qiv_cfg_t.serial_lock_status[port];
}

int32_t service_nvm_set_lock_status_to_nvm(SERIAL_PORT port, SERIAL_WLOCK_STATE lock_status) {
  g_qiv_cfg_t.serial_lock_status[port] = lock_status;
  return write_record<int32_t>();
}

int32_t service_nvm_get_serial_passwd_from_nvm(char *buff, uint32_t len) {
  if (len < sizeof(g_qiv_cfg_t.serial_passwd)) {
    return -UDRV_BUFF_OVERFLOW;
  }
  memcpy(buff, g_qiv_cfg_t.serial_passwd, sizeof(g_qiv_cfg_t.serial_passwd));
  // A password has at most 8 characters, whatever the stored bytes hold.
  return static_cast<int32_t>(fund_strnlen(g_qiv_cfg_t.serial_passwd, 8));
}

int32_t service_nvm_set_serial_passwd_to_nvm(char const *buff, uint32_t len) {
  if (len > 8 || (len != 0 && buff == nullptr)) {
    return -UDRV_WRONG_ARG;
  }
  memset(g_qiv_cfg_t.serial_passwd, 0, sizeof(g_qiv_cfg_t.serial_passwd));
  memcpy(g_qiv_cfg_t.serial_passwd, buff, len);
  return write_record<int32_t>();
}

int32_t service_nvm_get_atcmd_alias_from_nvm(char *buff, uint32_t len) {
  return get_field(g_qiv_cfg_t.alias, buff, len);
}

int32_t service_nvm_set_atcmd_alias_to_nvm(char const *buff, uint32_t len) {
  if (len > sizeof(g_qiv_cfg_t.alias) || (len != 0 && buff == nullptr) || !printable(buff, len)) {
    return -UDRV_WRONG_ARG;
  }
  return set_text(g_qiv_cfg_t.alias, buff, len);
}

int32_t service_nvm_get_sn_from_nvm(char *buff, uint32_t len) {
  return get_field(g_qiv_cfg_t.sn, buff, len);
}

int32_t service_nvm_set_sn_to_nvm(char const *buff, uint32_t len) {
  return set_text(g_qiv_cfg_t.sn, buff, len);
}

uint8_t service_nvm_get_firmware_ver_from_nvm(char *buff, uint32_t len) {
  return static_cast<uint8_t>(get_field(g_qiv_cfg_t.firmware_ver, buff, len));
}

uint8_t service_nvm_get_hwmodel_from_nvm(char *buff, uint32_t len) {
  return static_cast<uint8_t>(get_field(g_qiv_cfg_t.hwmodel, buff, len));
}

uint8_t service_nvm_get_cli_ver_from_nvm(char *buff, uint32_t len) {
  return static_cast<uint8_t>(get_field(g_qiv_cfg_t.cli_ver, buff, len));
}

#ifdef SUPPORT_BLE
uint8_t service_nvm_get_ble_mac_from_nvm(uint8_t *buff, uint32_t len) {
  if (len != sizeof(g_qiv_cfg_t.g_ble_cfg_t.mac)) {
    return static_cast<uint8_t>(-UDRV_BUFF_OVERFLOW);
  }
  memcpy(buff, g_qiv_cfg_t.g_ble_cfg_t.mac, sizeof(g_qiv_cfg_t.g_ble_cfg_t.mac));
  return 0;
}

uint8_t service_nvm_set_ble_mac_to_nvm(uint8_t const *buff, uint32_t len) {
  constexpr size_t size = sizeof(g_qiv_cfg_t.g_ble_cfg_t.mac);
  if (buff == nullptr || fund_strnlen(reinterpret_cast<char const *>(buff), size + 1) != size ||
      len > size) {
    return static_cast<uint8_t>(-UDRV_WRONG_ARG);
  }
  for (uint32_t i = 0; i < len; i++) {
    if (!hex_digit(buff[i])) {
      return static_cast<uint8_t>(-UDRV_WRONG_ARG);
    }
  }
  memcpy(g_qiv_cfg_t.g_ble_cfg_t.mac, buff, size);
  return write_record<uint8_t>();
}
#endif

uint8_t service_nvm_get_auto_sleep_level_from_nvm(void) {
  return g_qiv_cfg_t.g_qiv_cfg_ex.auto_sleep_level;
}

uint8_t service_nvm_set_auto_sleep_level_to_nvm(uint8_t level) {
  g_qiv_cfg_t.g_qiv_cfg_ex.auto_sleep_level = level;
  return write_record<uint8_t>();
}

uint32_t service_nvm_get_baudrate_from_nvm(void) { return g_qiv_cfg_t.baudrate; }

// A rate some serial port cannot be opened at is not stored: the module
// would start without a working AT port.
int32_t service_nvm_set_baudrate_to_nvm(uint32_t baudrate) {
  if (!udrv_serial_baudrate_supported(baudrate)) {
    return -UDRV_WRONG_ARG;
  }
  g_qiv_cfg_t.baudrate = baudrate;
  return write_record<int32_t>();
}

uint8_t service_nvm_get_debug_level_from_nvm(void) { return g_qiv_cfg_t.debug_level; }

uint32_t service_nvm_set_debug_level_to_nvm(uint8_t level) {
  g_qiv_cfg_t.debug_level = level;
  return write_record<uint32_t>();
}

// Value fields and where they live in the record.
#define SERVICE_NVM_SYSTEM_VALUE_MEMBERS(X)                    \
  X(auto_sleep_time, uint32_t, int32_t, auto_sleep_time)       \
  X(delta_sec, uint32_t, int32_t, g_rtc_delta_t.seconds)       \
  X(delta_subsec, uint32_t, int32_t, g_rtc_delta_t.subseconds) \
  X(atcmd_echo, uint8_t, int32_t, atcmd_echo)

#ifdef SUPPORT_LORA
#define SERVICE_NVM_LORA_VALUE_MEMBERS(X)                                        \
  X(band, SERVICE_LORA_BAND, int32_t, g_lora_cfg_t.region)                       \
  X(retry, uint8_t, int32_t, g_lora_cfg_t.retry)                                 \
  X(cfm, SERVICE_LORA_CONFIRM_MODE, int32_t, g_lora_cfg_t.confirm)               \
  X(nwm, SERVICE_LORA_WORK_MODE, int32_t, lora_work_mode)                        \
  X(njm, SERVICE_LORA_JOIN_MODE, int32_t, g_lora_cfg_t.join_mode)                \
  X(adr, bool, int32_t, g_lora_cfg_t.adr)                                        \
  X(class, SERVICE_LORA_CLASS, int32_t, g_lora_cfg_t.device_class)               \
  X(dr, SERVICE_LORA_DATA_RATE, int32_t, g_lora_cfg_t.dr)                        \
  X(rx2dr, SERVICE_LORA_DATA_RATE, int32_t, g_lora_cfg_t.rx2dr)                  \
  X(jn1dl, uint32_t, int32_t, g_lora_cfg_t.jn1dl)                                \
  X(jn2dl, uint32_t, int32_t, g_lora_cfg_t.jn2dl)                                \
  X(rx2fq, uint32_t, uint32_t, g_lora_cfg_t.rx2fq)                               \
  X(pub_nwk_mode, bool, int32_t, g_lora_cfg_t.pub_nwk_mode)                      \
  X(rx1dl, uint32_t, int32_t, g_lora_cfg_t.rx1dl)                                \
  X(rx2dl, uint32_t, int32_t, g_lora_cfg_t.rx2dl)                                \
  X(txpower, uint8_t, int32_t, g_lora_cfg_t.tx_power)                            \
  X(linkcheck, uint8_t, int32_t, g_lora_cfg_t.linkcheck_mode)                    \
  X(ping_slot_periodicity, uint8_t, int32_t, g_lora_cfg_t.ping_slot_periodicity) \
  X(join_start, bool, int32_t, g_lora_cfg_t.join_start)                          \
  X(auto_join, bool, int32_t, g_lora_cfg_t.auto_join)                            \
  X(auto_join_period, uint32_t, int32_t, g_lora_cfg_t.auto_join_period)          \
  X(auto_join_max_cnt, uint32_t, int32_t, g_lora_cfg_t.auto_join_max_cnt)        \
  X(lbt, uint8_t, int32_t, g_qiv_cfg_ex.lbt_enable)                              \
  X(lbt_rssi, int16_t, int32_t, g_qiv_cfg_ex.lbt_rssi)                           \
  X(lbt_scantime, uint32_t, int32_t, g_qiv_cfg_ex.lbt_scantime)                  \
  X(IsCertPortOn, uint8_t, int32_t, g_qiv_cfg_ex.IsCertPortOn)                   \
  X(chs, uint32_t, uint32_t, g_lora_cfg_t.chs)                                   \
  X(dcs, uint8_t, uint32_t, g_lora_cfg_t.DutycycleEnable)                        \
  X(CAD, uint8_t, int32_t, g_qiv_cfg_ex.CAD)                                     \
  X(certi, uint8_t, int32_t, g_qiv_cfg_ex.certif)                                \
  X(freq, uint32_t, int32_t, g_lora_p2p_cfg_t.Frequency)                         \
  X(sf, uint8_t, int32_t, g_lora_p2p_cfg_t.Spreadfact)                           \
  X(codingrate, uint8_t, int32_t, g_lora_p2p_cfg_t.Codingrate)                   \
  X(preamlen, uint16_t, int32_t, g_lora_p2p_cfg_t.Preamlen)                      \
  X(powerdbm, uint8_t, int32_t, g_lora_p2p_cfg_t.Powerdbm)                       \
  X(crypt_enable, bool, int32_t, g_lora_p2p_cfg_t.crypt_enable)                  \
  X(fdev, uint32_t, uint32_t, g_lora_p2p_cfg_t.deviation)                        \
  X(bitrate, uint32_t, uint32_t, g_lora_p2p_cfg_t.bitrate)                       \
  X(iqinverted, bool, int32_t, g_qiv_cfg_ex.iqinverted)                          \
  X(symbol_timeout, uint32_t, int32_t, g_qiv_cfg_ex.symbol_timeout)              \
  X(fix_length_payload, bool, int32_t, g_qiv_cfg_ex.fix_length_payload)          \
  X(syncword, uint16_t, int32_t, g_qiv_cfg_ex.syncword)
#else
#define SERVICE_NVM_LORA_VALUE_MEMBERS(X)
#endif

namespace {

template <typename T>
T stored_value(T const &field) {
  return field;
}

// A bool field holds whatever byte was found in flash (a record cut short by
// a reset while it was written, erased bytes): loading any byte but 0 or 1
// as a bool is undefined, so the byte is read and tested instead.
[[maybe_unused]] bool stored_value(bool const &field) {
  uint8_t byte;
  memcpy(&byte, &field, sizeof(byte));
  return byte != 0;
}

}  // namespace

#define SERVICE_NVM_DEFINE_VALUE(name, type, result, member)                                \
  type service_nvm_get_##name##_from_nvm(void) { return stored_value(g_qiv_cfg_t.member); } \
  result service_nvm_set_##name##_to_nvm(type value) {                                      \
    g_qiv_cfg_t.member = value;                                                             \
    return write_record<result>();                                                          \
  }
SERVICE_NVM_SYSTEM_VALUE_MEMBERS(SERVICE_NVM_DEFINE_VALUE)
SERVICE_NVM_LORA_VALUE_MEMBERS(SERVICE_NVM_DEFINE_VALUE)
#undef SERVICE_NVM_DEFINE_VALUE

#ifdef SUPPORT_LORA
#define SERVICE_NVM_LORA_KEY_MEMBERS(X)  \
  X(app_eui, g_lora_cfg_t.app_eui)       \
  X(dev_eui, g_lora_cfg_t.dev_eui)       \
  X(app_key, g_lora_cfg_t.app_key)       \
  X(app_skey, g_lora_cfg_t.app_skey)     \
  X(nwk_skey, g_lora_cfg_t.nwk_skey)     \
  X(dev_addr, g_lora_cfg_t.dev_addr)     \
  X(crypt_key, g_qiv_cfg_ex.crypt_key16) \
  X(crypt_IV, g_qiv_cfg_ex.crypt_IV)

#define SERVICE_NVM_DEFINE_KEY(name, member)                                   \
  int32_t service_nvm_get_##name##_from_nvm(uint8_t *buff, uint32_t len) {     \
    return get_field(g_qiv_cfg_t.member, buff, len);                           \
  }                                                                            \
  int32_t service_nvm_set_##name##_to_nvm(uint8_t const *buff, uint32_t len) { \
    return set_key(g_qiv_cfg_t.member, buff, len);                             \
  }
SERVICE_NVM_LORA_KEY_MEMBERS(SERVICE_NVM_DEFINE_KEY)
#undef SERVICE_NVM_DEFINE_KEY

int32_t service_nvm_get_net_id_from_nvm(uint8_t *buff, uint32_t len) {
  return get_field(g_qiv_cfg_t.g_lora_cfg_t.nwk_id, buff, len);
}

int32_t service_nvm_get_mask_from_nvm(uint16_t *mask) {
  memcpy(mask, g_qiv_cfg_t.g_lora_cfg_t.ch_mask, sizeof(g_qiv_cfg_t.g_lora_cfg_t.ch_mask));
  return 0;
}

int32_t service_nvm_set_mask_to_nvm(uint16_t const *mask) {
  memcpy(g_qiv_cfg_t.g_lora_cfg_t.ch_mask, mask, sizeof(g_qiv_cfg_t.g_lora_cfg_t.ch_mask));
  return write_record<int32_t>();
}

uint32_t service_nvm_get_bandwidth_from_nvm(void) {
  if (g_qiv_cfg_t.lora_work_mode == SERVICE_LORA_P2P) {
    return g_qiv_cfg_t.g_lora_p2p_cfg_t.Bandwidth;
  }
  return g_qiv_cfg_t.g_lora_p2p_cfg_t.fsk_rxbw;
}

int32_t service_nvm_set_bandwidth_to_nvm(uint32_t bandwidth) {
  if (g_qiv_cfg_t.lora_work_mode == SERVICE_LORA_P2P) {
    g_qiv_cfg_t.g_lora_p2p_cfg_t.Bandwidth = static_cast<uint16_t>(bandwidth);
  } else if (g_qiv_cfg_t.lora_work_mode == SERVICE_LORA_FSK) {
    g_qiv_cfg_t.g_lora_p2p_cfg_t.fsk_rxbw = bandwidth;
  }
  return write_record<int32_t>();
}

uint16_t service_nvm_get_DevNonce_from_nvm(void) { return stored_dev_nonce(); }

int32_t service_nvm_set_DevNonce_to_nvm(uint16_t dev_nonce) {
  memcpy(&g_lora_mac_nvm_data.loramac_crypto_nvm[dev_nonce_offset], &dev_nonce, sizeof(dev_nonce));
  return service_nvm_set_lora_nvm_data_to_nvm();
}

#define SERVICE_NVM_DEFINE_GROUP(name, member)                                         \
  void *service_nvm_get_##name##_from_nvm(void) { return g_lora_mac_nvm_data.member; } \
  int32_t service_nvm_set_##name##_to_nvm(void const *group) {                         \
    memcpy(g_lora_mac_nvm_data.member, group, sizeof(g_lora_mac_nvm_data.member));     \
    return service_nvm_set_lora_nvm_data_to_nvm();                                     \
  }
SERVICE_NVM_DEFINE_GROUP(crypto, loramac_crypto_nvm)
SERVICE_NVM_DEFINE_GROUP(macgroup1, loramac_macgroup1)
SERVICE_NVM_DEFINE_GROUP(macgroup2, loramac_macgroup2)
SERVICE_NVM_DEFINE_GROUP(sec_element, loramac_secureelement)
SERVICE_NVM_DEFINE_GROUP(regionchannels, loramac_channels)
#undef SERVICE_NVM_DEFINE_GROUP

McSession_t *service_nvm_get_multicast_from_nvm(void) {
  return g_qiv_cfg_t.g_lora_cfg_t.McSession_group;
}

int32_t service_nvm_set_multicast_to_nvm(McSession_t const *sessions) {
  memcpy(g_qiv_cfg_t.g_lora_cfg_t.McSession_group, sessions,
         sizeof(g_qiv_cfg_t.g_lora_cfg_t.McSession_group));
  return write_record<int32_t>();
}
#endif

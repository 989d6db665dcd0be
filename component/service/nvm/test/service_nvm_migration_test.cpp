// Loading records written by earlier firmware. The old pages are built here
// from the layout tables of those versions (word 0 a CRC-32 computed with
// zlib, or the version-3 marker), independently of the store's own tables,
// and the record the store loads is compared byte for byte with the current
// record those tables say it must become.
//
// The same source is built for several images:
//   QIV_TEST_OLDER_LAYOUTS=1  the image knows the older layouts
//   QIV_TEST_OLDER_LAYOUTS=0  it knows only the current one (older pages give
//                             the defaults)
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_port.h"
#include "service_nvm.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t cfg = SERVICE_NVM_CFG_ADDR;
constexpr uint32_t factory = SERVICE_NVM_FACTORY_ADDR;

// ---- The current layout (offsets in bytes) ----
struct Current {
  size_t size;
  size_t debug_level, firmware_ver, hwmodel, cli_ver, auto_sleep_level;
  // LoRa images only.
  size_t iqinverted, symbol_timeout, syncword, syncword_dirty_byte, fix_length_payload, lbt_enable,
      lbt_rssi, lbt_scantime, crypt_key16, crypt_IV, CAD, certif, IsCertPortOn;
  size_t serial_passwd, mode_type, baudrate, alias;
};

#if defined(QIV_MCU_APOLLO3)
constexpr Current cur = {676, 522, 523, 555, 587, 640, 620, 624, 628, 630, 631, 632,
                         634, 636, 641, 657, 673, 674, 675, 473, 460, 468, 506};
#elif defined(QIV_MCU_STM32WLE5)
constexpr Current cur = {660, 506, 507, 539, 571, 624, 604, 608, 612, 614, 615, 616,
                         618, 620, 625, 641, 657, 658, 659, 457, 444, 452, 490};
#else
constexpr Current cur = {196, 98, 99, 131, 163, 195, 0, 0,  0,  0,  0, 0,
                         0,   0,  0,  0,   0,   0,   0, 49, 32, 44, 82};
#endif

// ---- The older layouts ----
struct Move {
  size_t target;  // in the current record
  int v1;         // in a version-1 page; -1: not stored
  int v2;         // in a version-2 or version-3 page
  size_t len;
};

struct Older {
  size_t v1_crc_end;  // the CRC covers bytes 4 up to here
  size_t v2_crc_end;
  size_t marker_at;       // version 3
  size_t lock_at, ports;  // serial_lock_status in the current record
  std::vector<Move> moves;

  Move const &to(size_t target) const {
    for (Move const &m : moves) {
      if (m.target == target) {
        return m;
      }
    }
    throw std::logic_error("no such field");
  }
};

#if defined(QIV_MCU_APOLLO3)
Older const older = {524,
                     528,
                     528,
                     464,
                     4,
                     {
                         {8, 4, 4, 1},         // lora_work_mode
                         {12, 8, 8, 36},       // P2P settings
                         {48, 44, 44, 16},     // BLE block
                         {64, 60, 60, 388},    // LoRaWAN settings
                         {452, 452, 452, 8},   // RTC delta
                         {460, 460, 460, 4},   // mode_type
                         {464, -1, 466, 4},    // serial_lock_status
                         {468, 468, 472, 4},   // baudrate
                         {472, 472, 476, 1},   // atcmd_echo
                         {473, 473, 477, 9},   // serial_passwd
                         {484, 484, 488, 4},   // auto_sleep_time
                         {488, 488, 492, 18},  // sn
                         {506, 506, 510, 16},  // alias
                     }};
#else
Older const older = {500,
                     504,
                     504,
                     447,
                     3,
                     {
                         {8, 4, 4, 1},
                         {12, 8, 8, 36},
                         {48, 44, 44, 388},
                         {436, 432, 432, 8},
                         {444, 440, 440, 3},
                         {447, -1, 443, 3},
                         {452, 444, 448, 4},
                         {456, 448, 452, 1},
                         {457, 449, 453, 9},
                         {468, 460, 464, 4},
                         {472, 464, 468, 18},
                         {490, 482, 486, 16},
                     }};
#endif

void put(Bytes &b, size_t offset, Bytes const &v) {
  std::copy(v.begin(), v.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
}

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

[[maybe_unused]] Bytes le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }

// A version text as the record holds it: zero-filled to 32 bytes.
Bytes text32(const char *s) {
  Bytes b(32, 0);
  memcpy(b.data(), s, strnlen(s, 32));
  return b;
}

uint32_t crc32_of(Bytes const &b, size_t from, size_t to) {
  return static_cast<uint32_t>(crc32(0L, b.data() + from, static_cast<uInt>(to - from)));
}

Bytes flash_bytes(uint32_t addr, size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; i++) {
    v[i] = fake::port.flash_byte(addr + static_cast<uint32_t>(i));
  }
  return v;
}

Bytes ram_record() {
  uint8_t const *p = reinterpret_cast<uint8_t const *>(&g_qiv_cfg_t);
  return Bytes(p, p + cur.size);
}

// Starts the store on a flash holding these pages (the rest erased).
void boot_on(std::vector<std::pair<uint32_t, Bytes>> const &pages) {
  fake::port.reset();
  for (auto const &[addr, bytes] : pages) {
    fake::port.flash_put(addr, bytes);
  }
  memset(&g_qiv_cfg_t, 0xA5, sizeof(g_qiv_cfg_t));
  service_nvm_init_config();
}

Bytes defaults_record() {
  boot_on({});
  return ram_record();
}

// The record the store builds from the defaults, as stored: a base for
// current-layout pages.
Bytes stored_defaults() {
  Bytes r = defaults_record();
  put(r, cur.serial_passwd, {'s', 'e', 'c', 'r', 'e', 't', 0, 0, 0});
  return r;
}

#if defined(QIV_MCU_APOLLO3) || defined(QIV_MCU_STM32WLE5)

// Where the field that lies at `target` in the current record lies in a page
// of this version.
size_t at(int version, size_t target) {
  Move const &m = older.to(target);
  return static_cast<size_t>(version == 1 ? m.v1 : m.v2);
}

void seal(Bytes &page, int version) {
  if (version == 1) {
    put(page, 0, le32(crc32_of(page, 4, older.v1_crc_end)));
  } else if (version == 2) {
    put(page, 0, le32(crc32_of(page, 4, older.v2_crc_end)));
  } else {
    put(page, older.marker_at, le32(0xEDD1E));
  }
}

// The fields the store checks on loading get values their setters could
// have stored (still drawn at random where there is a choice); a value no
// setter stores makes the store fall back to the defaults instead.
void make_loadable(Bytes &page, int version, std::mt19937 &rng) {
  auto pick = [&](uint32_t choices) { return static_cast<uint8_t>(rng() % choices); };
  size_t const p2p = at(version, 12);
  Bytes const defaults = defaults_record();
  Bytes p2p_fields(defaults.begin() + 12, defaults.begin() + 48);
  std::copy(page.begin() + static_cast<std::ptrdiff_t>(p2p + 15),
            page.begin() + static_cast<std::ptrdiff_t>(p2p + 23),
            p2p_fields.begin() + 15);  // the key stays random
  put(page, p2p, p2p_fields);
  page[at(version, 8)] = pick(3);  // work mode
#if defined(QIV_MCU_APOLLO3)
  size_t const lora = at(version, 64);
#else
  size_t const lora = at(version, 48);
#endif
  page[lora] = SERVICE_LORA_EU868;
  for (size_t flag : {112u, 126u, 128u, 132u, 156u, 159u, 160u}) {
    page[lora + flag] = pick(2);  // bools, join mode, confirm mode
  }
  page[lora + 127] = pick(3);   // class
  page[lora + 130] = pick(16);  // data rates
  page[lora + 131] = pick(16);
  for (size_t i = 0; i < older.ports; i++) {
    page[at(version, cur.mode_type) + i] = pick(2);
    if (version != 1) {
      page[at(version, older.lock_at) + i] = pick(2);
    }
  }
  page[at(version, cur.baudrate + 4)] = pick(2);             // echo
  put(page, at(version, cur.baudrate + 16), le32(pick(2)));  // auto-sleep time
}

// A page as earlier firmware wrote it: every byte of the record (padding
// included) set, a few fields with readable values, the rest pseudo-random;
// erased flash after it.
Bytes old_page(int version, uint32_t seed) {
  size_t const end = version == 1   ? older.v1_crc_end
                     : version == 2 ? older.v2_crc_end
                                    : older.marker_at + 4;
  Bytes page(800, 0xFF);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < end; i++) {
    page[i] = static_cast<uint8_t>(rng());
  }
  make_loadable(page, version, rng);
  put(page, at(version, cur.baudrate), le32(9600));
  put(page, at(version, cur.serial_passwd), {'p', 'w', '1', '2', '3', '4', 0, 0, 0});
  put(page, at(version, cur.alias),
      {'o', 'l', 'd', '-', 'n', 'o', 'd', 'e', 0, 0, 0, 0, 0, 0, 0, 0});
  seal(page, version);
  return page;
}

// The current record an old page becomes, read by the given layout.
Bytes migrated(Bytes const &page, int version) {
  Bytes r(cur.size, 0);
  for (Move const &m : older.moves) {
    int const from = version == 1 ? m.v1 : m.v2;
    if (from >= 0) {
      std::copy_n(page.begin() + from, m.len, r.begin() + static_cast<std::ptrdiff_t>(m.target));
    }
  }
  // Version 1 had no port lock: every port open (0) - already zero.
  put(r, 0, le32(0xAABBCCDD));
  put(r, 4, le32(4));
  put(r, cur.firmware_ver, text32(sw_version));
  put(r, cur.hwmodel, text32(model_id));
  put(r, cur.cli_ver, text32(cli_version));
  put(r, cur.syncword, le16(0x1424));
  put(r, cur.lbt_rssi, le16(static_cast<uint16_t>(-80)));
  put(r, cur.lbt_scantime, le32(5));
  r[cur.auto_sleep_level] = 1;
  // IsCertPortOn stays 0 (the defaults have 1).
  return r;
}

struct OldCase {
  const char *what;
  int written;         // layout the page is written in
  bool marker;         // the version-3 marker is added too
  bool current_magic;  // word 0 and 1 read as the current magic and version 4
  int read_as;         // layout it must be read by
};

const OldCase old_cases[] = {
    {"version 1", 1, false, false, 1},
    {"version 2", 2, false, false, 2},
    {"version 3", 3, false, false, 3},
    {"version 1 CRC and marker", 1, true, false, 1},
    {"version 2 CRC and marker", 2, true, false, 2},
    {"marker and current magic", 3, false, true, 3},
};

Bytes case_page(OldCase const &c, uint32_t seed) {
  Bytes page = old_page(c.written, seed);
  if (c.marker) {
    put(page, older.marker_at, le32(0xEDD1E));
  }
  if (c.current_magic) {
    put(page, 0, le32(0xAABBCCDD));
    put(page, 4, le32(4));
  }
  return page;
}

TEST(Migration, OlderPagesLoadAsTheCurrentRecordAndNothingIsWrittenUntilTheFirstSetter) {
  Bytes const defaults = defaults_record();
  uint32_t seed = 1;
  for (OldCase const &c : old_cases) {
    if (c.current_magic && !QIV_TEST_OLDER_LAYOUTS) {
      continue;  // read as a current record there
    }
    Bytes const page = case_page(c, seed++);
    // The version word of a current-magic page lies where the older
    // layouts keep the work mode: read by an older layout it gives work
    // mode 4, which no setter stores. That field takes its default
    // (LoRaWAN) and every other migrated field is kept.
    Bytes expected = QIV_TEST_OLDER_LAYOUTS ? migrated(page, c.read_as) : defaults;
    constexpr size_t kWorkMode = 8;
    if (QIV_TEST_OLDER_LAYOUTS && c.current_magic) {
      expected[kWorkMode] = 1;
    }
    boot_on({{cfg, page}});
    EXPECT_EQ(ram_record(), expected) << c.what;
    EXPECT_EQ(fake::port.total_erases(), 0) << c.what;
    EXPECT_EQ(fake::port.total_programs(), 0) << c.what;
    EXPECT_EQ(flash_bytes(cfg, page.size()), page) << c.what;

    // The first setter stores the whole record in the current layout,
    // which is from then on loaded as it is.
    ASSERT_EQ(service_nvm_set_debug_level_to_nvm(1), 0u) << c.what;
    Bytes stored = expected;
    stored[cur.debug_level] = 1;
    EXPECT_EQ(flash_bytes(cfg, cur.size), stored) << c.what;
    int const erases = fake::port.total_erases();
    service_nvm_init_config();
    EXPECT_EQ(ram_record(), stored) << c.what;
    EXPECT_EQ(fake::port.total_erases(), erases) << c.what;
  }
}

TEST(Migration, MigratedSettingsReadBackThroughTheAccessors) {
  if (!QIV_TEST_OLDER_LAYOUTS) {
    GTEST_SKIP() << "the image knows only the current layout";
  }
  for (int version : {1, 2, 3}) {
    Bytes page = old_page(version, 100 + static_cast<uint32_t>(version));
    for (size_t p = 0; p < older.ports; p++) {
      page[at(version, cur.mode_type) + p] = static_cast<uint8_t>(p % 2);  // AT, custom, ...
    }
    if (version == 1) {
      // Whatever a version-1 page holds between the modes and the baud rate.
      for (size_t i = at(1, cur.mode_type) + older.ports; i < at(1, cur.baudrate); i++) {
        page[i] = SERIAL_WLOCK_DISABLED;
      }
    } else {
      for (size_t p = 0; p < older.ports; p++) {
        page[at(version, older.lock_at) + p] = SERIAL_WLOCK_LOCKED;
      }
    }
    seal(page, version);
    boot_on({{cfg, page}});
    std::string const what = "version " + std::to_string(version);
    EXPECT_EQ(service_nvm_get_baudrate_from_nvm(), 9600u) << what;
    char passwd[9];
    EXPECT_EQ(service_nvm_get_serial_passwd_from_nvm(passwd, sizeof(passwd)), 6) << what;
    EXPECT_STREQ(passwd, "pw1234") << what;
    char alias[16];
    ASSERT_EQ(service_nvm_get_atcmd_alias_from_nvm(alias, sizeof(alias)), 0) << what;
    EXPECT_STREQ(alias, "old-node") << what;
    for (size_t p = 0; p < older.ports; p++) {
      SERIAL_PORT const port = static_cast<SERIAL_PORT>(p);
      EXPECT_EQ(service_nvm_get_mode_type_from_nvm(port), static_cast<SERVICE_MODE_TYPE>(p % 2))
          << what;
      EXPECT_EQ(service_nvm_get_lock_status_from_nvm(port),
                version == 1 ? SERIAL_WLOCK_OPEN : SERIAL_WLOCK_LOCKED)
          << what << " port " << p;
    }
    EXPECT_EQ(service_nvm_get_IsCertPortOn_from_nvm(), 0) << what;
    EXPECT_EQ(service_nvm_get_lbt_rssi_from_nvm(), -80) << what;
    EXPECT_EQ(service_nvm_get_syncword_from_nvm(), 0x1424) << what;
  }
}

TEST(Migration, OldPasswordWithoutTerminatorIsReadAsAtMostEightCharacters) {
  if (!QIV_TEST_OLDER_LAYOUTS) {
    GTEST_SKIP() << "the image knows only the current layout";
  }
  Bytes page = old_page(2, 7);
  put(page, at(2, cur.serial_passwd), Bytes(9, 'k'));
  seal(page, 2);
  boot_on({{cfg, page}});
  char passwd[9];
  EXPECT_EQ(service_nvm_get_serial_passwd_from_nvm(passwd, sizeof(passwd)), 8);
}

TEST(Migration, FactoryCopyInAnOlderLayoutIsMigratedWhenTheRecordPageIsBlank) {
  Bytes const page = old_page(2, 42);
  Bytes const expected = QIV_TEST_OLDER_LAYOUTS ? migrated(page, 2) : defaults_record();
  boot_on({{factory, page}});
  EXPECT_EQ(ram_record(), expected);
  EXPECT_EQ(fake::port.total_erases(), 0);
  EXPECT_EQ(flash_bytes(factory, page.size()), page);
}

#endif  // the LoRa layouts

TEST(Migration, UnrecognisedPagesGiveTheDefaults) {
  Bytes const defaults = defaults_record();
  Bytes newer = stored_defaults();
  put(newer, 4, le32(5));
  Bytes no_version = stored_defaults();
  put(no_version, 4, le32(0));
  Bytes bad_crc(800, 0);
  put(bad_crc, 0, le32(crc32_of(bad_crc, 4, 400)));  // a CRC over no layout's range
  struct Case {
    const char *what;
    Bytes page;
  };
  const Case cases[] = {
      {"erased", Bytes(800, 0xFF)},
      {"newer version", newer},
      {"current magic, version 0", no_version},
      {"CRC over another range", bad_crc},
  };
  for (Case const &c : cases) {
    boot_on({{cfg, c.page}});
    EXPECT_EQ(ram_record(), defaults) << c.what;
    EXPECT_EQ(fake::port.total_erases() + fake::port.total_programs(), 0) << c.what;
  }
}

// A current-layout record written before the fields at its end existed:
// they read as erased flash and get the values of that time.
TEST(Migration, ErasedFieldsOfACurrentRecordGetTheirValues) {
  Bytes stored = stored_defaults();
  std::fill(stored.begin() + static_cast<std::ptrdiff_t>(cur.debug_level), stored.end(), 0xFF);

  Bytes expected = stored;
  expected[cur.debug_level] = 0;
  put(expected, cur.firmware_ver, text32(sw_version));
  put(expected, cur.hwmodel, text32(model_id));
  put(expected, cur.cli_ver, text32(cli_version));
  expected[cur.auto_sleep_level] = 1;
#ifdef SUPPORT_LORA
  expected[cur.iqinverted] = 0;
  put(expected, cur.symbol_timeout, le32(0));
  put(expected, cur.syncword, le16(0x1424));
  expected[cur.syncword_dirty_byte] = 0;
  expected[cur.fix_length_payload] = 0;
  expected[cur.lbt_enable] = 0;
  put(expected, cur.lbt_rssi, le16(static_cast<uint16_t>(-80)));
  put(expected, cur.lbt_scantime, le32(5));
  put(expected, cur.crypt_IV, Bytes(16, 0));
  expected[cur.CAD] = 0;
  expected[cur.IsCertPortOn] = 1;
  // crypt_key16, certif and the padding bytes are kept as they are.
#endif

  boot_on({{cfg, stored}});
  EXPECT_EQ(ram_record(), expected);
  EXPECT_EQ(fake::port.total_erases() + fake::port.total_programs(), 0);
  EXPECT_EQ(flash_bytes(cfg, cur.size), stored);

  // The same page as the factory copy of a blank record page (a copy taken
  // by an earlier firmware) gives the same record.
  boot_on({{factory, stored}});
  EXPECT_EQ(ram_record(), expected);
  EXPECT_EQ(fake::port.total_erases() + fake::port.total_programs(), 0);
  EXPECT_EQ(flash_bytes(factory, cur.size), stored);
}

#ifdef SUPPORT_LORA
// Values at the edge of the erased tests: only what reads as erased is
// replaced, every setting a user can make is kept.
TEST(Migration, OnlyErasedValuesAreReplaced) {
  struct Case {
    const char *what;
    size_t offset;
    Bytes stored;
    Bytes loaded;
  };
  Bytes iv_ff_first(16, 0x11);
  iv_ff_first[0] = 0xFF;
  Bytes text_ff_first(32, 'x');
  text_ff_first[0] = 0xFF;
  const Case cases[] = {
      {"symbol timeout 248", cur.symbol_timeout, le32(248), le32(248)},
      {"symbol timeout 249", cur.symbol_timeout, le32(249), le32(0)},
      {"LBT RSSI -1", cur.lbt_rssi, le16(0xFFFF), le16(static_cast<uint16_t>(-80))},
      {"LBT RSSI low byte erased", cur.lbt_rssi, le16(0x00FF), le16(static_cast<uint16_t>(-80))},
      {"LBT RSSI -81", cur.lbt_rssi, le16(static_cast<uint16_t>(-81)),
       le16(static_cast<uint16_t>(-81))},
      {"LBT scan time 255", cur.lbt_scantime, le32(255), le32(255)},
      {"LBT scan time 511", cur.lbt_scantime, le32(511), le32(511)},
      {"LBT scan time erased", cur.lbt_scantime, le32(0xFFFFFFFF), le32(5)},
      {"IV starting with 0xFF", cur.crypt_IV, iv_ff_first, iv_ff_first},
      {"IV erased", cur.crypt_IV, Bytes(16, 0xFF), Bytes(16, 0)},
      {"P2P key erased", cur.crypt_key16, Bytes(16, 0xFF), Bytes(16, 0xFF)},
      {"sync word with erased flag", cur.syncword, {0x44, 0x34, 0xFF}, {0x24, 0x14, 0x00}},
      {"sync word erased, flag set", cur.syncword, {0xFF, 0xFF, 0x00}, {0xFF, 0xFF, 0x00}},
      {"certification port off", cur.IsCertPortOn, {0}, {0}},
      {"certification erased", cur.certif, {0xFF}, {0xFF}},
      {"debug level 1", cur.debug_level, {1}, {1}},
      {"firmware text starting with 0xFF", cur.firmware_ver, text_ff_first, text32(sw_version)},
  };
  for (Case const &c : cases) {
    Bytes stored = stored_defaults();
    put(stored, c.offset, c.stored);
    Bytes expected = stored;
    put(expected, c.offset, c.loaded);
    boot_on({{cfg, stored}});
    EXPECT_EQ(ram_record(), expected) << c.what;
  }
}
#endif

}  // namespace

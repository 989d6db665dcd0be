#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "service_nvm.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t record_size = 660;
constexpr uint32_t cfg = SERVICE_NVM_CFG_ADDR;
constexpr uint32_t factory = SERVICE_NVM_FACTORY_ADDR;
constexpr uint32_t mac_block = SERVICE_NVM_LORA_MAC_ADDR;

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }

Bytes text(const char *s) { return Bytes(s, s + strlen(s)); }

Bytes flash_bytes(uint32_t addr, size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; i++) {
    v[i] = fake::port.flash_byte(addr + static_cast<uint32_t>(i));
  }
  return v;
}

// The record the defaults of the Brisola-T image store, written out from the
// layout table field by field; every byte not named is zero.
Bytes expected_default_record(bool high_band) {
  Bytes r(record_size, 0);
  auto put = [&r](size_t offset, Bytes const &b) {
    std::copy(b.begin(), b.end(), r.begin() + offset);
  };
  put(0, le32(0xAABBCCDD));
  put(4, le32(4));
  put(8, {1});                                       // LoRaWAN
  put(12, le32(high_band ? 868000000 : 470000000));  // P2P frequency
  put(16, {7});                                      // spreading factor
  put(22, le16(8));                                  // preamble
  put(24, {14});                                     // dBm
  put(36, le32(4915));
  put(40, le32(5000));
  put(44, le32(20000));
  put(48, {uint8_t(high_band ? 5 : 2)});  // EU868 / CN470
  if (!high_band) {
    put(162, Bytes(12, 0xFF));  // every channel enabled
  }
  put(174, {1});  // OTAA
  put(180, {1});  // ADR
  put(182, {1});  // duty cycle
  put(184, le32(5000));
  put(188, le32(6000));
  put(192, le32(1000));
  put(196, le32(2000));
  put(204, {1});        // public network
  put(212, le32(8));    // auto-join period
  put(444, {1, 1, 0});  // UART0, UART1 custom; UART2 AT
  put(447, {0, 0, 0});  // all open
  put(452, le32(115200));
  put(457, text("58203761"));
  put(507, text("QIV_4.2.4_Brisola-T"));
  put(539, text("Brisola-T"));
  put(571, text("1.5.15"));
  put(612, le16(0x1424));
  put(618, le16(static_cast<uint16_t>(-80)));
  put(620, le32(5));
  put(624, {1});  // auto-sleep level
  put(659, {1});  // certification port
  return r;
}

class Nvm : public ::testing::Test {
 protected:
  void SetUp() override { core_test::boot(); }
};

TEST_F(Nvm, BlankDeviceStartsWithTheDefaultsAndWritesNothing) {
  EXPECT_EQ(fake::port.total_erases(), 0);
  EXPECT_EQ(fake::port.total_programs(), 0);
  ASSERT_EQ(service_nvm_set_cfg_to_nvm(), 0);
  EXPECT_EQ(flash_bytes(cfg, record_size), expected_default_record(true));
  EXPECT_EQ(fake::port.band_strap_reads, 2);
}

TEST_F(Nvm, LowBandHardwareStartsOnCn470WithEveryChannel) {
  fake::port.band_strap = 0;
  service_nvm_init_config();
  ASSERT_EQ(service_nvm_set_cfg_to_nvm(), 0);
  EXPECT_EQ(flash_bytes(cfg, record_size), expected_default_record(false));
}

TEST_F(Nvm, StoredRecordIsLoadedAsItIs) {
  Bytes stored = expected_default_record(true);
  stored[490] = 'Z';   // alias
  stored[452] = 0x80;  // baud rate 0xC280 (49792), a rate the ports can make
  stored[454] = 0;
  fake::port.flash_put(cfg, stored);
  service_nvm_init_config();
  char alias[16];
  ASSERT_EQ(service_nvm_get_atcmd_alias_from_nvm(alias, sizeof(alias)), 0);
  EXPECT_EQ(alias[0], 'Z');
  EXPECT_EQ(service_nvm_get_baudrate_from_nvm(), 0xC280u);
  EXPECT_EQ(fake::port.total_erases(), 0);
}

TEST_F(Nvm, BlankRecordPageTakesTheFactoryCopyAndLeavesTheMacBlockAlone) {
  Bytes copy = expected_default_record(true);
  copy[490] = 'F';
  copy[444] = 0;  // UART0 in AT mode
  fake::port.flash_put(factory, copy);
  memset(&g_lora_mac_nvm_data, 0x5A, sizeof(g_lora_mac_nvm_data));
  service_nvm_init_config();
  EXPECT_EQ(memcmp(&g_qiv_cfg_t, copy.data(), record_size), 0);
  uint8_t const *mac = reinterpret_cast<uint8_t const *>(&g_lora_mac_nvm_data);
  EXPECT_EQ(mac[0], 0x5A);
  EXPECT_EQ(mac[2043], 0x5A);
  EXPECT_EQ(fake::port.total_erases(), 0);
}

// A record with the right magic but a value no setter stores - a page whose
// programming stopped part-way, or a damaged one - is not loaded field by
// field: the factory copy stands in, and the defaults when the copy is no
// better.
TEST_F(Nvm, RecordWithAValueNoSetterStoresFallsBack) {
  Bytes copy = expected_default_record(true);
  copy[490] = 'F';  // alias of the factory copy
  struct Case {
    const char *what;
    std::function<void(Bytes &)> spoil;
  };
  auto put32 = [](Bytes &r, size_t at, uint32_t v) {
    Bytes const b = le32(v);
    std::copy(b.begin(), b.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
  };
  std::vector<Case> cases = {
      {"baud rate 0", [&](Bytes &r) { put32(r, 452, 0); }},
      {"baud rate erased", [&](Bytes &r) { put32(r, 452, 0xFFFFFFFFu); }},
      {"baud rate above the ports' range", [&](Bytes &r) { put32(r, 452, 115201); }},
      {"port mode outside its values", [](Bytes &r) { r[446] = 7; }},
      {"lock state erased", [](Bytes &r) { r[447] = 0xFF; }},
      {"echo 2", [](Bytes &r) { r[456] = 2; }},
      {"password erased", [](Bytes &r) { std::fill(r.begin() + 457, r.begin() + 466, 0xFF); }},
      {"alias with a control character", [](Bytes &r) { r[490] = 0x07; }},
      {"work mode 3", [](Bytes &r) { r[8] = 3; }},
      {"band 11", [](Bytes &r) { r[48] = 11; }},
      {"spreading factor 13", [](Bytes &r) { r[16] = 13; }},
      {"P2P frequency 0", [&](Bytes &r) { put32(r, 12, 0); }},
  };
  // Programming stopped after the first n bytes, the rest erased.
  for (size_t n = 8; n <= 448; n += 8) {
    cases.push_back({"torn", [n](Bytes &r) {
                       std::fill(r.begin() + static_cast<std::ptrdiff_t>(n), r.end(), 0xFF);
                     }});
  }
  for (Case const &c : cases) {
    for (bool with_copy : {true, false}) {
      fake::port.reset();
      Bytes record = expected_default_record(true);
      record[490] = 'R';
      c.spoil(record);
      fake::port.flash_put(cfg, record);
      if (with_copy) {
        fake::port.flash_put(factory, copy);
      }
      service_nvm_init_config();
      Bytes const want = with_copy ? copy : expected_default_record(true);
      EXPECT_EQ(memcmp(&g_qiv_cfg_t, want.data(), record_size), 0)
          << c.what << (with_copy ? " + copy" : "");
      // The same value in the factory copy is no better.
      if (!with_copy) {
        fake::port.reset();
        fake::port.flash_put(factory, record);
        service_nvm_init_config();
        EXPECT_EQ(memcmp(&g_qiv_cfg_t, want.data(), record_size), 0) << c.what << " in the copy";
      }
    }
  }
  // Bools hold any byte in flash and are read as 0 or 1; the setters refuse
  // a rate the ports cannot make and change nothing.
  fake::port.reset();
  Bytes record = expected_default_record(true);
  record[180] = 0x5A;  // adr
  fake::port.flash_put(cfg, record);
  service_nvm_init_config();
  EXPECT_EQ(*reinterpret_cast<uint8_t const *>(&g_qiv_cfg_t.g_lora_cfg_t.adr), 1);
  EXPECT_EQ(service_nvm_set_baudrate_to_nvm(0), -UDRV_WRONG_ARG);
  EXPECT_EQ(service_nvm_set_baudrate_to_nvm(230400), -UDRV_WRONG_ARG);
  EXPECT_EQ(service_nvm_get_baudrate_from_nvm(), 115200u);
  EXPECT_EQ(fake::port.total_erases(), 0);
  EXPECT_EQ(service_nvm_set_baudrate_to_nvm(600), 0);
  EXPECT_EQ(service_nvm_get_baudrate_from_nvm(), 600u);
}

TEST_F(Nvm, UnreadableRecordAndFactoryCopyGiveTheDefaults) {
  struct Case {
    const char *what;
    std::function<void(Bytes &)> spoil;
  };
  const Case cases[] = {
      {"wrong magic", [](Bytes &r) { r[0] ^= 1; }},
      {"version 0", [](Bytes &r) { r[4] = 0; }},
      {"version 5", [](Bytes &r) { r[4] = 5; }},
      {"zeros", [](Bytes &r) { std::fill(r.begin(), r.end(), 0); }},
  };
  for (Case const &c : cases) {
    core_test::boot();
    Bytes record = expected_default_record(true);
    record[490] = 'R';
    c.spoil(record);
    Bytes copy = expected_default_record(true);
    copy[490] = 'F';
    c.spoil(copy);
    fake::port.flash_put(cfg, record);
    fake::port.flash_put(factory, copy);
    service_nvm_init_config();
    EXPECT_EQ(memcmp(&g_qiv_cfg_t, expected_default_record(true).data(), record_size), 0) << c.what;
  }
}

TEST_F(Nvm, ErasedMacBlockReadsAsZeros) {
  memset(&g_lora_mac_nvm_data, 0x77, sizeof(g_lora_mac_nvm_data));
  EXPECT_EQ(service_lora_mac_nvm_data_init(), 0);
  Bytes const zeros(2044, 0);
  EXPECT_EQ(memcmp(&g_lora_mac_nvm_data, zeros.data(), zeros.size()), 0);

  Bytes stored(2044, 0xFF);
  stored[12] = 0x01;  // a frame counter was stored
  stored[100] = 0x42;
  fake::port.flash_put(mac_block, stored);
  service_lora_mac_nvm_data_init();
  EXPECT_EQ(reinterpret_cast<uint8_t const *>(&g_lora_mac_nvm_data)[100], 0x42);
}

TEST_F(Nvm, SettingTheStoredValueAgainDoesNotWearTheFlash) {
  ASSERT_EQ(service_nvm_set_baudrate_to_nvm(9600), 0);
  int const erases = fake::port.total_erases();
  EXPECT_EQ(erases, 2) << "the record's two copies";
  EXPECT_EQ(service_nvm_set_baudrate_to_nvm(9600), 0);
  EXPECT_EQ(fake::port.total_erases(), erases);
}

// Every value accessor pair: the value set reads back and lies at its offset
// in the stored record.
TEST_F(Nvm, ValueAccessorsStoreTheirFieldAtItsOffset) {
  struct Case {
    const char *name;
    std::function<int64_t()> set;  // returns the setter's result
    std::function<uint32_t()> get;
    uint32_t offset;
    Bytes stored;
  };
#define VALUE_CASE(name, value, offset, bytes)                                               \
  Case {                                                                                     \
#name, [] { return int64_t(service_nvm_set_##name##_to_nvm(value)); },                     \
            [] { return uint32_t(service_nvm_get_##name##_from_nvm()); }, offset, bytes \
  }
  const Case cases[] = {
      VALUE_CASE(auto_sleep_time, 60000u, 468, le32(60000)),
      VALUE_CASE(delta_sec, 0x01020304u, 436, le32(0x01020304)),
      VALUE_CASE(delta_subsec, 999u, 440, le32(999)),
      VALUE_CASE(baudrate, 9600u, 452, le32(9600)),
      VALUE_CASE(atcmd_echo, 1, 456, Bytes{1}),
      VALUE_CASE(auto_sleep_level, 2, 624, Bytes{2}),
      VALUE_CASE(debug_level, 1, 506, Bytes{1}),
      VALUE_CASE(band, SERVICE_LORA_AS923_3, 48, Bytes{21}),
      VALUE_CASE(retry, 7, 177, Bytes{7}),
      VALUE_CASE(cfm, SERVICE_LORA_ACK, 176, Bytes{1}),
      VALUE_CASE(nwm, SERVICE_LORA_FSK, 8, Bytes{2}),
      VALUE_CASE(njm, SERVICE_LORA_ABP, 174, Bytes{0}),
      VALUE_CASE(adr, false, 180, Bytes{0}),
      VALUE_CASE(class, SERVICE_LORA_CLASS_C, 175, Bytes{2}),
      VALUE_CASE(dr, SERVICE_LORA_DR_5, 178, Bytes{5}),
      VALUE_CASE(rx2dr, SERVICE_LORA_DR_3, 179, Bytes{3}),
      VALUE_CASE(jn1dl, 4000u, 184, le32(4000)),
      VALUE_CASE(jn2dl, 7000u, 188, le32(7000)),
      VALUE_CASE(rx2fq, 869525000u, 200, le32(869525000)),
      VALUE_CASE(pub_nwk_mode, false, 204, Bytes{0}),
      VALUE_CASE(rx1dl, 1500u, 192, le32(1500)),
      VALUE_CASE(rx2dl, 2500u, 196, le32(2500)),
      VALUE_CASE(txpower, 3, 181, Bytes{3}),
      VALUE_CASE(linkcheck, 2, 205, Bytes{2}),
      VALUE_CASE(ping_slot_periodicity, 4, 206, Bytes{4}),
      VALUE_CASE(join_start, true, 207, Bytes{1}),
      VALUE_CASE(auto_join, true, 208, Bytes{1}),
      VALUE_CASE(auto_join_period, 30u, 212, le32(30)),
      VALUE_CASE(auto_join_max_cnt, 9u, 216, le32(9)),
      VALUE_CASE(lbt, 1, 616, Bytes{1}),
      VALUE_CASE(lbt_rssi, int16_t(-70), 618, le16(uint16_t(-70))),
      VALUE_CASE(lbt_scantime, 300u, 620, le32(300)),
      VALUE_CASE(IsCertPortOn, 0, 659, Bytes{0}),
      VALUE_CASE(chs, 868100000u, 428, le32(868100000)),
      VALUE_CASE(dcs, 0, 182, Bytes{0}),
      VALUE_CASE(CAD, 1, 657, Bytes{1}),
      VALUE_CASE(certi, 1, 658, Bytes{1}),
      VALUE_CASE(freq, 915000000u, 12, le32(915000000)),
      VALUE_CASE(sf, 12, 16, Bytes{12}),
      VALUE_CASE(codingrate, 3, 20, Bytes{3}),
      VALUE_CASE(preamlen, 0x1234, 22, le16(0x1234)),
      VALUE_CASE(powerdbm, 22, 24, Bytes{22}),
      VALUE_CASE(crypt_enable, true, 26, Bytes{1}),
      VALUE_CASE(fdev, 25000u, 40, le32(25000)),
      VALUE_CASE(bitrate, 50000u, 36, le32(50000)),
      VALUE_CASE(iqinverted, true, 604, Bytes{1}),
      VALUE_CASE(symbol_timeout, 100u, 608, le32(100)),
      VALUE_CASE(fix_length_payload, true, 615, Bytes{1}),
      VALUE_CASE(syncword, 0x3444, 612, le16(0x3444)),
  };
#undef VALUE_CASE
  for (Case const &c : cases) {
    core_test::boot();
    EXPECT_EQ(c.set(), 0) << c.name;
    uint32_t expected = 0;
    memcpy(&expected, c.stored.data(), c.stored.size());
    if (c.stored.size() == 2 && (c.stored[1] & 0x80)) {
      expected |= 0xFFFF0000u;  // a negative 16-bit value reads back sign-extended
    }
    EXPECT_EQ(c.get(), expected) << c.name;
    EXPECT_EQ(flash_bytes(cfg + c.offset, c.stored.size()), c.stored) << c.name;
  }
}

TEST_F(Nvm, PerPortAccessorsIndexTheirArrays) {
  ASSERT_EQ(service_nvm_set_mode_type_to_nvm(SERIAL_UART1, SERVICE_MODE_TYPE_CLI), 0);
  ASSERT_EQ(service_nvm_set_lock_status_to_nvm(SERIAL_UART2, SERIAL_WLOCK_DISABLED), 0);
  EXPECT_EQ(service_nvm_get_mode_type_from_nvm(SERIAL_UART1), SERVICE_MODE_TYPE_CLI);
  EXPECT_EQ(service_nvm_get_lock_status_from_nvm(SERIAL_UART2), SERIAL_WLOCK_DISABLED);
  EXPECT_EQ(flash_bytes(cfg + 444, 6), (Bytes{1, 0, 0, 0, 0, 2}));
}

TEST_F(Nvm, KeysAndIdentifiersNeedExactlyTheirSize) {
  struct Case {
    const char *name;
    int32_t (*set)(uint8_t const *, uint32_t);
    int32_t (*get)(uint8_t *, uint32_t);
    uint32_t size;
    uint32_t offset;
  };
  const Case cases[] = {
      {"app_eui", service_nvm_set_app_eui_to_nvm, service_nvm_get_app_eui_from_nvm, 8, 57},
      {"dev_eui", service_nvm_set_dev_eui_to_nvm, service_nvm_get_dev_eui_from_nvm, 8, 49},
      {"app_key", service_nvm_set_app_key_to_nvm, service_nvm_get_app_key_from_nvm, 16, 65},
      {"app_skey", service_nvm_set_app_skey_to_nvm, service_nvm_get_app_skey_from_nvm, 16, 81},
      {"nwk_skey", service_nvm_set_nwk_skey_to_nvm, service_nvm_get_nwk_skey_from_nvm, 16, 105},
      {"dev_addr", service_nvm_set_dev_addr_to_nvm, service_nvm_get_dev_addr_from_nvm, 4, 97},
      {"crypt_key", service_nvm_set_crypt_key_to_nvm, service_nvm_get_crypt_key_from_nvm, 16, 625},
      {"crypt_IV", service_nvm_set_crypt_IV_to_nvm, service_nvm_get_crypt_IV_from_nvm, 16, 641},
  };
  for (Case const &c : cases) {
    core_test::boot();
    Bytes value(c.size + 1);
    for (size_t i = 0; i < value.size(); i++) {
      value[i] = static_cast<uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(c.set(value.data(), c.size - 1), -3) << c.name;
    EXPECT_EQ(c.set(value.data(), c.size + 1), -3) << c.name;
    EXPECT_EQ(fake::port.total_erases(), 0) << c.name;
    Bytes out(c.size + 1, 0);
    EXPECT_EQ(c.get(out.data(), c.size - 1), -9) << c.name;
    ASSERT_EQ(c.get(out.data(), c.size), 0) << c.name;
    EXPECT_EQ(out, Bytes(c.size + 1, 0)) << c.name;  // unchanged

    EXPECT_EQ(c.set(value.data(), c.size), 0) << c.name;
    ASSERT_EQ(c.get(out.data(), c.size + 1), 0) << c.name;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.size),
              Bytes(value.begin(), value.begin() + c.size));
    EXPECT_EQ(flash_bytes(cfg + c.offset, c.size), Bytes(value.begin(), value.begin() + c.size))
        << c.name;
  }
  uint8_t net_id[4];
  EXPECT_EQ(service_nvm_get_net_id_from_nvm(net_id, 3), -9);
  EXPECT_EQ(service_nvm_get_net_id_from_nvm(net_id, 4), 0);
}

TEST_F(Nvm, TextAccessors) {
  // Alias: at most 16 printable characters; a refused alias keeps the old one.
  ASSERT_EQ(service_nvm_set_atcmd_alias_to_nvm("node-7", 6), 0);
  EXPECT_EQ(service_nvm_set_atcmd_alias_to_nvm("ABCDEFGHIJKLMNOPQ", 17), -3);
  EXPECT_EQ(service_nvm_set_atcmd_alias_to_nvm("bad\tname", 8), -3);
  EXPECT_EQ(service_nvm_set_atcmd_alias_to_nvm("bad\x7f", 4), -3);
  char alias[16];
  EXPECT_EQ(service_nvm_get_atcmd_alias_from_nvm(alias, 15), -9);
  ASSERT_EQ(service_nvm_get_atcmd_alias_from_nvm(alias, 16), 0);
  EXPECT_EQ(Bytes(alias, alias + 16),
            Bytes({'n', 'o', 'd', 'e', '-', '7', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(service_nvm_set_atcmd_alias_to_nvm("ABCDEFGHIJKLMNOP", 16), 0);
  EXPECT_EQ(flash_bytes(cfg + 490, 17), Bytes({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                               'K', 'L', 'M', 'N', 'O', 'P', 0}));

  // Serial number: at most 18 bytes, zero-filled, no character check.
  ASSERT_EQ(service_nvm_set_sn_to_nvm("12345", 5), 0);
  EXPECT_EQ(flash_bytes(cfg + 472, 18),
            Bytes({'1', '2', '3', '4', '5', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(service_nvm_set_sn_to_nvm("1234567890123456789", 19), -3);
  ASSERT_EQ(service_nvm_set_sn_to_nvm("\x01\x02", 2), 0);
  char sn[18];
  EXPECT_EQ(service_nvm_get_sn_from_nvm(sn, 17), -9);
  ASSERT_EQ(service_nvm_get_sn_from_nvm(sn, 18), 0);
  EXPECT_EQ(sn[0], '\x01');

  // Password: at most 8 characters; the getter answers the text's length.
  EXPECT_EQ(service_nvm_set_serial_passwd_to_nvm("123456789", 9), -3);
  ASSERT_EQ(service_nvm_set_serial_passwd_to_nvm("abc", 3), 0);
  char passwd[9];
  EXPECT_EQ(service_nvm_get_serial_passwd_from_nvm(passwd, 8), -9);
  EXPECT_EQ(service_nvm_get_serial_passwd_from_nvm(passwd, 9), 3);
  EXPECT_EQ(flash_bytes(cfg + 457, 9), Bytes({'a', 'b', 'c', 0, 0, 0, 0, 0, 0}));

  // Version texts: getters only, unsigned results.
  char version[32];
  EXPECT_EQ(service_nvm_get_firmware_ver_from_nvm(version, 31), 247);
  EXPECT_EQ(service_nvm_get_hwmodel_from_nvm(version, 31), 247);
  EXPECT_EQ(service_nvm_get_cli_ver_from_nvm(version, 31), 247);
  ASSERT_EQ(service_nvm_get_cli_ver_from_nvm(version, 32), 0);
  EXPECT_STREQ(version, "1.5.15");
}

TEST_F(Nvm, PasswordLengthIsBoundedWhateverTheStoredBytes) {
  // A record whose password field holds no terminator.
  Bytes stored = expected_default_record(true);
  std::fill(stored.begin() + 457, stored.begin() + 466, 'x');
  std::fill(stored.begin() + 466, stored.begin() + 468, 'y');  // padding after the field
  fake::port.flash_put(cfg, stored);
  service_nvm_init_config();
  char passwd[9];
  EXPECT_EQ(service_nvm_get_serial_passwd_from_nvm(passwd, 9), 8);
}

TEST_F(Nvm, BoolFieldsReadAsTruthValuesWhateverTheStoredByte) {
  // A record cut short while it was written, or with bytes still erased:
  // every byte but 0 reads as true, 0 as false.
  struct Case {
    const char *name;
    size_t offset;
    bool (*get)();
  };
  const Case cases[] = {
      {"crypt_enable", offsetof(PRE_qiv_cfg_t, g_lora_p2p_cfg_t.crypt_enable),
       service_nvm_get_crypt_enable_from_nvm},
      {"adr", offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.adr), service_nvm_get_adr_from_nvm},
      {"pub_nwk_mode", offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.pub_nwk_mode),
       service_nvm_get_pub_nwk_mode_from_nvm},
      {"join_start", offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.join_start),
       service_nvm_get_join_start_from_nvm},
      {"auto_join", offsetof(PRE_qiv_cfg_t, g_lora_cfg_t.auto_join),
       service_nvm_get_auto_join_from_nvm},
      {"iqinverted", offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.iqinverted),
       service_nvm_get_iqinverted_from_nvm},
      {"fix_length_payload", offsetof(PRE_qiv_cfg_t, g_qiv_cfg_ex.fix_length_payload),
       service_nvm_get_fix_length_payload_from_nvm},
  };
  for (const Case &c : cases) {
    for (uint8_t byte : {0x00, 0x01, 0x02, 0x80, 0xFE}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(byte));
      core_test::boot();
      Bytes stored = expected_default_record(true);
      stored[c.offset] = byte;
      fake::port.flash_put(cfg, stored);
      service_nvm_init_config();
      EXPECT_EQ(c.get() ? 1 : 0, byte != 0 ? 1 : 0);
    }
  }
}

TEST_F(Nvm, BandwidthFollowsTheWorkMode) {
  struct Case {
    SERVICE_LORA_WORK_MODE mode;
    uint16_t stored_bandwidth;
    uint32_t stored_fsk_rxbw;
    uint32_t read_back;
  };
  const Case cases[] = {
      {SERVICE_LORA_P2P, 125, 20000, 125},
      {SERVICE_LORA_FSK, 0, 125, 125},
      {SERVICE_LORAWAN, 0, 20000, 20000},
  };
  for (Case const &c : cases) {
    core_test::boot();
    service_nvm_set_nwm_to_nvm(c.mode);
    int const erases = fake::port.total_erases();
    EXPECT_EQ(service_nvm_set_bandwidth_to_nvm(125), 0);
    EXPECT_EQ(service_nvm_get_bandwidth_from_nvm(), c.read_back);
    EXPECT_EQ(flash_bytes(cfg + 18, 2), le16(c.stored_bandwidth));
    EXPECT_EQ(flash_bytes(cfg + 44, 4), le32(c.stored_fsk_rxbw));
    if (c.mode == SERVICE_LORAWAN) {
      EXPECT_EQ(fake::port.total_erases(), erases);  // a write of unchanged bytes
    }
  }
}

TEST_F(Nvm, ChannelMaskAndMulticastSessions) {
  uint16_t const mask[6] = {0x00FF, 0x0100, 0, 0, 0, 0x0002};
  ASSERT_EQ(service_nvm_set_mask_to_nvm(mask), 0);
  uint16_t out[6] = {};
  EXPECT_EQ(service_nvm_get_mask_from_nvm(out), 0);
  EXPECT_EQ(memcmp(out, mask, sizeof(mask)), 0);
  EXPECT_EQ(flash_bytes(cfg + 162, 4), (Bytes{0xFF, 0x00, 0x00, 0x01}));

  McSession_t sessions[4] = {};
  sessions[3].Address = 0x26011234;
  sessions[3].entry = 4;
  ASSERT_EQ(service_nvm_set_multicast_to_nvm(sessions), 0);
  EXPECT_EQ(service_nvm_get_multicast_from_nvm()[3].Address, 0x26011234u);
  EXPECT_EQ(flash_bytes(cfg + 220 + 3 * 52 + 4, 4), le32(0x26011234));
}

TEST_F(Nvm, MacBlockGroupsAndDevNonce) {
  service_lora_mac_nvm_data_init();
  Bytes group(SERVICE_NVM_MACGROUP2_SIZE, 0x3C);
  ASSERT_EQ(service_nvm_set_macgroup2_to_nvm(group.data()), 0);
  EXPECT_EQ(flash_bytes(mac_block + 88, group.size()), group);
  EXPECT_EQ(static_cast<uint8_t *>(service_nvm_get_macgroup2_from_nvm())[0], 0x3C);

  Bytes channels(SERVICE_NVM_REGIONCHANNELS_SIZE, 0x11);
  ASSERT_EQ(service_nvm_set_regionchannels_to_nvm(channels.data()), 0);
  EXPECT_EQ(flash_bytes(mac_block + 892, channels.size()), channels);

  ASSERT_EQ(service_nvm_set_DevNonce_to_nvm(0x0203), 0);
  EXPECT_EQ(service_nvm_get_DevNonce_from_nvm(), 0x0203);
  EXPECT_EQ(flash_bytes(mac_block + 4, 2), le16(0x0203));
  EXPECT_EQ(flash_bytes(cfg, 4), Bytes(4, 0xFF));  // the record is not written

  // Emptying the block (band change, defaults) keeps the nonce: a network
  // refuses a join request that repeats one.
  service_lora_mac_nvm_data_reset();
  ASSERT_EQ(service_nvm_set_lora_nvm_data_to_nvm(), 0);
  EXPECT_EQ(flash_bytes(mac_block + 88, 4), Bytes(4, 0));
  EXPECT_EQ(flash_bytes(mac_block + 4, 2), le16(0x0203));
  service_nvm_set_default_config_to_nvm();
  EXPECT_EQ(service_nvm_get_DevNonce_from_nvm(), 0x0203);
}

TEST_F(Nvm, FailedWriteKeepsTheNewValueInRamUntilTheNextWrite) {
  fake::port.fail_program_at = cfg;
  EXPECT_EQ(service_nvm_set_baudrate_to_nvm(57600), -7);
  EXPECT_EQ(service_nvm_set_rx2fq_to_nvm(869525000), 0xFFFFFFF9u);
  EXPECT_EQ(service_nvm_set_auto_sleep_level_to_nvm(2), 249);
  EXPECT_EQ(service_nvm_get_baudrate_from_nvm(), 57600u);
  fake::port.fail_program_at = UINT32_MAX;
  ASSERT_EQ(service_nvm_set_atcmd_echo_to_nvm(1), 0);
  EXPECT_EQ(flash_bytes(cfg + 452, 4), le32(57600));
  EXPECT_EQ(flash_bytes(cfg + 200, 4), le32(869525000));
}

}  // namespace

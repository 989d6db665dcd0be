// A module updated from earlier firmware: its flash file holds the record
// page the earlier firmware wrote, in one of the three older layouts (built
// here from those layouts' tables, word 0 a CRC-32 computed with zlib or the
// version-3 marker after the record). The module answers the AT queries with
// the old settings; the record reaches flash, in the current layout, only
// through a setter, and is from then on read as it is.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "systest/world.h"

namespace {

using Bytes = std::vector<uint8_t>;
using systest::Device;
using systest::World;

constexpr const char* kImage = "brisola-t";
constexpr int kAtPort = 2;  // UART2
constexpr uint32_t kFlashBase = 0x08000000;
constexpr size_t kFlashSize = 256 * 1024;
constexpr size_t kRecord = 0x0803F000 - kFlashBase;  // offset of the record page in the file
constexpr size_t kPage = 2048;

void put(Bytes& b, size_t off, const Bytes& v) { std::copy(v.begin(), v.end(), b.begin() + off); }
void put(Bytes& b, size_t off, const std::string& s) {
  std::copy(s.begin(), s.end(), b.begin() + off);
}
Bytes le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
uint32_t get32(const Bytes& b, size_t off) {
  return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 |
         uint32_t(b[off + 3]) << 24;
}

struct Old {
  int version;
  std::string alias;
  uint32_t auto_sleep_time = 0;  // milliseconds in the older firmware
  uint32_t baud = 115200;
};

// The record page of an STM32WLE5 module as firmware of `version` wrote it.
Bytes old_record(const Old& o) {
  const size_t shift = o.version == 1 ? 0 : 4;  // versions 2 and 3 store the port lock
  Bytes r(o.version == 3 ? 508 : 500 + shift, 0);
  r[4] = 1;  // LoRaWAN
  // P2P settings (from byte 8).
  put(r, 8, le32(868000000));
  r[12] = 7;                // spreading factor
  put(r, 18, le16(8));      // preamble
  r[20] = 14;               // dBm
  put(r, 32, le32(4915));   // FSK bit rate
  put(r, 36, le32(5000));   // deviation
  put(r, 40, le32(20000));  // FSK bandwidth
  // LoRaWAN settings (from byte 44).
  r[44] = 5;                     // EU868
  r[44 + 126] = 1;               // OTAA
  put(r, 44 + 136, le32(5000));  // join delays and receive delays
  put(r, 44 + 140, le32(6000));
  put(r, 44 + 144, le32(1000));
  put(r, 44 + 148, le32(2000));
  // Serial ports: UART0 and UART1 custom, UART2 AT; all open.
  put(r, 440, Bytes{1, 1, 0});
  put(r, 444 + shift, le32(o.baud));
  put(r, 460 + shift, le32(o.auto_sleep_time));
  put(r, 45, Bytes{0x70, 0xB3, 0xD5, 0x7E, 0xD0, 0x00, 0x12, 0x34});  // DevEUI
  put(r, 449 + shift, std::string("old1234"));
  put(r, 464 + shift, std::string("SN-OLD-0001"));
  put(r, 482 + shift, o.alias);
  if (o.version == 3) {
    put(r, 504, le32(0xEDD1E));
  } else {
    put(r, 0,
        le32(static_cast<uint32_t>(crc32(0L, r.data() + 4, static_cast<uInt>(r.size() - 4)))));
  }
  return r;
}

Bytes flash_with(const Bytes& record) {
  Bytes f(kFlashSize, 0xFF);
  put(f, kRecord, record);
  return f;
}

Device& start(World& w, const Bytes& flash) {
  systest::DeviceOptions o;
  o.image = kImage;
  o.ports = {1, kAtPort};
  o.pins = {{"PB12", 1}};
  o.initial_flash = flash;
  Device& d = w.start("m", std::move(o));
  EXPECT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
  d.world().run_for(systest::ms(200));
  d.take(kAtPort);
  return d;
}

testing::AssertionResult query(Device& d, const std::string& cmd, const std::string& value) {
  d.write(kAtPort, cmd + "=?\r\n");
  return d.expect_lines(kAtPort, {cmd + "=" + value, "OK"});
}

// The record page holds the current layout with the old settings and `alias`.
void expect_current_record(const Bytes& flash, const std::string& alias) {
  ASSERT_EQ(flash.size(), kFlashSize);
  EXPECT_EQ(get32(flash, kRecord + 0), 0xAABBCCDDu);
  EXPECT_EQ(get32(flash, kRecord + 4), 4u);
  EXPECT_EQ(get32(flash, kRecord + 452), 115200u);  // baud rate
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&flash[kRecord + 457])), "old1234");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&flash[kRecord + 472])), "SN-OLD-0001");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&flash[kRecord + 490])), alias);
  EXPECT_EQ(Bytes(&flash[kRecord + 444], &flash[kRecord + 450]), (Bytes{1, 1, 0, 0, 0, 0}));
  EXPECT_EQ(flash[kRecord + 624], 1) << "auto-sleep level";
  EXPECT_EQ(flash[kRecord + 659], 0) << "a migrated record has the certification port off";
}

// The record's area is its two pages: the record and its second copy.
bool same_outside_record_page(const Bytes& a, const Bytes& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.begin() + kRecord, b.begin()) &&
         std::equal(a.begin() + kRecord + 2 * kPage, a.end(), b.begin() + kRecord + 2 * kPage);
}

TEST(Migration, OldSettingsAnswerAndAreStoredInTheCurrentLayout) {
  if (!systest::image_available(kImage)) GTEST_SKIP() << kImage << " is not built";
  for (const Old& o : {Old{1, "unit of v1"}, Old{2, "unit of v2"}, Old{3, "unit of v3"}}) {
    SCOPED_TRACE("version " + std::to_string(o.version));
    World w;
    const Bytes flash = flash_with(old_record(o));
    Device& d = start(w, flash);
    EXPECT_TRUE(query(d, "AT+ALIAS", o.alias));
    EXPECT_TRUE(query(d, "AT+SN", "SN-OLD-0001"));
    EXPECT_TRUE(query(d, "AT+PWORD", "old1234"));
    EXPECT_TRUE(query(d, "AT+BAUD", "115200"));
    // Settings the older layouts lack get the values of their time.
    EXPECT_TRUE(query(d, "AT+LPMLVL", "1"));
    EXPECT_TRUE(query(d, "AT+DEBUG", "0"));
    EXPECT_TRUE(query(d, "AT+HWMODEL", "Brisola-T"));
    EXPECT_TRUE(query(d, "AT+CLIVER", "1.5.15"));

    // Loading changes nothing in flash. The only write a start may make is
    // the user program's: the default one stores the console's baud rate in
    // setup(), a setter call, which stores the whole record in the current
    // layout with the same settings.
    Bytes now = d.flash();
    EXPECT_TRUE(same_outside_record_page(now, flash))
        << "a page other than the record's was written";
    if (!std::equal(flash.begin() + kRecord, flash.begin() + kRecord + kPage,
                    now.begin() + kRecord)) {
      expect_current_record(now, o.alias);
    }

    // A setting changed over the AT port stores the record in the current
    // layout, which later starts read as it is.
    d.write(kAtPort, "AT+ALIAS=renamed\r\n");
    EXPECT_TRUE(d.expect_lines(kAtPort, {"OK"}));
    now = d.flash();
    expect_current_record(now, "renamed");
    EXPECT_TRUE(same_outside_record_page(now, flash));

    d.restart();
    EXPECT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
    w.run_for(systest::ms(200));
    d.take(kAtPort);
    EXPECT_TRUE(query(d, "AT+ALIAS", "renamed"));
    EXPECT_TRUE(query(d, "AT+PWORD", "old1234"));
    EXPECT_EQ(d.flash_counters().erases, 0u);
  }
}

// A field that the older firmware could store but today's cannot run on
// takes its default; everything else the user stored is kept, the network
// identity above all. The auto-sleep time of older firmware (milliseconds)
// switches today's automatic sleep on.
TEST(Migration, AFieldTodaysFirmwareCannotRunOnIsReplacedAndTheRestKept) {
  if (!systest::image_available(kImage)) GTEST_SKIP() << kImage << " is not built";
  struct Case {
    const char* what;
    Old old;
    const char* lpm;
  } cases[] = {
      {"an auto-sleep time of 5000 ms", Old{3, "sleepy", 5000, 115200}, "1"},
      {"an auto-sleep time of 1 ms", Old{2, "sleepy", 1, 115200}, "1"},
      {"a baud rate of 230400", Old{3, "fast", 0, 230400}, "0"},
      {"a baud rate of 0", Old{1, "zero", 0, 0}, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    World w;
    const Bytes flash = flash_with(old_record(c.old));
    Device& d = start(w, flash);
    EXPECT_TRUE(query(d, "AT+ALIAS", c.old.alias));
    EXPECT_TRUE(query(d, "AT+PWORD", "old1234"));
    EXPECT_TRUE(query(d, "AT+SN", "SN-OLD-0001"));
    EXPECT_TRUE(query(d, "AT+DEVEUI", "70B3D57ED0001234"));
    EXPECT_TRUE(query(d, "AT+LPM", c.lpm));
    EXPECT_TRUE(query(d, "AT+BAUD", "115200"));
    // The first setter stores the migrated settings, which a restart reads.
    d.write(kAtPort, "AT+ALIAS=renamed\r\n");
    EXPECT_TRUE(d.expect_lines(kAtPort, {"OK"}));
    d.restart();
    EXPECT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
    w.run_for(systest::ms(200));
    d.take(kAtPort);
    EXPECT_TRUE(query(d, "AT+PWORD", "old1234"));
    EXPECT_TRUE(query(d, "AT+DEVEUI", "70B3D57ED0001234"));
  }
}

}  // namespace

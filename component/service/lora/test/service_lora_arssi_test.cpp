// The per-channel RSSI listing over a stand-in information base that
// answers the channel mask.
#include <gtest/gtest.h>

#include <vector>

#include "service_lora_lorawan.h"
#include "udrv_errno.h"

namespace {

uint16_t g_mask[6] = {};
bool g_mib_fails = false;

// The whole listing from where the cursor is: the entries up to the end.
std::vector<chan_rssi> list_all() {
  std::vector<chan_rssi> out;
  chan_rssi entry{};
  int32_t ret;
  while ((ret = service_lora_get_arssi(&entry)) == -UDRV_CONTINUE) {
    out.push_back(entry);
    if (out.size() > 200) break;
  }
  EXPECT_EQ(ret, 0);
  return out;
}

// The table as at start (every record 0) and no listing in progress.
class ServiceLoraArssi : public ::testing::Test {
 protected:
  void SetUp() override {
    g_mib_fails = false;
    for (uint8_t c = 0; c < 96; ++c) {
      service_lora_arssi_tx_callback(c);
      service_lora_arssi_rx_callback(0);
    }
    chan_rssi entry{};
    for (int i = 0; i < 200 && service_lora_get_arssi(&entry) == -UDRV_CONTINUE; ++i) {
    }
  }
};

}  // namespace

LoRaMacStatus_t LoRaMacMibGetRequestConfirm(MibRequestConfirm_t *mib) {
  if (g_mib_fails || mib->Type != MIB_CHANNELS_MASK) {
    return LORAMAC_STATUS_SERVICE_UNKNOWN;
  }
  mib->Param.ChannelsMask = g_mask;
  return LORAMAC_STATUS_OK;
}

TEST_F(ServiceLoraArssi, ListsEveryChannelOnceThenStartsAgain) {
  g_mask[0] = 0x0207;  // channels 0, 1, 2 and 9
  std::vector<chan_rssi> first = list_all();
  ASSERT_EQ(first.size(), 96u);
  for (uint32_t c = 0; c < 96; ++c) {
    EXPECT_EQ(first[c].chan, c);
    EXPECT_EQ(first[c].rssi, 0);
    const bool enabled = c <= 2 || c == 9;
    EXPECT_EQ(first[c].mask != 0, enabled) << c;
  }
  EXPECT_EQ(first[9].mask, 0x0200);
  // The next call starts again at channel 0.
  EXPECT_EQ(list_all().size(), 96u);

  // A downlink after an uplink on channel 9 is recorded there; one weaker
  // than the table holds lists at its floor, not wrapped.
  service_lora_arssi_tx_callback(9);
  service_lora_arssi_rx_callback(-80);
  service_lora_arssi_tx_callback(2);
  service_lora_arssi_rx_callback(-130);
  std::vector<chan_rssi> second = list_all();
  ASSERT_EQ(second.size(), 96u);
  EXPECT_EQ(second[9].rssi, -80);
  EXPECT_EQ(second[2].rssi, -128);
  EXPECT_EQ(last_tx_channel, 2);
}

TEST_F(ServiceLoraArssi, ARecordChangedUnderTheCursorStartsTheListingAgain) {
  chan_rssi entry{};
  for (uint32_t c = 0; c <= 4; ++c) {
    ASSERT_EQ(service_lora_get_arssi(&entry), -UDRV_CONTINUE);
  }
  ASSERT_EQ(entry.chan, 4u);
  service_lora_arssi_tx_callback(4);
  service_lora_arssi_rx_callback(-60);
  ASSERT_EQ(service_lora_get_arssi(&entry), -UDRV_CONTINUE);
  EXPECT_EQ(entry.chan, 0u);
  EXPECT_EQ(list_all().size(), 95u);  // channels 1 to 95 remain
}

TEST_F(ServiceLoraArssi, UnreadableMaskIsAnInternalError) {
  g_mib_fails = true;
  chan_rssi entry{0x12345678u, 0, 0};
  EXPECT_EQ(service_lora_get_arssi(&entry), -UDRV_INTERNAL_ERR);
  EXPECT_EQ(entry.chan, 0x12345678u);
}

// The long-packet fragmenter over stand-ins of the MAC's payload room and of
// the LoRaWAN service's send: fragment sizes when the room is small, wrapped
// or changes in mid-transfer, resends, refusals and the retry timer.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "LoRaMac.h"
#include "service_lora_longpacket.h"
#include "service_lora_lorawan_internal.h"
#include "timer.h"
#include "udrv_errno.h"
#include "udrv_system.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t g_room = 51;
std::vector<int32_t> g_send_results;  // the next results of the send, then 0
std::vector<Bytes> g_sent;
std::vector<SERVICE_LORA_SEND_INFO> g_info;
uint8_t g_retry = 2;
bool g_timer_running = false;
void (*g_timer_callback)(void *) = nullptr;
int g_events = 0;

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  return b;
}

struct Frag {
  uint8_t header, magic, to_come, serial;
  Bytes data;
};

Frag parse(const Bytes &p) {
  if (p.size() < 6) {
    ADD_FAILURE() << "fragment of " << p.size() << " bytes";
    return {};
  }
  EXPECT_EQ(p[4] + 6u, p.size());
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < p.size(); ++i) sum = static_cast<uint8_t>(sum + p[i]);
  EXPECT_EQ(sum, p.back());
  return {p[0], p[1], p[2], p[3], Bytes(p.begin() + 5, p.end() - 1)};
}

// Confirms every fragment as it goes out until the transfer ends; returns
// the packet put together from the fragments.
Bytes run_transfer(std::vector<Frag> *frags = nullptr) {
  std::map<uint8_t, Bytes> parts;
  for (size_t i = 0; i < g_sent.size() + 1 && i < 2000; ++i) {
    if (i >= g_sent.size()) break;
    Frag f = parse(g_sent[i]);
    parts[f.serial] = f.data;
    if (frags) frags->push_back(f);
    service_lora_lptp_send_callback(0);
  }
  Bytes out;
  for (auto &[serial, data] : parts) out.insert(out.end(), data.begin(), data.end());
  return out;
}

class LongPacketService : public ::testing::Test {
 protected:
  void SetUp() override {
    // Ends a transfer a previous case left running.
    for (int i = 0; i < 300 && service_lora_lptp_busy(); ++i) service_lora_lptp_send_callback(0);
    g_room = 51;
    g_send_results.clear();
    g_sent.clear();
    g_info.clear();
    g_retry = 2;
    g_events = 0;
    DutyCycleWaitTime = 0;
  }
};

}  // namespace

TimerTime_t DutyCycleWaitTime = 0;

uint16_t GetMaxAppPayloadWithFOptsLength(void) { return g_room; }

int32_t service_lora_send(uint8_t *buff, uint32_t len, SERVICE_LORA_SEND_INFO info, bool) {
  int32_t ret = 0;
  if (!g_send_results.empty()) {
    ret = g_send_results.front();
    g_send_results.erase(g_send_results.begin());
  }
  if (ret == 0) {
    g_sent.emplace_back(buff, buff + len);
    g_info.push_back(info);
  }
  return ret;
}

uint8_t service_nvm_get_retry_from_nvm(void) { return g_retry; }
uint32_t udrv_system_random(uint32_t) { return 255; }
int32_t udrv_system_event_produce(udrv_system_event_t *) {
  ++g_events;
  return 0;
}
void TimerInit(TimerEvent_t *, void (*callback)(void *)) { g_timer_callback = callback; }
void TimerStart(TimerEvent_t *) { g_timer_running = true; }
void TimerStop(TimerEvent_t *) { g_timer_running = false; }
void TimerSetValue(TimerEvent_t *, uint32_t) { g_timer_running = false; }

// Every length up to the limit comes out whole, at small and large rooms; a
// 1024-byte packet at DR5's room of 242 bytes goes in 216-byte fragments.
TEST_F(LongPacketService, FragmentsAndReassembles) {
  struct Case {
    uint16_t room;
    size_t size;
    size_t fragments;
  };
  const Case cases[] = {{51, 0, 1},    {51, 1, 1},     {51, 10, 1},     {51, 45, 1},   {51, 46, 2},
                        {242, 500, 3}, {242, 1024, 5}, {11, 1024, 205}, {222, 1024, 6}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.room) + " bytes of room, " + std::to_string(c.size) + " bytes");
    SetUp();
    g_room = c.room;
    const Bytes packet = pattern(c.size);
    ASSERT_EQ(service_lora_lptp_send(2, false, packet.data(), static_cast<uint16_t>(c.size)), 0);
    std::vector<Frag> frags;
    EXPECT_EQ(run_transfer(&frags), packet);
    ASSERT_EQ(frags.size(), c.fragments);
    for (size_t i = 0; i < frags.size(); ++i) {
      EXPECT_EQ(frags[i].header, 0x01);
      EXPECT_EQ(frags[i].magic, 0xFF);
      EXPECT_EQ(frags[i].serial, i + 1);
      EXPECT_EQ(frags[i].to_come, frags.size() - 1 - i);
    }
    EXPECT_FALSE(service_lora_lptp_busy());
    EXPECT_FALSE(g_info.front().confirm_valid && g_info.front().confirm == SERVICE_LORA_ACK);
  }
  // The example of the fragment layout: 10 bytes in one 16-byte fragment.
  SetUp();
  const Bytes ten = pattern(10);
  ASSERT_EQ(service_lora_lptp_send(2, true, ten.data(), 10), 0);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0].size(), 16u);
  EXPECT_TRUE(g_info[0].confirm_valid);
  EXPECT_EQ(g_info[0].confirm, SERVICE_LORA_ACK);
  service_lora_lptp_send_callback(0);
}

// Room for no data byte (6 bytes or less, 0 when the pending MAC commands
// fill the payload), or more fragments than the 8-bit serial numbers count:
// refused, nothing sent. A wrapped room never overruns the fragment buffer.
TEST_F(LongPacketService, SizesThatCannotBeFragmentedAreRefused) {
  const Bytes packet = pattern(1024);
  struct Case {
    uint16_t room;
    uint16_t size;
    int32_t result;
  };
  const Case cases[] = {
      {0, 1, -UDRV_WRONG_ARG},   {6, 1, -UDRV_WRONG_ARG},
      {6, 0, -UDRV_WRONG_ARG},   {7, 255, 0},
      {7, 256, -UDRV_WRONG_ARG}, {8, 510, 0},
      {8, 511, -UDRV_WRONG_ARG}, {11, 1024, 0},
      {65535, 1024, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.room) + " bytes of room, " + std::to_string(c.size) + " bytes");
    SetUp();
    g_room = c.room;
    EXPECT_EQ(service_lora_lptp_send(2, false, packet.data(), c.size), c.result);
    if (c.result != 0) {
      EXPECT_TRUE(g_sent.empty());
      EXPECT_FALSE(service_lora_lptp_busy());
      continue;
    }
    std::vector<Frag> frags;
    EXPECT_EQ(run_transfer(&frags), Bytes(packet.begin(), packet.begin() + c.size));
    for (const Frag &f : frags) EXPECT_LE(f.data.size(), 249u);
  }
  SetUp();
  EXPECT_EQ(service_lora_lptp_send(0, false, packet.data(), 1), -UDRV_WRONG_ARG);
  EXPECT_EQ(service_lora_lptp_send(224, false, packet.data(), 1), -UDRV_WRONG_ARG);
  EXPECT_EQ(service_lora_lptp_send(2, false, packet.data(), 1025), -UDRV_WRONG_ARG);
  EXPECT_TRUE(g_sent.empty());
}

// A data-rate change in mid-transfer changes the size of the fragments still
// to send: no byte is sent twice, the packet is whole; a fragment whose room
// vanishes in mid-transfer ends the transfer instead of overrunning.
TEST_F(LongPacketService, RoomChangeInMidTransfer) {
  const Bytes packet = pattern(300);
  ASSERT_EQ(service_lora_lptp_send(3, false, packet.data(), 300), 0);  // 45 a fragment
  g_room = 242;  // 216 a fragment: the remaining 255 bytes in two
  service_lora_lptp_send_callback(0);
  service_lora_lptp_send_callback(0);
  service_lora_lptp_send_callback(0);
  EXPECT_FALSE(service_lora_lptp_busy());
  ASSERT_EQ(g_sent.size(), 3u);
  std::vector<Frag> f;
  Bytes joined;
  for (const Bytes &s : g_sent) {
    f.push_back(parse(s));
    joined.insert(joined.end(), f.back().data.begin(), f.back().data.end());
  }
  EXPECT_EQ(joined, packet);
  EXPECT_EQ(f[0].to_come, 6);
  EXPECT_EQ(f[1].to_come, 1);
  EXPECT_EQ(f[1].data.size(), 216u);
  EXPECT_EQ(f[2].to_come, 0);
  EXPECT_EQ(f[2].serial, 3);

  SetUp();
  ASSERT_EQ(service_lora_lptp_send(3, false, packet.data(), 300), 0);
  g_room = 3;
  service_lora_lptp_send_callback(0);
  EXPECT_FALSE(service_lora_lptp_busy());
  EXPECT_EQ(g_sent.size(), 1u);
}

// A failed fragment goes again with the retry flag, as often as the stored
// retry count allows; then the transfer ends. The service's own resend is
// not asked for: the fragment's resend is this one.
TEST_F(LongPacketService, FailedFragmentIsSentAgainWithTheRetryFlag) {
  g_retry = 1;
  const Bytes packet = pattern(100);
  ASSERT_EQ(service_lora_lptp_send(4, true, packet.data(), 100), 0);
  EXPECT_TRUE(g_info[0].retry_valid);
  EXPECT_EQ(g_info[0].retry, 0);
  service_lora_lptp_send_callback(0);  // fragment 1 acknowledged
  service_lora_lptp_send_callback(5);  // fragment 2 not acknowledged
  service_lora_lptp_send_callback(0);  // its resend is
  service_lora_lptp_send_callback(5);  // fragment 3 fails
  service_lora_lptp_send_callback(5);  // and fails again: no resend left
  ASSERT_EQ(g_sent.size(), 5u);
  const uint8_t headers[] = {0x01, 0x01, 0x03, 0x01, 0x03};
  const uint8_t serials[] = {1, 2, 2, 3, 3};
  for (size_t i = 0; i < 5; ++i) {
    Frag f = parse(g_sent[i]);
    EXPECT_EQ(f.header, headers[i]) << i;
    EXPECT_EQ(f.serial, serials[i]) << i;
  }
  EXPECT_EQ(parse(g_sent[2]).data, parse(g_sent[1]).data);
  EXPECT_FALSE(service_lora_lptp_busy());
  service_lora_lptp_send_callback(0);
  EXPECT_EQ(g_sent.size(), 5u);
}

// A refused first fragment ends the transfer: a later uplink's end does not
// start sending it. A refused later fragment waits for the retry timer
// instead of being skipped.
TEST_F(LongPacketService, RefusedSends) {
  const Bytes packet = pattern(100);
  g_send_results = {-UDRV_NO_WAN_CONNECTION};
  EXPECT_EQ(service_lora_lptp_send(2, false, packet.data(), 100), -UDRV_NO_WAN_CONNECTION);
  EXPECT_FALSE(service_lora_lptp_busy());
  service_lora_lptp_send_callback(0);
  EXPECT_TRUE(g_sent.empty());

  ASSERT_EQ(service_lora_lptp_send(2, false, packet.data(), 100), 0);
  g_send_results = {-UDRV_BUSY, -UDRV_BUSY};
  service_lora_lptp_send_callback(0);
  EXPECT_EQ(g_sent.size(), 1u);
  EXPECT_TRUE(g_timer_running);
  // The end of an uplink that is not this transfer's moves nothing.
  service_lora_lptp_send_callback(0);
  EXPECT_EQ(g_sent.size(), 1u);
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_NE(g_timer_callback, nullptr);
    g_timer_callback(nullptr);
    EXPECT_GT(g_events, 0);
    service_lora_lptp_process();
  }
  ASSERT_EQ(g_sent.size(), 2u);
  EXPECT_EQ(parse(g_sent[1]).serial, 2);
  EXPECT_EQ(parse(g_sent[1]).header, 0x01);
  service_lora_lptp_send_callback(0);
  service_lora_lptp_send_callback(0);
  EXPECT_FALSE(service_lora_lptp_busy());
  Bytes joined;
  for (const Bytes &s : g_sent) {
    Frag f = parse(s);
    joined.insert(joined.end(), f.data.begin(), f.data.end());
  }
  EXPECT_EQ(joined, packet);
}

// A Brisola-T (high band, EU868) and the test network: OTAA join, uplinks,
// downlinks, ABP with its session kept across a power cycle, confirmed
// uplinks with and without acknowledgement.
#include <gtest/gtest.h>

#include <string>

#include "network/gateway.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using systest::sec;

constexpr int kAt = 2;
const Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const Key kNwkSKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                      0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00};
const Key kAppSKey = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                      0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
constexpr uint32_t kDevAddr = 0x26011234;

class LoRaWan : public ::testing::Test {
 protected:
  void SetUp() override {
    systest::DeviceOptions o;
    o.image = "brisola-t";
    o.pins = {{"PB12", 1}};
    d_ = &w_.start("a", o);
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  }

  // One command and its reply word.
  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    return d_->wait_line(kAt, reply, sec(2));
  }

  void otaa_identity() {
    DeviceEntry e;
    e.name = "a";
    e.dev_eui = 0x0202020202020202ull;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = kAppKey;
    ns_.add_device(e);
    ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
    ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
    ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  }

  void join() {
    ASSERT_TRUE(at("AT+JOIN=1:0:10:8"));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(15)));
  }

  // The uplinks of the device the network decoded since `from`.
  std::optional<UplinkRecord> uplink(size_t from, time_us timeout = sec(5)) {
    return wait_uplink(w_.master(), ns_, from, [](const UplinkRecord& r) { return r.device == "a"; }, timeout);
  }

  systest::World w_;
  NetworkServer ns_{RegionId::kEU868};
  Gateway gw_{ns_, w_.master()};
  systest::Device* d_ = nullptr;
};

TEST_F(LoRaWan, JoinSendAndReceiveADownlink) {
  otaa_identity();
  ASSERT_TRUE(at("AT+SEND=2:1234", "AT_NO_NETWORK_JOINED"));
  join();
  ASSERT_TRUE(at("AT+NJS=?", "AT+NJS=1"));

  // An unconfirmed uplink with nothing to answer.
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:1234"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->mtype, MType::kUnconfirmedUp);
  ASSERT_TRUE(up->fport);
  EXPECT_EQ(*up->fport, 2);
  EXPECT_EQ(up->payload, (Bytes{0x12, 0x34}));
  EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));

  // A downlink queued at the network comes in RX1 after the next uplink:
  // the exchange is reported over, then what came.
  ns_.queue_downlink("a", 2, Bytes{0x12, 0x34});
  ASSERT_TRUE(at("AT+SEND=3:AB"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  std::optional<std::string> rx = d_->next_line(kAt, sec(1));
  ASSERT_TRUE(rx);
  const std::string prefix = "+EVT:RX_1:";
  const std::string suffix = ":UNICAST:2:1234";
  ASSERT_EQ(rx->rfind(prefix, 0), 0u) << *rx;
  ASSERT_GT(rx->size(), prefix.size() + suffix.size());
  EXPECT_EQ(rx->substr(rx->size() - suffix.size()), suffix) << *rx;
  // The signal printed is the one the readings give.
  const std::string signal = rx->substr(prefix.size(), rx->size() - prefix.size() - suffix.size());
  const size_t colon = signal.find(':');
  ASSERT_NE(colon, std::string::npos);
  EXPECT_TRUE(at("AT+RSSI=?", "AT+RSSI=" + signal.substr(0, colon)));
  EXPECT_TRUE(at("AT+SNR=?", "AT+SNR=" + signal.substr(colon + 1)));
  // The last downlink is read once.
  EXPECT_TRUE(at("AT+RECV=?", "AT+RECV=2:1234"));
  EXPECT_TRUE(at("AT+RECV=?", "AT+RECV=0:"));
}

// A network refuses a join request whose DevNonce it has seen: neither a
// restart nor a restore of the factory settings sets the nonce back.
TEST_F(LoRaWan, DevNonceIsNeverSetBack) {
  otaa_identity();
  join();
  ASSERT_EQ(ns_.uplinks().size(), 1u);
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  join();
  d_->write(kAt, "ATR\r\n");
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(5)));
  ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
  ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
  ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  join();
  ASSERT_EQ(ns_.uplinks().size(), 3u);
  for (const UplinkRecord& r : ns_.uplinks()) {
    EXPECT_EQ(r.mtype, MType::kJoinRequest);
    EXPECT_EQ(r.status, "ok");
  }
}

// Replies of the commands to values they refuse or take, and settings that
// stay after a restart.
TEST_F(LoRaWan, CommandReplies) {
  struct Case {
    const char* command;
    const char* reply;
  };
  const Case cases[] = {
      {"AT+DEVEUI=020202020202020", "AT_PARAM_ERROR"},
      {"AT+DEVEUI=02020202020202020", "AT_PARAM_ERROR"},
      {"AT+DEVEUI=020202020202020g", "AT_PARAM_ERROR"},
      {"AT+DEVEUI=00112233aabbccdd", "OK"},
      {"AT+DEVEUI=?", "AT+DEVEUI=00112233AABBCCDD"},
      {"AT+SEND=0:1234", "AT_PARAM_ERROR"},
      {"AT+SEND=224:1234", "AT_PARAM_ERROR"},
      {"AT+SEND=257:1234", "AT_PARAM_ERROR"},
      {"AT+SEND=2:123", "AT_PARAM_ERROR"},
      {"AT+SEND=2:1234", "AT_NO_NETWORK_JOINED"},
      {"AT+JOIN=1:1:6", "AT_PARAM_ERROR"},
      {"AT+JOIN=1:0:7:0:1", "AT_PARAM_ERROR"},
      {"AT+JOIN=0:0:7:3", "OK"},
      {"AT+JOIN=?", "AT+JOIN=0:0:7:3"},
      {"AT+RETY=8", "AT_PARAM_ERROR"},
      {"AT+RETY=256", "AT_PARAM_ERROR"},
      {"AT+RETY=7", "OK"},
      {"AT+NETID=?", "AT+NETID=000000"},
      {"AT+NETID=000013", "AT_PARAM_ERROR"},
      {"AT+MCROOTKEY=?", "AT_ERROR"},
      {"AT+MCROOTKEY=00112233445566778899AABBCCDDEEFF", "AT_ERROR"},
      {"AT+NJS=?", "AT+NJS=0"},
      {"AT+JN2DL=?", "AT+JN2DL=6"},
      {"AT+JN1DL=6", "AT_PARAM_ERROR"},
      {"AT+JN1DL=4", "OK"},
      {"AT+RX1DL=0", "AT_PARAM_ERROR"},
      {"AT+RX1DL=16", "AT_PARAM_ERROR"},
      {"AT+RX2DL=1", "AT_PARAM_ERROR"},
      {"AT+RX1DL=2", "OK"},
      {"AT+RX2DL=?", "AT+RX2DL=3"},
      {"AT+TXP=16", "AT_PARAM_ERROR"},
      {"AT+TXP=256", "AT_PARAM_ERROR"},
      {"AT+DR=256", "AT_PARAM_ERROR"},
      {"AT+DR=3", "OK"},
      {"AT+DR=?", "AT+DR=3"},
      {"AT+CLASS=D", "AT_PARAM_ERROR"},
      {"AT+CLASS=c", "OK"},
      {"AT+CLASS=?", "AT+CLASS=C"},
      {"AT+LINKCHECK=1:9", "OK"},
      {"AT+LINKCHECK=?", "AT+LINKCHECK=1"},
      {"AT+LBTRSSI=-80", "OK"},
      {"AT+LBTRSSI=?", "AT+LBTRSSI=-80"},
      {"AT+TIMEREQ=1", "AT_NO_NETWORK_JOINED"},
      {"AT+ARSSI=?", "AT+ARSSI=0:0,1:0,2:0"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(at(c.command, c.reply)) << c.command;
  }
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  const Case kept[] = {
      {"AT+JN1DL=?", "AT+JN1DL=4"},
      {"AT+RX1DL=?", "AT+RX1DL=2"},
      {"AT+RX2DL=?", "AT+RX2DL=3"},
      {"AT+DR=?", "AT+DR=3"},
      {"AT+CLASS=?", "AT+CLASS=C"},
      {"AT+RETY=?", "AT+RETY=7"},
  };
  for (const Case& c : kept) {
    EXPECT_TRUE(at(c.command, c.reply)) << c.command;
  }
  // Outside the LoRaWAN work mode only the root key query answers.
  d_->write(kAt, "AT+NWM=0\r\n");
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(5)));
  EXPECT_TRUE(at("AT+DEVEUI=?", "AT_MODE_NO_SUPPORT"));
  EXPECT_TRUE(at("AT+JOIN", "AT_MODE_NO_SUPPORT"));
  EXPECT_TRUE(at("AT+RSSI=?", "AT_MODE_NO_SUPPORT"));
  EXPECT_TRUE(at("AT+MCROOTKEY=?", "AT_ERROR"));
}

TEST_F(LoRaWan, AbpSessionSurvivesAPowerCycle) {
  DeviceEntry e;
  e.name = "a";
  e.otaa = false;
  e.dev_addr = kDevAddr;
  e.keys.fnwk_s_int = e.keys.snwk_s_int = e.keys.nwk_s_enc = kNwkSKey;
  e.keys.app_s = kAppSKey;
  ns_.add_device(e);
  ASSERT_TRUE(at("AT+DEVADDR=26011234"));
  ASSERT_TRUE(at("AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
  ASSERT_TRUE(at("AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
  ASSERT_TRUE(at("AT+NJM=0"));
  // The stored session activates the device at once; AT+JOIN brings no line.
  ASSERT_TRUE(at("AT+NJS=?", "AT+NJS=1"));
  ASSERT_TRUE(at("AT+DEVADDR=?", "AT+DEVADDR=26011234"));
  ASSERT_TRUE(at("AT+JOIN"));

  for (uint32_t fcnt = 0; fcnt < 2; ++fcnt) {
    const sim::FlashCounters flash_before = d_->flash_counters();
    size_t before = ns_.uplinks().size();
    ASSERT_TRUE(at("AT+SEND=5:C0FFEE"));
    std::optional<UplinkRecord> up = uplink(before);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->status, "ok");
    EXPECT_EQ(up->dev_addr, kDevAddr);
    EXPECT_EQ(up->fcnt, fcnt);
    EXPECT_EQ(up->payload, (Bytes{0xC0, 0xFF, 0xEE}));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
    // The changed session groups (counters, MAC state) are written
    // together: one erase of the MAC block's page per exchange.
    ASSERT_TRUE(d_->quiet(kAt, sec(1)));
    if (fcnt == 1) {
      EXPECT_EQ(d_->flash_counters().erases - flash_before.erases, 1u);
    }
  }

  // After a power cycle the frame counter goes on: a network refuses a
  // counter it has seen.
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  ASSERT_TRUE(at("AT+NJS=?", "AT+NJS=1"));
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=5:01"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->fcnt, 2u);
  EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
}

TEST_F(LoRaWan, ConfirmedUplinkAcknowledged) {
  otaa_identity();
  join();
  ASSERT_TRUE(at("AT+CFM=1"));
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=7:CAFE"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->mtype, MType::kConfirmedUp);
  EXPECT_TRUE(d_->wait_line(kAt, "+EVT:SEND_CONFIRMED_OK", sec(10)));
  EXPECT_TRUE(at("AT+CFS=?", "AT+CFS=1"));
}

// With no answer from the network the uplink goes out retry + 1 times, each
// failure reported; a send refused meanwhile changes nothing of what is
// resent.
TEST_F(LoRaWan, ConfirmedUplinkWithoutAnswerIsResent) {
  otaa_identity();
  join();
  ns_.set_window("a", Window::kNone);
  ASSERT_TRUE(at("AT+CFM=1"));
  ASSERT_TRUE(at("AT+RETY=2"));
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=7:CAFE"));
  ASSERT_TRUE(uplink(before));
  ASSERT_TRUE(at("AT+SEND=7:FFFF", "AT_BUSY_ERROR"));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:SEND_CONFIRMED_FAILED(4)", sec(20))) << i;
  }
  EXPECT_TRUE(d_->quiet(kAt, sec(10)));
  EXPECT_TRUE(at("AT+CFS=?", "AT+CFS=0"));
  std::vector<UplinkRecord> sent;
  for (size_t i = before; i < ns_.uplinks().size(); ++i) {
    sent.push_back(ns_.uplinks()[i]);
  }
  ASSERT_EQ(sent.size(), 3u);
  for (const UplinkRecord& r : sent) {
    EXPECT_EQ(r.mtype, MType::kConfirmedUp);
    EXPECT_EQ(r.payload, (Bytes{0xCA, 0xFE}));
  }
}

}  // namespace

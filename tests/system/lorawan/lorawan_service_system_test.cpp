// A Brisola-T (high band, EU868) and the test network: OTAA join, uplinks,
// downlinks, ABP with its session kept across a power cycle, confirmed
// uplinks with and without acknowledgement.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::sec;

constexpr int kAt = 2;

class LoRaWan : public ::testing::Test {
 protected:
  void SetUp() override {
    systest::DeviceOptions o;
    o.image = "brisola-t";
    o.pins = {{"PB12", 1}};
    d_ = &w_.start("a", o);
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  }

  // One command and its reply word; a query's value line is followed by OK,
  // taken with it so that a later command's OK is not matched by it.
  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    testing::AssertionResult r = d_->wait_line(kAt, reply, sec(2));
    if (!r || reply.rfind("AT+", 0) != 0) return r;
    return d_->wait_line(kAt, "OK", sec(2));
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
    return wait_uplink(
        w_.master(), ns_, from, [](const UplinkRecord& r) { return r.device == "a"; }, timeout);
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
      {"AT+JN1DL=?", "AT+JN1DL=4"}, {"AT+RX1DL=?", "AT+RX1DL=2"}, {"AT+RX2DL=?", "AT+RX2DL=3"},
      {"AT+DR=?", "AT+DR=3"},       {"AT+CLASS=?", "AT+CLASS=C"}, {"AT+RETY=?", "AT+RETY=7"},
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
    // The first uplink stores the session with counters reserved ahead of
    // it (the MAC block's two copies, two pages each); the next ones,
    // inside the reserve and with nothing else changed, write nothing.
    ASSERT_TRUE(d_->quiet(kAt, sec(1)));
    EXPECT_EQ(d_->flash_counters().erases - flash_before.erases, fcnt == 0 ? 4u : 0u) << fcnt;
  }

  // After a power cycle the frame counter goes on from the reserve, past
  // every counter sent: a network refuses a counter it has seen.
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  ASSERT_TRUE(at("AT+NJS=?", "AT+NJS=1"));
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=5:01"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->fcnt, 1024u) << "the reserve: 1024 counters ahead of the first uplink";
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

// Every identity and key: what is typed (either case) is read back in
// upper case, and stays after a restart.
TEST_F(LoRaWan, IdentityAndKeysRoundTrip) {
  struct Case {
    const char* name;
    const char* typed;
    const char* stored;
  };
  const Case cases[] = {
      {"AT+DEVEUI", "a1b2c3d4e5f60718", "A1B2C3D4E5F60718"},
      {"AT+APPEUI", "0011223344556677", "0011223344556677"},
      {"AT+APPKEY", "00112233445566778899aabbccddeeff", "00112233445566778899AABBCCDDEEFF"},
      {"AT+NJM", "0", "0"},  // the session credentials read back in ABP only
      {"AT+NWKSKEY", "FFEEDDCCBBAA99887766554433221100", "FFEEDDCCBBAA99887766554433221100"},
      {"AT+APPSKEY", "0f0e0d0c0b0a09080706050403020100", "0F0E0D0C0B0A09080706050403020100"},
      {"AT+DEVADDR", "26abcdef", "26ABCDEF"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(at(std::string(c.name) + "=" + c.typed)) << c.name;
    EXPECT_TRUE(at(std::string(c.name) + "=?", std::string(c.name) + "=" + c.stored)) << c.name;
  }
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  for (const Case& c : cases) {
    EXPECT_TRUE(at(std::string(c.name) + "=?", std::string(c.name) + "=" + c.stored)) << c.name;
  }
}

// In OTAA the session credentials read back are the session's: zeros before
// the join, the network's after it.
TEST_F(LoRaWan, OtaaSessionCredentials) {
  otaa_identity();
  ASSERT_TRUE(at("AT+NWKSKEY=FFEEDDCCBBAA99887766554433221100"));
  EXPECT_TRUE(at("AT+NWKSKEY=?", "AT+NWKSKEY=00000000000000000000000000000000"));
  EXPECT_TRUE(at("AT+DEVADDR=?", "AT+DEVADDR=00000000"));
  join();
  std::optional<uint32_t> addr = ns_.dev_addr("a");
  std::optional<SessionKeys> keys = ns_.session_keys("a");
  ASSERT_TRUE(addr && keys);
  char text[9];
  std::snprintf(text, sizeof text, "%08X", *addr);
  EXPECT_TRUE(at("AT+DEVADDR=?", std::string("AT+DEVADDR=") + text));
  std::string app_s;
  for (uint8_t b : keys->app_s) {
    char t[3];
    std::snprintf(t, sizeof t, "%02X", b);
    app_s += t;
  }
  EXPECT_TRUE(at("AT+APPSKEY=?", "AT+APPSKEY=" + app_s));
  EXPECT_TRUE(at("AT+NETID=?", "AT+NETID=000013"));
}

// Bad input to every command of this family: the error word, nothing on
// the air and nothing written to flash.
TEST_F(LoRaWan, BadInputChangesNothing) {
  otaa_identity();
  ASSERT_TRUE(at("AT+DR=5"));
  const std::vector<uint8_t> flash_before = d_->flash();
  struct Case {
    const char* command;
    const char* reply;
  };
  const Case before_join[] = {
      {"AT+DEVEUI=0102", "AT_PARAM_ERROR"},
      {"AT+APPEUI=01020304050607080", "AT_PARAM_ERROR"},
      {"AT+APPKEY=00112233445566778899AABBCCDDEEF", "AT_PARAM_ERROR"},
      {"AT+APPKEY=00112233445566778899AABBCCDDEEFF00", "AT_PARAM_ERROR"},
      {"AT+NWKSKEY=zz112233445566778899AABBCCDDEEFF", "AT_PARAM_ERROR"},
      {"AT+APPSKEY=", "AT_PARAM_ERROR"},
      {"AT+DEVADDR=1234567", "AT_PARAM_ERROR"},
      {"AT+DEVADDR=12345678:1", "AT_PARAM_ERROR"},
      {"AT+CFM=2", "AT_PARAM_ERROR"},
      {"AT+NJM=2", "AT_PARAM_ERROR"},
      {"AT+CFS=1", "AT_PARAM_ERROR"},
      {"AT+NJS=1", "AT_PARAM_ERROR"},
      {"AT+ADR=2", "AT_PARAM_ERROR"},
      {"AT+DCS=2", "AT_PARAM_ERROR"},
      {"AT+DR=8", "AT_PARAM_ERROR"},
      {"AT+DR=-1", "AT_PARAM_ERROR"},
      {"AT+JN1DL=0", "AT_PARAM_ERROR"},
      {"AT+JN2DL=16", "AT_PARAM_ERROR"},
      {"AT+JN2DL=5", "AT_PARAM_ERROR"},
      {"AT+PNM=2", "AT_PARAM_ERROR"},
      {"AT+RX1DL=abc", "AT_PARAM_ERROR"},
      {"AT+RX2DL=17", "AT_PARAM_ERROR"},
      {"AT+RX2DR=8", "AT_PARAM_ERROR"},
      {"AT+RX2FQ=100", "AT_PARAM_ERROR"},
      {"AT+TXP=8", "AT_PARAM_ERROR"},
      {"AT+CLASS=AB", "AT_PARAM_ERROR"},
      {"AT+LINKCHECK=3", "AT_PARAM_ERROR"},
      {"AT+TIMEREQ=2", "AT_PARAM_ERROR"},
      {"AT+RETY=x", "AT_PARAM_ERROR"},
      {"AT+JOIN=2:0:10:8", "AT_PARAM_ERROR"},
      {"AT+JOIN=1:0:6:8", "AT_PARAM_ERROR"},
      {"AT+JOIN=1:0:10:256", "AT_PARAM_ERROR"},
      {"AT+SEND=2", "AT_PARAM_ERROR"},
      {"AT+SEND=2:12", "AT_NO_NETWORK_JOINED"},
      {"AT+SEND=a:12", "AT_PARAM_ERROR"},
      {"AT+RSSI=1", "AT_PARAM_ERROR"},
      {"AT+SNR=1", "AT_PARAM_ERROR"},
      {"AT+RECV=1", "AT_PARAM_ERROR"},
  };
  for (const Case& c : before_join) {
    EXPECT_TRUE(at(c.command, c.reply)) << c.command;
  }
  EXPECT_TRUE(ns_.uplinks().empty());
  EXPECT_TRUE(d_->flash() == flash_before) << "a refused command wrote to flash";
  EXPECT_TRUE(at("AT+DR=?", "AT+DR=5"));
  EXPECT_TRUE(at("AT+APPKEY=?", "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));

  // Joined: payloads of bad length or digits are refused, nothing sent.
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  const size_t uplinks = ns_.uplinks().size();
  const std::string too_long = "AT+SEND=2:" + std::string(502, 'A');
  const Case joined[] = {
      {"AT+SEND=2:1", "AT_PARAM_ERROR"},    {"AT+SEND=2:12G4", "AT_PARAM_ERROR"},
      {"AT+SEND=2:", "AT_PARAM_ERROR"},     {too_long.c_str(), "AT_PARAM_ERROR"},
      {"AT+SEND=0:12", "AT_PARAM_ERROR"},   {"AT+SEND=224:12", "AT_PARAM_ERROR"},
      {"AT+SEND=2:12:1", "AT_PARAM_ERROR"},
  };
  for (const Case& c : joined) {
    EXPECT_TRUE(at(c.command, c.reply)) << c.command;
  }
  EXPECT_TRUE(d_->quiet(kAt, sec(5)));
  EXPECT_EQ(ns_.uplinks().size(), uplinks);
  // While an uplink is under way a second one is refused as busy.
  ASSERT_TRUE(at("AT+SEND=2:01"));
  EXPECT_TRUE(at("AT+SEND=2:02", "AT_BUSY_ERROR"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  ASSERT_TRUE(d_->quiet(kAt, sec(2)));
  ASSERT_EQ(ns_.uplinks().size(), uplinks + 1);
  EXPECT_EQ(ns_.uplinks().back().payload, (Bytes{0x01}));
}

// A join the network never answers: each request fails with its line and
// the next follows the stored period after the failure, up to the stored
// count of retries.
TEST_F(LoRaWan, JoinRetriesWithoutAnswer) {
  ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
  ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
  ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  ASSERT_TRUE(at("AT+DR=5"));  // short frames: the join duty cycle never holds one back
  ASSERT_TRUE(at("AT+JOIN=1:0:8:2"));
  std::vector<time_us> failed;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOIN_FAILED_RX_TIMEOUT", sec(30))) << i;
    failed.push_back(w_.master().now());
  }
  EXPECT_TRUE(d_->quiet(kAt, sec(60)));
  ASSERT_EQ(ns_.uplinks().size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const UplinkRecord& r = ns_.uplinks()[i];
    EXPECT_EQ(r.mtype, MType::kJoinRequest);
    EXPECT_EQ(r.meta.dr, 5);
    // The failure comes after the second join window (6 s after the frame).
    EXPECT_GT(failed[i], r.t + sec(6)) << i;
    EXPECT_LT(failed[i], r.t + sec(7)) << i;
    if (i > 0) {
      EXPECT_GE(r.t, failed[i - 1] + sec(8)) << i;
      EXPECT_LT(r.t, failed[i - 1] + sec(9)) << i;
      EXPECT_GT(r.dev_nonce, ns_.uplinks()[i - 1].dev_nonce);
    }
  }
  EXPECT_TRUE(at("AT+NJS=?", "AT+NJS=0"));
}

// AT+JOIN with join start 0 ends a retry cycle in progress: no request
// follows.
TEST_F(LoRaWan, JoinStartZeroStopsTheRetries) {
  ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
  ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
  ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  ASSERT_TRUE(at("AT+DR=5"));
  ASSERT_TRUE(at("AT+JOIN=1:0:8:5"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOIN_FAILED_RX_TIMEOUT", sec(10)));
  ASSERT_TRUE(at("AT+JOIN=0:0:8:5"));
  EXPECT_TRUE(d_->quiet(kAt, sec(60)));
  EXPECT_EQ(ns_.uplinks().size(), 1u);
  EXPECT_TRUE(at("AT+JOIN=?", "AT+JOIN=0:0:8:5"));
}

// A payload longer than the data rate carries is refused, and an empty
// frame goes out in its place (it still carries what the MAC had to say).
TEST_F(LoRaWan, PayloadTooLongForTheDataRate) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ASSERT_TRUE(at("AT+DR=0"));
  struct Case {
    size_t bytes;
    const char* reply;
    bool carried;
  };
  const Case cases[] = {{51, "OK", true}, {52, "AT_PARAM_ERROR", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const size_t before = ns_.uplinks().size();
    ASSERT_TRUE(at("AT+SEND=2:" + std::string(2 * c.bytes, '7'), c.reply));
    std::optional<UplinkRecord> up = uplink(before);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->status, "ok");
    EXPECT_EQ(up->mtype, MType::kUnconfirmedUp);
    EXPECT_EQ(up->fport.has_value(), c.carried);
    EXPECT_EQ(up->payload.size(), c.carried ? c.bytes : 0u);
    EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
    ASSERT_TRUE(d_->quiet(kAt, sec(2)));
  }
}

// Choosing the band the module already has changes nothing: the flash
// stays as it is and the session goes on.
TEST_F(LoRaWan, ChoosingTheStoredBandChangesNothing) {
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
  ASSERT_TRUE(at("AT+SEND=5:01"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  const std::vector<uint8_t> flash = d_->flash();
  ASSERT_TRUE(at("AT+BAND=4"));
  ASSERT_TRUE(at("AT+BAND=?", "AT+BAND=4"));
  EXPECT_TRUE(d_->flash() == flash);
  const size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=5:02"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->fcnt, 1u);
}

// With the duty cycle enforced an uplink that must wait says how long and
// is refused as busy: nothing goes on the air.
TEST_F(LoRaWan, UplinkHeldBackByTheDutyCycle) {
  otaa_identity();
  join();
  ASSERT_TRUE(at("AT+DCS=1"));
  ASSERT_TRUE(at("AT+DR=0"));
  // The band's hour of credit (36 s on the air) goes in frames of nearly
  // 3 s at DR0; then an uplink must wait, says how long and is refused as
  // busy.
  const std::string frame = "AT+SEND=2:" + std::string(102, 'A') + "\r\n";
  std::optional<std::string> line;
  int sent = 0;
  for (; sent < 30; ++sent) {
    ASSERT_TRUE(d_->quiet(kAt, sec(1)));
    d_->write(kAt, frame);
    line = d_->next_line(kAt, sec(2));
    ASSERT_TRUE(line);
    if (*line != "OK") break;
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  }
  const size_t uplinks = ns_.uplinks().size();
  ASSERT_TRUE(line);
  EXPECT_GE(sent, 10);
  EXPECT_LE(sent, 14);
  ASSERT_EQ(line->rfind("Restricted_Wait_", 0), 0u) << *line;
  ASSERT_EQ(line->substr(line->size() - 3), "_ms") << *line;
  const int wait_ms = std::stoi(line->substr(16));
  EXPECT_GT(wait_ms, 0);
  EXPECT_LE(wait_ms, 3600 * 1000);

  EXPECT_TRUE(d_->expect_lines(kAt, {"AT_BUSY_ERROR"}, sec(1)));
  EXPECT_TRUE(d_->quiet(kAt, sec(5)));
  EXPECT_EQ(ns_.uplinks().size(), uplinks);
  // Without the enforcement the same uplink goes at once.
  ASSERT_TRUE(at("AT+DCS=0"));
  ASSERT_TRUE(at("AT+SEND=2:01"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  EXPECT_EQ(ns_.uplinks().size(), uplinks + 1);
}

// Downlinks on several ports: each reported with its port and data, and
// AT+RECV gives the last once; RSSI and SNR follow the last downlink.
TEST_F(LoRaWan, DownlinksOnSeveralPorts) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  struct Case {
    uint8_t port;
    Bytes data;
  };
  const Case cases[] = {
      {1, {0x00}},
      {100, {0xDE, 0xAD, 0xBE, 0xEF}},
      {223, Bytes(51, 0x5A)},
  };
  for (const Case& c : cases) {
    // The event line shows the data in lower case, AT+RECV in upper case.
    std::string expected, event;
    for (uint8_t b : c.data) {
      char t[3];
      std::snprintf(t, sizeof t, "%02X", b);
      expected += t;
      std::snprintf(t, sizeof t, "%02x", b);
      event += t;
    }
    ns_.queue_downlink("a", c.port, c.data);
    ASSERT_TRUE(at("AT+SEND=2:01"));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
    std::optional<std::string> rx = d_->next_line(kAt, sec(1));
    ASSERT_TRUE(rx);
    const std::string suffix = ":UNICAST:" + std::to_string(c.port) + ":" + event;
    ASSERT_GT(rx->size(), suffix.size());
    EXPECT_EQ(rx->substr(rx->size() - suffix.size()), suffix) << *rx;
    EXPECT_EQ(rx->rfind("+EVT:RX_1:", 0), 0u) << *rx;
    EXPECT_TRUE(at("AT+RECV=?", "AT+RECV=" + std::to_string(c.port) + ":" + expected));
    EXPECT_TRUE(at("AT+RECV=?", "AT+RECV=0:"));
    // The reported signal is the one the readings give.
    const std::string signal = rx->substr(10, rx->size() - 10 - suffix.size());
    const size_t colon = signal.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_TRUE(at("AT+RSSI=?", "AT+RSSI=" + signal.substr(0, colon)));
    EXPECT_TRUE(at("AT+SNR=?", "AT+SNR=" + signal.substr(colon + 1)));
  }
}

// What a class A device does after a downlink by itself: a frame with no
// payload (an acknowledgement) prints no downlink line but gives the signal
// readings; a confirmed downlink is acknowledged by an empty uplink at once;
// a downlink saying more are waiting is followed by an empty uplink that
// fetches the next.
TEST_F(LoRaWan, WhatFollowsADownlinkInClassA) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ASSERT_TRUE(at("AT+RSSI=?", "AT+RSSI=0"));
  ASSERT_TRUE(at("AT+CFM=1"));
  ASSERT_TRUE(at("AT+SEND=2:01"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:SEND_CONFIRMED_OK", sec(10)));
  EXPECT_TRUE(d_->quiet(kAt, sec(3))) << "no downlink line for a bare acknowledgement";
  d_->write(kAt, "AT+RSSI=?\r\n");
  std::optional<std::string> rssi = d_->next_line(kAt, sec(2));
  ASSERT_TRUE(rssi);
  EXPECT_EQ(rssi->rfind("AT+RSSI=-", 0), 0u) << *rssi;
  ASSERT_TRUE(d_->wait_line(kAt, "OK", sec(2)));
  ASSERT_TRUE(at("AT+CFM=0"));

  // A confirmed downlink: the acknowledgement goes out by itself.
  ns_.queue_downlink("a", 4, Bytes{0x44}, true);
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:02"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  std::optional<std::string> rx = d_->next_line(kAt, sec(1));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->substr(rx->size() - 13), ":UNICAST:4:44") << *rx;
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  ASSERT_EQ(ns_.uplinks().size(), before + 2);
  const UplinkRecord& ack = ns_.uplinks()[before + 1];
  EXPECT_EQ(ack.status, "ok");
  EXPECT_FALSE(ack.fport);
  EXPECT_TRUE(ack.payload.empty());
  EXPECT_TRUE(ack.fctrl & 0x20) << "ACK bit";
  EXPECT_TRUE(ns_.last_confirmed_acked("a"));
  ASSERT_TRUE(d_->quiet(kAt, sec(3)));

  // Two downlinks waiting: the second comes after the empty uplink the
  // first one's pending flag brings.
  ns_.queue_downlink("a", 5, Bytes{0x55});
  ns_.queue_downlink("a", 6, Bytes{0x66});
  before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:03"));
  for (const char* suffix : {":UNICAST:5:55", ":UNICAST:6:66"}) {
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
    rx = d_->next_line(kAt, sec(1));
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->substr(rx->size() - 13), suffix) << *rx;
  }
  EXPECT_TRUE(d_->quiet(kAt, sec(5)));
  ASSERT_EQ(ns_.uplinks().size(), before + 2);
  EXPECT_FALSE(ns_.uplinks()[before + 1].fport);
  EXPECT_EQ(ns_.queued("a"), 0u);
}

// A class C device acknowledges a confirmed downlink of its continuous
// window with an empty uplink, as a class A device does.
TEST_F(LoRaWan, ClassCConfirmedDownlinkIsAcknowledged) {
  otaa_identity();
  ASSERT_TRUE(at("AT+CLASS=C"));
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ns_.set_class("a", 'C');
  ASSERT_TRUE(at("AT+SEND=2:01"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:SEND_CONFIRMED_OK", sec(10)));
  ASSERT_TRUE(d_->quiet(kAt, sec(5)));
  const size_t before = ns_.uplinks().size();
  ns_.queue_downlink("a", 9, Bytes{0xC3}, true);
  std::optional<std::string> rx = d_->next_line(kAt, sec(10));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->rfind("+EVT:RX_C:", 0), 0u) << *rx;
  EXPECT_EQ(rx->substr(rx->size() - 13), ":UNICAST:9:c3") << *rx;
  std::optional<UplinkRecord> ack = uplink(before);
  ASSERT_TRUE(ack);
  EXPECT_FALSE(ack->fport);
  EXPECT_TRUE(ack->fctrl & 0x20) << "ACK bit";
  EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  EXPECT_TRUE(ns_.last_confirmed_acked("a"));
}

// The signal readings answer in the FSK work mode too, not in LoRa P2P.
TEST_F(LoRaWan, SignalReadingsByWorkMode) {
  struct Case {
    const char* nwm;
    const char* banner;
    const char* rssi;
    const char* snr;
  };
  const Case cases[] = {
      {"2", "Current Work Mode: FSK.", "AT+RSSI=0", "AT+SNR=0"},
      {"0", "Current Work Mode: LoRa P2P.", "AT_MODE_NO_SUPPORT", "AT_MODE_NO_SUPPORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nwm);
    d_->write(kAt, std::string("AT+NWM=") + c.nwm + "\r\n");
    ASSERT_TRUE(d_->wait_line(kAt, c.banner, sec(5)));
    EXPECT_TRUE(at("AT+RSSI=?", c.rssi));
    EXPECT_TRUE(at("AT+SNR=?", c.snr));
    EXPECT_TRUE(at("AT+ARSSI=?", "AT_MODE_NO_SUPPORT"));
  }
}

// Link check in the every-time mode: each uplink asks, each answer is
// reported, and the mode stays.
TEST_F(LoRaWan, LinkCheckEveryTime) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ASSERT_TRUE(at("AT+LINKCHECK=2"));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const size_t before = ns_.uplinks().size();
    ASSERT_TRUE(at("AT+SEND=2:0" + std::to_string(i)));
    std::optional<UplinkRecord> up = uplink(before);
    ASSERT_TRUE(up);
    ASSERT_EQ(up->mac.size(), 1u);
    EXPECT_EQ(up->mac[0].cid, 0x02);
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
    std::optional<std::string> lc = d_->next_line(kAt, sec(1));
    ASSERT_TRUE(lc);
    EXPECT_EQ(lc->rfind("+EVT:LINKCHECK:0:", 0), 0u) << *lc;
    ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  }
  EXPECT_TRUE(at("AT+LINKCHECK=?", "AT+LINKCHECK=2"));
}

// A join accept the device cannot open (made under another key) is a
// failed join with the MAC's status, not a timeout, and the retry follows.
TEST_F(LoRaWan, JoinAcceptUnderAnotherKeyFails) {
  // The network does not know the device: the only answer is the forged
  // one, in the first join window.
  ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
  ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
  ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  ASSERT_TRUE(at("AT+JOIN=1:0:7:1"));
  std::optional<UplinkRecord> request = wait_uplink(
      w_.master(), ns_, 0, [](const UplinkRecord& r) { return r.mtype == MType::kJoinRequest; },
      sec(5));
  ASSERT_TRUE(request);
  Bytes accept(17, 0x5A);
  accept[0] = 0x20;  // join accept
  gw_.send_raw(request->meta.end_us + 5000000, request->meta.freq, request->meta.dr, accept);
  std::optional<std::string> line = d_->next_line(kAt, sec(10));
  std::string netlog;
  for (const std::string& l : ns_.log()) netlog += l + "\n";
  ASSERT_TRUE(line) << netlog;
  EXPECT_EQ(*line, "+EVT:JOIN_FAILED_7");
  EXPECT_TRUE(at("AT+NJS=?", "AT+NJS=0"));
  // One retry after the stored period; unanswered, it times out.
  EXPECT_TRUE(d_->wait_line(kAt, "+EVT:JOIN_FAILED_RX_TIMEOUT", sec(20)));
  EXPECT_TRUE(d_->quiet(kAt, sec(20)));
}

// Requests the network leaves unanswered: the link check and the time
// request each report their failure.
TEST_F(LoRaWan, UnansweredLinkCheckAndTimeRequestFail) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ns_.set_window("a", Window::kNone);
  ASSERT_TRUE(at("AT+LINKCHECK=1"));
  ASSERT_TRUE(at("AT+SEND=2:01"));
  ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE", "+EVT:LINKCHECK:1:0:0:0:0"}, sec(10)));
  ASSERT_TRUE(at("AT+TIMEREQ=1"));
  ASSERT_TRUE(at("AT+SEND=2:02"));
  ASSERT_TRUE(d_->expect_lines(kAt, {"+EVT:TX_DONE", "+EVT:TIMEREQ_FAILED"}, sec(10)));
  EXPECT_TRUE(at("AT+TIMEREQ=?", "AT+TIMEREQ=0"));
}

// Link check once and a device time request: each answer brings its line,
// and the once mode is spent.
TEST_F(LoRaWan, LinkCheckAndDeviceTime) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ASSERT_TRUE(at("AT+LINKCHECK=1"));
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:01"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  ASSERT_EQ(up->mac.size(), 1u);
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  std::optional<std::string> lc = d_->next_line(kAt, sec(1));
  ASSERT_TRUE(lc);
  // Margin, one gateway, then the downlink's RSSI and SNR.
  EXPECT_EQ(lc->rfind("+EVT:LINKCHECK:0:", 0), 0u) << *lc;
  EXPECT_NE(lc->find(":1:-"), std::string::npos) << *lc;
  EXPECT_TRUE(at("AT+LINKCHECK=?", "AT+LINKCHECK=0"));
  before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:02"));
  up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_TRUE(up->mac.empty()) << "no second link check request";
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));

  ASSERT_TRUE(at("AT+TIMEREQ=1"));
  before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:03"));
  up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->mac.size(), 1u);
  EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TIMEREQ_OK", sec(10)));
  EXPECT_TRUE(at("AT+TIMEREQ=?", "AT+TIMEREQ=0"));
}

// The network settings change what the network sees on the air.
TEST_F(LoRaWan, NetworkSettingsOnTheAir) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  auto send = [&](const std::string& hex,
                  const char* done = "+EVT:TX_DONE") -> std::optional<UplinkRecord> {
    const size_t before = ns_.uplinks().size();
    if (!at("AT+SEND=2:" + hex)) {
      ADD_FAILURE() << "AT+SEND=2:" << hex << " refused: " << d_->unread(kAt);
      return std::nullopt;
    }
    std::optional<UplinkRecord> up = uplink(before);
    if (!d_->wait_line(kAt, done, sec(10))) return std::nullopt;
    d_->quiet(kAt, sec(1));
    return up;
  };
  for (int dr : {0, 3, 5}) {
    ASSERT_TRUE(at("AT+DR=" + std::to_string(dr)));
    std::optional<UplinkRecord> up = send("01");
    ASSERT_TRUE(up) << dr;
    EXPECT_EQ(up->meta.dr, dr);
  }
  // Each power step is 2 dB less on the air.
  ASSERT_TRUE(at("AT+TXP=0"));
  std::optional<UplinkRecord> strong = send("02");
  ASSERT_TRUE(at("AT+TXP=5"));
  std::optional<UplinkRecord> weak = send("03");
  ASSERT_TRUE(strong && weak);
  EXPECT_EQ(strong->meta.rssi - weak->meta.rssi, 10);
  // Confirm mode.
  ASSERT_TRUE(at("AT+CFM=1"));
  std::optional<UplinkRecord> confirmed = send("04", "+EVT:SEND_CONFIRMED_OK");
  ASSERT_TRUE(confirmed);
  EXPECT_EQ(confirmed->mtype, MType::kConfirmedUp);
  ASSERT_TRUE(at("AT+CFM=0"));
  // The RX2 data rate the network answers in must be the one the device
  // listens at: with the network answering in RX2 only, a downlink comes
  // through at the default and at a changed pair of settings alike.
  ns_.set_window("a", Window::kRx2);
  ns_.queue_downlink("a", 5, Bytes{0x55});
  ASSERT_TRUE(at("AT+SEND=2:05"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  std::optional<std::string> rx = d_->next_line(kAt, sec(1));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->rfind("+EVT:RX_2:", 0), 0u) << *rx;
}

// Class C: a downlink the network sends at any time is received.
TEST_F(LoRaWan, ClassCDownlink) {
  otaa_identity();
  ASSERT_TRUE(at("AT+CLASS=C"));
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ns_.set_class("a", 'C');
  // Until it has heard the network, a class C device asks for an
  // acknowledgement; then its uplinks are as the confirm mode says.
  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:01"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->mtype, MType::kConfirmedUp);
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:SEND_CONFIRMED_OK", sec(10)));
  before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+SEND=2:02"));
  up = uplink(before);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->mtype, MType::kUnconfirmedUp);
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  ASSERT_TRUE(d_->quiet(kAt, sec(5)));
  ns_.queue_downlink("a", 9, Bytes{0xC1, 0xC2});
  std::optional<std::string> rx = d_->next_line(kAt, sec(10));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->rfind("+EVT:RX_C:", 0), 0u) << *rx;
  EXPECT_EQ(rx->substr(rx->size() - 15), ":UNICAST:9:c1c2") << *rx;
  EXPECT_TRUE(at("AT+RECV=?", "AT+RECV=9:C1C2"));
}

// The DevNonce keeps rising across a factory reset: the network, which
// refuses a nonce it has seen, takes every join.
TEST_F(LoRaWan, DevNonceRisesAcrossFactoryReset) {
  otaa_identity();
  join();
  ASSERT_TRUE(at("AT+FACTORY"));
  d_->write(kAt, "ATZ\r\n");
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(5)));
  ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
  ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
  ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  join();
  ASSERT_EQ(ns_.uplinks().size(), 2u);
  EXPECT_EQ(ns_.uplinks()[1].status, "ok");
  EXPECT_GT(ns_.uplinks()[1].dev_nonce, ns_.uplinks()[0].dev_nonce);
}

// An OTAA device keeps only its DevNonce in the MAC block: its session
// (counters, keys, MAC state) never reaches flash, and the nonce is written
// once per accepted join.
TEST_F(LoRaWan, OtaaMacBlockHoldsOnlyTheDevNonce) {
  constexpr size_t kMacBlock = 0x3E000;  // offset of the MAC block in flash
  constexpr size_t kMacBlockSize = 2044;
  constexpr size_t kDevNonce = 4;  // in the crypto group, little-endian
  otaa_identity();
  auto block = [&]() {
    std::vector<uint8_t> f = d_->flash();
    return std::vector<uint8_t>(f.begin() + kMacBlock, f.begin() + kMacBlock + kMacBlockSize);
  };
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  const std::vector<uint8_t> joined = block();
  ASSERT_TRUE(at("AT+SEND=2:01"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)));
  ASSERT_TRUE(at("AT+CFM=1"));
  ASSERT_TRUE(at("AT+SEND=2:02"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:SEND_CONFIRMED_OK", sec(10)));
  ASSERT_TRUE(d_->quiet(kAt, sec(2)));
  const std::vector<uint8_t> after = block();
  EXPECT_TRUE(after == joined) << "the uplinks changed the MAC block";
  for (size_t i = 0; i < kMacBlockSize; ++i) {
    if (i == kDevNonce || i == kDevNonce + 1) continue;
    ASSERT_EQ(after[i], 0) << "MAC block byte " << i << " holds more than the nonce";
  }
  const uint16_t stored = static_cast<uint16_t>(after[kDevNonce] | after[kDevNonce + 1] << 8);
  ASSERT_FALSE(ns_.uplinks().empty());
  EXPECT_EQ(stored, ns_.uplinks()[0].dev_nonce);
  // The next join continues from it.
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  const size_t n = ns_.uplinks().size();
  join();
  ASSERT_GT(ns_.uplinks().size(), n);
  EXPECT_EQ(ns_.uplinks()[n].dev_nonce, stored + 1);
  EXPECT_EQ(ns_.uplinks()[n].status, "ok");
}

// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), computed here
// apart from the firmware's.
uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// An ABP device keeps its session in the MAC block, each part where the
// block has it: the crypto group (frame counters) at 0, MAC group 1 at 56,
// MAC group 2 (address, version, MAC state) at 88 and the secure element
// (keys) at 476, each closed by the CRC-32 of its other bytes, then the 96
// channel entries at 892, which carry no CRC. At the next start a group
// whose CRC no longer matches is left out, and only that one.
TEST_F(LoRaWan, AbpMacBlockHoldsTheSessionGroups) {
  constexpr size_t kMacBlock = 0x3E000;  // offset of the MAC block in flash
  constexpr size_t kMacBlockSize = 2044;
  constexpr size_t kGroup2 = 88, kSecureElement = 476, kChannels = 892;
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
  // One uplink and the frame counter the network read in it.
  auto send = [&]() -> std::optional<uint16_t> {
    const size_t before = ns_.uplinks().size();
    if (!at("AT+SEND=5:01")) return std::nullopt;
    std::optional<UplinkRecord> up = uplink(before);
    if (!up || up->raw.size() < 8 || up->dev_addr != kDevAddr) return std::nullopt;
    if (!d_->wait_line(kAt, "+EVT:TX_DONE", sec(10)) || !d_->quiet(kAt, sec(1)))
      return std::nullopt;
    return uint16_t(up->raw[6] | up->raw[7] << 8);
  };
  for (int i = 0; i < 3; ++i) ASSERT_EQ(send(), i);

  std::vector<uint8_t> flash = d_->flash();
  const std::vector<uint8_t> block(flash.begin() + kMacBlock,
                                   flash.begin() + kMacBlock + kMacBlockSize);
  struct Group {
    const char* name;
    size_t offset;
    size_t size;
  };
  const Group groups[] = {{"crypto", 0, 56},
                          {"MAC group 1", 56, 32},
                          {"MAC group 2", kGroup2, 388},
                          {"secure element", kSecureElement, 416}};
  for (const Group& g : groups) {
    EXPECT_EQ(le32(block, g.offset + g.size - 4), crc32(block.data() + g.offset, g.size - 4))
        << g.name;
  }
  EXPECT_EQ(le32(block, 0), 0x01000300u) << "LoRaWAN 1.0.3";
  EXPECT_EQ(block[4] | block[5] << 8, 0) << "no join, no DevNonce";
  EXPECT_EQ(le32(block, 12), 1024u) << "the uplink counter reserved ahead: a start goes on there";
  // The second copy, two pages below, holds the same block.
  EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin() + kMacBlock - 0x1000));
  EXPECT_EQ(le32(block, kGroup2 + 140), kDevAddr);
  EXPECT_EQ(le32(block, kGroup2 + 356), 0x01000300u);
  auto holds = [&](const Key& key) {
    return std::search(block.begin() + kSecureElement, block.begin() + kChannels, key.begin(),
                       key.end()) != block.begin() + kChannels;
  };
  EXPECT_TRUE(holds(kNwkSKey));
  EXPECT_TRUE(holds(kAppSKey));
  // The three EU868 channels, and nothing in the other 93 entries.
  for (size_t ch = 0; ch < 96; ++ch) {
    const size_t at = kChannels + 12 * ch;
    if (ch < 3) {
      EXPECT_EQ(le32(block, at), 868100000u + 200000u * ch) << "channel " << ch;
    } else {
      for (size_t k = 0; k < 12; ++k) ASSERT_EQ(block[at + k], 0) << "channel " << ch;
    }
  }

  // A damaged group is left out at the next start. A DevAddr restored from
  // a damaged MAC group 2 would make the uplink unknown to the network, an
  // uplink counter from a damaged crypto group would not start again at 0.
  struct Damage {
    const char* group;
    size_t byte;
    uint16_t next_fcnt;
  };
  const Damage damages[] = {
      {"MAC group 2", kGroup2 + 140, 1024},  // the session goes on, from the reserve
      {"crypto", 12, 0},                     // the counters start again
  };
  for (const Damage& dmg : damages) {
    SCOPED_TRACE(dmg.group);
    d_->kill();
    {
      std::fstream f(d_->flash_path(), std::ios::in | std::ios::out | std::ios::binary);
      ASSERT_TRUE(f);
      // The same byte of both copies: neither is whole, and the block
      // is read group by group.
      for (size_t copy : {kMacBlock, kMacBlock - 0x1000}) {
        f.seekg(std::streamoff(copy + dmg.byte));
        const char b = char(f.get());
        f.seekp(std::streamoff(copy + dmg.byte));
        f.put(char(b ^ 0x40));
      }
    }
    d_->restart();
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
    EXPECT_EQ(send(), dmg.next_fcnt);
  }
}

// The receive windows the network's join accept sets are the ones the
// device reads back and listens in; a window moved away from the network's
// loses its downlinks.
TEST_F(LoRaWan, ReceiveWindowSettings) {
  ns_.join_rx_delay = 3;
  ns_.join_rx2_dr = 3;
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  EXPECT_TRUE(at("AT+RX1DL=?", "AT+RX1DL=3"));
  EXPECT_TRUE(at("AT+RX2DR=?", "AT+RX2DR=3"));
  EXPECT_TRUE(at("AT+RX2FQ=?", "AT+RX2FQ=869525000"));

  // One uplink with a downlink queued; what the device printed after it.
  auto exchange = [&](Window window, uint8_t port) {
    ns_.set_window("a", window);
    ns_.queue_downlink("a", port, Bytes{port});
    EXPECT_TRUE(at("AT+SEND=2:01"));
    EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(15)));
    std::optional<std::string> rx = d_->next_line(kAt, sec(2));
    return rx ? *rx : std::string();
  };
  std::string rx = exchange(Window::kRx1, 10);
  EXPECT_EQ(rx.rfind("+EVT:RX_1:", 0), 0u) << rx;
  rx = exchange(Window::kRx2, 11);
  EXPECT_EQ(rx.rfind("+EVT:RX_2:", 0), 0u) << rx;

  // RX2 at another data rate or frequency hears nothing of the network.
  ASSERT_TRUE(at("AT+RX2DR=5"));
  EXPECT_EQ(exchange(Window::kRx2, 12), "");
  ASSERT_TRUE(at("AT+RX2DR=3"));
  ASSERT_TRUE(at("AT+RX2FQ=869300000", "AT_PARAM_ERROR")) << "between two bands of the region";
  ASSERT_TRUE(at("AT+RX2FQ=869400000"));
  EXPECT_EQ(exchange(Window::kRx2, 13), "");
  // RX1 a second early misses too.
  ASSERT_TRUE(at("AT+RX1DL=2"));
  EXPECT_EQ(exchange(Window::kRx1, 14), "");
}

// Whether an uplink carries the answer to a network command.
bool carries(const UplinkRecord& up, uint8_t cid) {
  return std::any_of(up.mac.begin(), up.mac.end(),
                     [cid](const MacCommand& c) { return c.cid == cid; });
}

// The answers to RXParamSetupReq, RXTimingSetupReq and DlChannelReq go in
// every uplink until a downlink shows the network heard them, whichever
// window it comes in; the uplink after that downlink leaves them out.
TEST_F(LoRaWan, StickyAnswersRepeatUntilADownlink) {
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  const uint8_t sticky[] = {0x05, 0x08, 0x0A};
  size_t n = 0;
  // One uplink; what the network decoded of it.
  auto send = [&]() -> UplinkRecord {
    const size_t before = ns_.uplinks().size();
    EXPECT_TRUE(at("AT+SEND=2:" + std::string(1, char('1' + n % 9)) + "0"));
    ++n;
    std::optional<UplinkRecord> up = uplink(before);
    EXPECT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(15)));
    w_.run_for(sec(3));
    d_->take(kAt);
    return up ? *up : UplinkRecord{};
  };
  for (Window window : {Window::kRx1, Window::kRx2}) {
    SCOPED_TRACE(window == Window::kRx1 ? "RX1" : "RX2");
    ns_.set_window("a", Window::kRx1);
    ns_.queue_mac("a", mac::rx_param_setup_req(0, 3, 868500000));
    ns_.queue_mac("a", mac::rx_timing_setup_req(1));
    ns_.queue_mac("a", mac::dl_channel_req(0, 868100000));
    const size_t downs = ns_.downlinks().size();
    UplinkRecord up = send();
    ASSERT_EQ(ns_.downlinks().size(), downs + 1) << "the commands went out";
    // Nothing comes back: the answers stay.
    for (int i = 0; i < 2; ++i) {
      up = send();
      ASSERT_EQ(up.status, "ok");
      for (uint8_t cid : sticky)
        EXPECT_TRUE(carries(up, cid)) << "uplink " << i << " cid " << int(cid);
    }
    // A downlink answers the next uplink, which still carries them.
    ns_.set_window("a", window);
    ns_.queue_downlink("a", 7, Bytes{0x77});
    const size_t before = ns_.uplinks().size();
    ASSERT_TRUE(at("AT+SEND=2:AA"));
    std::optional<UplinkRecord> last = uplink(before);
    ASSERT_TRUE(last);
    for (uint8_t cid : sticky) EXPECT_TRUE(carries(*last, cid)) << "cid " << int(cid);
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(15)));
    std::optional<std::string> rx = d_->next_line(kAt, sec(3));
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->rfind(window == Window::kRx1 ? "+EVT:RX_1:" : "+EVT:RX_2:", 0), 0u) << *rx;
    EXPECT_EQ(rx->substr(rx->size() - 13), ":UNICAST:7:77") << *rx;
    // The downlink showed they were heard: the next uplinks are without them.
    ns_.set_window("a", Window::kRx1);
    for (int i = 0; i < 2; ++i) {
      up = send();
      ASSERT_EQ(up.status, "ok");
      for (uint8_t cid : sticky)
        EXPECT_FALSE(carries(up, cid)) << "uplink " << i << " cid " << int(cid);
    }
  }
}

// Class C listens where the network sends: on the RX2 channel as its last
// RXParamSetupReq set it, when the request came in RX1 and no RX2 window
// opened since, and when the session was restored at a start.
TEST_F(LoRaWan, ClassCListensOnTheRx2ChannelTheNetworkSet) {
  // A class C downlink of the network; what the device printed of it.
  auto class_c_downlink = [&](uint8_t port) {
    ns_.set_class("a", 'C');
    ns_.queue_downlink("a", port, Bytes{port});
    std::optional<std::string> rx = d_->next_line(kAt, sec(10));
    return rx ? *rx : std::string();
  };
  otaa_identity();
  join();
  ASSERT_TRUE(d_->quiet(kAt, sec(1)));
  ns_.queue_mac("a", mac::rx_param_setup_req(0, 3, 868500000));
  ASSERT_TRUE(at("AT+SEND=2:01"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(15)));
  ASSERT_TRUE(ns_.downlinks().back().tx.what.find("RX1") != std::string::npos)
      << ns_.downlinks().back().tx.what;
  w_.run_for(sec(3));
  d_->take(kAt);
  ASSERT_TRUE(at("AT+CLASS=C"));
  // The answer reaches the network, which moves its RX2 channel.
  ns_.set_class("a", 'C');
  ASSERT_TRUE(at("AT+SEND=2:02"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(15)));
  ASSERT_EQ(ns_.answers("a").size(), 1u);
  EXPECT_EQ(ns_.answers("a")[0].data, Bytes{0x07});
  w_.run_for(sec(3));
  d_->take(kAt);
  std::string rx = class_c_downlink(0x21);
  EXPECT_EQ(rx.rfind("+EVT:RX_C:", 0), 0u) << rx;
  EXPECT_EQ(ns_.downlinks().back().tx.freq, 868500000u);

  // An ABP session restored at a start keeps the channel too.
  d_->write(kAt, "ATR\r\n");
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(5)));
  DeviceEntry e;
  e.name = "b";
  e.otaa = false;
  e.dev_addr = kDevAddr;
  e.keys.fnwk_s_int = e.keys.snwk_s_int = e.keys.nwk_s_enc = kNwkSKey;
  e.keys.app_s = kAppSKey;
  ns_.add_device(e);
  ASSERT_TRUE(at("AT+DEVADDR=26011234"));
  ASSERT_TRUE(at("AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
  ASSERT_TRUE(at("AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
  ASSERT_TRUE(at("AT+NJM=0"));
  ns_.queue_mac("b", mac::rx_param_setup_req(0, 3, 868500000));
  for (const char* payload : {"5:01", "5:02"}) {
    ASSERT_TRUE(at(std::string("AT+SEND=") + payload));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:TX_DONE", sec(15)));
    w_.run_for(sec(3));
    d_->take(kAt);
  }
  ASSERT_FALSE(ns_.answers("b").empty());
  EXPECT_EQ(ns_.answers("b")[0].data, Bytes{0x07});
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  EXPECT_TRUE(at("AT+RX2FQ=?", "AT+RX2FQ=868500000"));
  EXPECT_TRUE(at("AT+RX2DR=?", "AT+RX2DR=3"));
  ASSERT_TRUE(at("AT+CLASS=C"));
  // The switch is stored right after the answer (the radio sleeps while
  // the flash is written); the network sends once that is over.
  w_.run_for(sec(1));
  d_->take(kAt);
  ns_.set_class("b", 'C');
  ns_.queue_downlink("b", 0x22, Bytes{0x22});
  std::optional<std::string> line = d_->next_line(kAt, sec(10));
  std::string netlog;
  for (const std::string& l : ns_.log()) netlog += l + "\n";
  ASSERT_TRUE(line) << netlog;
  EXPECT_EQ(line->rfind("+EVT:RX_C:", 0), 0u) << *line;
  EXPECT_EQ(ns_.downlinks().back().tx.freq, 868500000u);
}

}  // namespace

// api.lorawan and api.lora used by a user program (api_lora_program.cpp,
// driven over UART1) in a Brisola-T: identity set through the API, join,
// uplinks and a downlink on the test network reported to the program's
// hooks; settings refused in the wrong work mode; a point-to-point frame
// sent through the API and received by a second module.
#include <gtest/gtest.h>

#include <string>

#include "network/gateway.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using systest::sec;

constexpr int kAt = 2;
constexpr int kProgram = 1;
constexpr const char* kImage = "api-lora-test-brisola-t";
const Key kAppKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

class LoRaApi : public ::testing::Test {
 protected:
  void SetUp() override {
    systest::DeviceOptions o;
    o.image = kImage;
    o.pins = {{"PB12", 1}};
    d_ = &w_.start("a", o);
    ASSERT_TRUE(d_->wait_line(kProgram, "ready", sec(2)));
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  }

  // One program command and its answer.
  testing::AssertionResult cmd(const std::string& command, const std::string& answer) {
    d_->write(kProgram, command + "\n");
    return d_->wait_line(kProgram, answer, sec(2));
  }
  // An AT command and its reply; a query's value line is followed by OK.
  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    testing::AssertionResult r = d_->wait_line(kAt, reply, sec(2));
    if (!r || reply.rfind("AT+", 0) != 0) return r;
    return d_->wait_line(kAt, "OK", sec(2));
  }

  systest::World w_;
  NetworkServer ns_{RegionId::kEU868};
  Gateway gw_{ns_, w_.master()};
  systest::Device* d_ = nullptr;
};

TEST_F(LoRaApi, JoinSendAndReceiveThroughTheProgram) {
  DeviceEntry e;
  e.name = "a";
  e.dev_eui = 0x0202020202020202ull;
  e.join_eui = 0x0101010101010101ull;
  e.app_key = kAppKey;
  ns_.add_device(e);

  // Not joined: the uplink is refused, nothing goes on the air.
  ASSERT_TRUE(cmd("send 2 1234", "send refused"));
  ASSERT_TRUE(cmd("keys", "keys ok"));
  ASSERT_TRUE(d_->wait_line(kProgram, "short key refused"));
  // The setters store what the AT commands read.
  ASSERT_TRUE(at("AT+DEVEUI=?", "AT+DEVEUI=0202020202020202"));
  ASSERT_TRUE(cmd("ids", "deui=0202020202020202 appkey=2B7E151628AED2A6ABF7158809CF4F3C ok"));
  ASSERT_TRUE(at("AT+APPKEY=000102030405060708090A0B0C0D0E0F"));
  ASSERT_TRUE(cmd("ids", "deui=0202020202020202 appkey=000102030405060708090A0B0C0D0E0F ok"));
  ASSERT_TRUE(cmd("keys", "keys ok"));
  EXPECT_TRUE(ns_.uplinks().empty());

  ASSERT_TRUE(cmd("join", "join ok"));
  ASSERT_TRUE(d_->wait_line(kProgram, "join cb 0", sec(15)));
  ASSERT_TRUE(cmd("get", "njs=1 dr=0 class=0 rx1dl=1 cfs=0 rssi=0"));

  // Values out of range are refused and change nothing; good ones are
  // stored where AT+DR reads them.
  EXPECT_TRUE(cmd("dr 8", "dr refused"));
  EXPECT_TRUE(cmd("rx1dl 16", "rx1dl refused"));
  EXPECT_TRUE(cmd("class 3", "class refused"));
  EXPECT_TRUE(cmd("dr 5", "dr ok"));
  EXPECT_TRUE(at("AT+DR=?", "AT+DR=5"));
  EXPECT_TRUE(cmd("send 0 12", "send refused"));
  EXPECT_TRUE(cmd("send 224 12", "send refused"));

  size_t before = ns_.uplinks().size();
  ASSERT_TRUE(cmd("send 9 C0FFEE", "send ok"));
  std::optional<UplinkRecord> up = wait_uplink(
      w_.master(), ns_, before, [](const UplinkRecord& r) { return r.device == "a"; }, sec(5));
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->mtype, MType::kUnconfirmedUp);
  EXPECT_EQ(up->fport, 9);
  EXPECT_EQ(up->payload, (Bytes{0xC0, 0xFF, 0xEE}));
  EXPECT_TRUE(d_->wait_line(kProgram, "send cb 0", sec(10)));

  // A confirmed uplink chosen per call, with a downlink to the program's
  // receive hook.
  ns_.queue_downlink("a", 17, Bytes{0xAB, 0xCD});
  before = ns_.uplinks().size();
  ASSERT_TRUE(cmd("csend 4 01", "csend ok"));
  up = wait_uplink(
      w_.master(), ns_, before, [](const UplinkRecord& r) { return r.device == "a"; }, sec(5));
  ASSERT_TRUE(up);
  EXPECT_EQ(up->mtype, MType::kConfirmedUp);
  // The exchange is reported over first, then what came.
  EXPECT_TRUE(d_->wait_line(kProgram, "send cb 0", sec(10)));
  std::optional<std::string> recv = d_->next_line(kProgram, sec(1));
  ASSERT_TRUE(recv);
  EXPECT_EQ(recv->rfind("recv cb 17:ABCD rssi=-", 0), 0u) << *recv;
  EXPECT_TRUE(at("AT+CFS=?", "AT+CFS=1"));

  // The point-to-point settings are refused in the LoRaWAN work mode.
  EXPECT_TRUE(cmd("pfreq 868100000", "pfreq refused"));
  EXPECT_TRUE(cmd("psend 01", "psend refused"));
}

TEST_F(LoRaApi, PointToPointThroughTheProgram) {
  systest::DeviceOptions o;
  o.image = "brisola-t";
  o.pins = {{"PB12", 1}};
  systest::Device& b = w_.start("b", o);
  ASSERT_TRUE(b.wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  b.write(kAt, "AT+NWM=0\r\n");
  ASSERT_TRUE(b.wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(5)));

  // The work mode set through the API takes effect at the next start.
  ASSERT_TRUE(cmd("nwm 0", "nwm ok"));
  ASSERT_TRUE(cmd("nwm 3", "nwm refused"));
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kProgram, "ready", sec(2)));
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(2)));
  EXPECT_TRUE(cmd("join", "join refused"));
  EXPECT_TRUE(cmd("dr 3", "dr refused"));

  EXPECT_TRUE(cmd("pfreq 149999999", "pfreq refused"));
  EXPECT_TRUE(cmd("psf 13", "psf refused"));
  ASSERT_TRUE(cmd("pfreq 868300000", "pfreq ok"));
  ASSERT_TRUE(cmd("psf 9", "psf ok"));
  EXPECT_TRUE(at("AT+PFREQ=?", "AT+PFREQ=868300000"));
  EXPECT_TRUE(cmd("p2pget", "pfreq=868300000 psf=9"));

  b.write(kAt, "AT+PFREQ=868300000\r\n");
  ASSERT_TRUE(b.wait_line(kAt, "OK"));
  b.write(kAt, "AT+PSF=9\r\n");
  ASSERT_TRUE(b.wait_line(kAt, "OK"));
  b.write(kAt, "AT+PRECV=65534\r\n");
  ASSERT_TRUE(b.wait_line(kAt, "OK"));
  ASSERT_TRUE(cmd("psend A1B2C3", "psend ok"));
  EXPECT_TRUE(d_->wait_line(kProgram, "psend cb", sec(5)));
  std::optional<std::string> rx = b.next_line(kAt, sec(5));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->rfind("+EVT:RXP2P:", 0), 0u) << *rx;
  EXPECT_EQ(rx->substr(rx->size() - 7), ":A1B2C3") << *rx;

  // And the other way: a reception started by the program hands the frame
  // to its hook.
  ASSERT_TRUE(cmd("precv 5000", "precv ok"));
  EXPECT_TRUE(cmd("psf 7", "psf refused")) << "settings stay while receiving";
  b.write(kAt, "AT+PRECV=0\r\n");
  ASSERT_TRUE(b.wait_line(kAt, "OK"));
  b.write(kAt, "AT+PSEND=0102\r\n");
  ASSERT_TRUE(b.wait_line(kAt, "OK"));
  EXPECT_TRUE(d_->wait_line(kProgram, "precv cb 0102", sec(5)));
}

}  // namespace

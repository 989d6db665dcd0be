// api.lorawan and api.lora used by a user program (api_lora_program.cpp,
// driven over UART1) in a Brisola-T: identity set through the API, join,
// uplinks and a downlink on the test network reported to the program's
// hooks; unconfirmed and long uplinks, multicast groups, the per-channel
// RSSI, the version and the sub-band mask through the API; settings refused
// in the wrong work mode; a point-to-point frame sent through the API and
// received by a second module.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::sec;

constexpr int kAt = 2;
constexpr int kProgram = 1;
constexpr const char* kImage = "api-lora-test-brisola-t";
// The multicast group keys the program gives its groups.
const Key kMcNwkSKey = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                        0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const Key kMcAppSKey = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,
                        0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF};
const char kMcKeys[] = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF:B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF";

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

  // The test network of a region in place of the one before.
  void network(RegionId region) {
    gw_.reset();
    ns_ = std::make_unique<NetworkServer>(region);
    gw_ = std::make_unique<Gateway>(*ns_, w_.master());
  }

  void otaa_device() {
    DeviceEntry e;
    e.name = "a";
    e.dev_eui = 0x0202020202020202ull;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = kAppKey;
    ns_->add_device(e);
  }

  // The personalised session, known to the network, set over the AT port.
  void abp() {
    DeviceEntry e;
    e.name = "a";
    e.otaa = false;
    e.dev_addr = 0x26011234;
    e.keys.fnwk_s_int = e.keys.snwk_s_int = e.keys.nwk_s_enc = kNwkSKey;
    e.keys.app_s = kAppSKey;
    ns_->add_device(e);
    ASSERT_TRUE(at("AT+DEVADDR=26011234"));
    ASSERT_TRUE(at("AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
    ASSERT_TRUE(at("AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
    ASSERT_TRUE(at("AT+NJM=0"));
    ASSERT_TRUE(at("AT+ADR=0"));
  }

  // The next uplink of the device the network decoded after its first
  // `from`.
  std::optional<UplinkRecord> uplink(size_t from, systest::time_us timeout = sec(5)) {
    return wait_uplink(
        w_.master(), *ns_, from, [](const UplinkRecord& r) { return r.device == "a"; }, timeout);
  }

  systest::World w_;
  std::unique_ptr<NetworkServer> ns_ = std::make_unique<NetworkServer>(RegionId::kEU868);
  std::unique_ptr<Gateway> gw_ = std::make_unique<Gateway>(*ns_, w_.master());
  systest::Device* d_ = nullptr;
};

TEST_F(LoRaApi, JoinSendAndReceiveThroughTheProgram) {
  DeviceEntry e;
  e.name = "a";
  e.dev_eui = 0x0202020202020202ull;
  e.join_eui = 0x0101010101010101ull;
  e.app_key = kAppKey;
  ns_->add_device(e);

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
  EXPECT_TRUE(ns_->uplinks().empty());

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

  size_t before = ns_->uplinks().size();
  ASSERT_TRUE(cmd("send 9 C0FFEE", "send ok"));
  std::optional<UplinkRecord> up = wait_uplink(
      w_.master(), *ns_, before, [](const UplinkRecord& r) { return r.device == "a"; }, sec(5));
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, "ok");
  EXPECT_EQ(up->mtype, MType::kUnconfirmedUp);
  EXPECT_EQ(up->fport, 9);
  EXPECT_EQ(up->payload, (Bytes{0xC0, 0xFF, 0xEE}));
  EXPECT_TRUE(d_->wait_line(kProgram, "send cb 0", sec(10)));

  // A confirmed uplink chosen per call, with a downlink to the program's
  // receive hook.
  ns_->queue_downlink("a", 17, Bytes{0xAB, 0xCD});
  before = ns_->uplinks().size();
  ASSERT_TRUE(cmd("csend 4 01", "csend ok"));
  up = wait_uplink(
      w_.master(), *ns_, before, [](const UplinkRecord& r) { return r.device == "a"; }, sec(5));
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
  // Neither are the other LoRaWAN calls taken, nor do they list anything.
  EXPECT_TRUE(cmd("usend 2 01", "usend refused"));
  EXPECT_TRUE(cmd("lpsend 2 0 10 1", "lpsend refused"));
  EXPECT_TRUE(cmd("addmulc C 01020304 0 0 0", "addmulc refused"));
  EXPECT_TRUE(cmd("lstmulc", "lstmulc end"));
  EXPECT_TRUE(cmd("arssi", "arssi "));
  EXPECT_TRUE(cmd("ver", "ver="));
  EXPECT_TRUE(cmd("maskget", "mask refused"));

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

// The long packet as the program builds it.
Bytes long_packet(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
  return b;
}

// Unconfirmed uplinks whatever the stored confirm mode, a long packet put
// together again from the fragments the network received, the per-channel
// RSSI of a downlink and the LoRaWAN version, all through the program.
TEST_F(LoRaApi, UnconfirmedAndLongUplinksChannelRssiAndVersion) {
  otaa_device();
  ASSERT_TRUE(cmd("keys", "keys ok"));
  ASSERT_TRUE(d_->wait_line(kProgram, "short key refused"));
  EXPECT_TRUE(cmd("usend 2 01", "usend refused")) << "not joined";
  EXPECT_TRUE(cmd("lpsend 2 0 10 1", "lpsend refused")) << "not joined";
  // The version of activation by personalisation, until a join accept of
  // a LoRaWAN 1.0 network (no option negotiation) sets 1.0.4.
  EXPECT_TRUE(cmd("ver", "ver=1.0.3"));
  ASSERT_TRUE(cmd("join", "join ok"));
  ASSERT_TRUE(d_->wait_line(kProgram, "join cb 0", sec(15)));
  EXPECT_TRUE(cmd("ver", "ver=1.0.4"));

  // No downlink yet: every open channel lists without a reading.
  EXPECT_TRUE(cmd("arssi", "arssi 0:0,1:0,2:0"));

  // With the stored confirm mode on, send asks for an acknowledgement and
  // usend does not.
  ASSERT_TRUE(at("AT+CFM=1"));
  struct Case {
    const char* command;
    const char* answer;
    MType mtype;
  };
  const Case cases[] = {
      {"send 12 A1B2", "send ok", MType::kConfirmedUp},
      {"usend 12 A1B2", "usend ok", MType::kUnconfirmedUp},
  };
  const bool confirmed[] = {true, false};
  size_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const size_t before = ns_->uplinks().size();
    ASSERT_TRUE(cmd(c.command, c.answer));
    std::optional<UplinkRecord> up = uplink(before);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->mtype, c.mtype);
    EXPECT_EQ(up->fport, 12);
    EXPECT_EQ(up->payload, (Bytes{0xA1, 0xB2}));
    EXPECT_TRUE(d_->wait_line(kProgram, "send cb 0", sec(10)));
    if (confirmed[n++]) {
      // The bare acknowledgement reaches the receive hook as a frame on
      // port 0 without data.
      std::optional<std::string> ack = d_->next_line(kProgram, sec(1));
      ASSERT_TRUE(ack);
      EXPECT_EQ(ack->rfind("recv cb 0: rssi=-", 0), 0u) << *ack;
    }
    ASSERT_TRUE(d_->quiet(kProgram, sec(1)));
  }
  EXPECT_TRUE(at("AT+CFM=?", "AT+CFM=1")) << "usend leaves the stored mode";
  for (const char* bad : {"usend 0 01", "usend 224 01", "usend 2 "}) {
    EXPECT_TRUE(cmd(bad, "usend refused")) << bad;
  }

  // A downlink after an uplink: its RSSI is listed against the channel the
  // uplink went out on.
  ns_->queue_downlink("a", 3, Bytes{0x33});
  size_t before = ns_->uplinks().size();
  ASSERT_TRUE(cmd("usend 2 02", "usend ok"));
  std::optional<UplinkRecord> up = uplink(before);
  ASSERT_TRUE(up);
  ASSERT_TRUE(d_->wait_line(kProgram, "send cb 0", sec(10)));
  std::optional<std::string> recv = d_->next_line(kProgram, sec(1));
  ASSERT_TRUE(recv);
  const std::string prefix = "recv cb 3:33 rssi=";
  ASSERT_EQ(recv->rfind(prefix, 0), 0u) << *recv;
  const int rssi = std::stoi(recv->substr(prefix.size()));
  ASSERT_GE(up->meta.channel, 0);
  ASSERT_LE(up->meta.channel, 2);
  std::string want = "arssi ";
  for (int ch = 0; ch < 3; ++ch) {
    if (ch > 0) want += ",";
    want += std::to_string(ch) + ":" + std::to_string(ch == up->meta.channel ? rssi : 0);
  }
  EXPECT_TRUE(cmd("arssi", want));
  EXPECT_TRUE(at("AT+ARSSI=?", "AT+ARSSI=" + want.substr(6)));

  // A long packet: unconfirmed fragments on its port, put together again
  // here from their headers; the API takes the full 1024 bytes, more than
  // an AT command line carries.
  ASSERT_TRUE(at("AT+CFM=0"));
  ASSERT_TRUE(cmd("dr 5", "dr ok"));
  for (const char* bad :
       {"lpsend 0 0 10 1", "lpsend 224 0 10 1", "lpsend 2 0 0 1", "lpsend 2 0 1025 1"}) {
    EXPECT_TRUE(cmd(bad, "lpsend refused")) << bad;
  }
  before = ns_->uplinks().size();
  ASSERT_TRUE(cmd("lpsend 20 0 1024 5", "lpsend ok"));
  const bool last = w_.run_until(
      [&] {
        for (size_t i = before; i < ns_->uplinks().size(); ++i) {
          const UplinkRecord& r = ns_->uplinks()[i];
          if (r.fport == 20 && r.payload.size() >= 6 && r.payload[2] == 0) return true;
        }
        return false;
      },
      sec(120));
  ASSERT_TRUE(last);
  Bytes packet;
  uint8_t serial = 0;
  for (size_t i = before; i < ns_->uplinks().size(); ++i) {
    const UplinkRecord& r = ns_->uplinks()[i];
    if (r.device != "a" || r.fport != 20) continue;
    const Bytes& p = r.payload;
    ASSERT_GE(p.size(), 6u);
    EXPECT_EQ(r.mtype, MType::kUnconfirmedUp);
    EXPECT_EQ(p[0], 0x01);
    EXPECT_EQ(p[3], ++serial);
    ASSERT_EQ(p[4] + 6u, p.size());
    uint8_t sum = 0;
    for (size_t k = 0; k + 1 < p.size(); ++k) sum = uint8_t(sum + p[k]);
    EXPECT_EQ(sum, p.back()) << "checksum of fragment " << int(serial);
    packet.insert(packet.end(), p.begin() + 5, p.end() - 1);
  }
  EXPECT_EQ(serial, 5);  // 216 data bytes a fragment at DR5
  EXPECT_EQ(packet, long_packet(1024, 5));
}

// Multicast groups added, listed and removed by the program: a class C
// group's downlink reaches the program's receive hook, and once removed
// nothing of it comes.
TEST_F(LoRaApi, MulticastGroupsThroughTheProgram) {
  abp();
  ASSERT_TRUE(at("AT+JOIN"));
  ASSERT_TRUE(at("AT+CLASS=C"));
  ASSERT_TRUE(cmd("lstmulc", "lstmulc end"));
  ASSERT_TRUE(cmd("addmulc C 01020304 0 0 0", "addmulc ok"));
  ASSERT_TRUE(cmd("addmulc B 11223344 869525000 3 4", "addmulc ok"));
  const char* const refused[] = {
      "addmulc C 01020304 0 0 0",           // the address is in use
      "addmulc A 05060708 0 0 0",           // class A has no groups
      "addmulc C 05060708 0 0 1",           // a ping-slot period in class C
      "addmulc B 05060708 869525000 16 0",  // data rates 0 to 15
      "addmulc B 05060708 869525000 3 8",   // periods 0 to 7
      "addmulc C 05060708 123400000 0 0",   // no channel there
      "rmvmulc 05060708",                   // no such group
  };
  for (const char* c : refused) {
    const std::string verb = std::string(c).substr(0, 7);
    EXPECT_TRUE(cmd(c, verb + " refused")) << c;
  }
  const std::string keys = kMcKeys;
  ASSERT_TRUE(d_->quiet(kProgram, sec(1)));
  d_->write(kProgram, "lstmulc\n");
  EXPECT_TRUE(d_->expect_lines(kProgram,
                               {"mc C:01020304:869525000:0:0 keys " + keys,
                                "mc B:11223344:869525000:3:4 keys " + keys, "lstmulc end"},
                               sec(2)));
  d_->write(kAt, "AT+LSTMULC=?\r\n");
  EXPECT_TRUE(d_->expect_lines(
      kAt, {"C:01020304:" + keys + ":869525000:00:0,B:11223344:" + keys + ":869525000:03:4", "OK"},
      sec(2)));

  sim::network::Multicast group;
  group.name = "g1";
  group.addr = 0x01020304;
  group.nwk_s_key = kMcNwkSKey;
  group.app_s_key = kMcAppSKey;
  group.group_class = 'C';
  ns_->add_multicast(group);
  ns_->queue_multicast("g1", 7, Bytes{0xCA, 0xFE});
  std::optional<std::string> recv = d_->next_line(kProgram, sec(5));
  ASSERT_TRUE(recv);
  EXPECT_EQ(recv->rfind("recv cb 7:CAFE rssi=-", 0), 0u) << *recv;
  std::optional<std::string> line = d_->next_line(kAt, sec(1));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("+EVT:RX_C:", 0), 0u) << *line;
  EXPECT_EQ(line->substr(line->size() - 17), ":MULTICAST:7:cafe") << *line;

  ASSERT_TRUE(cmd("rmvmulc 01020304", "rmvmulc ok"));
  ASSERT_TRUE(cmd("rmvmulc 01020304", "rmvmulc refused"));
  d_->write(kProgram, "lstmulc\n");
  EXPECT_TRUE(d_->expect_lines(
      kProgram, {"mc B:11223344:869525000:3:4 keys " + keys, "lstmulc end"}, sec(2)));
  sim::network::Multicast gone = group;
  gone.name = "g2";
  gone.fcnt = 10;
  ns_->add_multicast(gone);
  ns_->queue_multicast("g2", 7, Bytes{0x01});
  EXPECT_TRUE(d_->quiet(kProgram, sec(5)));
}

// The sub-band mask set through the program is the one AT+MASK reads and
// the one the uplinks keep to; masks AT+MASK refuses are refused too.
TEST_F(LoRaApi, MaskChosenThroughTheProgramIsWhatGoesOnTheAir) {
  EXPECT_TRUE(cmd("maskget", "mask refused")) << "EU868 has no sub-bands";
  EXPECT_TRUE(cmd("mask 0001", "mask refused"));
  network(RegionId::kUS915);
  ASSERT_TRUE(cmd("band 8", "band ok"));
  ASSERT_TRUE(at("AT+BAND=?", "AT+BAND=5"));
  abp();
  ASSERT_TRUE(at("AT+JOIN"));
  ASSERT_TRUE(at("AT+DR=0"));
  struct Case {
    const char* mask;
    int first_channel;  // of the eight the mask opens
  };
  const Case cases[] = {{"0002", 8}, {"0080", 56}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    ASSERT_TRUE(cmd(std::string("mask ") + c.mask, "mask ok"));
    EXPECT_TRUE(cmd("maskget", std::string("mask=") + c.mask));
    EXPECT_TRUE(at("AT+MASK=?", std::string("AT+MASK=") + c.mask));
    std::set<int> seen;
    for (int i = 0; i < 12; ++i) {
      const size_t before = ns_->uplinks().size();
      ASSERT_TRUE(cmd("usend 2 01", "usend ok"));
      std::optional<UplinkRecord> up = uplink(before);
      ASSERT_TRUE(up);
      EXPECT_EQ(up->status, "ok");
      ASSERT_TRUE(d_->wait_line(kProgram, "send cb 0", sec(10)));
      seen.insert(up->meta.channel);
    }
    for (int ch : seen) {
      EXPECT_GE(ch, c.first_channel);
      EXPECT_LT(ch, c.first_channel + 8);
    }
    EXPECT_GE(seen.size(), 4u);
  }
  for (const char* bad : {"mask 0", "mask 0100", "mask 0101"}) {
    EXPECT_TRUE(cmd(bad, "mask refused")) << bad;
  }
  EXPECT_TRUE(cmd("maskget", "mask=0080"));
}

// The join, link-check and time hooks of the program: a join nobody
// answers and one the network accepts, then a link check and a time
// request answered and unanswered, each outcome reported to the program as
// the AT port reports it.
TEST_F(LoRaApi, JoinLinkCheckAndTimeOutcomesReachTheHooks) {
  ASSERT_TRUE(cmd("keys", "keys ok"));
  ASSERT_TRUE(d_->wait_line(kProgram, "short key refused"));
  // The network does not know the device yet: the join fails in the
  // windows, the second window last.
  ASSERT_TRUE(cmd("join", "join ok"));
  ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOIN_FAILED_RX_TIMEOUT", sec(15)));
  ASSERT_TRUE(d_->wait_line(kProgram, "join cb 4", sec(1)));
  otaa_device();
  ASSERT_TRUE(cmd("join", "join ok"));
  ASSERT_TRUE(d_->wait_line(kProgram, "join cb 0", sec(15)));
  ASSERT_TRUE(d_->quiet(kProgram, sec(1)));

  struct Case {
    Window window;
    std::vector<std::string> program;  // lines after "send cb 0"; "*" ends a prefix
    const char* at_line;               // the link check line on the AT port
  };
  const Case cases[] = {
      // The answers come in a frame without data, which the receive hook
      // gets too.
      {Window::kRx1,
       {"timereq cb 0", "linkcheck cb 0:*", "recv cb 0: rssi=-*"},
       "+EVT:LINKCHECK:0:"},
      {Window::kNone, {"linkcheck cb *", "timereq cb 1"}, "+EVT:LINKCHECK:1:0:0:0:0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at_line);
    ns_->set_window("a", c.window);
    ASSERT_TRUE(cmd("linkcheck 1", "linkcheck ok"));
    ASSERT_TRUE(cmd("timereq 1", "timereq ok"));
    d_->take(kAt);
    ASSERT_TRUE(cmd("usend 2 01", "usend ok"));
    ASSERT_TRUE(d_->wait_line(kProgram, "send cb 0", sec(10)));
    std::vector<std::string> got;
    for (size_t i = 0; i < c.program.size(); ++i) {
      std::optional<std::string> line = d_->next_line(kProgram, sec(2));
      ASSERT_TRUE(line) << "line " << i;
      got.push_back(*line);
      const std::string& want = c.program[i];
      if (want.back() == '*') {
        EXPECT_EQ(line->rfind(want.substr(0, want.size() - 1), 0), 0u) << *line;
      } else {
        EXPECT_EQ(*line, want);
      }
    }
    // The link check outcome the hook had is the one the AT line shows.
    std::optional<std::string> at_line;
    for (int i = 0; i < 4 && !(at_line && at_line->rfind("+EVT:LINKCHECK:", 0) == 0); ++i) {
      at_line = d_->next_line(kAt, sec(2));
    }
    ASSERT_TRUE(at_line);
    EXPECT_EQ(at_line->rfind(c.at_line, 0), 0u) << *at_line;
    for (const std::string& line : got) {
      if (line.rfind("linkcheck cb ", 0) != 0) continue;
      const std::string values = line.substr(13);
      if (c.window == Window::kRx1) {
        EXPECT_EQ("+EVT:LINKCHECK:" + values, *at_line);
      } else {
        EXPECT_NE(values.rfind("0:", 0), 0u) << "a failure state: " << values;
        EXPECT_EQ(values.substr(values.find(':')), ":0:0:0:0");
      }
    }
    ASSERT_TRUE(d_->quiet(kProgram, sec(2)));
  }
}

}  // namespace

// Certification mode of a Brisola-T (EU868) against a test server scripted
// here on port 224 through the test network's per-port hook: the command
// codes and reply layouts of the LoRaWAN certification test package
// (package identifier 6, version 1).
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::sec;

constexpr int kAt = 2;
// The settings record in the flash file, and its certification bytes.
constexpr size_t kRecord = 0x3F000;
constexpr size_t kCertif = kRecord + 658;
constexpr size_t kCertPort = kRecord + 659;

constexpr uint8_t kLinkCheckReq = 0x02;
constexpr uint8_t kDeviceTimeReq = 0x0D;

// One step of the test session: the command the server sends on port 224
// after an uplink, and what the device's next uplink carries: the prepared
// reply on port 224, or (no reply) the byte 'C' on port 2.
struct Step {
  const char* what;
  Bytes command;
  std::optional<Bytes> reply;
};

// An uplink of the session as the server saw it.
struct Seen {
  systest::time_us t;
  uint8_t port;
  Bytes payload;
  MType mtype;
  std::vector<MacCommand> mac;
};

bool has_mac(const Seen& s, uint8_t cid) {
  for (const MacCommand& m : s.mac)
    if (m.cid == cid) return true;
  return false;
}

template <RegionId kRegion>
class CertificationIn : public ::testing::Test {
 protected:
  void SetUp() override {
    systest::DeviceOptions o;
    o.image = "brisola-t";
    o.pins = {{"PB12", 1}};
    d_ = &w_.start("a", o);
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
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

  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    return d_->wait_line(kAt, reply, sec(2));
  }

  size_t joins_since(size_t from) const {
    size_t n = 0;
    for (size_t i = from; i < ns_.uplinks().size(); ++i)
      if (ns_.uplinks()[i].device == "a" && ns_.uplinks()[i].mtype == MType::kJoinRequest) ++n;
    return n;
  }

  systest::World w_;
  NetworkServer ns_{kRegion};
  Gateway gw_{ns_, w_.master()};
  systest::Device* d_ = nullptr;
};

using Certification = CertificationIn<RegionId::kEU868>;
using CertificationUs915 = CertificationIn<RegionId::kUS915>;

TEST_F(Certification, CommandReplies) {
  EXPECT_TRUE(at("AT+CERTIF=?", "AT+CERTIF=0"));
  EXPECT_TRUE(at("AT+CERTIF=2", "AT_PARAM_ERROR"));
  EXPECT_TRUE(at("AT+CERTIF=1:1", "AT_PARAM_ERROR"));
  // Text that is not a number is normal mode.
  EXPECT_TRUE(at("AT+CERTIF=x"));
  EXPECT_TRUE(at("AT+CERTIF=?", "AT+CERTIF=0"));
}

// AT+CERTIF=1 is kept across a restart, which comes up in certification
// mode: it joins and sends 'C' on port 2 every 5 s, and runs the server's
// session to its end; the deactivation ends the mode for good.
TEST_F(Certification, SessionFromStartToDeactivation) {
  ASSERT_TRUE(at("AT+CERTIF=1"));
  ASSERT_TRUE(at("AT+CERTIF=?", "AT+CERTIF=1"));
  {
    std::vector<uint8_t> flash = d_->flash();
    ASSERT_GT(flash.size(), kCertPort);
    EXPECT_EQ(flash[kCertif], 1);
    EXPECT_EQ(flash[kCertPort], 1);
  }
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));

  const std::vector<Step> steps = {
      {"activation", {0x02}, std::nullopt},
      {"package version", {0x00}, Bytes{0x00, 0x06, 0x01}},
      // Firmware version 0.0.0.0, LoRaWAN 1.0.4.0, regional parameters 2.1.0.3.
      {"device version", {0x7F}, Bytes{0x7F, 0, 0, 0, 0, 1, 0, 4, 0, 2, 1, 0, 3}},
      {"echo", {0x08, 0x01, 0xFF, 0x10}, Bytes{0x08, 0x02, 0x00, 0x11}},
      {"downlink counter reset", {0x0A}, std::nullopt},
      {"downlink counter", {0x09}, Bytes{0x09, 0x01, 0x00}},
      {"uplink period 10 s", {0x06, 0x02}, std::nullopt},
      {"confirmed uplinks", {0x07, 0x02}, std::nullopt},
      {"unconfirmed uplinks", {0x07, 0x01}, std::nullopt},
      {"link check", {0x20}, std::nullopt},
      {"device time", {0x21}, std::nullopt},
      {"continuous wave, one byte short", {0x7D, 0x01, 0x00, 0x08, 0x6A, 0x84}, std::nullopt},
      {"unknown command", {0x55, 0x01}, std::nullopt},
      {"deactivation", {0x7E}, std::nullopt},
  };
  std::vector<Seen> seen;
  size_t next = 0;
  auto script = [&](const UplinkRecord& r) -> std::optional<Bytes> {
    if (r.device != "a" || !r.fport) return std::nullopt;
    seen.push_back({r.t, *r.fport, r.payload, r.mtype, r.mac});
    if (next < steps.size()) ns_.queue_downlink("a", 224, steps[next++].command);
    return std::nullopt;
  };
  ns_.set_port_handler(2, script);
  ns_.set_port_handler(224, script);

  const size_t from = ns_.uplinks().size();
  ASSERT_TRUE(w_.run_until([&] { return seen.size() > steps.size() - 1 && next == steps.size(); },
                           sec(150)));
  // After the deactivation: a new join, and no certification uplink again.
  // (Joins: at the start, for the activation, after the deactivation.)
  ASSERT_TRUE(w_.run_until([&] { return joins_since(from) >= 3; }, sec(20)));
  const size_t after = seen.size();
  w_.run_for(sec(20));
  EXPECT_EQ(seen.size(), after) << "certification uplinks after the deactivation";

  // The first uplink of the mode, then one per step before the last.
  ASSERT_EQ(seen.size(), steps.size());
  EXPECT_EQ(seen[0].port, 2);
  EXPECT_EQ(seen[0].payload, Bytes{0x43});
  for (size_t i = 1; i < seen.size(); ++i) {
    const Step& s = steps[i - 1];
    SCOPED_TRACE(s.what);
    if (s.reply) {
      EXPECT_EQ(seen[i].port, 224);
      EXPECT_EQ(seen[i].payload, *s.reply);
    } else {
      EXPECT_EQ(seen[i].port, 2);
      EXPECT_EQ(seen[i].payload, Bytes{0x43});
    }
    // The period stays 5 s: this device has no other period. The join of
    // the activation takes the uplinks of the periods it lasts.
    const double gap = double(seen[i].t - seen[i - 1].t) / 1e6;
    if (std::string(s.what) == "activation") {
      EXPECT_GE(gap, 9.5);
      EXPECT_NEAR(gap, 5.0 * std::round(gap / 5.0), 0.5);
    } else {
      EXPECT_NEAR(gap, 5.0, 0.5);
    }
  }
  auto after_step = [&](const char* what) -> const Seen& {
    for (size_t i = 0; i < steps.size(); ++i)
      if (std::string(steps[i].what) == what) return seen[i + 1];
    ADD_FAILURE() << what;
    return seen[0];
  };
  EXPECT_EQ(after_step("uplink period 10 s").mtype, MType::kUnconfirmedUp);
  EXPECT_EQ(after_step("confirmed uplinks").mtype, MType::kConfirmedUp);
  EXPECT_EQ(after_step("unconfirmed uplinks").mtype, MType::kUnconfirmedUp);
  EXPECT_TRUE(has_mac(after_step("link check"), kLinkCheckReq));
  EXPECT_FALSE(has_mac(after_step("unconfirmed uplinks"), kLinkCheckReq));
  EXPECT_TRUE(has_mac(after_step("device time"), kDeviceTimeReq));
  // The link-check request is reported on the AT port, lines ending in a
  // bare line feed.
  EXPECT_NE(d_->output(kAt).find("\n###### =========== MLME-Request ============ ######\n"
                                 "######            MLME_LINK_CHECK            ######\n"
                                 "###### ===================================== ######\n"
                                 "STATUS      : OK\n"),
            std::string::npos);
  EXPECT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(1)));

  // The test is over: stored off, after a restart too.
  std::vector<uint8_t> flash = d_->flash();
  EXPECT_EQ(flash[kCertif], 0);
  EXPECT_EQ(flash[kCertPort], 0);
  EXPECT_TRUE(at("AT+CERTIF=?", "AT+CERTIF=0"));
  EXPECT_TRUE(at("AT+CFM=?", "AT+CFM=0"));
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  const size_t quiet_from = ns_.uplinks().size();
  w_.run_for(sec(15));
  EXPECT_EQ(ns_.uplinks().size(), quiet_from);
}

// A reset command restarts the device at the end of the processing step;
// the stored mode brings it back into the session.
TEST_F(Certification, ResetCommandRestartsIntoTheSession) {
  ASSERT_TRUE(at("AT+CERTIF=1"));
  std::vector<Seen> seen;
  bool reset_sent = false;
  auto script = [&](const UplinkRecord& r) -> std::optional<Bytes> {
    if (r.device != "a" || !r.fport) return std::nullopt;
    seen.push_back({r.t, *r.fport, r.payload, r.mtype, r.mac});
    if (!reset_sent) {
      ns_.queue_downlink("a", 224, Bytes{0x01});
      reset_sent = true;
    }
    return std::nullopt;
  };
  ns_.set_port_handler(2, script);
  const size_t from = ns_.uplinks().size();
  ASSERT_TRUE(w_.run_until([&] { return seen.size() >= 2; }, sec(60)));
  EXPECT_EQ(joins_since(from), 2u) << "joined again after the reset";
  EXPECT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(1)));
  EXPECT_EQ(seen[1].port, 2);
  EXPECT_EQ(seen[1].payload, Bytes{0x43});
}

}  // namespace

// On a band with sub-bands the activation opens every sub-band the test may
// use before it joins, and stores the mask.
TEST_F(CertificationUs915, ActivationOpensEverySubBand) {
  ASSERT_TRUE(at("AT+BAND=5"));
  ASSERT_TRUE(at("AT+MASK=0002"));
  ASSERT_TRUE(at("AT+CERTIF=1"));
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  // The activation goes down with the answer to the first uplink of the
  // mode; the join it starts comes after that uplink.
  std::optional<size_t> activated_at;
  ns_.set_port_handler(2, [&](const UplinkRecord& r) -> std::optional<Bytes> {
    if (r.device == "a" && !activated_at) {
      ns_.queue_downlink("a", 224, {0x02});
      activated_at = ns_.uplinks().size();
    }
    return std::nullopt;
  });
  ASSERT_TRUE(
      w_.run_until([&] { return activated_at && joins_since(*activated_at) >= 1; }, sec(60)));
  EXPECT_TRUE(at("AT+MASK=?", "AT+MASK=00FF"));
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
  EXPECT_TRUE(at("AT+MASK=?", "AT+MASK=00FF"));
}

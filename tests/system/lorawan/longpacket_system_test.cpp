// Long packets from a Brisola-T (EU868) to the test network: the packet is
// put together again here from the fragments as the network received them,
// by the fragment layout alone (header, transfer identifier, fragments to
// come, serial number, length, data, additive checksum).
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::sec;

constexpr int kAt = 2;

struct Fragment {
  bool retry = false;
  uint8_t magic = 0;
  uint8_t to_come = 0;
  uint8_t serial = 0;
  Bytes data;
};

// One uplink payload as a fragment; a failure names what is wrong with it.
testing::AssertionResult parse(const Bytes& p, Fragment* f) {
  if (p.size() < 6) return testing::AssertionFailure() << "short fragment of " << p.size();
  if ((p[0] & 0x01) == 0 || (p[0] & 0xFC) != 0)
    return testing::AssertionFailure() << "header " << int(p[0]);
  if (p[4] + 6u != p.size())
    return testing::AssertionFailure() << "length " << int(p[4]) << " in " << p.size() << " bytes";
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < p.size(); ++i) sum = uint8_t(sum + p[i]);
  if (sum != p.back()) return testing::AssertionFailure() << "checksum";
  f->retry = (p[0] & 0x02) != 0;
  f->magic = p[1];
  f->to_come = p[2];
  f->serial = p[3];
  f->data.assign(p.begin() + 5, p.end() - 1);
  return testing::AssertionSuccess();
}

std::string hex(const Bytes& b) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
  return b;
}

class LongPacket : public ::testing::Test {
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
    ASSERT_TRUE(at("AT+JOIN=1:0:10:8"));
    ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(15)));
  }

  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    return d_->wait_line(kAt, reply, sec(2));
  }

  // The fragments on `port` the network received after its first `from`
  // uplinks.
  std::vector<Fragment> fragments(size_t from, uint8_t port) {
    std::vector<Fragment> out;
    for (size_t i = from; i < ns_.uplinks().size(); ++i) {
      const UplinkRecord& r = ns_.uplinks()[i];
      if (r.device != "a" || r.status != "ok" || !r.fport || *r.fport != port) continue;
      Fragment f;
      EXPECT_TRUE(parse(r.payload, &f)) << "uplink " << i;
      out.push_back(f);
    }
    return out;
  }

  // Runs until the fragment with nothing to come has been received.
  bool run_to_last_fragment(size_t from, uint8_t port, systest::time_us timeout) {
    return w_.run_until(
        [&] {
          for (size_t i = from; i < ns_.uplinks().size(); ++i) {
            const UplinkRecord& r = ns_.uplinks()[i];
            if (r.device == "a" && r.fport && *r.fport == port && r.payload.size() >= 6 &&
                r.payload[2] == 0)
              return true;
          }
          return false;
        },
        timeout);
  }

  // The packet put together from the fragments (the last copy of each
  // serial number counts), with the checks a receiver makes.
  Bytes reassemble(const std::vector<Fragment>& frags) {
    std::map<uint8_t, Fragment> by_serial;
    for (const Fragment& f : frags) by_serial[f.serial] = f;
    Bytes out;
    if (by_serial.empty()) return out;
    const size_t total = by_serial.rbegin()->first;
    EXPECT_EQ(by_serial.size(), total) << "a serial number is missing";
    for (const auto& [serial, f] : by_serial) {
      EXPECT_EQ(f.magic, frags.front().magic) << "transfer identifier of fragment " << int(serial);
      EXPECT_EQ(size_t(f.to_come), total - serial)
          << "fragments to come in fragment " << int(serial);
      out.insert(out.end(), f.data.begin(), f.data.end());
    }
    return out;
  }

  systest::World w_;
  NetworkServer ns_{RegionId::kEU868};
  Gateway gw_{ns_, w_.master()};
  systest::Device* d_ = nullptr;
};

// Packets of 1 byte to the longest a command line carries (1016 bytes), at
// the smallest (DR0: 51 bytes, 45 data bytes a fragment) and the largest
// (DR5: 242 bytes, less 20, 216 data bytes a fragment) payload room.
TEST_F(LongPacket, ReassemblesFromTheAir) {
  struct Case {
    int dr;
    size_t size;
    uint8_t port;
    std::vector<size_t> lengths;  // data bytes of each fragment, in order
  };
  const Case cases[] = {
      {0, 1, 2, {1}},
      {0, 45, 3, {45}},
      {0, 46, 4, {45, 1}},
      {0, 200, 5, {45, 45, 45, 45, 20}},
      {5, 500, 6, {216, 216, 68}},
      {5, 1016, 7, {216, 216, 216, 216, 152}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("DR" + std::to_string(c.dr) + ", " + std::to_string(c.size) + " bytes");
    ASSERT_TRUE(at("AT+DR=" + std::to_string(c.dr)));
    const Bytes packet = pattern(c.size, uint8_t(c.size));
    const size_t before = ns_.uplinks().size();
    ASSERT_TRUE(at("AT+LPSEND=" + std::to_string(c.port) + ":0:" + hex(packet)));
    ASSERT_TRUE(run_to_last_fragment(before, c.port, sec(300)));
    std::vector<Fragment> frags = fragments(before, c.port);
    ASSERT_EQ(frags.size(), c.lengths.size());
    for (size_t i = 0; i < frags.size(); ++i) {
      EXPECT_EQ(frags[i].serial, i + 1);
      EXPECT_FALSE(frags[i].retry);
      EXPECT_EQ(frags[i].data.size(), c.lengths[i]) << "fragment " << i + 1;
    }
    EXPECT_EQ(reassemble(frags), packet);
    // The transfer is over: nothing more is sent.
    const size_t done = ns_.uplinks().size();
    w_.run_for(sec(10));
    EXPECT_EQ(ns_.uplinks().size(), done);
  }
}

// A confirmed transfer whose second fragment is not acknowledged: that
// fragment goes again with the retry flag, none is skipped, and the packet
// comes out whole.
TEST_F(LongPacket, UnacknowledgedFragmentIsSentAgainWithTheRetryFlag) {
  ASSERT_TRUE(at("AT+DR=5"));
  ASSERT_TRUE(at("AT+RETY=2"));
  const Bytes packet = pattern(500, 0x5A);
  const size_t before = ns_.uplinks().size();
  ASSERT_TRUE(at("AT+LPSEND=9:1:" + hex(packet)));
  // The network hears fragment 2, but its acknowledgement does not reach
  // the device.
  std::optional<UplinkRecord> second = wait_uplink(
      w_.master(), ns_, before,
      [](const UplinkRecord& r) {
        return r.fport && *r.fport == 9 && r.payload.size() > 3 && r.payload[3] == 2;
      },
      sec(30));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->mtype, MType::kConfirmedUp);
  w_.budget().set_path_loss(0, uint32_t(d_->id()), 300);
  w_.run_for(sec(3));
  w_.budget().clear_path_loss(0, uint32_t(d_->id()));
  ASSERT_TRUE(run_to_last_fragment(before, 9, sec(60)));

  std::vector<Fragment> frags = fragments(before, 9);
  ASSERT_EQ(frags.size(), 4u);
  const uint8_t serials[] = {1, 2, 2, 3};
  const bool retried[] = {false, false, true, false};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(frags[i].serial, serials[i]) << "uplink " << i;
    EXPECT_EQ(frags[i].retry, retried[i]) << "uplink " << i;
  }
  EXPECT_EQ(frags[2].data, frags[1].data);
  EXPECT_EQ(reassemble(frags), packet);
}

// Refused input: the error word, and nothing on the air.
TEST_F(LongPacket, BadInputSendsNothing) {
  const std::string too_long(2 * 1017, 'A');  // past the command line
  struct Case {
    std::string command;
    const char* reply;
  };
  const Case cases[] = {
      {"AT+LPSEND=2:0:", "AT_PARAM_ERROR"},             // no data
      {"AT+LPSEND=2:0:" + too_long, "AT_PARAM_ERROR"},  // huge
      {"AT+LPSEND=2:0:123", "AT_PARAM_ERROR"},          // odd number of digits
      {"AT+LPSEND=2:0:12G4", "AT_PARAM_ERROR"},         // not hex
      {"AT+LPSEND=0:0:1234", "AT_PARAM_ERROR"},         // ports 1 to 223
      {"AT+LPSEND=224:0:1234", "AT_PARAM_ERROR"},
      {"AT+LPSEND=0002:0:1234", "AT_PARAM_ERROR"},
      {"AT+LPSEND=2:2:1234", "AT_PARAM_ERROR"},  // acknowledgement 0 or 1
      {"AT+LPSEND=2:00:1234", "AT_PARAM_ERROR"},
      {"AT+LPSEND=2:1234", "AT_PARAM_ERROR"},  // three arguments
      {"AT+LPSEND=2:0:1234:5", "AT_PARAM_ERROR"},
  };
  const size_t before = ns_.uplinks().size();
  for (const Case& c : cases) {
    EXPECT_TRUE(at(c.command, c.reply)) << c.command.substr(0, 40);
  }
  w_.run_for(sec(10));
  EXPECT_EQ(ns_.uplinks().size(), before);
  // An empty acknowledgement field counts as 0; the service then sends.
  ASSERT_TRUE(at("AT+LPSEND=2::AB"));
  std::optional<UplinkRecord> up = wait_uplink(w_.master(), ns_, before, {}, sec(10));
  ASSERT_TRUE(up);
  EXPECT_EQ(up->mtype, MType::kUnconfirmedUp);
  EXPECT_EQ(up->payload, (Bytes{0x01, 0xFF, 0x00, 0x01, 0x01, 0xAB, 0xAD}));
}

}  // namespace

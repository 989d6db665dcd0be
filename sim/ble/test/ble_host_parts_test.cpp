// The host pieces on their own: the attribute server's answers to malformed
// or refused requests, L2CAP reassembly that drops what its header does not
// describe, and the confirm values of pairing.
#include <gtest/gtest.h>

#include <vector>

#include "sim/ble_host.h"

namespace {

namespace ble = sim::ble;
using ble::Bytes;

ble::AttServer server() {
  ble::AttServer s;
  auto add = [&](uint16_t h, uint16_t type, Bytes value, uint8_t perm, uint16_t max,
                 bool variable) {
    ble::Attribute a;
    a.handle = h;
    a.type = ble::uuid16(type);
    a.value = std::move(value);
    a.permissions = perm;
    a.max_len = max;
    a.variable = variable;
    s.add(a);
  };
  using A = ble::Attribute;
  add(0x0010, ble::kUuidPrimaryService, {0x0D, 0x18}, A::kRead, 2, false);
  add(0x0011, 0x2A37, {1, 2, 3}, A::kRead | A::kWrite, 4, true);     // up to 4 bytes
  add(0x0012, 0x2A38, {9, 9}, A::kRead | A::kWrite, 2, false);       // exactly 2 bytes
  add(0x0013, 0x2A39, {7}, A::kWrite, 1, false);                     // write only
  add(0x0014, 0x2A3A, {5}, A::kRead | A::kReadEncrypted, 1, false);  // needs encryption
  return s;
}

TEST(AttServer, AnswersEachRequestOrRefusesItWithTheRightError) {
  struct Case {
    const char* what;
    Bytes request;
    Bytes response;
  } cases[] = {
      {"read", {0x0A, 0x11, 0x00}, {0x0B, 1, 2, 3}},
      {"read of no attribute", {0x0A, 0x99, 0x00}, {0x01, 0x0A, 0x99, 0x00, 0x01}},
      {"read of a write-only value", {0x0A, 0x13, 0x00}, {0x01, 0x0A, 0x13, 0x00, 0x02}},
      {"read without encryption", {0x0A, 0x14, 0x00}, {0x01, 0x0A, 0x14, 0x00, 0x05}},
      {"read too short", {0x0A, 0x11}, {0x01, 0x0A, 0x00, 0x00, 0x04}},
      {"blob past the end", {0x0C, 0x11, 0x00, 0x04, 0x00}, {0x01, 0x0C, 0x11, 0x00, 0x07}},
      {"write", {0x12, 0x11, 0x00, 8, 8}, {0x13}},
      {"write too long", {0x12, 0x11, 0x00, 1, 2, 3, 4, 5}, {0x01, 0x12, 0x11, 0x00, 0x0D}},
      {"write of the wrong fixed length", {0x12, 0x12, 0x00, 1}, {0x01, 0x12, 0x12, 0x00, 0x0D}},
      {"write of a read-only value", {0x12, 0x10, 0x00, 1}, {0x01, 0x12, 0x10, 0x00, 0x03}},
      {"command refused silently", {0x52, 0x10, 0x00, 1}, {}},
      {"unknown request", {0x20, 0x00}, {0x01, 0x20, 0x00, 0x00, 0x06}},
      {"unknown command", {0x60, 0x00}, {}},
      {"MTU below the minimum", {0x02, 0x05, 0x00}, {0x03, 0xF7, 0x00}},
      {"find information",
       {0x04, 0x10, 0x00, 0x11, 0x00},
       {0x05, 0x01, 0x10, 0x00, 0x00, 0x28, 0x11, 0x00, 0x37, 0x2A}},
      {"find information, empty range",
       {0x04, 0x20, 0x00, 0x10, 0x00},
       {0x01, 0x04, 0x20, 0x00, 0x01}},
      {"group of services",
       {0x10, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28},
       {0x11, 6, 0x10, 0x00, 0x14, 0x00, 0x0D, 0x18}},
      {"type not found",
       {0x08, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x29},
       {0x01, 0x08, 0x01, 0x00, 0x0A}},
  };
  for (const Case& c : cases) {
    ble::AttServer s = server();
    EXPECT_EQ(s.handle(c.request), c.response) << c.what;
  }
  ble::AttServer s = server();
  s.handle({0x02, 0x05, 0x00});
  EXPECT_EQ(s.mtu(), ble::kDefaultAttMtu) << "an MTU below 23 leaves 23";
  s.set_encrypted(true);
  EXPECT_EQ(s.handle({0x0A, 0x14, 0x00}), (Bytes{0x0B, 5}));
}

TEST(L2cap, ReassemblesWhatTheHeaderDescribesAndDropsTheRest) {
  // The link layer is not used for receiving.
  struct NoRadio : ble::Radio {
    void set_client(Client*) override {}
    sim::time_us now() const override { return 0; }
    uint32_t device_id() const override { return 0; }
    void transmit(uint8_t, uint32_t, const Bytes&, sim::time_us, int8_t) override {}
    void listen(uint8_t, uint32_t) override {}
    void stop_listening() override {}
    void set_timer(sim::time_us) override {}
  } radio;
  ble::LinkLayer ll(radio, {}, true);
  ble::L2cap l2(ll);
  std::vector<std::pair<uint16_t, Bytes>> got;
  l2.on_sdu = [&](uint16_t cid, const Bytes& sdu) { got.emplace_back(cid, sdu); };

  const Bytes start = {5, 0, 4, 0, 'a', 'b'};
  l2.acl(ble::kLlidStart, start.data(), start.size());
  const Bytes rest = {'c', 'd', 'e'};
  l2.acl(ble::kLlidContinuation, rest.data(), rest.size());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (std::pair<uint16_t, Bytes>{4, {'a', 'b', 'c', 'd', 'e'}}));

  // More than announced: not an SDU. A continuation without a start: ignored.
  l2.acl(ble::kLlidStart, start.data(), start.size());
  const Bytes too_much = {'c', 'd', 'e', 'f'};
  l2.acl(ble::kLlidContinuation, too_much.data(), too_much.size());
  l2.acl(ble::kLlidContinuation, rest.data(), rest.size());
  // A length beyond what reassembly keeps: dropped whole.
  const Bytes huge = {0xFF, 0xFF, 4, 0, 'x'};
  l2.acl(ble::kLlidStart, huge.data(), huge.size());
  for (int i = 0; i < 10; ++i) l2.acl(ble::kLlidContinuation, rest.data(), rest.size());
  EXPECT_EQ(got.size(), 1u);
}

TEST(Pairing, TheConfirmValueDependsOnThePasskeyAndBothPdus) {
  const ble::Key rand = {1, 2, 3};
  const Bytes preq = {1, 4, 0, 5, 16, 0, 0}, pres = {2, 3, 0, 1, 16, 0, 0};
  const ble::Key c = ble::pairing_confirm(ble::passkey_tk(123456), rand, preq, pres);
  EXPECT_EQ(c, ble::pairing_confirm(ble::passkey_tk(123456), rand, preq, pres));
  EXPECT_NE(c, ble::pairing_confirm(ble::passkey_tk(123457), rand, preq, pres));
  EXPECT_NE(c, ble::pairing_confirm(ble::passkey_tk(123456), ble::Key{1, 2, 4}, preq, pres));
  Bytes other = pres;
  other[1] = 4;
  EXPECT_NE(c, ble::pairing_confirm(ble::passkey_tk(123456), rand, preq, other));
  EXPECT_NE(ble::short_term_key(ble::passkey_tk(1), rand, ble::Key{}),
            ble::short_term_key(ble::passkey_tk(1), ble::Key{}, rand))
      << "the two random values have their places";
}

}  // namespace

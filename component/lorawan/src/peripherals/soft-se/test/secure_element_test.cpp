// The secure element: defaults and stored layout, refusals, MIC, key
// derivation, multicast key unwrapping and join-accept processing, each
// checked against values the test computes with OpenSSL from the LoRaWAN
// formulas.
#include <gtest/gtest.h>

#include <cstring>

#include "openssl_ref.h"
#include "secure-element.h"

using ref::Bytes;
using ref::from_hex;

namespace {

const Bytes kDefaultKey = from_hex("9D4B27E1C08A5F36B2E47D19A03C6E85");

class SecureElementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&nvm_, 0x5A, sizeof(nvm_));
    ASSERT_EQ(SecureElementInit(&nvm_), SECURE_ELEMENT_SUCCESS);
  }
  Bytes key(KeyIdentifier_t id) const {
    for (const auto& k : nvm_.KeyList) {
      if (k.KeyID == id) return Bytes(k.KeyValue, k.KeyValue + 16);
    }
    ADD_FAILURE() << "no key " << int(id);
    return {};
  }
  void set(KeyIdentifier_t id, const Bytes& k) {
    ASSERT_EQ(SecureElementSetKey(id, k.data()), SECURE_ELEMENT_SUCCESS);
  }
  SecureElementNvmData_t nvm_;
};

uint32_t mic_of(const Bytes& tag) {
  return uint32_t(tag[0]) | uint32_t(tag[1]) << 8 | uint32_t(tag[2]) << 16 | uint32_t(tag[3]) << 24;
}

TEST_F(SecureElementTest, InitWritesTheDefaultRecord) {
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&nvm_);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(raw[i], 0) << "EUIs and PIN are zero";
  const struct {
    uint8_t id;
    bool dflt;
  } expected[NUM_OF_KEYS] = {{0, true},    {1, true},    {2, false},   {3, false},   {4, true},
                             {5, true},    {6, true},    {7, true},    {8, false},   {127, false},
                             {128, false}, {129, false}, {130, false}, {131, false}, {132, false},
                             {133, false}, {134, false}, {135, false}, {136, false}, {137, false},
                             {138, false}, {139, false}, {140, false}};
  for (int i = 0; i < NUM_OF_KEYS; ++i) {
    const uint8_t* entry = raw + 20 + 17 * i;
    EXPECT_EQ(entry[0], expected[i].id) << i;
    Bytes value(entry + 1, entry + 17);
    EXPECT_EQ(value, expected[i].dflt ? kDefaultKey : Bytes(16, 0))
        << "key id " << int(expected[i].id);
  }
  EXPECT_EQ(nvm_.Crc32, 0u);
  EXPECT_EQ(SecureElementInit(nullptr), SECURE_ELEMENT_ERROR_NPE);
}

TEST_F(SecureElementTest, RefusalsTable) {
  uint8_t buf[48] = {};
  uint8_t out[48] = {};
  uint32_t cmac = 0;
  const SecureElementNvmData_t before = nvm_;
  struct Case {
    const char* what;
    SecureElementStatus_t got;
    SecureElementStatus_t want;
  } cases[] = {
      {"encrypt 20 bytes", SecureElementAesEncrypt(buf, 20, APP_KEY, out),
       SECURE_ELEMENT_ERROR_BUF_SIZE},
      {"encrypt without buffer", SecureElementAesEncrypt(nullptr, 16, APP_KEY, out),
       SECURE_ELEMENT_ERROR_NPE},
      {"encrypt without output", SecureElementAesEncrypt(buf, 16, APP_KEY, nullptr),
       SECURE_ELEMENT_ERROR_NPE},
      {"encrypt with unknown key",
       SecureElementAesEncrypt(buf, 16, static_cast<KeyIdentifier_t>(9), out),
       SECURE_ELEMENT_ERROR_INVALID_KEY_ID},
      {"encrypt with NO_KEY", SecureElementAesEncrypt(buf, 16, NO_KEY, out),
       SECURE_ELEMENT_ERROR_INVALID_KEY_ID},
      {"cmac with multicast key",
       SecureElementComputeAesCmac(nullptr, buf, 16, MC_APP_S_KEY_0, &cmac),
       SECURE_ELEMENT_ERROR_INVALID_KEY_ID},
      {"cmac with MC_KE_KEY", SecureElementComputeAesCmac(nullptr, buf, 16, MC_KE_KEY, &cmac),
       SECURE_ELEMENT_ERROR_INVALID_KEY_ID},
      {"cmac without buffer", SecureElementComputeAesCmac(nullptr, nullptr, 16, APP_KEY, &cmac),
       SECURE_ELEMENT_ERROR_NPE},
      {"cmac without result", SecureElementComputeAesCmac(nullptr, buf, 16, APP_KEY, nullptr),
       SECURE_ELEMENT_ERROR_NPE},
      {"verify without buffer", SecureElementVerifyAesCmac(nullptr, 16, 0, APP_KEY),
       SECURE_ELEMENT_ERROR_NPE},
      {"set key none", SecureElementSetKey(APP_KEY, nullptr), SECURE_ELEMENT_ERROR_NPE},
      {"set unknown key", SecureElementSetKey(static_cast<KeyIdentifier_t>(50), buf),
       SECURE_ELEMENT_ERROR_INVALID_KEY_ID},
      {"derive MC_KE_KEY from APP_KEY", SecureElementDeriveAndStoreKey(buf, APP_KEY, MC_KE_KEY),
       SECURE_ELEMENT_ERROR_INVALID_KEY_ID},
      {"derive without input", SecureElementDeriveAndStoreKey(nullptr, NWK_KEY, APP_S_KEY),
       SECURE_ELEMENT_ERROR_NPE},
      {"derive into unknown key",
       SecureElementDeriveAndStoreKey(buf, NWK_KEY, static_cast<KeyIdentifier_t>(126)),
       SECURE_ELEMENT_ERROR_INVALID_KEY_ID},
      {"dev eui none", SecureElementSetDevEui(nullptr), SECURE_ELEMENT_ERROR_NPE},
      {"join eui none", SecureElementSetJoinEui(nullptr), SECURE_ELEMENT_ERROR_NPE},
      {"pin none", SecureElementSetPin(nullptr), SECURE_ELEMENT_ERROR_NPE},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(std::memcmp(&before, &nvm_, sizeof(nvm_)), 0)
      << "a refused operation never alters the record";
}

TEST_F(SecureElementTest, MicWithAndWithoutB0MatchesOpenssl) {
  const Bytes k = ref::pseudo_random(16, 3);
  set(S_NWK_S_INT_KEY, k);
  const Bytes b0 = ref::pseudo_random(16, 4);
  for (uint16_t len : {0, 1, 15, 16, 17, 51, 255}) {
    Bytes msg = ref::pseudo_random(len, len + 10u);
    msg.reserve(1);  // a valid pointer also for the empty message
    uint32_t cmac = 0;
    ASSERT_EQ(SecureElementComputeAesCmac(nullptr, msg.data(), len, S_NWK_S_INT_KEY, &cmac),
              SECURE_ELEMENT_SUCCESS);
    EXPECT_EQ(cmac, mic_of(ref::aes_cmac(k, msg))) << len;
    Bytes with_b0 = b0;
    with_b0.insert(with_b0.end(), msg.begin(), msg.end());
    ASSERT_EQ(SecureElementComputeAesCmac(b0.data(), msg.data(), len, S_NWK_S_INT_KEY, &cmac),
              SECURE_ELEMENT_SUCCESS);
    EXPECT_EQ(cmac, mic_of(ref::aes_cmac(k, with_b0))) << len;
    EXPECT_EQ(
        SecureElementVerifyAesCmac(msg.data(), len, mic_of(ref::aes_cmac(k, msg)), S_NWK_S_INT_KEY),
        SECURE_ELEMENT_SUCCESS);
    EXPECT_EQ(SecureElementVerifyAesCmac(msg.data(), len, mic_of(ref::aes_cmac(k, msg)) ^ 1u,
                                         S_NWK_S_INT_KEY),
              SECURE_ELEMENT_FAIL_CMAC);
  }
  // Verify computes with any key of the list, multicast ones included.
  const Bytes mk = ref::pseudo_random(16, 8);
  set(MC_APP_S_KEY_0, mk);
  Bytes msg = ref::pseudo_random(20, 9);
  EXPECT_EQ(
      SecureElementVerifyAesCmac(msg.data(), 20, mic_of(ref::aes_cmac(mk, msg)), MC_APP_S_KEY_0),
      SECURE_ELEMENT_SUCCESS);
}

TEST_F(SecureElementTest, EncryptInPlaceMatchesOpenssl) {
  const Bytes k = ref::pseudo_random(16, 21);
  set(APP_S_KEY, k);
  Bytes data = ref::pseudo_random(48, 22);
  Bytes expect = ref::aes_ecb(k, data, true);
  ASSERT_EQ(SecureElementAesEncrypt(data.data(), 48, APP_S_KEY, data.data()),
            SECURE_ELEMENT_SUCCESS);
  EXPECT_EQ(data, expect);
}

TEST_F(SecureElementTest, SessionAndMulticastKeyDerivation) {
  const Bytes nwk = ref::pseudo_random(16, 31);
  set(NWK_KEY, nwk);
  // LoRaWAN 1.0 session keys: E(NwkKey, 0x01|0x02 | JoinNonce | NetID | DevNonce | pad).
  for (uint8_t prefix : {0x01, 0x02}) {
    Bytes input(16, 0);
    input[0] = prefix;
    Bytes rest = ref::pseudo_random(8, prefix);
    std::copy(rest.begin(), rest.end(), input.begin() + 1);
    KeyIdentifier_t target = prefix == 1 ? F_NWK_S_INT_KEY : APP_S_KEY;
    ASSERT_EQ(SecureElementDeriveAndStoreKey(input.data(), NWK_KEY, target),
              SECURE_ELEMENT_SUCCESS);
    EXPECT_EQ(key(target), ref::aes_ecb(nwk, input, true));
  }
  // Multicast: McKEKey from McRootKey, then a wrapped McKey is stored
  // as the encryption of the given bytes under McKEKey.
  const Bytes root = ref::pseudo_random(16, 41);
  set(MC_ROOT_KEY, root);
  Bytes ke_input(16, 0);
  ASSERT_EQ(SecureElementDeriveAndStoreKey(ke_input.data(), MC_ROOT_KEY, MC_KE_KEY),
            SECURE_ELEMENT_SUCCESS);
  const Bytes ke = ref::aes_ecb(root, ke_input, true);
  EXPECT_EQ(key(MC_KE_KEY), ke);
  const Bytes wrapped = ref::pseudo_random(16, 42);
  ASSERT_EQ(SecureElementSetKey(MC_KEY_2, wrapped.data()), SECURE_ELEMENT_SUCCESS);
  EXPECT_EQ(key(MC_KEY_2), ref::aes_ecb(ke, wrapped, true));
  EXPECT_NE(key(MC_KEY_2), wrapped);
}

TEST_F(SecureElementTest, IdentitySettersWriteTheRecord) {
  const Bytes dev = from_hex("0102030405060708"), join = from_hex("1112131415161718"),
              pin = from_hex("A1B2C3D4");
  ASSERT_EQ(SecureElementSetDevEui(dev.data()), SECURE_ELEMENT_SUCCESS);
  ASSERT_EQ(SecureElementSetJoinEui(join.data()), SECURE_ELEMENT_SUCCESS);
  ASSERT_EQ(SecureElementSetPin(pin.data()), SECURE_ELEMENT_SUCCESS);
  EXPECT_EQ(Bytes(nvm_.DevEui, nvm_.DevEui + 8), dev);
  EXPECT_EQ(Bytes(nvm_.JoinEui, nvm_.JoinEui + 8), join);
  EXPECT_EQ(Bytes(nvm_.Pin, nvm_.Pin + 4), pin);
  EXPECT_EQ(SecureElementGetDevEui(), nvm_.DevEui);
  EXPECT_EQ(SecureElementGetJoinEui(), nvm_.JoinEui);
  EXPECT_EQ(SecureElementGetPin(), nvm_.Pin);
}

// ------------------------------------------------------------ join accept --

struct JoinAccept {
  Bytes plain;  // MHDR .. CFList, MIC appended
  Bytes frame;  // as sent by the network
};

// The network side of a join accept, from the LoRaWAN formulas: MIC over the
// plain frame, then the frame after MHDR "encrypted" with the AES decryption.
JoinAccept make_join_accept(const Bytes& enc_key, const Bytes& mic_key, bool opt_neg, bool cflist,
                            uint8_t req_type, const Bytes& join_eui, uint16_t dev_nonce) {
  Bytes p = {0x20};
  Bytes body = ref::pseudo_random(cflist ? 28 : 12, cflist ? 77 : 78);
  body[10] = static_cast<uint8_t>(opt_neg ? (body[10] | 0x80) : (body[10] & 0x7F));  // DLSettings
  p.insert(p.end(), body.begin(), body.end());
  Bytes mic_input;
  if (opt_neg) {
    mic_input.push_back(req_type);
    mic_input.insert(mic_input.end(), join_eui.rbegin(), join_eui.rend());
    mic_input.push_back(static_cast<uint8_t>(dev_nonce));
    mic_input.push_back(static_cast<uint8_t>(dev_nonce >> 8));
  }
  mic_input.insert(mic_input.end(), p.begin(), p.end());
  Bytes tag = ref::aes_cmac(mic_key, mic_input);
  p.insert(p.end(), tag.begin(), tag.begin() + 4);
  Bytes enc = ref::aes_ecb(enc_key, Bytes(p.begin() + 1, p.end()), false);
  Bytes frame = {p[0]};
  frame.insert(frame.end(), enc.begin(), enc.end());
  return {p, frame};
}

TEST_F(SecureElementTest, JoinAcceptVersion10AcceptedWithAndWithoutCfList) {
  const Bytes nwk = ref::pseudo_random(16, 51);
  set(NWK_KEY, nwk);
  for (bool cflist : {false, true}) {
    JoinAccept ja = make_join_accept(nwk, nwk, false, cflist, JOIN_REQ, {}, 0);
    Bytes dec(33, 0);
    uint8_t minor = 0xEE;
    ASSERT_EQ(
        SecureElementProcessJoinAccept(JOIN_REQ, nullptr, 0, ja.frame.data(),
                                       static_cast<uint8_t>(ja.frame.size()), dec.data(), &minor),
        SECURE_ELEMENT_SUCCESS)
        << ja.frame.size();
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(Bytes(dec.begin(), dec.begin() + static_cast<long>(ja.plain.size())), ja.plain);
  }
}

TEST_F(SecureElementTest, JoinAcceptVersion11UsesJoinServerKeys) {
  const Bytes nwk = ref::pseudo_random(16, 61);
  set(NWK_KEY, nwk);
  const Bytes dev_eui = from_hex("70B3D57ED0000001");
  const Bytes join_eui = from_hex("0011223344556677");
  // JSIntKey = E(NwkKey, 0x06 | DevEUI (little-endian) | pad); derive on the
  // device and in the test.
  Bytes input(16, 0);
  input[0] = 0x06;
  std::copy(dev_eui.rbegin(), dev_eui.rend(), input.begin() + 1);
  ASSERT_EQ(SecureElementDeriveAndStoreKey(input.data(), NWK_KEY, J_S_INT_KEY),
            SECURE_ELEMENT_SUCCESS);
  const Bytes js_int = ref::aes_ecb(nwk, input, true);
  EXPECT_EQ(key(J_S_INT_KEY), js_int);

  const uint16_t dev_nonce = 0x1234;
  JoinAccept ja = make_join_accept(nwk, js_int, true, true, JOIN_REQ, join_eui, dev_nonce);
  Bytes dec(33, 0);
  uint8_t minor = 0;
  EXPECT_EQ(SecureElementProcessJoinAccept(JOIN_REQ, join_eui.data(), dev_nonce, ja.frame.data(),
                                           33, dec.data(), &minor),
            SECURE_ELEMENT_SUCCESS);
  EXPECT_EQ(minor, 1);
  EXPECT_EQ(dec, ja.plain);
  // Another DevNonce gives another MIC.
  EXPECT_EQ(SecureElementProcessJoinAccept(JOIN_REQ, join_eui.data(), dev_nonce + 1,
                                           ja.frame.data(), 33, dec.data(), &minor),
            SECURE_ELEMENT_FAIL_CMAC);

  // A rejoin answer is decrypted with JSEncKey.
  const Bytes js_enc = ref::pseudo_random(16, 62);
  set(J_S_ENC_KEY, js_enc);
  JoinAccept rj = make_join_accept(js_enc, js_int, true, false, REJOIN_REQ_0, join_eui, dev_nonce);
  Bytes dec2(33, 0);
  EXPECT_EQ(SecureElementProcessJoinAccept(REJOIN_REQ_0, join_eui.data(), dev_nonce,
                                           rj.frame.data(), 17, dec2.data(), &minor),
            SECURE_ELEMENT_SUCCESS);
  EXPECT_EQ(Bytes(dec2.begin(), dec2.begin() + 17), rj.plain);
}

TEST_F(SecureElementTest, JoinAcceptOfWrongLengthOrMicIsRefused) {
  const Bytes nwk = ref::pseudo_random(16, 71);
  set(NWK_KEY, nwk);
  JoinAccept ja = make_join_accept(nwk, nwk, false, true, JOIN_REQ, {}, 0);
  Bytes frame = ja.frame;
  frame.resize(40, 0);
  uint8_t minor = 0;

  struct Case {
    uint8_t size;
    SecureElementStatus_t want;
  } cases[] = {
      {34, SECURE_ELEMENT_ERROR_BUF_SIZE},  {40, SECURE_ELEMENT_ERROR_BUF_SIZE},
      {255, SECURE_ELEMENT_ERROR_BUF_SIZE}, {16, SECURE_ELEMENT_ERROR_BUF_SIZE},
      {4, SECURE_ELEMENT_ERROR_BUF_SIZE},   {0, SECURE_ELEMENT_ERROR_BUF_SIZE},
      {32, SECURE_ELEMENT_FAIL_ENCRYPT},    {18, SECURE_ELEMENT_FAIL_ENCRYPT},
  };
  Bytes big(256, 0);
  for (const auto& c : cases) {
    Bytes dec(256, 0xCC);
    const uint8_t* src = c.size > 40 ? big.data() : frame.data();
    EXPECT_EQ(SecureElementProcessJoinAccept(JOIN_REQ, nullptr, 0, src, c.size, dec.data(), &minor),
              c.want)
        << int(c.size);
    if (c.want == SECURE_ELEMENT_ERROR_BUF_SIZE) {
      EXPECT_EQ(dec, Bytes(256, 0xCC)) << "nothing decrypted for size " << int(c.size);
    }
  }

  // A flipped bit anywhere in the encrypted part fails the MIC (whichever
  // version the scrambled DLSettings then claims).
  const Bytes eui = from_hex("0011223344556677");
  for (size_t i = 1; i < ja.frame.size(); i += 5) {
    Bytes bad = ja.frame;
    bad[i] ^= 0x01;
    Bytes dec(33, 0);
    EXPECT_EQ(
        SecureElementProcessJoinAccept(JOIN_REQ, eui.data(), 0, bad.data(), 33, dec.data(), &minor),
        SECURE_ELEMENT_FAIL_CMAC)
        << i;
  }
  // And so does another NwkKey.
  JoinAccept other = make_join_accept(ref::pseudo_random(16, 72), ref::pseudo_random(16, 72), false,
                                      false, JOIN_REQ, {}, 0);
  Bytes dec(33, 0);
  EXPECT_EQ(SecureElementProcessJoinAccept(JOIN_REQ, eui.data(), 0, other.frame.data(), 17,
                                           dec.data(), &minor),
            SECURE_ELEMENT_FAIL_CMAC);
  EXPECT_EQ(SecureElementProcessJoinAccept(JOIN_REQ, nullptr, 0, nullptr, 17, dec.data(), &minor),
            SECURE_ELEMENT_ERROR_NPE);
}

}  // namespace

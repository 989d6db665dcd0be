// The frame security layer on the real secure element, against the test
// network's own LoRaWAN codec and key schedule (and OpenSSL where the
// network has no counterpart): join request and accept for 1.0.x and 1.1,
// session and multicast keys, uplink and downlink security, the frame
// counters and the nonces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "LoRaMacCrypto.h"
#include "network/lorawan.h"
#include "openssl_ref.h"

namespace {

namespace net = sim::network;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kJoinEui = 0x70B3D57ED0001234;
constexpr uint64_t kDevEui = 0x0004A30B001C0530;
constexpr uint32_t kNetId = 0x000013;
constexpr uint32_t kDevAddr = 0x260B1A2C;

net::Key KeyOf(const char* hex) {
  net::Key k{};
  EXPECT_TRUE(net::parse_key(hex, &k));
  return k;
}

const net::Key kNwkKey = KeyOf("2B7E151628AED2A6ABF7158809CF4F3C");
const net::Key kAppKey = KeyOf("00112233445566778899AABBCCDDEEFF");

void EuiBytes(uint64_t eui, uint8_t out[8]) {
  for (int i = 0; i < 8; ++i)
    out[i] = static_cast<uint8_t>(eui >> (8 * (7 - i)));  // stored MSB first
}

Bytes ToBytes(const net::Key& k) { return Bytes(k.begin(), k.end()); }

net::Key AesOf(const net::Key& key, const Bytes& block) {
  Bytes out = ref::aes_ecb(ToBytes(key), block, true);
  net::Key k{};
  std::memcpy(k.data(), out.data(), 16);
  return k;
}

class CryptoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&se_, 0, sizeof se_);
    std::memset(&nvm_, 0xA5, sizeof nvm_);
    ASSERT_EQ(SecureElementInit(&se_), SECURE_ELEMENT_SUCCESS);
    ASSERT_EQ(LoRaMacCryptoInit(&nvm_), LORAMAC_CRYPTO_SUCCESS);
    uint8_t eui[8];
    EuiBytes(kDevEui, eui);
    SecureElementSetDevEui(eui);
    EuiBytes(kJoinEui, eui);
    SecureElementSetJoinEui(eui);
  }

  net::Key SeKey(KeyIdentifier_t id) const {
    for (const Key_t& k : se_.KeyList) {
      if (k.KeyID == id) {
        net::Key out{};
        std::memcpy(out.data(), k.KeyValue, 16);
        return out;
      }
    }
    ADD_FAILURE() << "no key " << int(id);
    return {};
  }
  void SetKey(KeyIdentifier_t id, const net::Key& k) {
    ASSERT_EQ(LoRaMacCryptoSetKey(id, k.data()), LORAMAC_CRYPTO_SUCCESS) << int(id);
  }
  void SetVersion(uint32_t v) {
    Version_t version;
    version.Value = v;
    ASSERT_EQ(LoRaMacCryptoSetLrWanVersion(version), LORAMAC_CRYPTO_SUCCESS);
  }
  // Session keys as the network holds them, taken into the element.
  void SetSession(const net::SessionKeys& k) {
    SetKey(F_NWK_S_INT_KEY, k.fnwk_s_int);
    SetKey(S_NWK_S_INT_KEY, k.snwk_s_int);
    SetKey(NWK_S_ENC_KEY, k.nwk_s_enc);
    SetKey(APP_S_KEY, k.app_s);
  }
  void ExpectSession(const net::SessionKeys& k) const {
    EXPECT_EQ(SeKey(F_NWK_S_INT_KEY), k.fnwk_s_int);
    EXPECT_EQ(SeKey(S_NWK_S_INT_KEY), k.snwk_s_int);
    EXPECT_EQ(SeKey(NWK_S_ENC_KEY), k.nwk_s_enc);
    EXPECT_EQ(SeKey(APP_S_KEY), k.app_s);
  }

  // The OTAA keys; a LoRaWAN 1.0.x device has one root key, set as both.
  void SetRootKeys(bool v11) {
    SetKey(NWK_KEY, kNwkKey);
    SetKey(APP_KEY, v11 ? kAppKey : kNwkKey);
  }

  Bytes JoinRequest() {
    LoRaMacMessageJoinRequest_t m{};
    m.Buffer = buf_;
    m.BufSize = sizeof buf_;
    EuiBytes(kJoinEui, m.JoinEUI);
    EuiBytes(kDevEui, m.DevEUI);
    EXPECT_EQ(LoRaMacCryptoPrepareJoinRequest(&m), LORAMAC_CRYPTO_SUCCESS);
    return Bytes(buf_, buf_ + m.BufSize);
  }

  LoRaMacCryptoStatus_t Accept(JoinReqIdentifier_t type, Bytes& frame,
                               LoRaMacMessageJoinAccept_t* out = nullptr,
                               LoRaMacCryptoJoinAcceptCheck_t check = nullptr) {
    LoRaMacMessageJoinAccept_t m{};
    m.Buffer = frame.data();
    m.BufSize = static_cast<uint8_t>(frame.size());
    uint8_t joinEui[8];
    EuiBytes(kJoinEui, joinEui);
    LoRaMacCryptoStatus_t st = LoRaMacCryptoHandleJoinAccept(type, joinEui, &m, check);
    if (out != nullptr) *out = m;
    return st;
  }

  // A data uplink record over buf_ with a copy of the payload.
  LoRaMacMessageData_t Uplink(uint8_t fctrl, const Bytes& fopts, int port, const Bytes& payload) {
    LoRaMacMessageData_t m{};
    m.Buffer = buf_;
    m.BufSize = sizeof buf_;
    m.MHDR.Value = 0x40;
    m.FHDR.DevAddr = kDevAddr;
    m.FHDR.FCtrl.Value = static_cast<uint8_t>(fctrl | fopts.size());
    std::copy(fopts.begin(), fopts.end(), m.FHDR.FOpts);
    std::copy(payload.begin(), payload.end(), payload_);
    m.FRMPayload = payload_;
    m.FRMPayloadSize = static_cast<uint8_t>(payload.size());
    m.FPort = static_cast<uint8_t>(port < 0 ? 0 : port);
    return m;
  }

  LoRaMacCryptoStatus_t Unsecure(Bytes frame, AddressIdentifier_t addrID, uint32_t address,
                                 FCntIdentifier_t id, uint32_t fcnt,
                                 LoRaMacMessageData_t* out = nullptr) {
    rx_ = frame;
    LoRaMacMessageData_t m{};
    m.Buffer = rx_.data();
    m.BufSize = static_cast<uint8_t>(rx_.size());
    m.FRMPayload = payload_;
    LoRaMacCryptoStatus_t st = LoRaMacCryptoUnsecureMessage(addrID, address, id, fcnt, &m);
    if (out != nullptr) *out = m;
    return st;
  }

  SecureElementNvmData_t se_;
  LoRaMacCryptoNvmData_t nvm_;
  uint8_t buf_[255];
  uint8_t payload_[255];
  Bytes rx_;
};

TEST_F(CryptoTest, InitSetsAFreshGroup) {
  EXPECT_EQ(nvm_.LrWanVersion.Value, 0x01010100u);
  EXPECT_EQ(nvm_.DevNonce, 0);
  EXPECT_EQ(nvm_.JoinNonce, 0u);
  EXPECT_EQ(nvm_.FCntList.FCntUp, 0u);
  EXPECT_EQ(nvm_.FCntList.NFCntDown, 0xFFFFFFFFu);
  EXPECT_EQ(nvm_.FCntList.AFCntDown, 0xFFFFFFFFu);
  EXPECT_EQ(nvm_.FCntList.FCntDown, 0xFFFFFFFFu);
  for (uint32_t c : nvm_.FCntList.McFCntDown) EXPECT_EQ(c, 0xFFFFFFFFu);
  EXPECT_EQ(nvm_.FCntList.RJcount1, 0);
  EXPECT_EQ(nvm_.LastDownFCnt, 0xFFFFFFFFu);
  EXPECT_EQ(nvm_.Padding[0] | nvm_.Padding[1] | nvm_.FCntList.Padding[0] | nvm_.FCntList.Padding[1],
            0)
      << "stored padding is zero";
  EXPECT_EQ(nvm_.Crc32, 0u);
  EXPECT_EQ(LoRaMacCryptoInit(nullptr), LORAMAC_CRYPTO_FAIL_PARAM);

  uint32_t up = 0;
  ASSERT_EQ(LoRaMacCryptoGetFCntUp(&up), LORAMAC_CRYPTO_SUCCESS);
  EXPECT_EQ(up, 1u);

  MulticastCtx_t groups[LORAMAC_MAX_MC_CTX];
  std::memset(groups, 0x77, sizeof groups);
  ASSERT_EQ(LoRaMacCryptoSetMulticastReference(groups), LORAMAC_CRYPTO_SUCCESS);
  for (uint32_t i = 0; i < LORAMAC_MAX_MC_CTX; ++i) EXPECT_EQ(groups[i].DownLinkCounterRef, i);
}

TEST_F(CryptoTest, JoinRequestSignedWithTheNetworkKey) {
  SetRootKeys(true);
  for (uint16_t nonce = 1; nonce <= 2; ++nonce) {
    SCOPED_TRACE(nonce);
    Bytes f = JoinRequest();
    EXPECT_EQ(f, net::build_join_request(kNwkKey, kJoinEui, kDevEui, nonce));
    EXPECT_TRUE(net::join_request_mic_ok(f, kNwkKey));
    EXPECT_EQ(nvm_.DevNonce, nonce) << "the nonce is kept in the stored group";
  }
  EXPECT_EQ(SeKey(J_S_INT_KEY), net::js_int_key(kNwkKey, kDevEui));
  EXPECT_EQ(SeKey(J_S_ENC_KEY), net::js_enc_key(kNwkKey, kDevEui));

  LoRaMacMessageJoinRequest_t small{};
  small.Buffer = buf_;
  small.BufSize = 22;
  EXPECT_EQ(LoRaMacCryptoPrepareJoinRequest(&small), LORAMAC_CRYPTO_ERROR_SERIALIZER);
  EXPECT_EQ(LoRaMacCryptoPrepareJoinRequest(nullptr), LORAMAC_CRYPTO_ERROR_NPE);
}

// The last DevNonce is 0xFFFF: the request after it is refused and the
// nonce stays, so no request ever repeats one the network has seen.
TEST_F(CryptoTest, JoinRequestsStopAtTheLastDevNonce) {
  SetRootKeys(false);
  nvm_.DevNonce = 0xFFFE;
  Bytes f = JoinRequest();
  EXPECT_EQ(f, net::build_join_request(kNwkKey, kJoinEui, kDevEui, 0xFFFF));
  for (int i = 0; i < 2; ++i) {
    LoRaMacMessageJoinRequest_t m{};
    m.Buffer = buf_;
    m.BufSize = sizeof buf_;
    EuiBytes(kJoinEui, m.JoinEUI);
    EuiBytes(kDevEui, m.DevEUI);
    EXPECT_EQ(LoRaMacCryptoPrepareJoinRequest(&m), LORAMAC_CRYPTO_FAIL_DEV_NONCE_OVERFLOW);
    EXPECT_EQ(nvm_.DevNonce, 0xFFFF);
  }
}

TEST_F(CryptoTest, JoinAccept10WithAndWithoutCFList) {
  for (bool cflist : {false, true}) {
    SCOPED_TRACE(cflist ? "33 bytes" : "17 bytes");
    SetUp();
    SetRootKeys(false);
    nvm_.FCntList.FCntUp = 9;
    nvm_.FCntList.NFCntDown = nvm_.FCntList.AFCntDown = nvm_.FCntList.FCntDown = 4;
    nvm_.FCntList.McFCntDown[2] = 7;
    JoinRequest();
    net::JoinAccept ja;
    ja.join_nonce = 0xA1B2C3;
    ja.net_id = kNetId;
    ja.dev_addr = kDevAddr;
    ja.dl_settings = 0x13;
    ja.rx_delay = 1;
    if (cflist) ja.cflist = Bytes(16, 0x42);
    const Bytes sent = net::build_join_accept(ja, kNwkKey, kNwkKey, false, 0xFF, kJoinEui, 1);
    Bytes frame = sent;
    LoRaMacMessageJoinAccept_t m;
    ASSERT_EQ(Accept(JOIN_REQ, frame, &m), LORAMAC_CRYPTO_SUCCESS);

    // The record and the buffer hold the decrypted frame.
    Bytes decrypted = ref::aes_ecb(ToBytes(kNwkKey), Bytes(sent.begin() + 1, sent.end()), true);
    decrypted.insert(decrypted.begin(), sent[0]);
    EXPECT_EQ(frame, decrypted);
    EXPECT_EQ(Bytes(frame.begin() + 1, frame.begin() + 13),
              Bytes({0xC3, 0xB2, 0xA1, 0x13, 0x00, 0x00, 0x2C, 0x1A, 0x0B, 0x26, 0x13, 0x01}));
    EXPECT_EQ(m.Buffer, frame.data());
    EXPECT_EQ(m.DevAddr, kDevAddr);
    EXPECT_EQ(m.DLSettings.Value, 0x13);
    if (cflist) {
      EXPECT_EQ(Bytes(m.CFList, m.CFList + 16), Bytes(16, 0x42));
    }

    ExpectSession(net::derive_keys_10(kNwkKey, ja.join_nonce, kNetId, 1));
    EXPECT_EQ(nvm_.JoinNonce, 0xA1B2C3u);
    EXPECT_EQ(nvm_.LrWanVersion.Fields.Minor, 0);
    EXPECT_EQ(nvm_.FCntList.FCntUp, 0u);
    EXPECT_EQ(nvm_.FCntList.NFCntDown, 0xFFFFFFFFu);
    EXPECT_EQ(nvm_.FCntList.AFCntDown, 0xFFFFFFFFu);
    EXPECT_EQ(nvm_.FCntList.FCntDown, 0xFFFFFFFFu);
    EXPECT_EQ(nvm_.FCntList.McFCntDown[2], 7u) << "multicast counters are the groups' own";

    // The multicast root key follows the network's version: 1.0.x here.
    const net::Key root = AesOf(kNwkKey, Bytes(16, 0));
    EXPECT_EQ(SeKey(MC_ROOT_KEY), root);
    EXPECT_EQ(SeKey(MC_KE_KEY), AesOf(root, Bytes(16, 0)));
  }
}

TEST_F(CryptoTest, JoinAccept11OptNeg) {
  SetRootKeys(true);
  JoinRequest();
  JoinRequest();  // DevNonce 2 is the one being answered
  SetVersion(0x01000400);
  net::JoinAccept ja;
  ja.join_nonce = 5;
  ja.net_id = kNetId;
  ja.dev_addr = kDevAddr;
  ja.dl_settings = 0x80;
  Bytes frame = net::build_join_accept(ja, net::js_int_key(kNwkKey, kDevEui), kNwkKey, true, 0xFF,
                                       kJoinEui, 2);
  ASSERT_EQ(Accept(JOIN_REQ, frame), LORAMAC_CRYPTO_SUCCESS);
  ExpectSession(net::derive_keys_11(kNwkKey, kAppKey, 5, kJoinEui, 2));
  EXPECT_EQ(nvm_.LrWanVersion.Fields.Minor, 1);
  EXPECT_EQ(nvm_.JoinNonce, 5u);
  Bytes block(16, 0);
  block[0] = 0x20;
  const net::Key root = AesOf(kAppKey, block);
  EXPECT_EQ(SeKey(MC_ROOT_KEY), root);
  EXPECT_EQ(SeKey(MC_KE_KEY), AesOf(root, Bytes(16, 0)));
}

// The JoinNonce of the last accept a refusing check saw.
uint32_t checkedJoinNonce = 0;
bool RefuseAccept(const LoRaMacMessageJoinAccept_t* accept) {
  checkedJoinNonce = static_cast<uint32_t>(accept->JoinNonce[0]) |
                     static_cast<uint32_t>(accept->JoinNonce[1]) << 8 |
                     static_cast<uint32_t>(accept->JoinNonce[2]) << 16;
  return false;
}

TEST_F(CryptoTest, JoinNonceRulesAndARefusedAcceptChangesNothing) {
  // A JoinNonce at or below the last accepted one is an old accept (on
  // 1.0.x its MIC does not cover the DevNonce, so a recorded one verifies
  // in any later join); the caller's check refuses an otherwise good one.
  struct Case {
    const char* what;
    bool v11;
    uint32_t nonce;
    bool refusedByCheck;
    LoRaMacCryptoStatus_t expected;
  } cases[] = {
      {"1.0.x equal", false, 100, false, LORAMAC_CRYPTO_FAIL_JOIN_NONCE},
      {"1.0.x smaller", false, 99, false, LORAMAC_CRYPTO_FAIL_JOIN_NONCE},
      {"1.0.x greater", false, 101, false, LORAMAC_CRYPTO_SUCCESS},
      {"1.1 equal", true, 100, false, LORAMAC_CRYPTO_FAIL_JOIN_NONCE},
      {"1.1 smaller", true, 99, false, LORAMAC_CRYPTO_FAIL_JOIN_NONCE},
      {"1.1 greater", true, 101, false, LORAMAC_CRYPTO_SUCCESS},
      {"1.0.x greater, refused by the caller", false, 101, true,
       LORAMAC_CRYPTO_FAIL_JOIN_ACCEPT_REFUSED},
      {"1.1 greater, refused by the caller", true, 101, true,
       LORAMAC_CRYPTO_FAIL_JOIN_ACCEPT_REFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    SetRootKeys(c.v11);
    JoinRequest();
    nvm_.JoinNonce = 100;
    nvm_.FCntList.FCntUp = 3;
    const SecureElementNvmData_t seBefore = se_;
    net::JoinAccept ja;
    ja.join_nonce = c.nonce;
    ja.net_id = kNetId;
    ja.dev_addr = kDevAddr;
    ja.dl_settings = c.v11 ? 0x80 : 0;
    const net::Key micKey = c.v11 ? net::js_int_key(kNwkKey, kDevEui) : kNwkKey;
    const Bytes sent = net::build_join_accept(ja, micKey, kNwkKey, c.v11, 0xFF, kJoinEui, 1);
    Bytes frame = sent;
    checkedJoinNonce = 0;
    const LoRaMacCryptoStatus_t st =
        Accept(JOIN_REQ, frame, nullptr, c.refusedByCheck ? RefuseAccept : nullptr);
    EXPECT_EQ(st, c.expected);
    if (c.refusedByCheck) {
      EXPECT_EQ(checkedJoinNonce, c.nonce) << "the check sees the decrypted accept";
    }
    if (st == LORAMAC_CRYPTO_SUCCESS) {
      EXPECT_EQ(nvm_.JoinNonce, c.nonce);
      continue;
    }
    EXPECT_EQ(frame, sent) << "the frame stays as received for the next trial";
    EXPECT_EQ(std::memcmp(&se_, &seBefore, sizeof se_), 0) << "no key derived";
    EXPECT_EQ(nvm_.JoinNonce, 100u);
    EXPECT_EQ(nvm_.FCntList.FCntUp, 3u);
  }

  // A frame that is no answer to a rejoin leaves the buffer as it was, so
  // the join-request trial after it still succeeds.
  SetUp();
  SetRootKeys(true);
  JoinRequest();
  net::JoinAccept ja;
  ja.join_nonce = 1;
  ja.dev_addr = kDevAddr;
  ja.dl_settings = 0x80;
  const Bytes sent = net::build_join_accept(ja, net::js_int_key(kNwkKey, kDevEui), kNwkKey, true,
                                            0xFF, kJoinEui, 1);
  Bytes frame = sent;
  EXPECT_EQ(Accept(REJOIN_REQ_0, frame), LORAMAC_CRYPTO_ERROR_SECURE_ELEMENT_FUNC);
  EXPECT_EQ(frame, sent);
  EXPECT_EQ(Accept(JOIN_REQ, frame), LORAMAC_CRYPTO_SUCCESS);
}

TEST_F(CryptoTest, RejoinRequestsAndTheirAccepts) {
  SetRootKeys(true);
  JoinRequest();
  const net::SessionKeys session = net::derive_keys_11(kNwkKey, kAppKey, 1, kJoinEui, 1);
  SetSession(session);
  const net::Key jsInt = net::js_int_key(kNwkKey, kDevEui);
  uint8_t devEui[8], joinEui[8];
  EuiBytes(kDevEui, devEui);
  EuiBytes(kJoinEui, joinEui);

  uint32_t joinNonce = 10;
  for (uint16_t count = 1; count <= 2; ++count) {
    SCOPED_TRACE(count);
    uint16_t next = 0;
    ASSERT_EQ(LoRaMacCryptoGetRJcount(RJ_COUNT_1, &next), LORAMAC_CRYPTO_SUCCESS);
    EXPECT_EQ(next, count);
    LoRaMacMessageReJoinType1_t r1{};
    r1.Buffer = buf_;
    r1.BufSize = sizeof buf_;
    r1.MHDR.Value = 0xC0;
    r1.ReJoinType = 1;
    std::memcpy(r1.JoinEUI, joinEui, 8);
    std::memcpy(r1.DevEUI, devEui, 8);
    ASSERT_EQ(LoRaMacCryptoPrepareReJoinType1(&r1), LORAMAC_CRYPTO_SUCCESS);
    ASSERT_EQ(r1.BufSize, 24);
    EXPECT_EQ(buf_[18] | buf_[19] << 8, count);
    const Bytes tag = ref::aes_cmac(ToBytes(jsInt), Bytes(buf_, buf_ + 20));
    EXPECT_EQ(Bytes(buf_ + 20, buf_ + 24), Bytes(tag.begin(), tag.begin() + 4));
    EXPECT_EQ(nvm_.FCntList.RJcount1, count);

    ASSERT_EQ(LoRaMacCryptoGetRJcount(RJ_COUNT_0, &next), LORAMAC_CRYPTO_SUCCESS);
    EXPECT_EQ(next, count);
    LoRaMacMessageReJoinType0or2_t r0{};
    r0.Buffer = buf_;
    r0.BufSize = sizeof buf_;
    r0.MHDR.Value = 0xC0;
    r0.ReJoinType = count == 1 ? 0 : 2;
    r0.NetID[0] = 0x13;
    std::memcpy(r0.DevEUI, devEui, 8);
    ASSERT_EQ(LoRaMacCryptoPrepareReJoinType0or2(&r0), LORAMAC_CRYPTO_SUCCESS);
    ASSERT_EQ(r0.BufSize, 19);
    EXPECT_EQ(buf_[13] | buf_[14] << 8, count);
    const Bytes tag0 = ref::aes_cmac(ToBytes(session.snwk_s_int), Bytes(buf_, buf_ + 15));
    EXPECT_EQ(Bytes(buf_ + 15, buf_ + 19), Bytes(tag0.begin(), tag0.begin() + 4));
  }

  // Accepts answering each rejoin type, signed and encrypted by the join
  // server's keys with the rejoin counter as nonce.
  const struct {
    JoinReqIdentifier_t type;
    uint16_t count;
  } answers[] = {{REJOIN_REQ_1, 2}, {REJOIN_REQ_0, 0}, {REJOIN_REQ_2, 0}};
  for (const auto& a : answers) {
    SCOPED_TRACE(int(a.type));
    // After the first accept RJcount0 starts again; send one more type 0.
    uint16_t count = a.count;
    if (a.type != REJOIN_REQ_1) {
      LoRaMacMessageReJoinType0or2_t r0{};
      r0.Buffer = buf_;
      r0.BufSize = sizeof buf_;
      r0.ReJoinType = a.type;
      ASSERT_EQ(LoRaMacCryptoPrepareReJoinType0or2(&r0), LORAMAC_CRYPTO_SUCCESS);
      count = r0.RJcount0;
      EXPECT_EQ(count, 1) << "RJcount0 starts again at every join accept";
    }
    net::JoinAccept ja;
    ja.join_nonce = ++joinNonce;
    ja.net_id = kNetId;
    ja.dev_addr = kDevAddr;
    ja.dl_settings = 0x80;
    Bytes frame = net::build_join_accept(ja, jsInt, net::js_enc_key(kNwkKey, kDevEui), true, a.type,
                                         kJoinEui, count);
    Bytes copy = frame;
    EXPECT_NE(Accept(JOIN_REQ, copy), LORAMAC_CRYPTO_SUCCESS)
        << "not an answer to the join request";
    ASSERT_EQ(Accept(a.type, frame), LORAMAC_CRYPTO_SUCCESS);
    ExpectSession(net::derive_keys_11(kNwkKey, kAppKey, joinNonce, kJoinEui, count));
  }
  EXPECT_EQ(nvm_.FCntList.RJcount1, 2) << "RJcount1 is kept across join accepts";
}

TEST_F(CryptoTest, RejoinCountersStopAtTheirLimit) {
  nvm_.FCntList.RJcount1 = 0xFFFF;
  LoRaMacMessageReJoinType1_t r1{};
  r1.Buffer = buf_;
  r1.BufSize = sizeof buf_;
  EXPECT_EQ(LoRaMacCryptoPrepareReJoinType1(&r1), LORAMAC_CRYPTO_ERROR_RJCOUNT1_OVERFLOW);
  EXPECT_EQ(nvm_.FCntList.RJcount1, 0xFFFF);

  LoRaMacMessageReJoinType0or2_t r0{};
  r0.Buffer = buf_;
  for (uint32_t i = 1; i <= 0xFFFF; ++i) {
    r0.BufSize = sizeof buf_;
    ASSERT_EQ(LoRaMacCryptoPrepareReJoinType0or2(&r0), LORAMAC_CRYPTO_SUCCESS) << i;
    ASSERT_EQ(r0.RJcount0, i);
  }
  r0.BufSize = sizeof buf_;
  std::memset(buf_, 0xEE, sizeof buf_);
  EXPECT_EQ(LoRaMacCryptoPrepareReJoinType0or2(&r0), LORAMAC_CRYPTO_FAIL_RJCOUNT0_OVERFLOW);
  EXPECT_EQ(buf_[0], 0xEE) << "nothing serialized";
  uint16_t next = 0;
  EXPECT_EQ(LoRaMacCryptoGetRJcount(FCNT_UP, &next), LORAMAC_CRYPTO_FAIL_FCNT_ID);
  EXPECT_EQ(LoRaMacCryptoGetRJcount(A_FCNT_DOWN, &next), LORAMAC_CRYPTO_FAIL_FCNT_ID);
}

TEST_F(CryptoTest, Uplink10MatchesTheNetworkAndRepeatsBitIdentical) {
  SetVersion(0x01000400);
  const net::SessionKeys k = net::abp_keys_10(KeyOf("0F1E2D3C4B5A69788796A5B4C3D2E1F0"),
                                              KeyOf("11111111222222223333333344444444"));
  SetSession(k);
  const Bytes plain = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                       0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15};  // two blocks
  struct Case {
    const char* what;
    uint8_t fctrl;
    Bytes fopts;
    int port;
    Bytes payload;
  } cases[] = {
      {"application payload", 0x80, {}, 10, plain},
      {"FOpts in the clear and no payload", 0x00, {0x02, 0x03}, -1, {}},
      {"commands on port 0", 0x20, {}, 0, {0x06, 0x03}},
  };
  uint32_t fcnt = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoRaMacMessageData_t m = Uplink(c.fctrl, c.fopts, c.port, c.payload);
    ASSERT_EQ(LoRaMacCryptoSecureMessage(fcnt, 5, 2, &m), LORAMAC_CRYPTO_SUCCESS);
    const Bytes first(buf_, buf_ + m.BufSize);

    net::FrameParams p;
    p.mtype = net::MType::kUnconfirmedUp;
    p.dev_addr = kDevAddr;
    p.fctrl = c.fctrl;
    p.fcnt = fcnt - 1;  // what goes on the air
    p.fopts = c.fopts;
    if (c.port >= 0) p.fport = static_cast<uint8_t>(c.port);
    p.payload = c.payload;
    EXPECT_EQ(first, net::build_data_frame(k, p));
    EXPECT_EQ(nvm_.FCntList.FCntUp, fcnt);

    // The repetition: same counter, the record passed again, other channel.
    ASSERT_EQ(LoRaMacCryptoSecureMessage(fcnt, 3, 7, &m), LORAMAC_CRYPTO_SUCCESS);
    EXPECT_EQ(Bytes(buf_, buf_ + m.BufSize), first);
    ++fcnt;
  }
  LoRaMacMessageData_t m = Uplink(0, {}, 1, {0x00});
  EXPECT_EQ(LoRaMacCryptoSecureMessage(fcnt - 2, 0, 0, &m), LORAMAC_CRYPTO_FAIL_FCNT_SMALLER);
  EXPECT_EQ(nvm_.FCntList.FCntUp, fcnt - 1);
}

TEST_F(CryptoTest, Uplink11SplitMicAndFOptsEncryptionInBothForms) {
  const net::SessionKeys k = net::derive_keys_11(kNwkKey, kAppKey, 7, kJoinEui, 3);
  SetSession(k);
  const Bytes fopts = {0x03, 0x07, 0x0B, 0x01};  // LinkADRAns, RekeyInd
  struct Case {
    const char* what;
    uint32_t version;
    bool laterForm;
  } cases[] = {{"1.1.1", 0x01010100, true}, {"1.1.0", 0x01010000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetVersion(c.version);
    nvm_.FCntList.FCntUp = 0x1FFFF;  // uplink 0x20000: 32-bit counter in the blocks
    nvm_.LastDownFCnt = 0x00031234;  // a confirmed downlink being acknowledged
    LoRaMacMessageData_t m = Uplink(0xA0, fopts, 42, {0xCA, 0xFE});
    ASSERT_EQ(LoRaMacCryptoSecureMessage(0x20000, 4, 9, &m), LORAMAC_CRYPTO_SUCCESS);
    const Bytes first(buf_, buf_ + m.BufSize);

    net::FrameParams p;
    p.mtype = net::MType::kUnconfirmedUp;
    p.dev_addr = kDevAddr;
    p.fctrl = 0xA0;
    p.fcnt = 0x1FFFF;
    p.fopts = fopts;
    p.fport = 42;
    p.payload = {0xCA, 0xFE};
    p.conf_fcnt = 0x1234;
    p.tx_dr = 4;
    p.tx_ch = 9;
    p.fopts_later_form = c.laterForm;
    EXPECT_EQ(first, net::build_data_frame(k, p));

    // A repetition on another channel and datarate: same counter and
    // ciphertext, another MIC (B1 covers both).
    ASSERT_EQ(LoRaMacCryptoSecureMessage(0x20000, 2, 1, &m), LORAMAC_CRYPTO_SUCCESS);
    const Bytes again(buf_, buf_ + m.BufSize);
    p.tx_dr = 2;
    p.tx_ch = 1;
    EXPECT_EQ(again, net::build_data_frame(k, p));
    EXPECT_EQ(Bytes(again.begin(), again.end() - 4), Bytes(first.begin(), first.end() - 4));
    EXPECT_NE(Bytes(again.end() - 4, again.end()), Bytes(first.end() - 4, first.end()));
  }
}

TEST_F(CryptoTest, UplinkAfterJoinCarriesFCntZero) {
  SetRootKeys(false);
  JoinRequest();
  net::JoinAccept ja;
  ja.join_nonce = 1;
  ja.net_id = kNetId;
  ja.dev_addr = kDevAddr;
  Bytes frame = net::build_join_accept(ja, kNwkKey, kNwkKey, false, 0xFF, kJoinEui, 1);
  ASSERT_EQ(Accept(JOIN_REQ, frame), LORAMAC_CRYPTO_SUCCESS);
  uint32_t up = 0;
  ASSERT_EQ(LoRaMacCryptoGetFCntUp(&up), LORAMAC_CRYPTO_SUCCESS);
  ASSERT_EQ(up, 1u);
  LoRaMacMessageData_t m = Uplink(0, {}, 2, {0x55});
  m.FHDR.FCnt = static_cast<uint16_t>(up - 1);
  ASSERT_EQ(LoRaMacCryptoSecureMessage(up, 0, 0, &m), LORAMAC_CRYPTO_SUCCESS);
  EXPECT_EQ(buf_[6] | buf_[7] << 8, 0);
  EXPECT_EQ(nvm_.FCntList.FCntUp, 1u);

  // The network, from the join it answered, reads it as FCnt 0.
  net::DataFrame d;
  std::string why;
  const Bytes sent(buf_, buf_ + m.BufSize);
  ASSERT_TRUE(net::parse_data_frame(sent, &d, &why)) << why;
  const net::SessionKeys k = net::derive_keys_10(kNwkKey, 1, kNetId, 1);
  EXPECT_EQ(net::uplink_mic(k, Bytes(sent.begin(), sent.end() - 4), kDevAddr, 0, 0, 0, 0), d.mic);
  net::crypt_payload(k.app_s, false, kDevAddr, 0, d.payload);
  EXPECT_EQ(d.payload, Bytes{0x55});
}

TEST_F(CryptoTest, Downlink10UnicastAndItsCounters) {
  SetVersion(0x01000400);
  const net::SessionKeys k = net::abp_keys_10(KeyOf("0F1E2D3C4B5A69788796A5B4C3D2E1F0"),
                                              KeyOf("11111111222222223333333344444444"));
  SetSession(k);
  net::FrameParams p;
  p.mtype = net::MType::kConfirmedDown;
  p.dev_addr = kDevAddr;
  p.fctrl = 0x20;
  p.fcnt = 0x10005;
  p.fopts = {0x02, 0x0A, 0x01};  // in the clear on 1.0.x
  p.fport = 3;
  p.payload = Bytes(40, 0x3C);
  const Bytes frame = net::build_data_frame(k, p);

  LoRaMacMessageData_t m;
  ASSERT_EQ(Unsecure(frame, UNICAST_DEV_ADDR, kDevAddr, FCNT_DOWN, 0x10005, &m),
            LORAMAC_CRYPTO_SUCCESS);
  EXPECT_EQ(m.FPort, 3);
  EXPECT_EQ(Bytes(payload_, payload_ + m.FRMPayloadSize), p.payload);
  EXPECT_EQ(Bytes(m.FHDR.FOpts, m.FHDR.FOpts + 3), p.fopts);
  EXPECT_EQ(nvm_.FCntList.FCntDown, 0x10005u);
  EXPECT_EQ(nvm_.LastDownFCnt, 0x10005u);

  // Replays, foreign or damaged frames and unknown counters are refused
  // and move no counter.
  Bytes damaged = frame;
  damaged[12] ^= 0x01;
  Bytes later = frame;  // same bytes claimed with a later counter: wrong MIC
  struct Case {
    const char* what;
    Bytes frame;
    AddressIdentifier_t addrID;
    uint32_t address;
    FCntIdentifier_t id;
    uint32_t fcnt;
    LoRaMacCryptoStatus_t want;
  } cases[] = {
      {"replay", frame, UNICAST_DEV_ADDR, kDevAddr, FCNT_DOWN, 0x10005,
       LORAMAC_CRYPTO_FAIL_FCNT_SMALLER},
      {"older", frame, UNICAST_DEV_ADDR, kDevAddr, FCNT_DOWN, 0x10004,
       LORAMAC_CRYPTO_FAIL_FCNT_SMALLER},
      {"damaged", damaged, UNICAST_DEV_ADDR, kDevAddr, FCNT_DOWN, 0x10006, LORAMAC_CRYPTO_FAIL_MIC},
      {"counter not the signed one", later, UNICAST_DEV_ADDR, kDevAddr, FCNT_DOWN, 0x20005,
       LORAMAC_CRYPTO_FAIL_MIC},
      {"other address", frame, UNICAST_DEV_ADDR, kDevAddr + 1, FCNT_DOWN, 0x10006,
       LORAMAC_CRYPTO_FAIL_ADDRESS},
      {"unknown address identifier", frame, static_cast<AddressIdentifier_t>(5), kDevAddr,
       FCNT_DOWN, 0x10006, LORAMAC_CRYPTO_ERROR_INVALID_ADDR_ID},
      {"uplink counter", frame, UNICAST_DEV_ADDR, kDevAddr, FCNT_UP, 0x10006,
       LORAMAC_CRYPTO_FAIL_FCNT_SMALLER},
      {"rejoin counter", frame, UNICAST_DEV_ADDR, kDevAddr, RJ_COUNT_0, 0x10006,
       LORAMAC_CRYPTO_FAIL_FCNT_SMALLER},
      {"FOptsLen beyond the frame",
       Bytes{0x60, 0x2C, 0x1A, 0x0B, 0x26, 0x0F, 0x06, 0x00, 1, 2, 3, 4}, UNICAST_DEV_ADDR,
       kDevAddr, FCNT_DOWN, 0x10006, LORAMAC_CRYPTO_ERROR_PARSER},
  };
  const LoRaMacCryptoNvmData_t before = nvm_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Unsecure(c.frame, c.addrID, c.address, c.id, c.fcnt), c.want);
    EXPECT_EQ(std::memcmp(&nvm_, &before, sizeof nvm_), 0);
  }
}

TEST_F(CryptoTest, Downlink11FOptsAndTheAcknowledgementMic) {
  SetRootKeys(true);
  JoinRequest();
  net::JoinAccept ja;
  ja.join_nonce = 1;
  ja.net_id = kNetId;
  ja.dev_addr = kDevAddr;
  ja.dl_settings = 0x80;
  Bytes accept = net::build_join_accept(ja, net::js_int_key(kNwkKey, kDevEui), kNwkKey, true, 0xFF,
                                        kJoinEui, 1);
  ASSERT_EQ(Accept(JOIN_REQ, accept), LORAMAC_CRYPTO_SUCCESS);
  const net::SessionKeys k = net::derive_keys_11(kNwkKey, kAppKey, 1, kJoinEui, 1);

  // Three uplinks; the third is confirmed and goes out with FCnt 2.
  for (uint32_t up = 1; up <= 3; ++up) {
    LoRaMacMessageData_t m = Uplink(0, {}, 1, {0x01});
    ASSERT_EQ(LoRaMacCryptoSecureMessage(up, 5, 0, &m), LORAMAC_CRYPTO_SUCCESS);
  }
  ASSERT_EQ(nvm_.FCntList.FCntUp, 3u);

  // The network acknowledges it: ConfFCnt is the FCnt it received (2), on
  // a downlink with MAC commands in FOpts and application data (AFCntDown).
  net::FrameParams p;
  p.mtype = net::MType::kUnconfirmedDown;
  p.dev_addr = kDevAddr;
  p.fctrl = 0x20;
  p.fcnt = 0;
  p.fopts = {0x03, 0x07};
  p.fport = 8;
  p.payload = {0xAB, 0xCD};
  p.conf_fcnt = 2;
  LoRaMacMessageData_t m;
  ASSERT_EQ(Unsecure(net::build_data_frame(k, p), UNICAST_DEV_ADDR, kDevAddr, A_FCNT_DOWN, 0, &m),
            LORAMAC_CRYPTO_SUCCESS);
  EXPECT_EQ(Bytes(m.FHDR.FOpts, m.FHDR.FOpts + 2), p.fopts);
  EXPECT_EQ(Bytes(payload_, payload_ + 2), p.payload);
  EXPECT_EQ(nvm_.FCntList.AFCntDown, 0u);
  EXPECT_EQ(nvm_.LastDownFCnt, 0u);

  // Commands alone ride on the network counter, in either FOpts form.
  for (bool laterForm : {true, false}) {
    SCOPED_TRACE(laterForm ? "1.1.1" : "1.1.0");
    SetVersion(laterForm ? 0x01010100 : 0x01010000);
    p.fcnt = laterForm ? 4 : 5;
    p.fctrl = 0;
    p.conf_fcnt = 0;  // no acknowledgement
    p.fport.reset();
    p.payload.clear();
    p.fopts_later_form = laterForm;
    ASSERT_EQ(
        Unsecure(net::build_data_frame(k, p), UNICAST_DEV_ADDR, kDevAddr, N_FCNT_DOWN, p.fcnt, &m),
        LORAMAC_CRYPTO_SUCCESS);
    EXPECT_EQ(Bytes(m.FHDR.FOpts, m.FHDR.FOpts + 2), p.fopts);
    EXPECT_EQ(nvm_.FCntList.NFCntDown, p.fcnt);
  }

  // An acknowledgement signed over the stored counter (3) instead of the
  // FCnt that went on the air is not this network's.
  p.fcnt = 1;
  p.fctrl = 0x20;
  p.conf_fcnt = 3;
  EXPECT_EQ(Unsecure(net::build_data_frame(k, p), UNICAST_DEV_ADDR, kDevAddr, N_FCNT_DOWN, 6),
            LORAMAC_CRYPTO_FAIL_MIC);
}

TEST_F(CryptoTest, DownlinkCounterReconstruction) {
  struct Case {
    uint32_t last;
    uint16_t fcnt;
    LoRaMacCryptoStatus_t status;
    uint32_t want;
  } cases[] = {
      {0xFFFFFFFF, 0x0000, LORAMAC_CRYPTO_SUCCESS, 0x00000000},  // first frame
      {0xFFFFFFFF, 0x8001, LORAMAC_CRYPTO_SUCCESS, 0x00008001},
      {0x0001FFFE, 0xFFFF, LORAMAC_CRYPTO_SUCCESS, 0x0001FFFF},
      {0x0001FFFE, 0x0000, LORAMAC_CRYPTO_SUCCESS, 0x00020000},  // rollover
      {0x0001FFFE, 0xFFFE, LORAMAC_CRYPTO_FAIL_FCNT_DUPLICATED, 0x0001FFFE},
      {0x0001FFFE, 0x1234, LORAMAC_CRYPTO_SUCCESS, 0x00021234},  // no maximum gap
      {0x00000000, 0x0000, LORAMAC_CRYPTO_FAIL_FCNT_DUPLICATED, 0x00000000},
      {0x00000005, 0x0006, LORAMAC_CRYPTO_SUCCESS, 0x00000006},
      {0x0000FFFF, 0x0000, LORAMAC_CRYPTO_SUCCESS, 0x00010000},
  };
  const FCntIdentifier_t ids[] = {N_FCNT_DOWN,    A_FCNT_DOWN,    FCNT_DOWN,     MC_FCNT_DOWN_0,
                                  MC_FCNT_DOWN_1, MC_FCNT_DOWN_2, MC_FCNT_DOWN_3};
  for (const Case& c : cases) {
    for (FCntIdentifier_t id : ids) {
      SCOPED_TRACE(testing::Message()
                   << "last " << std::hex << c.last << " FCnt " << c.fcnt << " id " << int(id));
      LoRaMacCryptoInit(&nvm_);
      uint32_t* slot = id == N_FCNT_DOWN   ? &nvm_.FCntList.NFCntDown
                       : id == A_FCNT_DOWN ? &nvm_.FCntList.AFCntDown
                       : id == FCNT_DOWN   ? &nvm_.FCntList.FCntDown
                                           : &nvm_.FCntList.McFCntDown[id - MC_FCNT_DOWN_0];
      *slot = c.last;
      uint32_t got = 0xDEADBEEF;
      EXPECT_EQ(LoRaMacCryptoGetFCntDown(id, c.fcnt, &got), c.status);
      EXPECT_EQ(got, c.want);
    }
  }
  uint32_t got = 0;
  EXPECT_EQ(LoRaMacCryptoGetFCntDown(FCNT_UP, 1, &got), LORAMAC_CRYPTO_FAIL_FCNT_ID);
  EXPECT_EQ(LoRaMacCryptoGetFCntDown(RJ_COUNT_1, 1, &got), LORAMAC_CRYPTO_FAIL_FCNT_ID);
  EXPECT_EQ(LoRaMacCryptoGetFCntDown(N_FCNT_DOWN, 1, nullptr), LORAMAC_CRYPTO_ERROR_NPE);
}

TEST_F(CryptoTest, MulticastKeysAndAMulticastDownlink) {
  SetKey(APP_KEY, kAppKey);  // version 1.1 after init: root block 0x20
  Bytes block(16, 0);
  block[0] = 0x20;
  EXPECT_EQ(SeKey(MC_ROOT_KEY), AesOf(kAppKey, block));
  ASSERT_EQ(LoRaMacCryptoDeriveMcRootKey(0, APP_KEY), LORAMAC_CRYPTO_SUCCESS);
  EXPECT_EQ(SeKey(MC_ROOT_KEY), AesOf(kAppKey, Bytes(16, 0)));
  EXPECT_EQ(LoRaMacCryptoDeriveMcRootKey(1, NWK_KEY), LORAMAC_CRYPTO_ERROR_INVALID_KEY_ID);
  const net::Key keKey = SeKey(MC_KE_KEY);
  EXPECT_EQ(keKey, AesOf(AesOf(kAppKey, block), Bytes(16, 0)));

  // A remotely set-up group: its key arrives wrapped under MC_KE_KEY.
  const net::Key mcKeyE = KeyOf("0102030405060708090A0B0C0D0E0F10");
  const net::Key mcKey = AesOf(keKey, ToBytes(mcKeyE));
  const uint32_t mcAddr = 0x01FFEE01;
  ASSERT_EQ(LoRaMacCryptoSetKey(MC_KEY_2, mcKeyE.data()), LORAMAC_CRYPTO_SUCCESS);
  ASSERT_EQ(LoRaMacCryptoDeriveMcSessionKeyPair(MULTICAST_2_ADDR, mcAddr), LORAMAC_CRYPTO_SUCCESS);
  EXPECT_EQ(SeKey(MC_APP_S_KEY_2), net::mc_app_s_key(mcKey, mcAddr));
  EXPECT_EQ(SeKey(MC_NWK_S_KEY_2), net::mc_nwk_s_key(mcKey, mcAddr));
  EXPECT_EQ(SeKey(MC_APP_S_KEY_1), net::Key{}) << "other groups untouched";
  EXPECT_EQ(LoRaMacCryptoDeriveMcSessionKeyPair(MULTICAST_2_ADDR, 0), LORAMAC_CRYPTO_ERROR_NPE);
  EXPECT_EQ(LoRaMacCryptoDeriveMcSessionKeyPair(static_cast<AddressIdentifier_t>(9), mcAddr),
            LORAMAC_CRYPTO_ERROR_INVALID_ADDR_ID);

  // The group's downlink: MIC under McNwkSKey, payload under McAppSKey,
  // its own counter.
  net::SessionKeys group;
  group.snwk_s_int = net::mc_nwk_s_key(mcKey, mcAddr);
  group.app_s = net::mc_app_s_key(mcKey, mcAddr);
  net::FrameParams p;
  p.mtype = net::MType::kUnconfirmedDown;
  p.dev_addr = mcAddr;
  p.fcnt = 17;
  p.fport = 200;
  p.payload = Bytes(33, 0x99);
  LoRaMacMessageData_t m;
  ASSERT_EQ(
      Unsecure(net::build_data_frame(group, p), MULTICAST_2_ADDR, mcAddr, MC_FCNT_DOWN_2, 17, &m),
      LORAMAC_CRYPTO_SUCCESS);
  EXPECT_EQ(Bytes(payload_, payload_ + m.FRMPayloadSize), p.payload);
  EXPECT_EQ(nvm_.FCntList.McFCntDown[2], 17u);
  EXPECT_EQ(nvm_.LastDownFCnt, 0xFFFFFFFFu) << "a group frame is no unicast acknowledgement";
  EXPECT_EQ(Unsecure(net::build_data_frame(group, p), MULTICAST_1_ADDR, mcAddr, MC_FCNT_DOWN_1, 17),
            LORAMAC_CRYPTO_FAIL_MIC)
      << "another group's keys";
}

}  // namespace

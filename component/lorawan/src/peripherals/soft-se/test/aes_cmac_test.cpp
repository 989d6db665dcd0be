// The software AES and AES-CMAC against the published FIPS-197, SP 800-38A and
// RFC 4493 vectors and against OpenSSL over many inputs.
#include <gtest/gtest.h>

#include "aes.h"
#include "cmac.h"
#include "openssl_ref.h"

using ref::Bytes;
using ref::from_hex;

namespace {

Bytes encrypt_block(const Bytes& key, const Bytes& pt) {
  aes_context ctx{};
  EXPECT_EQ(aes_set_key(key.data(), static_cast<length_type>(key.size()), &ctx), 0);
  Bytes out(16);
  EXPECT_EQ(aes_encrypt(pt.data(), out.data(), &ctx), 0);
  return out;
}

Bytes decrypt_block(const Bytes& key, const Bytes& ct) {
  aes_context ctx{};
  EXPECT_EQ(aes_set_key(key.data(), static_cast<length_type>(key.size()), &ctx), 0);
  Bytes out(16);
  EXPECT_EQ(aes_decrypt(ct.data(), out.data(), &ctx), 0);
  return out;
}

TEST(Aes, Fips197AppendixCVectors) {
  struct Case {
    const char* key;
    const char* ct;
  } cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  const Bytes pt = from_hex("00112233445566778899aabbccddeeff");
  for (const auto& c : cases) {
    EXPECT_EQ(encrypt_block(from_hex(c.key), pt), from_hex(c.ct)) << c.key;
    EXPECT_EQ(decrypt_block(from_hex(c.key), from_hex(c.ct)), pt) << c.key;
  }
}

TEST(Aes, MatchesOpensslOnManyKeysAndBlocks) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    const size_t keylen = 16 + 8 * (seed % 3);
    Bytes key = ref::pseudo_random(keylen, seed);
    Bytes pt = ref::pseudo_random(16, seed * 7919);
    EXPECT_EQ(encrypt_block(key, pt), ref::aes_ecb(key, pt, true)) << seed;
    EXPECT_EQ(decrypt_block(key, pt), ref::aes_ecb(key, pt, false)) << seed;
  }
}

TEST(Aes, InPlaceBlockAndRefusedKeyLength) {
  const Bytes key = from_hex("000102030405060708090a0b0c0d0e0f");
  Bytes buf = from_hex("00112233445566778899aabbccddeeff");
  aes_context ctx{};
  ASSERT_EQ(aes_set_key(key.data(), 16, &ctx), 0);
  ASSERT_EQ(aes_encrypt(buf.data(), buf.data(), &ctx), 0);
  EXPECT_EQ(buf, from_hex("69c4e0d86a7b0430d8cdb78070b4c55a"));

  for (length_type bad : {0, 15, 17, 20, 31, 33}) {
    aes_context c2 = ctx;
    EXPECT_EQ(aes_set_key(key.data(), bad, &c2), 0xFF) << int(bad);
    EXPECT_EQ(aes_encrypt(buf.data(), buf.data(), &c2), 0xFF)
        << "no key is loaded after a refused length";
    EXPECT_EQ(aes_decrypt(buf.data(), buf.data(), &c2), 0xFF);
    uint8_t iv[16] = {};
    EXPECT_EQ(aes_cbc_encrypt(buf.data(), buf.data(), 1, iv, &c2), 1);
  }
}

TEST(AesCbc, Sp80038aF21AndOpenssl) {
  const Bytes key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes iv = from_hex("000102030405060708090a0b0c0d0e0f");
  const Bytes pt = from_hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const Bytes ct = from_hex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  aes_context ctx{};
  ASSERT_EQ(aes_set_key(key.data(), 16, &ctx), 0);
  Bytes out(pt.size());
  Bytes ivc = iv;
  EXPECT_EQ(aes_cbc_encrypt(pt.data(), out.data(), 4, ivc.data(), &ctx), 0);
  EXPECT_EQ(out, ct);
  ivc = iv;
  Bytes back(ct.size());
  EXPECT_EQ(aes_cbc_decrypt(ct.data(), back.data(), 4, ivc.data(), &ctx), 0);
  EXPECT_EQ(back, pt);

  // Two blocks encrypt exactly 32 bytes: the byte after is left alone.
  for (uint32_t seed = 1; seed < 20; ++seed) {
    Bytes k = ref::pseudo_random(16, seed), v = ref::pseudo_random(16, seed + 99);
    Bytes data = ref::pseudo_random(32, seed + 7);
    Bytes buf(33, 0xEE);
    Bytes vv = v;
    ASSERT_EQ(aes_set_key(k.data(), 16, &ctx), 0);
    ASSERT_EQ(aes_cbc_encrypt(data.data(), buf.data(), 2, vv.data(), &ctx), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 32), ref::aes_cbc(k, v, data, true));
    EXPECT_EQ(buf[32], 0xEE);
    vv = v;  // in place
    ASSERT_EQ(aes_cbc_decrypt(buf.data(), buf.data(), 2, vv.data(), &ctx), 0);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 32), data);
  }
}

Bytes cmac_of(const Bytes& key, const Bytes& msg, size_t chunk) {
  AES_CMAC_CTX ctx;
  AES_CMAC_Init(&ctx);
  AES_CMAC_SetKey(&ctx, key.data());
  for (size_t i = 0; i < msg.size(); i += chunk) {
    size_t n = std::min(chunk, msg.size() - i);
    AES_CMAC_Update(&ctx, msg.data() + i, static_cast<uint32_t>(n));
  }
  Bytes out(16);
  AES_CMAC_Final(out.data(), &ctx);
  return out;
}

TEST(AesCmac, Rfc4493Examples) {
  const Bytes key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes m = from_hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  struct Case {
    size_t len;
    const char* tag;
  } cases[] = {
      {0, "bb1d6929e95937287fa37d129b756746"},
      {16, "070a16b46b4d4144f79bdd9dd04a287c"},
      {40, "dfa66747de9ae63030ca32611497c827"},
      {64, "51f0bebf7e3b9d92fc49741779363cfe"},
  };
  for (const auto& c : cases) {
    Bytes msg(m.begin(), m.begin() + static_cast<long>(c.len));
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{16}, size_t{64}}) {
      EXPECT_EQ(cmac_of(key, msg, chunk), from_hex(c.tag)) << c.len << " in pieces of " << chunk;
    }
  }
}

TEST(AesCmac, MatchesOpensslForEveryLengthUpTo100) {
  for (size_t len = 0; len <= 100; ++len) {
    Bytes key = ref::pseudo_random(16, static_cast<uint32_t>(len + 1));
    Bytes msg = ref::pseudo_random(len, static_cast<uint32_t>(len * 31 + 5));
    EXPECT_EQ(cmac_of(key, msg, 5), ref::aes_cmac(key, msg)) << len;
  }
}

}  // namespace

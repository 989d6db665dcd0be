// The aes_* entry points on the AES unit: FIPS-197 and SP 800-38A results,
// refused key lengths, exact CBC lengths, unit failures, atomic operations,
// and the shared AES-CMAC over them (RFC 4493).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "aes.h"
#include "cmac.h"
#include "hw_aes.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "stm32_sim.h"
#include "subghz_phy_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
  return b;
}

class HwAes : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    stm32sim::reset_platform();
  }
  aes_context ctx{};
};

TEST_F(HwAes, Fips197AndKeyLengths) {
  const Bytes key = hex("000102030405060708090a0b0c0d0e0f");
  const Bytes pt = hex("00112233445566778899aabbccddeeff");
  ASSERT_EQ(aes_set_key(key.data(), 16, &ctx), 0);
  Bytes out(16);
  ASSERT_EQ(aes_encrypt(pt.data(), out.data(), &ctx), 0);
  EXPECT_EQ(out, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  // 20 bytes: refused (low byte of -32), the previous key stays.
  const Bytes other(20, 0x77);
  EXPECT_EQ(aes_set_key(other.data(), 20, &ctx), static_cast<uint8_t>(-32));
  ASSERT_EQ(aes_encrypt(pt.data(), out.data(), &ctx), 0);
  EXPECT_EQ(out, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  // 32 bytes are taken, only their first 16 used (AES-128).
  Bytes long_key = key;
  long_key.resize(32, 0xEE);
  ASSERT_EQ(aes_set_key(long_key.data(), 32, &ctx), 0);
  ASSERT_EQ(aes_encrypt(pt.data(), out.data(), &ctx), 0);
  EXPECT_EQ(out, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST_F(HwAes, CbcVectorsAndExactLength) {
  const Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
  const Bytes pt =
      hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const Bytes ct =
      hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
          "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  ASSERT_EQ(aes_set_key(key.data(), 16, &ctx), 0);
  Bytes out(64), v = iv;
  ASSERT_EQ(aes_cbc_encrypt(pt.data(), out.data(), 4, v.data(), &ctx), 0);
  EXPECT_EQ(out, ct);
  v = iv;
  Bytes back(64);
  ASSERT_EQ(aes_cbc_decrypt(ct.data(), back.data(), 4, v.data(), &ctx), 0);
  EXPECT_EQ(back, pt);
  // Two blocks write exactly 32 bytes.
  Bytes guard(33, 0xA5);
  v = iv;
  ASSERT_EQ(aes_cbc_encrypt(pt.data(), guard.data(), 2, v.data(), &ctx), 0);
  EXPECT_EQ(Bytes(guard.begin(), guard.begin() + 32), Bytes(ct.begin(), ct.begin() + 32));
  EXPECT_EQ(guard[32], 0xA5);
  // More than one operation can take is refused, never overrun.
  Bytes big(UHAL_CRYPTO_MAX_SIZE + 16), big_out(UHAL_CRYPTO_MAX_SIZE + 16);
  v = iv;
  EXPECT_NE(
      aes_cbc_encrypt(big.data(), big_out.data(), (UHAL_CRYPTO_MAX_SIZE + 16) / 16, v.data(), &ctx),
      0);
}

TEST_F(HwAes, UnitFailureIsReportedAndOperationsAreAtomic) {
  const Bytes key = hex("000102030405060708090a0b0c0d0e0f");
  const Bytes pt = hex("00112233445566778899aabbccddeeff");
  ASSERT_EQ(aes_set_key(key.data(), 16, &ctx), 0);
  Bytes out(16);
  subghz_sim::cryp_fail_next(1);
  EXPECT_EQ(aes_encrypt(pt.data(), out.data(), &ctx), static_cast<uint8_t>(-7));
  EXPECT_EQ(aes_encrypt(pt.data(), out.data(), &ctx), 0) << "the next operation works";
  EXPECT_EQ(out, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  EXPECT_EQ(sim::get_primask(), 0u) << "interrupts are back on";
  EXPECT_FALSE(subghz_sim::cryp_ran_with_interrupts_enabled());
  EXPECT_GE(subghz_sim::cryp_operations(), 2u);
}

TEST_F(HwAes, SharedCmacOverTheUnitGivesRfc4493) {
  const Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes m =
      hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  struct Case {
    size_t len;
    const char* tag;
  } cases[] = {{0, "bb1d6929e95937287fa37d129b756746"},
               {16, "070a16b46b4d4144f79bdd9dd04a287c"},
               {40, "dfa66747de9ae63030ca32611497c827"},
               {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
  for (const auto& c : cases) {
    AES_CMAC_CTX cmac;
    AES_CMAC_Init(&cmac);
    AES_CMAC_SetKey(&cmac, key.data());
    AES_CMAC_Update(&cmac, m.data(), static_cast<uint32_t>(c.len));
    Bytes tag(16);
    AES_CMAC_Final(tag.data(), &cmac);
    EXPECT_EQ(tag, hex(c.tag)) << c.len;
  }
}

}  // namespace

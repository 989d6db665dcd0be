/*!
 * \file cmac.cpp
 *
 * \brief AES-CMAC as in RFC 4493: CBC-MAC over the message whose last block is
 *        masked with the subkey K1 (complete block) or K2 (padded block).
 */
#include "cmac.h"

namespace {

void xor16(uint8_t* d, const uint8_t* s) {
  for (int i = 0; i < 16; ++i) {
    d[i] ^= s[i];
  }
}

// Doubling in GF(2^128): shift left by one bit, fold with 0x87.
void gf_double(uint8_t* b) {
  const uint8_t carry = (uint8_t)(b[0] >> 7);
  for (int i = 0; i < 15; ++i) {
    b[i] = (uint8_t)((b[i] << 1) | (b[i + 1] >> 7));
  }
  b[15] = (uint8_t)((b[15] << 1) ^ (carry ? 0x87 : 0x00));
}

}  // namespace

void AES_CMAC_Init(AES_CMAC_CTX* ctx) {
  for (int i = 0; i < 16; ++i) {
    ctx->X[i] = 0;
    ctx->M_last[i] = 0;
  }
  ctx->M_n = 0;
  ctx->rijndael.rnd = 0;
}

void AES_CMAC_SetKey(AES_CMAC_CTX* ctx, const uint8_t key[AES_CMAC_KEY_LENGTH]) {
  aes_set_key(key, AES_CMAC_KEY_LENGTH, &ctx->rijndael);
}

void AES_CMAC_Update(AES_CMAC_CTX* ctx, const uint8_t* data, uint32_t len) {
  // M_last holds up to one whole block that may still be the last one; it
  // is only folded into X when more data follows.
  if (len == 0) {
    return;
  }
  if (ctx->M_n > 0) {
    uint32_t take = 16 - ctx->M_n;
    if (take > len) {
      take = len;
    }
    for (uint32_t i = 0; i < take; ++i) {
      ctx->M_last[ctx->M_n + i] = data[i];
    }
    ctx->M_n += take;
    data += take;
    len -= take;
    if (len == 0) {
      return;
    }
    xor16(ctx->X, ctx->M_last);
    aes_encrypt(ctx->X, ctx->X, &ctx->rijndael);
    ctx->M_n = 0;
  }
  while (len > 16) {
    xor16(ctx->X, data);
    aes_encrypt(ctx->X, ctx->X, &ctx->rijndael);
    data += 16;
    len -= 16;
  }
  for (uint32_t i = 0; i < len; ++i) {
    ctx->M_last[i] = data[i];
  }
  ctx->M_n = len;
}

void AES_CMAC_Final(uint8_t digest[AES_CMAC_DIGEST_LENGTH], AES_CMAC_CTX* ctx) {
  uint8_t K[16] = {0};
  aes_encrypt(K, K, &ctx->rijndael);
  gf_double(K);  // K1
  if (ctx->M_n == 16) {
    xor16(ctx->M_last, K);
  } else {
    gf_double(K);  // K2
    ctx->M_last[ctx->M_n] = 0x80;
    for (uint32_t i = ctx->M_n + 1; i < 16; ++i) {
      ctx->M_last[i] = 0;
    }
    xor16(ctx->M_last, K);
  }
  xor16(ctx->X, ctx->M_last);
  aes_encrypt(ctx->X, digest, &ctx->rijndael);
  for (int i = 0; i < 16; ++i) {
    K[i] = 0;
  }
}

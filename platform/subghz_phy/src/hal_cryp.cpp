// CRYP HAL stand-in: the AES unit computes with its own AES-128/256 (FIPS-197)
// on words whose most significant byte comes first.
#include <cstring>

#include "sim/sim.h"
#include "stm32wl_hal_cryp.h"
#include "subghz_phy_sim.h"

uint8_t stm32_aes_peripheral;

namespace {

struct CrypState {
  int fail_next = 0;
  uint32_t operations = 0;
  bool unmasked = false;
};

CrypState& cs() {
  static CrypState s;
  return s;
}

uint8_t mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
    b >>= 1;
  }
  return r;
}

struct Tables {
  uint8_t s[256], inv[256];
  Tables() {
    // S-box from the multiplicative inverse and the affine map.
    for (int i = 0; i < 256; ++i) {
      uint8_t x = 0;
      for (int j = 1; j < 256 && i; ++j) {
        if (mul(static_cast<uint8_t>(i), static_cast<uint8_t>(j)) == 1) {
          x = static_cast<uint8_t>(j);
          break;
        }
      }
      uint8_t y = x;
      for (int k = 1; k <= 4; ++k) y ^= static_cast<uint8_t>((x << k) | (x >> (8 - k)));
      s[i] = y ^ 0x63;
    }
    for (int i = 0; i < 256; ++i) inv[s[i]] = static_cast<uint8_t>(i);
  }
};

const Tables& tables() {
  static Tables t;
  return t;
}

struct Key {
  uint8_t w[240];
  int rounds;
};

Key expand(const uint8_t* key, int len) {
  const Tables& t = tables();
  Key k{};
  const int nk = len / 4;
  k.rounds = nk + 6;
  std::memcpy(k.w, key, len);
  uint8_t rcon = 1;
  for (int i = nk; i < 4 * (k.rounds + 1); ++i) {
    uint8_t tmp[4];
    std::memcpy(tmp, k.w + 4 * (i - 1), 4);
    if (i % nk == 0) {
      const uint8_t t0 = tmp[0];
      tmp[0] = t.s[tmp[1]] ^ rcon;
      tmp[1] = t.s[tmp[2]];
      tmp[2] = t.s[tmp[3]];
      tmp[3] = t.s[t0];
      rcon = mul(rcon, 2);
    } else if (nk > 6 && i % nk == 4) {
      for (auto& b : tmp) b = t.s[b];
    }
    for (int j = 0; j < 4; ++j) k.w[4 * i + j] = k.w[4 * (i - nk) + j] ^ tmp[j];
  }
  return k;
}

void block(const Key& k, const uint8_t* in, uint8_t* out, bool enc) {
  const Tables& t = tables();
  uint8_t st[16];
  std::memcpy(st, in, 16);
  auto add = [&](int r) {
    for (int i = 0; i < 16; ++i) st[i] ^= k.w[16 * r + i];
  };
  auto sub_shift = [&](bool inverse) {
    uint8_t o[16];
    for (int c = 0; c < 4; ++c) {
      for (int r = 0; r < 4; ++r) {
        if (!inverse) {
          o[4 * c + r] = t.s[st[4 * ((c + r) % 4) + r]];
        } else {
          o[4 * ((c + r) % 4) + r] = t.inv[st[4 * c + r]];
        }
      }
    }
    std::memcpy(st, o, 16);
  };
  auto mix = [&](bool inverse) {
    static const uint8_t f[4] = {2, 3, 1, 1}, b[4] = {14, 11, 13, 9};
    const uint8_t* m = inverse ? b : f;
    for (int c = 0; c < 4; ++c) {
      uint8_t col[4];
      for (int r = 0; r < 4; ++r) {
        col[r] = 0;
        for (int j = 0; j < 4; ++j) col[r] ^= mul(st[4 * c + j], m[(j - r + 4) % 4]);
      }
      std::memcpy(st + 4 * c, col, 4);
    }
  };
  if (enc) {
    add(0);
    for (int r = 1; r < k.rounds; ++r) {
      sub_shift(false);
      mix(false);
      add(r);
    }
    sub_shift(false);
    add(k.rounds);
  } else {
    add(k.rounds);
    for (int r = k.rounds - 1; r > 0; --r) {
      sub_shift(true);
      add(r);
      mix(true);
    }
    sub_shift(true);
    add(0);
  }
  std::memcpy(out, st, 16);
}

void words_to_bytes(const uint32_t* w, uint8_t* b, int n) {
  for (int i = 0; i < n; ++i) {
    b[4 * i] = static_cast<uint8_t>(w[i] >> 24);
    b[4 * i + 1] = static_cast<uint8_t>(w[i] >> 16);
    b[4 * i + 2] = static_cast<uint8_t>(w[i] >> 8);
    b[4 * i + 3] = static_cast<uint8_t>(w[i]);
  }
}

HAL_StatusTypeDef run(CRYP_HandleTypeDef* h, uint32_t* input, uint16_t size, uint32_t* output,
                      bool enc) {
  if (h == nullptr || h->State != HAL_CRYP_STATE_READY || h->Init.pKey == nullptr) return HAL_ERROR;
  ++cs().operations;
  if (sim::get_primask() == 0) cs().unmasked = true;
  if (cs().fail_next > 0) {
    --cs().fail_next;
    h->ErrorCode = 1;
    return HAL_ERROR;
  }
  const uint32_t bytes = h->Init.DataWidthUnit == CRYP_DATAWIDTHUNIT_BYTE ? size : 4u * size;
  if (bytes % 16 != 0) return HAL_ERROR;
  uint8_t key[32];
  const int keylen = h->Init.KeySize == CRYP_KEYSIZE_256B ? 32 : 16;
  words_to_bytes(h->Init.pKey, key, keylen / 4);
  const Key k = expand(key, keylen);
  uint8_t iv[16] = {0};
  if (h->Init.Algorithm != CRYP_AES_ECB) {
    if (h->Init.pInitVect == nullptr) return HAL_ERROR;
    words_to_bytes(h->Init.pInitVect, iv, 4);
  }
  const uint8_t* in = reinterpret_cast<const uint8_t*>(input);
  uint8_t* out = reinterpret_cast<uint8_t*>(output);
  for (uint32_t off = 0; off < bytes; off += 16) {
    uint8_t src[16], dst[16];
    std::memcpy(src, in + off, 16);
    if (h->Init.Algorithm == CRYP_AES_ECB) {
      block(k, src, dst, enc);
    } else if (h->Init.Algorithm == CRYP_AES_CBC) {
      if (enc) {
        for (int i = 0; i < 16; ++i) src[i] ^= iv[i];
        block(k, src, dst, true);
        std::memcpy(iv, dst, 16);
      } else {
        block(k, src, dst, false);
        for (int i = 0; i < 16; ++i) dst[i] ^= iv[i];
        std::memcpy(iv, src, 16);
      }
    } else {  // CTR: the counter is the IV, incremented per block
      uint8_t ks[16];
      block(k, iv, ks, true);
      for (int i = 0; i < 16; ++i) dst[i] = src[i] ^ ks[i];
      for (int i = 15; i >= 12 && ++iv[i] == 0; --i) {
      }
    }
    std::memcpy(out + off, dst, 16);
  }
  // The unit processes a block in a few microseconds.
  sim::cpu_spend(bytes / 16 + 1);
  return HAL_OK;
}

}  // namespace

namespace subghz_sim {
void cryp_fail_next(int n) { cs().fail_next = n; }
uint32_t cryp_operations() { return cs().operations; }
bool cryp_ran_with_interrupts_enabled() { return cs().unmasked; }
}  // namespace subghz_sim

__attribute__((weak)) void HAL_CRYP_MspInit(CRYP_HandleTypeDef*) {}
__attribute__((weak)) void HAL_CRYP_MspDeInit(CRYP_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_CRYP_Init(CRYP_HandleTypeDef* h) {
  if (h == nullptr || h->Instance != AES) return HAL_ERROR;
  if (h->State == HAL_CRYP_STATE_RESET) HAL_CRYP_MspInit(h);
  h->ErrorCode = 0;
  h->State = HAL_CRYP_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_CRYP_DeInit(CRYP_HandleTypeDef* h) {
  if (h == nullptr) return HAL_ERROR;
  HAL_CRYP_MspDeInit(h);
  h->State = HAL_CRYP_STATE_RESET;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_CRYP_Encrypt(CRYP_HandleTypeDef* h, uint32_t* input, uint16_t size,
                                   uint32_t* output, uint32_t timeout) {
  (void)timeout;
  return run(h, input, size, output, true);
}

HAL_StatusTypeDef HAL_CRYP_Decrypt(CRYP_HandleTypeDef* h, uint32_t* input, uint16_t size,
                                   uint32_t* output, uint32_t timeout) {
  (void)timeout;
  return run(h, input, size, output, false);
}

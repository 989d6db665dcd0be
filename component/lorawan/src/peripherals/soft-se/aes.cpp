/*!
 * \file aes.cpp
 *
 * \brief Software AES (FIPS-197), byte-oriented with table-driven rounds.
 *
 * The S-box, its inverse and the S-box combined with the column-mixing
 * multiplications are built at compile time into constant tables, so nothing
 * of them lives in RAM.
 */
#include "aes.h"

namespace {

constexpr uint8_t xtime(uint8_t x) { return (uint8_t)((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00)); }

constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) {
      r ^= a;
    }
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

constexpr uint8_t gf_inv(uint8_t a) {
  if (a == 0) {
    return 0;
  }
  // a^254 is the multiplicative inverse in GF(2^8).
  uint8_t r = 1;
  uint8_t p = a;
  for (int e = 254; e; e >>= 1) {
    if (e & 1) {
      r = gf_mul(r, p);
    }
    p = gf_mul(p, p);
  }
  return r;
}

constexpr uint8_t rotl8(uint8_t x, int n) { return (uint8_t)((x << n) | (x >> (8 - n))); }

struct Table {
  uint8_t v[256];
};

constexpr Table make_sbox() {
  Table t{};
  for (int i = 0; i < 256; ++i) {
    uint8_t b = gf_inv((uint8_t)i);
    t.v[i] = (uint8_t)(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
  }
  return t;
}

constexpr Table kSbox = make_sbox();

constexpr Table make_inv_sbox() {
  Table t{};
  for (int i = 0; i < 256; ++i) {
    t.v[kSbox.v[i]] = (uint8_t)i;
  }
  return t;
}

constexpr Table kInvSbox = make_inv_sbox();

// Forward rounds: S-box followed by a multiplication by 2 or 3.
constexpr Table make_sbox_mul(uint8_t m) {
  Table t{};
  for (int i = 0; i < 256; ++i) {
    t.v[i] = gf_mul(kSbox.v[i], m);
  }
  return t;
}

// Inverse rounds: multiplications by 9, 11, 13 and 14 (applied after the
// round key, before the inverse S-box of the next step).
constexpr Table make_mul(uint8_t m) {
  Table t{};
  for (int i = 0; i < 256; ++i) {
    t.v[i] = gf_mul((uint8_t)i, m);
  }
  return t;
}

constexpr Table kSbox2 = make_sbox_mul(2);
constexpr Table kSbox3 = make_sbox_mul(3);
constexpr Table kMul9 = make_mul(9);
constexpr Table kMul11 = make_mul(11);
constexpr Table kMul13 = make_mul(13);
constexpr Table kMul14 = make_mul(14);

static_assert(kSbox.v[0x00] == 0x63 && kSbox.v[0x53] == 0xED, "S-box");
static_assert(kInvSbox.v[0x63] == 0x00, "inverse S-box");

void xor_block(uint8_t* d, const uint8_t* s) {
  for (int i = 0; i < N_BLOCK; ++i) {
    d[i] ^= s[i];
  }
}

void copy_block(uint8_t* d, const uint8_t* s) {
  for (int i = 0; i < N_BLOCK; ++i) {
    d[i] = s[i];
  }
}

// State bytes are column-major: s[4 * c + r].

// SubBytes + ShiftRows + MixColumns + AddRoundKey in one pass.
void mix_sub_columns(uint8_t dt[N_BLOCK], const uint8_t st[N_BLOCK]) {
  for (int c = 0; c < 4; ++c) {
    // After ShiftRows, row r of column c comes from column (c + r) mod 4.
    uint8_t a0 = st[4 * c + 0];
    uint8_t a1 = st[4 * ((c + 1) & 3) + 1];
    uint8_t a2 = st[4 * ((c + 2) & 3) + 2];
    uint8_t a3 = st[4 * ((c + 3) & 3) + 3];
    dt[4 * c + 0] = (uint8_t)(kSbox2.v[a0] ^ kSbox3.v[a1] ^ kSbox.v[a2] ^ kSbox.v[a3]);
    dt[4 * c + 1] = (uint8_t)(kSbox.v[a0] ^ kSbox2.v[a1] ^ kSbox3.v[a2] ^ kSbox.v[a3]);
    dt[4 * c + 2] = (uint8_t)(kSbox.v[a0] ^ kSbox.v[a1] ^ kSbox2.v[a2] ^ kSbox3.v[a3]);
    dt[4 * c + 3] = (uint8_t)(kSbox3.v[a0] ^ kSbox.v[a1] ^ kSbox.v[a2] ^ kSbox2.v[a3]);
  }
}

// Last forward round: SubBytes + ShiftRows only.
void shift_sub_rows(uint8_t dt[N_BLOCK], const uint8_t st[N_BLOCK]) {
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      dt[4 * c + r] = kSbox.v[st[4 * ((c + r) & 3) + r]];
    }
  }
}

// InvMixColumns followed by InvShiftRows and InvSubBytes.
void inv_mix_sub_columns(uint8_t dt[N_BLOCK], const uint8_t st[N_BLOCK]) {
  uint8_t tmp[N_BLOCK];
  for (int c = 0; c < 4; ++c) {
    uint8_t a0 = st[4 * c + 0], a1 = st[4 * c + 1], a2 = st[4 * c + 2], a3 = st[4 * c + 3];
    tmp[4 * c + 0] = (uint8_t)(kMul14.v[a0] ^ kMul11.v[a1] ^ kMul13.v[a2] ^ kMul9.v[a3]);
    tmp[4 * c + 1] = (uint8_t)(kMul9.v[a0] ^ kMul14.v[a1] ^ kMul11.v[a2] ^ kMul13.v[a3]);
    tmp[4 * c + 2] = (uint8_t)(kMul13.v[a0] ^ kMul9.v[a1] ^ kMul14.v[a2] ^ kMul11.v[a3]);
    tmp[4 * c + 3] = (uint8_t)(kMul11.v[a0] ^ kMul13.v[a1] ^ kMul9.v[a2] ^ kMul14.v[a3]);
  }
  // Row r moves right by r columns.
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      dt[4 * ((c + r) & 3) + r] = kInvSbox.v[tmp[4 * c + r]];
    }
  }
}

// InvShiftRows + InvSubBytes (first inverse round).
void inv_shift_sub_rows(uint8_t dt[N_BLOCK], const uint8_t st[N_BLOCK]) {
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      dt[4 * ((c + r) & 3) + r] = kInvSbox.v[st[4 * c + r]];
    }
  }
}

}  // namespace

return_type aes_set_key(const uint8_t key[], length_type keylen, aes_context ctx[1]) {
  uint8_t nk;
  switch (keylen) {
    case 16:
    case 24:
    case 32:
      nk = (uint8_t)(keylen / 4);
      break;
    default:
      ctx->rnd = 0;
      return (return_type)0xFF;
  }
  const uint8_t rounds = (uint8_t)(nk + 6);
  const int words = 4 * (rounds + 1);
  uint8_t* w = ctx->ksch;
  for (int i = 0; i < keylen; ++i) {
    w[i] = key[i];
  }
  uint8_t rcon = 0x01;
  for (int i = nk; i < words; ++i) {
    uint8_t t[4] = {w[4 * (i - 1)], w[4 * (i - 1) + 1], w[4 * (i - 1) + 2], w[4 * (i - 1) + 3]};
    if (i % nk == 0) {
      uint8_t t0 = t[0];
      t[0] = (uint8_t)(kSbox.v[t[1]] ^ rcon);
      t[1] = kSbox.v[t[2]];
      t[2] = kSbox.v[t[3]];
      t[3] = kSbox.v[t0];
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      for (auto& b : t) {
        b = kSbox.v[b];
      }
    }
    for (int j = 0; j < 4; ++j) {
      w[4 * i + j] = (uint8_t)(w[4 * (i - nk) + j] ^ t[j]);
    }
  }
  ctx->rnd = rounds;
  return 0;
}

return_type aes_encrypt(const uint8_t in[N_BLOCK], uint8_t out[N_BLOCK], const aes_context ctx[1]) {
  if (ctx->rnd == 0) {
    return (return_type)0xFF;
  }
  uint8_t s1[N_BLOCK];
  uint8_t s2[N_BLOCK];
  copy_block(s1, in);
  xor_block(s1, ctx->ksch);
  for (int r = 1; r < ctx->rnd; ++r) {
    mix_sub_columns(s2, s1);
    copy_block(s1, s2);
    xor_block(s1, ctx->ksch + r * N_BLOCK);
  }
  shift_sub_rows(s2, s1);
  xor_block(s2, ctx->ksch + ctx->rnd * N_BLOCK);
  copy_block(out, s2);
  return 0;
}

return_type aes_decrypt(const uint8_t in[N_BLOCK], uint8_t out[N_BLOCK], const aes_context ctx[1]) {
  if (ctx->rnd == 0) {
    return (return_type)0xFF;
  }
  uint8_t s1[N_BLOCK];
  uint8_t s2[N_BLOCK];
  copy_block(s1, in);
  xor_block(s1, ctx->ksch + ctx->rnd * N_BLOCK);
  inv_shift_sub_rows(s2, s1);
  for (int r = ctx->rnd - 1; r > 0; --r) {
    copy_block(s1, s2);
    xor_block(s1, ctx->ksch + r * N_BLOCK);
    inv_mix_sub_columns(s2, s1);
  }
  xor_block(s2, ctx->ksch);
  copy_block(out, s2);
  return 0;
}

return_type aes_cbc_encrypt(const uint8_t* in, uint8_t* out, int n_block, uint8_t iv[N_BLOCK],
                            const aes_context ctx[1]) {
  while (n_block-- > 0) {
    xor_block(iv, in);
    if (aes_encrypt(iv, iv, ctx) != 0) {
      return 1;
    }
    copy_block(out, iv);
    in += N_BLOCK;
    out += N_BLOCK;
  }
  return 0;
}

return_type aes_cbc_decrypt(const uint8_t* in, uint8_t* out, int n_block, uint8_t iv[N_BLOCK],
                            const aes_context ctx[1]) {
  while (n_block-- > 0) {
    uint8_t tmp[N_BLOCK];
    copy_block(tmp, in);
    if (aes_decrypt(in, out, ctx) != 0) {
      return 1;
    }
    xor_block(out, iv);
    copy_block(iv, tmp);
    in += N_BLOCK;
    out += N_BLOCK;
  }
  return 0;
}

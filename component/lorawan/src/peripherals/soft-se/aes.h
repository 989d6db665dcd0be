/*!
 * \file aes.h
 *
 * \brief AES block cipher entry points used by the secure element, the
 *        AES-CMAC code and the P2P payload encryption. The software form
 *        (aes.cpp) is byte-oriented with table-driven rounds; an image may link
 *        a hardware form with the same entry points instead.
 */
#ifndef __AES_H__
#define __AES_H__

#include <stdint.h>

#define N_ROW 4
#define N_COL 4
#define N_BLOCK (N_ROW * N_COL)
#define N_MAX_ROUNDS 14

typedef uint8_t return_type;
typedef uint8_t length_type;

/*!
 * Expanded key schedule; rnd is the number of rounds, 0 while no key is
 * loaded.
 */
typedef struct {
  uint8_t ksch[(N_MAX_ROUNDS + 1) * N_BLOCK];
  uint8_t rnd;
} aes_context;

/*!
 * Accepts keys of 16, 24 or 32 bytes (returns 0); any other length returns
 * 0xFF and leaves the context without a key.
 */
return_type aes_set_key(const uint8_t key[], length_type keylen, aes_context ctx[1]);

/*!
 * One 16-byte block (in and out may be the same buffer); 0xFF when no key is
 * loaded.
 */
return_type aes_encrypt(const uint8_t in[N_BLOCK], uint8_t out[N_BLOCK], const aes_context ctx[1]);
return_type aes_decrypt(const uint8_t in[N_BLOCK], uint8_t out[N_BLOCK], const aes_context ctx[1]);

/*!
 * CBC over n_block blocks with the 16-byte IV at iv (which the call may
 * change); 1 when a block fails, else 0.
 */
return_type aes_cbc_encrypt(const uint8_t* in, uint8_t* out, int n_block, uint8_t iv[N_BLOCK],
                            const aes_context ctx[1]);
return_type aes_cbc_decrypt(const uint8_t* in, uint8_t* out, int n_block, uint8_t iv[N_BLOCK],
                            const aes_context ctx[1]);

#endif  // __AES_H__

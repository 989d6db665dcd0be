/*!
 * \file utilities.h
 *
 * \brief Small helpers shared by the MAC, the regions, the secure element and
 *        the services: a seedable pseudo-random generator, byte copies and
 *        CRC-32.
 */
#ifndef __UTILITIES_H__
#define __UTILITIES_H__

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifndef MIN
#define MIN(a, b) (((a) < (b)) ? (a) : (b))
#endif
#ifndef MAX
#define MAX(a, b) (((a) > (b)) ? (a) : (b))
#endif

/*!
 * Seeds the generator; the MAC does it once with a number drawn from the
 * radio.
 */
void srand1(uint32_t seed);

/*!
 * Next pseudo-random number, below 2147483647.
 */
int32_t rand1(void);

/*!
 * Pseudo-random number in [min, max]; callers pass min <= max.
 */
int32_t randr(int32_t min, int32_t max);

/*!
 * A pseudo-random sequence apart from the one above: seeding it leaves the
 * MAC's numbers alone. It is the additive feedback generator of the C
 * library's srandom()/random() (31 words of state, taps 3 and 31, the first
 * 310 numbers dropped), so a seed gives the numbers the C library gives.
 */
typedef struct {
  uint32_t state[31];
  uint8_t front;
  uint8_t rear;
} RandSeq_t;

/*!
 * Starts the sequence from seed (0 counts as 1).
 */
void RandSeqInit(RandSeq_t* seq, uint32_t seed);

/*!
 * Next number of the sequence, in [0, 2147483647].
 */
int32_t RandSeqNext(RandSeq_t* seq);

/*!
 * Copies size bytes forward.
 */
void memcpy1(uint8_t* dst, const uint8_t* src, uint16_t size);

/*!
 * Copies size bytes in reversed order: dst[size - 1 - i] = src[i].
 */
void memcpyr(uint8_t* dst, const uint8_t* src, uint16_t size);

/*!
 * Fills size bytes with value.
 */
void memset1(uint8_t* dst, uint8_t value, uint16_t size);

/*!
 * CRC-32 of ISO-HDLC / IEEE 802.3 (reflected polynomial 0xEDB88320, initial
 * value and final inversion 0xFFFFFFFF). A buffer of none gives 0.
 */
uint32_t Crc32(const uint8_t* buffer, uint16_t length);

/*!
 * The same CRC in pieces: Crc32Finalize(Crc32Update(Crc32Init(), ...)).
 */
uint32_t Crc32Init(void);
uint32_t Crc32Update(uint32_t crcInit, const uint8_t* buffer, uint16_t length);
uint32_t Crc32Finalize(uint32_t crc);

#endif  // __UTILITIES_H__

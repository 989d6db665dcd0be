/*!
 * \file utilities.cpp
 *
 * \brief Pseudo-random numbers, byte copies and CRC-32 (the CRC itself is the
 *        runtime core's, under the names the LoRaWAN stack calls).
 */
#include "utilities.h"

#include "fund_crc32.h"

/*!
 * Generator state. The sequence must stay exactly this linear congruential
 * one: channel choice, join back-off and P2P initialisation vectors follow it.
 */
static uint32_t next = 1;

void srand1(uint32_t seed) { next = seed; }

int32_t rand1(void) {
  next = next * 1103515245u + 12345u;
  return (int32_t)(next % 2147483647u);
}

int32_t randr(int32_t min, int32_t max) {
  // The span is computed in 64 bits so that (max - min + 1) cannot overflow
  // for callers that pass the whole signed range.
  int64_t span = (int64_t)max - (int64_t)min + 1;
  if (span <= 0) {
    return min;
  }
  return (int32_t)((int64_t)rand1() % span + min);
}

int32_t RandSeqNext(RandSeq_t* seq) {
  seq->state[seq->front] += seq->state[seq->rear];
  const uint32_t value = seq->state[seq->front] >> 1;
  seq->front = (uint8_t)((seq->front + 1u) % 31u);
  seq->rear = (uint8_t)((seq->rear + 1u) % 31u);
  return (int32_t)value;
}

void RandSeqInit(RandSeq_t* seq, uint32_t seed) {
  // The state words are filled by the minimal standard generator (16807
  // modulo 2^31 - 1, by Schrage's method), from the seed taken as signed.
  int32_t word = seed == 0u ? 1 : (int32_t)seed;
  seq->state[0] = (uint32_t)word;
  for (uint32_t i = 1u; i < 31u; i++) {
    const int32_t hi = word / 127773;
    const int32_t lo = word % 127773;
    word = 16807 * lo - 2836 * hi;
    if (word < 0) {
      word += 2147483647;
    }
    seq->state[i] = (uint32_t)word;
  }
  seq->front = 3u;
  seq->rear = 0u;
  for (uint32_t i = 0u; i < 310u; i++) {
    (void)RandSeqNext(seq);
  }
}

void memcpy1(uint8_t* dst, const uint8_t* src, uint16_t size) {
  while (size--) {
    *dst++ = *src++;
  }
}

void memcpyr(uint8_t* dst, const uint8_t* src, uint16_t size) {
  dst = dst + (size - 1);
  while (size--) {
    *dst-- = *src++;
  }
}

void memset1(uint8_t* dst, uint8_t value, uint16_t size) {
  while (size--) {
    *dst++ = value;
  }
}

uint32_t Crc32Init(void) { return FUND_CRC32_INIT; }

uint32_t Crc32Update(uint32_t crcInit, const uint8_t* buffer, uint16_t length) {
  if (buffer == NULL) {
    return 0;
  }
  return fund_crc32_update(crcInit, buffer, length);
}

uint32_t Crc32Finalize(uint32_t crc) { return fund_crc32_final(crc); }

uint32_t Crc32(const uint8_t* buffer, uint16_t length) {
  if (buffer == NULL) {
    return 0;
  }
  return fund_crc32(buffer, length);
}

// Value types of the LoRa settings that the configuration record stores.
// They belong to the LoRa services; the record needs their stored widths.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef enum : uint8_t {
  SERVICE_LORA_P2P = 0,
  SERVICE_LORAWAN = 1,
  SERVICE_LORA_FSK = 2,
} SERVICE_LORA_WORK_MODE;

typedef enum : uint8_t {
  SERVICE_LORA_AS923 = 0,
  SERVICE_LORA_AU915 = 1,
  SERVICE_LORA_CN470 = 2,
  SERVICE_LORA_CN779 = 3,
  SERVICE_LORA_EU433 = 4,
  SERVICE_LORA_EU868 = 5,
  SERVICE_LORA_KR920 = 6,
  SERVICE_LORA_IN865 = 7,
  SERVICE_LORA_US915 = 8,
  SERVICE_LORA_RU864 = 9,
  SERVICE_LORA_LA915 = 10,
  SERVICE_LORA_AS923_2 = 20,
  SERVICE_LORA_AS923_3 = 21,
  SERVICE_LORA_AS923_4 = 22,
} SERVICE_LORA_BAND;

typedef enum : uint8_t {
  SERVICE_LORA_ABP = 0,
  SERVICE_LORA_OTAA = 1,
} SERVICE_LORA_JOIN_MODE;

typedef enum : uint8_t {
  SERVICE_LORA_NO_ACK = 0,
  SERVICE_LORA_ACK = 1,
} SERVICE_LORA_CONFIRM_MODE;

typedef enum : uint8_t {
  SERVICE_LORA_CLASS_A = 0,
  SERVICE_LORA_CLASS_B = 1,
  SERVICE_LORA_CLASS_C = 2,
} SERVICE_LORA_CLASS;

typedef enum : uint8_t {
  SERVICE_LORA_DR_0 = 0,
  SERVICE_LORA_DR_1,
  SERVICE_LORA_DR_2,
  SERVICE_LORA_DR_3,
  SERVICE_LORA_DR_4,
  SERVICE_LORA_DR_5,
  SERVICE_LORA_DR_6,
  SERVICE_LORA_DR_7,
  SERVICE_LORA_DR_8,
  SERVICE_LORA_DR_9,
  SERVICE_LORA_DR_10,
  SERVICE_LORA_DR_11,
  SERVICE_LORA_DR_12,
  SERVICE_LORA_DR_13,
  SERVICE_LORA_DR_14,
  SERVICE_LORA_DR_15,
} SERVICE_LORA_DATA_RATE;

// One multicast group; four of them back to back are also the stored form.
typedef struct {
  uint8_t Devclass;  // 1 class B, 2 class C
  uint32_t Address;  // 0: free slot
  uint8_t McAppSKey[16];
  uint8_t McNwkSKey[16];
  uint32_t Frequency;  // Hz; 0: the band's default
  int8_t Datarate;
  uint16_t Periodicity;
  int8_t GroupID;
  uint8_t entry;  // listing position 1 to 4
} McSession_t;

static_assert(sizeof(McSession_t) == 52);
static_assert(offsetof(McSession_t, Address) == 4);
static_assert(offsetof(McSession_t, McAppSKey) == 8);
static_assert(offsetof(McSession_t, McNwkSKey) == 24);
static_assert(offsetof(McSession_t, Frequency) == 40);
static_assert(offsetof(McSession_t, Datarate) == 44);
static_assert(offsetof(McSession_t, Periodicity) == 46);
static_assert(offsetof(McSession_t, GroupID) == 48);
static_assert(offsetof(McSession_t, entry) == 49);

// Multicast groups: a table of four sessions, each handed to the MAC's
// multicast channel set-up, stored whole in the configuration record and
// re-created at every LoRaWAN start-up.
#include <string.h>

#include "service_lora.h"
#include "service_nvm.h"
#include "udrv_errno.h"

McSession_t McSession_group[4];

namespace {

constexpr uint8_t kGroups = 4;

struct RxDefault {
  uint32_t freq;
  int8_t dr;
};

// The receive channel of a group given without frequency, by band: class C
// listens on the region's RX2 channel, class B on its ping-slot channel.
// The AS923 sub-bands 2 to 4 (20 to 22) have none.
bool default_channel(SERVICE_LORA_BAND band, bool class_c, RxDefault *out) {
  static const RxDefault kClassC[] = {
      {923200000, 2}, {923300000, 8}, {505300000, 0}, {786000000, 0},
      {434665000, 0}, {869525000, 0}, {921900000, 0}, {866550000, 2},
      {923300000, 8}, {869100000, 0}, {923300000, 8},
  };
  static const RxDefault kClassB[] = {
      {923400000, 3}, {923300000, 8}, {494900000, 2},  {785000000, 3},
      {434665000, 3}, {869525000, 3}, {923100000, 3},  {866550000, 4},
      {923300000, 8}, {868900000, 3}, {923300000, 10},
  };
  const unsigned i = static_cast<unsigned>(band);
  if (i >= sizeof kClassC / sizeof kClassC[0]) {
    return false;
  }
  *out = class_c ? kClassC[i] : kClassB[i];
  return true;
}

int32_t store_groups(void) {
  return service_nvm_set_multicast_to_nvm(McSession_group) != 0 ? -UDRV_INTERNAL_ERR : 0;
}

bool same_record(const McSession_t &a, const McSession_t &b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

int32_t add_group(McSession_t s, bool store) {
  int free_slot = -1;
  for (uint8_t i = 0; i < kGroups; ++i) {
    if (McSession_group[i].Address == s.Address) {
      return -UDRV_PARAM_ERR;
    }
    if (free_slot < 0 && McSession_group[i].Address == 0) {
      free_slot = i;
    }
  }
  if (free_slot < 0) {
    return -UDRV_PARAM_ERR;
  }
  const uint8_t slot = static_cast<uint8_t>(free_slot);
  const bool class_c = s.Devclass == SERVICE_LORA_CLASS_C;
  if (s.Frequency == 0) {
    RxDefault def;
    if (!default_channel(service_lora_get_band(), class_c, &def)) {
      return -UDRV_PARAM_ERR;
    }
    s.Frequency = def.freq;
    s.Datarate = def.dr;
  }

  McChannelParams_t channel{};
  channel.IsRemotelySetup = false;
  channel.IsEnabled = true;
  channel.GroupID = static_cast<AddressIdentifier_t>(slot);
  channel.Address = s.Address;
  channel.McKeys.Session.McAppSKey = s.McAppSKey;
  channel.McKeys.Session.McNwkSKey = s.McNwkSKey;
  channel.FCountMin = 0;
  channel.FCountMax = 0xFFFF;

  McRxParams_t rx{};
  if (class_c) {
    rx.Class = CLASS_C;
    rx.ClassC.Frequency = s.Frequency;
    rx.ClassC.Datarate = s.Datarate;
  } else {
    rx.Class = CLASS_B;
    rx.ClassB.Frequency = s.Frequency;
    rx.ClassB.Datarate = s.Datarate;
    rx.ClassB.Periodicity = s.Periodicity;
  }
  channel.RxParams = rx;
  if (LoRaMacMcChannelSetup(&channel) != LORAMAC_STATUS_OK) {
    return -UDRV_PARAM_ERR;
  }
  service_lora_request_mac_step();
  uint8_t status = 0;
  if (LoRaMacMcChannelSetupRxParams(channel.GroupID, &rx, &status) != LORAMAC_STATUS_OK ||
      (status & 0xFC) != 0) {
    // The MAC would otherwise keep listening for a group that the table
    // shows as free.
    LoRaMacMcChannelDelete(channel.GroupID);
    return -UDRV_PARAM_ERR;
  }
  s.GroupID = static_cast<int8_t>(slot);
  memcpy(&McSession_group[slot], &s, sizeof s);
  return store ? store_groups() : 0;
}

}  // namespace

int32_t service_lora_addmulc(McSession_t s) { return add_group(s, true); }

int32_t service_lora_rmvmulc(uint32_t devaddr) {
  uint8_t slot = 0;
  while (slot < kGroups && (McSession_group[slot].Address != devaddr || devaddr == 0)) {
    ++slot;
  }
  if (slot == kGroups) {
    return -UDRV_INTERNAL_ERR;
  }
  if (LoRaMacMcChannelDelete(static_cast<AddressIdentifier_t>(McSession_group[slot].GroupID)) !=
      LORAMAC_STATUS_OK) {
    return -UDRV_INTERNAL_ERR;
  }
  memset(&McSession_group[slot], 0, sizeof McSession_group[slot]);
  service_lora_request_mac_step();
  int32_t ret = store_groups();
  if (ret != 0) {
    return ret;
  }
  bool any = false;
  for (const McSession_t &g : McSession_group) {
    any = any || g.Address != 0;
  }
  if (!any) {
    service_lora_set_class(service_nvm_get_class_from_nvm(), false);
  }
  return 0;
}

int32_t service_lora_lstmulc(McSession_t *iterator) {
  for (uint8_t i = 0; i < kGroups; ++i) {
    McSession_group[i].entry = static_cast<uint8_t>(i + 1);
  }
  McSession_t zero;
  memset(&zero, 0, sizeof zero);
  if (same_record(*iterator, zero)) {
    memcpy(iterator, &McSession_group[0], sizeof *iterator);
    return -UDRV_CONTINUE;
  }
  for (uint8_t i = 0; i < kGroups; ++i) {
    if (same_record(*iterator, McSession_group[i])) {
      if (i == kGroups - 1) {
        return 0;
      }
      memcpy(iterator, &McSession_group[i + 1], sizeof *iterator);
      return -UDRV_CONTINUE;
    }
  }
  memcpy(iterator, &McSession_group[0], sizeof *iterator);
  return -UDRV_CONTINUE;
}

int32_t service_lora_setup_multicast(void) {
  McSession_t stored[kGroups];
  memcpy(stored, service_nvm_get_multicast_from_nvm(), sizeof stored);
  memset(McSession_group, 0, sizeof McSession_group);
  // The table is stored once at the end, so that a group the MAC refuses
  // does not cost the store the groups after it.
  for (const McSession_t &g : stored) {
    if (g.Address != 0 && add_group(g, false) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
  }
  if (memcmp(stored, McSession_group, sizeof stored) != 0) {
    return store_groups();
  }
  return 0;
}

int32_t service_lora_clear_multicast(void) {
  for (McSession_t &g : McSession_group) {
    if (g.Address != 0 && service_lora_rmvmulc(g.Address) != 0) {
      return -UDRV_INTERNAL_ERR;
    }
  }
  return 0;
}

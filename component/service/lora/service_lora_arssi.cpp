// Per-channel RSSI: the RSSI of the last downlink after an uplink on each
// channel, listed one channel at a time.
#include "service_lora_lorawan.h"
#include "udrv_errno.h"

uint8_t last_tx_channel = 0;

namespace {

int8_t arssi[96];
chan_rssi cursor = {0xFFFFFFFFu, 0, 0};

}  // namespace

void service_lora_arssi_tx_callback(uint8_t channel) { last_tx_channel = channel; }

void service_lora_arssi_rx_callback(int16_t rssi) {
  // Downlinks weaker than the table can hold list at its floor, not
  // wrapped to a strong value.
  if (rssi < INT8_MIN) rssi = INT8_MIN;
  if (rssi > INT8_MAX) rssi = INT8_MAX;
  if (last_tx_channel < sizeof arssi) {
    arssi[last_tx_channel] = static_cast<int8_t>(rssi);
  }
}

int32_t service_lora_get_arssi(chan_rssi *iterator) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_CHANNELS_MASK;
  if (LoRaMacMibGetRequestConfirm(&mib) != LORAMAC_STATUS_OK || mib.Param.ChannelsMask == nullptr) {
    return -UDRV_INTERNAL_ERR;
  }
  const uint16_t *mask = mib.Param.ChannelsMask;
  uint32_t next;
  // The listing goes on only from a cursor whose RSSI has not changed
  // meanwhile; otherwise it starts again at channel 0.
  if (cursor.chan < 96 && arssi[cursor.chan] == cursor.rssi) {
    if (cursor.chan == 95) {
      cursor.chan = 0xFFFFFFFFu;
      return 0;
    }
    next = cursor.chan + 1;
  } else {
    next = 0;
  }
  cursor.chan = next;
  cursor.mask = static_cast<uint16_t>(mask[next / 16] & (1u << (next % 16)));
  cursor.rssi = arssi[next];
  *iterator = cursor;
  return -UDRV_CONTINUE;
}

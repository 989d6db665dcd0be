// Direct test mode on a BLE radio: a transmitter that sends test packets at
// the standard spacing, and a receiver that counts the good ones. The
// device's controller uses it for the LE test commands; a test uses a
// second one as the tester on the other end.
#pragma once

#include <cstdint>

#include "sim/ble_ll.h"

namespace sim::ble {

constexpr uint32_t kDtmAccessAddress = 0x71764129;

// The advertising/data channel index of an RF channel 0..39 (2402 + 2k MHz).
uint8_t rf_to_channel_index(uint8_t rf_channel);
// Spacing of test packets with `payload_len` bytes: ceil((L + 249) / 625)
// x 625 us, L being the packet's time on air.
time_us dtm_packet_interval_us(uint8_t payload_len);

class Dtm : public Radio::Client {
 public:
  explicit Dtm(Radio& radio) : radio_(radio) {}
  // Take the radio (the link layer gives it up meanwhile).
  bool start_tx(uint8_t rf_channel, uint8_t payload_len, uint8_t payload_type,
                int8_t tx_power_dbm = 0);
  bool start_rx(uint8_t rf_channel);
  // Ends the test; the packets sent (transmitter) or received (receiver).
  uint16_t end();
  bool active() const { return mode_ != Mode::kOff; }
  uint32_t packets() const { return packets_; }

  void radio_rx_started() override {}
  void radio_rx_ended(const Radio::Rx* rx) override;
  void radio_timer() override;

 private:
  enum class Mode { kOff, kTx, kRx };
  Radio& radio_;
  Mode mode_ = Mode::kOff;
  uint8_t channel_ = 0;
  Bytes pdu_;
  int8_t power_ = 0;
  time_us next_ = 0;
  uint32_t packets_ = 0;
};

}  // namespace sim::ble

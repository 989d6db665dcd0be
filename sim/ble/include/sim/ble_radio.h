// A link layer's radio on the simulated air of one device (the medium): the
// device's own BLE transceiver, or a central inside a unit test.
#pragma once

#include <cstdint>

#include "sim/air_medium.h"
#include "sim/ble_ll.h"

namespace sim::ble {

class SimRadio : public Radio, public air::Node {
 public:
  explicit SimRadio(uint32_t device_id, air::Medium* medium = nullptr);
  ~SimRadio() override;
  SimRadio(const SimRadio&) = delete;
  SimRadio& operator=(const SimRadio&) = delete;

  // Radio.
  void set_client(Client* client) override { client_ = client; }
  time_us now() const override;
  uint32_t device_id() const override { return device_id_; }
  void transmit(uint8_t channel, uint32_t access_address, const Bytes& pdu, time_us start,
                int8_t tx_power_dbm) override;
  void listen(uint8_t channel, uint32_t access_address) override;
  void stop_listening() override;
  void set_timer(time_us at) override;

  // air::Node.
  Phy phy() const override { return Phy::kBle; }
  void air_frame_started(const air::Heard& heard) override;
  void air_frame_ended(const air::Heard& heard) override;
  // The receiver turns on only at the link layer's own timer events, and
  // everything it sends starts at one: between them it neither hears nor
  // sends.
  bool hears_air() const override { return listening_ || rx_id_ != 0; }
  bool sends_air() const override;

  uint32_t frames_sent() const { return frames_sent_; }

 private:
  static void on_timer(void* ctx, uint32_t);
  static void on_transmit(void* ctx, uint32_t);

  air::Medium& medium_;
  uint32_t device_id_;
  Client* client_ = nullptr;
  bool listening_ = false;
  uint32_t channel_hz_ = 0;
  uint32_t access_address_ = 0;
  uint32_t rx_id_ = 0;  // the packet being received
  EventId timer_ = 0;
  EventId tx_event_ = 0;
  AirFrame pending_{};  // a transmission that starts later
  time_us tx_end_ = 0;
  uint32_t frames_sent_ = 0;
};

// Whether an air frame is a BLE packet on `channel_hz` for `access_address`.
bool matches(const AirFrame& f, uint32_t channel_hz, uint32_t access_address);

}  // namespace sim::ble

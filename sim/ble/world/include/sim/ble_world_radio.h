// A link layer's radio as a participant of a world: the world's own central
// (a test's or a tool's) hears the devices' BLE packets through the time
// master and puts its own on the air at the times its link layer chooses.
// Receptions follow the same rules as on a device's air: on its channel and
// access address, begun while it listened, strong enough (the master's link
// budget from the sender to device 0, the world itself), not overlapped by
// another packet on the channel.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/ble_central.h"
#include "sim/ble_ll.h"
#include "world/master.h"

namespace sim::ble {

class WorldRadio : public Radio, public world::Agent {
 public:
  explicit WorldRadio(world::Master& master);
  ~WorldRadio() override;
  WorldRadio(const WorldRadio&) = delete;
  WorldRadio& operator=(const WorldRadio&) = delete;

  // Moves the world's time (Master::run_until) for a central on this radio.
  Central::Runner runner();

  // Radio.
  void set_client(Client* client) override { client_ = client; }
  time_us now() const override;
  uint32_t device_id() const override { return 0; }
  void transmit(uint8_t channel, uint32_t access_address, const Bytes& pdu, time_us start,
                int8_t tx_power_dbm) override;
  void listen(uint8_t channel, uint32_t access_address) override;
  void stop_listening() override;
  void set_timer(time_us at) override { timer_ = at; }

  // world::Agent.
  void heard(const world::FrameRecord& record) override;
  time_us wake_time() const override;
  void wake(world::Master& master, time_us now) override;

 private:
  struct OnAir {
    time_us start, end;
    uint32_t frequency_hz;
  };
  void inject(const AirFrame& f);

  world::Master& master_;
  Client* client_ = nullptr;
  time_us now_ = 0;
  time_us timer_ = kNever;
  bool listening_ = false;
  uint32_t channel_hz_ = 0;
  uint32_t access_address_ = 0;
  bool receiving_ = false;
  AirFrame rx_{};
  std::vector<AirFrame> later_;  // own packets that start later
  time_us tx_end_ = 0;
  bool injecting_ = false;
  std::vector<OnAir> air_;  // recent packets of others, for overlaps
};

}  // namespace sim::ble

// A LoRaWAN gateway on the simulated air, as an agent of the world's time
// master: it hears every uplink on every channel and data rate of its region
// at once (an 8-channel gateway is not limited to one radio setting), but
// not while it transmits itself (one antenna: half duplex), with
// the RSSI/SNR of the world's link budget, hands it to the network server at
// the end of the frame, and transmits the answers at their exact times, the
// class B beacons every 128 s and the class B/C downlinks.
//
// In a system test:
//   systest::World w;
//   sim::network::NetworkServer ns(sim::network::RegionId::kEU868);
//   ns.add_device(...);
//   sim::network::Gateway gw(ns, w.master());
//   ... w.run_for(...), ns.uplinks(), ns.queue_downlink(...), wait_uplink(...)
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "network/server.h"
#include "world/master.h"

namespace sim::network {

struct GatewayOptions {
  uint32_t receiver_id = 0;     // link-budget id of the gateway (0: the world's own)
  uint16_t sync_word = 0x3444;  // public network (0x1424 private)
  int8_t tx_power_dbm = -128;   // -128: the region's downlink power
  int64_t timing_error_us = 0;  // added to every downlink start (window tolerance probes)
  bool beacons = false;         // class B beacons every 128 s
  // Beacon start after the GPS multiple of 128 s; above half a period the
  // beacon is early for the next multiple, whose time it carries.
  uint32_t beacon_delay_us = 0;
  uint8_t beacon_info[7] = {0, 0, 0, 0, 0, 0, 0};  // GwSpecific: InfoDesc | Info
  // Sees each beacon before it goes out (GPS seconds, payload): may change
  // it (a corrupted CRC) or return false to drop it (beacon loss).
  std::function<bool(uint32_t gps_seconds, Bytes& payload)> beacon_hook;
};

// One frame the gateway heard or sent, and what became of it.
struct GatewayEvent {
  sim::world::FrameRecord frame;
  bool uplink = false;
  std::string outcome;  // "received", "collision", "gateway transmitting", "below sensitivity",
                        // "not an uplink channel", "sent", "dropped: ..."
};

class Gateway : public sim::world::Agent {
 public:
  Gateway(NetworkServer& server, sim::world::Master& master, GatewayOptions options = {});
  ~Gateway() override;
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  GatewayOptions& options() { return options_; }
  // Beacons on or off while the world runs: switched on, they start again
  // with the next period boundary.
  void set_beacons(bool on);
  const std::vector<GatewayEvent>& events() const { return events_; }

  // A raw frame sent at `at` (crafted frames: bad MIC, foreign address, ...),
  // inverted IQ as a downlink.
  void send_raw(time_us at, uint32_t freq, uint8_t dr, const Bytes& bytes);

  // The beacon payload for a GPS time (seconds, a multiple of 128).
  Bytes beacon_payload(uint32_t gps_seconds) const;
  // World time of the next beacon at or after `t`.
  time_us next_beacon(time_us t) const;

  // Agent.
  void heard(const sim::world::FrameRecord& record) override;
  time_us wake_time() const override;
  void wake(sim::world::Master& master, time_us now) override;

 private:
  struct Pending {
    sim::world::FrameRecord rec;  // with this gateway's RSSI/SNR
    int dr;
    int channel;
  };
  struct Scheduled {
    Transmission tx;
    bool beacon = false;
  };
  sim::AirFrame make_frame(const Transmission& tx, bool beacon) const;
  void receive(const Pending& p);

  NetworkServer& server_;
  sim::world::Master& master_;
  GatewayOptions options_;
  std::vector<Pending> pending_;                   // heard, not yet ended
  std::vector<sim::world::FrameRecord> recent_;    // for collision checks
  std::vector<std::pair<time_us, time_us>> sent_;  // own transmissions (start, end)
  std::vector<Scheduled> scheduled_;
  std::vector<GatewayEvent> events_;
  time_us next_beacon_ = 0;
  time_us tx_busy_until_ = 0;
  bool sending_ = false;
};

// Runs the world until the server has seen an uplink, after its first `from`
// ones, that `match` accepts (any when empty), or for `timeout` of virtual
// time. Returns that uplink.
std::optional<UplinkRecord> wait_uplink(sim::world::Master& master, const NetworkServer& server,
                                        size_t from,
                                        const std::function<bool(const UplinkRecord&)>& match,
                                        time_us timeout);

}  // namespace sim::network

// Bluetooth LE on the simulated air: advertising packets on the LE 1M PHY
// and a minimal listener (a passive scanner's receiver), for tests and the
// world's BLE central. Frames carry Phy::kBle; sub-GHz radios never hear
// them.
//
// A frame's payload is the PDU (2-byte header and its payload); the preamble,
// the access address (in fsk_sync, least significant byte first) and the
// CRC are implied by the frame's timing and fields. The medium's link budget
// and collision rules apply as for any frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/air.h"
#include "sim/air_medium.h"
#include "sim/sim.h"

namespace sim::ble {

constexpr uint32_t kAdvertisingAccessAddress = 0x8E89BED6;
constexpr size_t kMaxAdvData = 31;
constexpr uint32_t kBitrate = 1000000;  // LE 1M
// Weakest advertising packet the listener takes.
constexpr int kSensitivityDbm = -97;

// Centre frequency of an RF channel index 0..39 (37, 38, 39 advertising;
// 0..36 data); 0 for anything else.
uint32_t channel_frequency_hz(uint8_t channel);
// LE 1M: 1 byte preamble, 4 access address, the PDU, 3 CRC, 8 us a byte.
time_us time_on_air_us(size_t pdu_len);

// Legacy advertising PDU types.
enum PduType : uint8_t {
  kAdvInd = 0,
  kAdvDirectInd = 1,
  kAdvNonconnInd = 2,
  kScanReq = 3,
  kScanRsp = 4,
  kConnectInd = 5,
  kAdvScanInd = 6,
};

struct Advertisement {
  uint8_t type = kAdvNonconnInd;
  bool random_address = true;           // TxAdd
  std::array<uint8_t, 6> address = {};  // AdvA, least significant byte first
  std::vector<uint8_t> data;            // AdvData, at most 31 bytes
};

// Header (type, TxAdd, length), AdvA, AdvData. Empty when the data is too
// long.
std::vector<uint8_t> encode(const Advertisement& adv);
// False when the bytes are not an advertising PDU with an AdvA.
bool decode(const uint8_t* pdu, size_t len, Advertisement* adv);

// The packet on the air on an advertising channel from `start`.
AirFrame advertising_frame(const Advertisement& adv, uint8_t channel, time_us start,
                           int8_t tx_power_dbm);

// Listens on one advertising channel and keeps every advertising packet it
// received whole: on its channel, with the advertising access address,
// listened to from its start, strong enough and not collided.
class Listener : public air::Node {
 public:
  struct Report {
    time_us at;  // end of the packet
    uint32_t sender;
    int16_t rssi_dbm;
    Advertisement adv;
  };

  explicit Listener(uint32_t device_id, uint8_t channel = 37, air::Medium* medium = nullptr);
  ~Listener() override;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void set_channel(uint8_t channel);
  const std::vector<Report>& reports() const { return reports_; }
  // Packets that reached it but were lost (collision, too weak, bad PDU).
  uint32_t lost() const { return lost_; }

  Phy phy() const override { return Phy::kBle; }
  void air_frame_started(const air::Heard& heard) override;
  void air_frame_ended(const air::Heard& heard) override;

 private:
  bool mine(const AirFrame& f) const;

  air::Medium& medium_;
  uint8_t channel_;
  std::vector<uint32_t> listening_;  // frames whose start it heard
  std::vector<Report> reports_;
  uint32_t lost_ = 0;
};

}  // namespace sim::ble

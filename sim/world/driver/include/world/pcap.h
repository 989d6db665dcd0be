// Every frame put on the air, in a capture file that packet analysers read
// (pcapng): sub-GHz frames with a LoRaTap header (link type 270: frequency,
// bandwidth, spreading factor, RSSI, SNR, sync word), Bluetooth LE packets
// as "BLE LL with PHDR" (link type 256: RF channel, signal power, access
// address, PDU and CRC). Time stamps are the world's virtual time, counted
// from the epoch. RSSI and SNR are those at the world's own receiver (the
// gateway, when the test network is on the air).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "world/master.h"

namespace sim::world {

class PcapWriter {
 public:
  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates the file and writes its header; false with a reason.
  bool open(const std::string& path, std::string* error);
  // One frame as the world put it on the air (a cut frame's correction is
  // no new frame and is left out). `budget` gives RSSI and SNR.
  void write(const FrameRecord& record, const LinkBudget& budget);

  // The link layer CRC of a BLE PDU (24 bits, as sent: least significant
  // byte first).
  static uint32_t ble_crc(uint32_t crc_init, const uint8_t* pdu, size_t len);

 private:
  void block(uint32_t type, const std::vector<uint8_t>& body);
  void packet(uint32_t interface, uint64_t t_us, const std::vector<uint8_t>& data);
  FILE* f_ = nullptr;
  // CRCInit of each connection, by access address, from its CONNECT_IND.
  std::map<uint32_t, uint32_t> crc_init_;
};

}  // namespace sim::world

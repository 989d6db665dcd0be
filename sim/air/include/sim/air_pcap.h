// Every frame put on the air, in a capture file that packet analysers read
// (pcapng): sub-GHz frames with a LoRaTap header (link type 270: frequency,
// bandwidth, spreading factor, RSSI, SNR, sync word), Bluetooth LE packets
// as "BLE LL with PHDR" (link type 256: RF channel, signal power, access
// address, PDU and CRC). Time stamps are virtual time, counted from the
// epoch. RSSI and SNR are the frame's reception values, filled by whoever
// hands the frame over (the receiver the capture stands for).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/air.h"

namespace sim::air {

class PcapWriter {
 public:
  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates the file and writes its header; false with a reason.
  bool open(const std::string& path, std::string* error);
  // Goes on writing a capture this writer's program began before a device
  // reset (a missing or empty file is begun anew).
  bool append(const std::string& path, std::string* error);
  // One frame put on the air, with its reception values (a cut frame's
  // correction is no new frame and is left out).
  void write(const AirFrame& frame);

  // The connections whose packets the capture can mark, by access address:
  // their CRCInit and their central (the sender of the CONNECT_IND), learnt
  // from each CONNECT_IND. Kept through a reset.
  struct Connection {
    uint32_t crc_init;
    uint32_t central;  // device id
  };
  const std::map<uint32_t, Connection>& connections() const { return connections_; }
  void set_connections(std::map<uint32_t, Connection> c) { connections_ = std::move(c); }

  // The link layer CRC of a BLE PDU (24 bits, as sent: least significant
  // byte first).
  static uint32_t ble_crc(uint32_t crc_init, const uint8_t* pdu, size_t len);

 private:
  void header();
  void block(uint32_t type, const std::vector<uint8_t>& body);
  void packet(uint32_t interface, uint64_t t_us, const std::vector<uint8_t>& data);
  FILE* f_ = nullptr;
  std::map<uint32_t, Connection> connections_;
};

}  // namespace sim::air

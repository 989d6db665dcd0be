// A serial peer that answers with what it got: every byte at once
// (loopback, as a wire from TX to RX would), or each line once its '\n' has
// arrived (a line echo, the simplest command-line device).
//
// Bytes arrive at the line's pace (sim/uart_peer.h), so a loopback byte comes
// back one byte time after it arrived, two after it left the chip; a line
// comes back whole after its last byte, back to back at the line's pace.
#pragma once

#include <cstdint>
#include <string>

#include "sim/uart_peer.h"

namespace sim {

class UartEcho : public UartPeer {
 public:
  enum class Mode : uint8_t { kBytes, kLines };
  explicit UartEcho(Mode mode = Mode::kBytes) : mode_(mode) {}

  // What has arrived from the chip so far (backend face, for tests).
  const std::string& heard() const { return heard_; }

  void received(uint8_t byte) override;

 private:
  Mode mode_;
  std::string heard_;
  std::string line_;
};

}  // namespace sim

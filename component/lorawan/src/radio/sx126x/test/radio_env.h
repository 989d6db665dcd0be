// Test environment of the radio driver: the firmware driver on the host board
// (device 1) and peer radios driven directly with the chip's SPI commands,
// all on one simulated air.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "radio.h"
#include "sim/air_medium.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sim/sx126x.h"

namespace radio_test {

using Bytes = std::vector<uint8_t>;
using sim::AirFrame;

// What the driver reported through the events record.
struct Log {
  struct Rx {
    Bytes payload;
    int16_t rssi;
    int8_t snr;
    sim::time_us at;
  };
  std::vector<std::string> events;  // "TxDone", "RxDone", ... in order
  std::vector<sim::time_us> times;
  std::vector<Rx> rx;
  std::vector<bool> cad;
  void clear() { *this = Log{}; }
  size_t count(const std::string& e) const {
    size_t n = 0;
    for (const auto& x : events) n += (x == e);
    return n;
  }
};

Log& log();
RadioEvents_t* events();  // records into log()

// A radio on the same air driven by the test with the chip's SPI commands
// (encodings from the chip's data sheet, written here independently of the
// firmware's command layer).
class Peer {
 public:
  explicit Peer(uint32_t device_id);
  sim::Sx126x& chip() { return *chip_; }

  void cmd(const Bytes& bytes);
  Bytes read(uint8_t opcode, size_t n);
  void write_reg(uint16_t addr, const Bytes& bytes);
  Bytes read_reg(uint16_t addr, size_t n);

  struct Lora {
    uint32_t freq = 868100000;
    uint8_t sf = 7;
    uint8_t bw_code = 4;  // 125 kHz
    uint8_t cr = 1;
    bool ldro = false;
    uint16_t preamble = 8;
    bool implicit = false;
    uint8_t len = 0;
    bool crc = true;
    bool iq_inverted = false;
    uint16_t sync = 0x1424;
    int8_t power = 14;
  };
  void setup_lora(const Lora& p);
  struct Fsk {
    uint32_t freq = 868800000;
    uint32_t bitrate = 50000;
    uint32_t fdev = 25000;
    uint8_t bw_code = 0x0B;  // 117.3 kHz
    uint16_t preamble_bits = 40;
    Bytes sync = {0xC1, 0x94, 0xC1};
    bool variable = true;
    uint8_t len = 255;
    uint8_t crc_type = 0x06;           // 2 bytes, inverted (CCITT)
    uint16_t whitening_seed = 0x01FF;  // the driver's
    int8_t power = 14;
  };
  void setup_fsk(const Fsk& p);
  // Put a payload on the air with the current parameters (length set too).
  void send(const Bytes& payload);
  // SetRx with a timeout in 15.625 us units (0xFFFFFF continuous).
  void rx(uint32_t timeout_units);
  void standby();
  uint16_t irq();
  void clear_irq();
  Bytes received();
  Bytes packet_status() { return read(0x14, 3); }

 private:
  void wait_ready();
  std::unique_ptr<sim::Sx126x> chip_;
  bool lora_ = true;
  Lora lora_params_;
  Fsk fsk_params_;
};

// What differs between the radio paths (the SX126x driver on its board, the
// STM32WL's own radio driver): defined once per test program.
namespace env {
// Power-on of the device with its radio (device 1 on the air).
void setup();
void teardown();
// The device's radio chip.
sim::Sx126x& chip();
// What the main loop does for the radio on each pass.
void main_loop_step();
// Start-up time of the radio's oscillator before TX, RX and CAD.
sim::time_us tcxo_us();
// Moves of virtual time made so far by the path's waits on the radio's BUSY.
uint64_t busy_wait_steps();
}  // namespace env

class RadioTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the device (interrupts, then the driver's interrupt processing, as
  // the main loop does) until cond holds or `limit` of virtual time passed.
  bool run_until(const std::function<bool()>& cond, sim::time_us limit_us);
  // Runs for `us` of virtual time.
  void run_for(sim::time_us us);
  sim::time_us now() const { return sim::now(); }

  void lora_rx_config(const Peer::Lora& p, uint16_t symb_timeout, bool continuous);
  void lora_tx_config(const Peer::Lora& p, uint32_t timeout_ms = 30000);

  sim::air::Medium& air() { return sim::air::Medium::instance(); }
  sim::Sx126x& chip() { return env::chip(); }
  // Frames put on the air, as sent.
  std::vector<AirFrame> frames_;
};

// The LoRa bandwidth index of the driver for a chip code.
uint32_t bw_index_of(uint8_t code);

}  // namespace radio_test

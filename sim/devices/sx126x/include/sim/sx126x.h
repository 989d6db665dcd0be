// Model of an SX1261/SX1262 sub-GHz radio chip as seen on its pins: NSS,
// SCK/MOSI/MISO (one byte exchanged at a time), BUSY, NRESET and DIO1.
//
// It decodes the chip's SPI command set (modes, packet type, frequency, PA and
// TX power, modulation and packet parameters, IRQ routing and status, buffer
// and register access, RSSI, packet and buffer status), keeps a register file
// and the 256-byte data buffer, wakes from sleep on an NSS falling edge,
// resets on NRESET, holds BUSY after each command for the time the chip needs
// for it, applies the TCXO start-up time of DIO3 before TX, RX and CAD, and
// puts frames on the air model / takes them from it. The power on the air is
// what the PA configuration can give; a transmission stopped by a command
// leaves the air at once. A reception is decided here, with the air model's
// reception rules, from frequency, modem parameters (LoRa low-data-rate
// optimisation; FSK filter bandwidth, CRC and whitening), timing (enough
// preamble left to detect, LoRa symbol timeout, RX timeout), signal level and
// collisions (a frame stronger than the rest by the capture margin
// survives).
//
// Everything runs on the device's virtual clock: the model schedules its own
// events and calls the DIO1 hook "in hardware" (as an event); a board layer
// turns that into an interrupt.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/air_medium.h"
#include "sim/sim.h"

namespace sim {

class Sx126x : public air::Node {
 public:
  enum class Mode : uint8_t { kReset, kSleep, kStdbyRc, kStdbyXosc, kFs, kTx, kRx, kCad };

  struct Config {
    uint32_t device_id = 1;         // who this radio is on the air
    uint8_t variant = 2;            // 1: SX1261, 2: SX1262
    uint64_t rng_seed = 0;          // the random-number registers' sequence (with device_id)
    air::Medium* medium = nullptr;  // default: the process's medium
  };

  explicit Sx126x(const Config& config);
  ~Sx126x() override;
  Sx126x(const Sx126x&) = delete;
  Sx126x& operator=(const Sx126x&) = delete;

  // ------------------------------------------------------------ pins -----
  void set_nss(int level);
  void set_nreset(int level);
  // One byte on the bus while NSS is low; returns the byte on MISO.
  uint8_t spi_transfer(uint8_t mosi);
  int busy() const;
  // When BUSY falls by itself: now() or earlier when it is low; kNever while
  // it stays high until something is done to the chip (asleep with no wake
  // under way, NRESET held low).
  time_us busy_falls_at() const;
  int dio1() const { return dio1_level_; }
  // Called (as an event) whenever the DIO1 level changes.
  using PinFn = void (*)(void* ctx, int level);
  void set_dio1_hook(PinFn fn, void* ctx);

  // ------------------------------------------------------- observation ---
  Mode mode() const { return mode_; }
  uint16_t irq_status() const { return irq_status_; }
  uint8_t reg(uint16_t address) const;
  uint8_t packet_type() const { return packet_type_; }
  uint32_t frequency_hz() const { return frequency_hz_; }
  int8_t tx_power_dbm() const { return tx_power_; }
  uint32_t device_id() const { return config_.device_id; }
  uint8_t variant() const { return config_.variant; }
  // Every NSS-low window's MOSI bytes, in order, while recording is on.
  void record_spi(bool on);
  const std::vector<std::vector<uint8_t>>& spi_log() const { return spi_log_; }
  void clear_spi_log() { spi_log_.clear(); }
  struct Counters {
    uint32_t tx_done = 0;
    uint32_t rx_done = 0;
    uint32_t crc_errors = 0;
    uint32_t header_errors = 0;
    uint32_t timeouts = 0;
    uint32_t cad_done = 0;
    uint32_t bad_commands = 0;  // unknown opcode, wrong length, while busy
  };
  const Counters& counters() const { return counters_; }
  // The last frame this radio put on the air.
  const AirFrame& last_sent() const { return last_sent_; }

  // Times of the model (defaults close to the data sheet's).
  static constexpr time_us kWakeUs = 340;   // sleep (warm start) to STDBY_RC
  static constexpr time_us kBootUs = 3500;  // NRESET released to STDBY_RC
  // BUSY after a command, from NSS rising: register, buffer and status
  // access; a configuration command; the mode switches from STDBY_RC (to
  // STDBY_XOSC, FS, RX, TX; a TCXO's start-up comes on top of them before
  // the operation begins, with BUSY already low); a calibration of every
  // block and of the image.
  static constexpr time_us kBusyAccessUs = 2;
  static constexpr time_us kBusyConfigUs = 20;
  static constexpr time_us kBusyXoscUs = 31;
  static constexpr time_us kBusyFsUs = 50;
  static constexpr time_us kBusyRxUs = 83;
  static constexpr time_us kBusyTxUs = 126;
  static constexpr time_us kBusyCalibrateUs = 3500;
  static constexpr time_us kBusyCalibrateImageUs = 1000;
  // Most a PA configuration can give (dBm): SetPaConfig's duty cycle, hpMax
  // and device selection on this variant.
  int pa_max_dbm() const;
  static constexpr time_us kCarrierChunkUs = 100000;  // a continuous wave goes on the air in pieces

  // Node
  void air_frame_started(const air::Heard& heard) override;
  void air_frame_ended(const air::Heard& heard) override;
  // Frames matter to the radio only while it receives or looks for activity.
  bool hears_air() const override { return mode_ == Mode::kRx || mode_ == Mode::kCad; }
  // Only a transmission (about to start or on the air) puts anything there.
  bool sends_air() const override { return mode_ == Mode::kTx; }
  time_us air_horizon(time_us known) const override;

 private:
  struct Lock {
    uint32_t id = 0;        // 0: not locked
    uint32_t serial = 0;    // names this lock for its events
    time_us detect_at = 0;  // its preamble is detected then
    bool header_done = false;
    // The frame as the lock took it; a sender that stops early shortens it
    // (frame.cut), yet the receiver only finds out at the points it would
    // have reached anyway: the header, or the end of the payload it expects.
    AirFrame frame{};
    time_us expected_end = 0;
  };

  void power_on_defaults();
  void set_mode(Mode m);
  void abort_operation();
  void transaction_end();
  time_us busy_time(uint8_t op) const;
  int8_t power_on_air() const;
  uint8_t status_byte() const;
  uint8_t read_response(size_t index);
  void execute(const std::vector<uint8_t>& cmd);
  void command_error();
  void raise(uint16_t irq);
  void update_dio1();
  time_us startup_delay() const;
  uint32_t next_random();
  uint8_t rssi_inst_byte() const;

  // Parameters decoded from the stored command bytes.
  bool is_lora() const { return packet_type_ == 1; }
  uint8_t lora_sf() const { return lora_mod_[0]; }
  uint8_t lora_bw_code() const { return lora_mod_[1]; }
  uint8_t lora_cr() const { return lora_mod_[2]; }
  bool lora_ldro() const { return lora_mod_[3] != 0; }
  uint16_t lora_preamble() const { return static_cast<uint16_t>(lora_pkt_[0] << 8 | lora_pkt_[1]); }
  bool lora_implicit() const { return lora_pkt_[2] != 0; }
  uint8_t lora_payload_len() const { return lora_pkt_[3]; }
  bool lora_crc() const { return lora_pkt_[4] != 0; }
  bool lora_iq_inverted() const { return lora_pkt_[5] != 0; }
  uint32_t fsk_bitrate_reg() const;
  uint32_t fsk_fdev_hz() const;
  uint8_t fsk_bw_code() const { return gfsk_mod_[4]; }
  uint16_t fsk_preamble_bits() const {
    return static_cast<uint16_t>(gfsk_pkt_[0] << 8 | gfsk_pkt_[1]);
  }
  uint8_t fsk_sync_bits() const { return gfsk_pkt_[3]; }
  bool fsk_addr_filter() const { return gfsk_pkt_[4] != 0; }
  bool fsk_variable() const { return gfsk_pkt_[5] != 0; }
  uint8_t fsk_payload_len() const { return gfsk_pkt_[6]; }
  uint8_t fsk_crc_type() const { return gfsk_pkt_[7]; }
  bool fsk_crc_on() const { return (fsk_crc_type() & 0x01) == 0; }
  uint8_t fsk_crc_bytes() const { return fsk_crc_on() ? ((fsk_crc_type() & 0x02) ? 2 : 1) : 0; }
  uint8_t fsk_detector() const { return gfsk_pkt_[2]; }
  bool fsk_whitening() const { return (gfsk_pkt_[8] & 0x01) != 0; }
  bool fsk_coding_matches(const AirFrame& f) const;

  // TX
  AirFrame build_frame(time_us start) const;
  // Time on air of a frame this radio builds.
  time_us frame_time_on_air(const AirFrame& f, bool ldro) const;
  static void ev_tx_start(void* ctx, uint32_t epoch);
  static void ev_tx_end(void* ctx, uint32_t epoch);
  static void ev_tx_timeout(void* ctx, uint32_t epoch);
  static void ev_carrier(void* ctx, uint32_t epoch);
  // RX
  bool matches(const AirFrame& f) const;
  bool detectable(const AirFrame& f) const;
  time_us header_end(const AirFrame& f) const;
  bool try_lock(const air::Heard& h);
  void finish_rx(const air::Heard& h);
  void end_single_rx();
  static void ev_rx_active(void* ctx, uint32_t epoch);
  static void ev_rx_timeout(void* ctx, uint32_t epoch);
  static void ev_symbol_timeout(void* ctx, uint32_t epoch);
  static void ev_preamble(void* ctx, uint32_t serial);
  static void ev_header(void* ctx, uint32_t serial);
  static void ev_lock_end(void* ctx, uint32_t serial);
  // Where the header of the frame the lock holds ends, as the frame was
  // announced (a stop does not move it).
  time_us lock_header_end() const;
  void drop_cut_lock();
  // Frames of other devices decide nothing of this receiver before then.
  time_us detect_latency() const;
  // A command that may change how frames already on the air are taken.
  static bool changes_reception(uint8_t op);
  // CAD
  static void ev_cad_done(void* ctx, uint32_t epoch);
  // Sleep / reset
  static void ev_wake_done(void* ctx, uint32_t epoch);
  static void ev_dio1(void* ctx, uint32_t level);

  Config config_;
  air::Medium* medium_;

  // Pins and bus.
  int nss_ = 1;
  int nreset_ = 1;
  int dio1_level_ = 0;
  PinFn dio1_fn_ = nullptr;
  void* dio1_ctx_ = nullptr;
  time_us busy_until_ = 0;
  bool in_transaction_ = false;
  bool transaction_ignored_ = false;
  std::vector<uint8_t> bytes_;
  bool recording_ = false;
  std::vector<std::vector<uint8_t>> spi_log_;

  // Chip state.
  Mode mode_ = Mode::kStdbyRc;
  // The reception's time-outs while they may still fire.
  EventId rx_timeout_event_ = 0;
  EventId symbol_timeout_event_ = 0;
  bool warm_sleep_ = false;
  uint32_t epoch_ = 1;     // bumped at every operation change; stale events check it
  uint32_t instance_ = 0;  // names this chip for its DIO1 events
  std::vector<uint8_t> regs_;
  std::array<uint8_t, 256> buffer_{};
  uint8_t packet_type_ = 0;
  std::array<uint8_t, 4> lora_mod_{};
  std::array<uint8_t, 8> gfsk_mod_{};
  std::array<uint8_t, 6> lora_pkt_{};
  std::array<uint8_t, 9> gfsk_pkt_{};
  uint32_t frequency_hz_ = 0;
  int8_t tx_power_ = 0;
  uint8_t ramp_ = 0;
  std::array<uint8_t, 4> pa_config_{};
  uint16_t irq_mask_ = 0, dio1_mask_ = 0, dio2_mask_ = 0, dio3_mask_ = 0;
  uint16_t irq_status_ = 0;
  bool tcxo_ = false;
  uint32_t tcxo_timeout_ = 0;  // 15.625 us units
  bool dio2_rf_switch_ = false;
  bool stop_on_preamble_ = false;
  uint8_t symb_timeout_ = 0;
  uint8_t tx_base_ = 0, rx_base_ = 0;
  uint8_t rx_len_ = 0, rx_start_ = 0;
  std::array<uint8_t, 3> pkt_status_{};
  uint8_t cmd_status_ = 0;  // bits 3:1 of the status byte
  uint64_t rng_ = 0;

  // Operation in progress.
  time_us op_start_ = 0;  // when TX/RX/CAD is (or was) effective
  uint32_t tx_timeout_units_ = 0;
  uint32_t rx_timeout_units_ = 0;
  bool rx_continuous_ = false;
  bool rx_active_ = false;  // past the start-up delay
  bool rx_timer_stopped_ = false;
  time_us symbol_deadline_ = kNever;  // LoRa symbol timeout of a single RX
  time_us cad_end_ = kNever;
  Lock lock_;
  bool carrier_ = false;
  uint32_t tx_frame_id_ = 0;  // the frame on the air now (0: none)
  AirFrame last_sent_{};

  Counters counters_;
};

}  // namespace sim

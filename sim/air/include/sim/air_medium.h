// The air around one device: frames on the air, who hears them, collisions,
// the link budget, channel energy for RSSI and channel activity detection.
//
// One medium per process. Radio models attach to it as nodes. A frame a node
// transmits is announced to every other node at its start and its end (as
// events, "in hardware"); when the device is in a world, the frame also goes
// to the world link, and frames from other devices come back from it and are
// announced the same way. Several radio models in one process (unit tests)
// hear each other directly.
//
// The medium only says what is on the air and how strong it is at a node; the
// reception decision (parameters, timing, sensitivity) is the radio model's,
// with the helpers at the bottom of this header.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/air.h"
#include "sim/sim.h"

namespace sim::air {

// A frame as one node hears it: rx_rssi_dbm and rx_snr_db are filled for
// this node. `id` names the frame for the medium's queries.
struct Heard {
  uint32_t id;
  AirFrame frame;
};

class Node {
 public:
  virtual ~Node() = default;
  // Both run as events at the frame's start and end (or at once when a frame
  // from outside arrives late). They must not call firmware code.
  virtual void air_frame_started(const Heard& heard) = 0;
  virtual void air_frame_ended(const Heard& heard) = 0;
  // The PHY the node receives: frames of other PHYs are never announced to
  // it nor seen by its queries below.
  virtual Phy phy() const { return Phy::kSubGhz; }
};

using TapFn = void (*)(void* ctx, const AirFrame& frame);

class Medium {
 public:
  // The process's medium.
  static Medium& instance();

  // Forget every node, frame, tap and link-budget setting (tests).
  void reset();

  void attach(Node* node, uint32_t device_id);
  void detach(Node* node);

  // `frame` goes on the air now (frame.start_us is set to now() if earlier).
  // Returns the frame id.
  uint32_t transmit(Node* sender, const AirFrame& frame);
  // A frame from outside the process (world link, test, noise source); its
  // rx_rssi_dbm / rx_snr_db are taken as given for every node.
  uint32_t inject(const AirFrame& frame);

  // --- what a node sees --------------------------------------------------
  // Frames on the air at `at` (start <= at < end), as heard by `node`.
  std::vector<Heard> on_air(const Node* node, time_us at) const;
  // Whether another frame overlapped frame `id` at `node` in time and on the
  // channel: same modem and, for LoRa, the same spreading factor; an
  // unmodulated carrier overlaps everything on its frequency.
  bool collided(const Node* node, uint32_t id) const;
  // Total power in the receive channel (frequency +- bandwidth/2) at `at`,
  // noise floor included, in dBm.
  double channel_power_dbm(const Node* node, uint32_t frequency_hz, uint32_t bandwidth_hz, time_us at) const;
  // A LoRa frame with this spreading factor and bandwidth on the frequency
  // somewhere in [from, to), strong enough to be detected.
  bool lora_activity(const Node* node, uint32_t frequency_hz, uint32_t bandwidth_hz, uint8_t sf, time_us from,
                     time_us to) const;

  // --- link budget between nodes of this process --------------------------
  // RSSI at a receiver = transmit power - path loss (per pair, else the
  // default); SNR = RSSI - noise floor of the frame's bandwidth.
  void set_default_path_loss(double db);
  void set_path_loss(uint32_t from_device, uint32_t to_device, double db);

  // --- observation --------------------------------------------------------
  // Called for every frame put on the air (transmitted or injected).
  void add_tap(TapFn fn, void* ctx);
  uint32_t frames_sent() const { return frames_sent_; }

 private:
  Medium() = default;
  struct Entry {
    uint32_t id;
    AirFrame frame;
    const Node* sender;  // nullptr: from outside, rx values as given
    uint32_t sender_device;
    bool ended;  // its end has been announced
  };
  struct Attached {
    Node* node;
    uint32_t device_id;
  };
  struct PathLoss {
    uint32_t from, to;
    double db;
  };
  static void on_start(void* ctx, uint32_t id);
  static void on_end(void* ctx, uint32_t id);
  static void on_link_frame(void* ctx, const AirFrame& frame);
  uint32_t put(const AirFrame& frame, const Node* sender, uint32_t sender_device);
  const Entry* find(uint32_t id) const;
  Heard heard_by(const Entry& e, const Node* node) const;
  static bool other_phy(const Entry& e, const Node* node) { return node && e.frame.phy != node->phy(); }
  uint32_t device_of(const Node* node) const;
  double path_loss(uint32_t from, uint32_t to) const;
  void prune();

  std::vector<Attached> nodes_;
  std::vector<Entry> entries_;
  std::vector<PathLoss> losses_;
  std::vector<std::pair<TapFn, void*>> taps_;
  double default_loss_db_ = 90.0;
  uint32_t next_id_ = 1;
  uint32_t frames_sent_ = 0;
  bool link_handler_set_ = false;
};

// ------------------------------------------------------------ radio maths --
// Exact LoRa bandwidth of the chip's bandwidth code as a fraction num/den Hz
// (7.8125 kHz = 15625/2 ...). Codes 0-6, 8-10; others give 0/1.
struct Fraction {
  uint32_t num;
  uint32_t den;
};
Fraction lora_bandwidth(uint8_t code);
// The bandwidth in whole Hz (rounded), as a frame carries it.
uint32_t lora_bandwidth_hz(uint8_t code);
// The chip's code of a LoRa bandwidth in Hz (tolerant to the rounding of the
// non-integer ones); 0xFF when none.
uint8_t lora_bandwidth_code(uint32_t hz);
// FSK receiver bandwidth in Hz of the chip's code; 0 when not a code.
uint32_t fsk_bandwidth_hz(uint8_t code);

// Time on air, rounded up to the microsecond, of the data sheet's formulas.
// LoRa: symbols = preamble + 4.25 (6.25 for SF5/SF6) + 8 + max(ceil((8 PL +
// 16 CRC - 4 SF + 8 (SF > 6) + 20 (explicit header)) / (4 (SF - 2 LDRO))), 0)
// x (CR + 4); time = symbols x 2^SF / bandwidth.
time_us lora_time_on_air_us(uint8_t sf, uint8_t bw_code, uint8_t cr, uint16_t preamble, bool implicit_header,
                            bool crc_on, bool ldro, uint8_t payload_len);
// One symbol, rounded down, in microseconds... as a fraction of seconds it is
// 2^SF / bandwidth; this gives it in nanoseconds to keep precision.
uint64_t lora_symbol_ns(uint8_t sf, uint8_t bw_code);
// GFSK: (preamble bits + sync bits + 8 length byte (variable) + 8 address
// (when filtered) + 8 payload + CRC bits) / bit rate, the bit rate being the
// chip's exact 1024000000 / register value.
time_us fsk_time_on_air_us(uint32_t bitrate_reg, uint32_t total_bits);

// Noise floor of a receiver bandwidth: -174 dBm/Hz + 10 log10(bw) + 6 dB.
double noise_floor_dbm(uint32_t bandwidth_hz);
// Lowest SNR at which a LoRa spreading factor demodulates.
double lora_demod_floor_db(uint8_t sf);
// The link budget the medium applies (and a world master may apply too).
void link_budget(int8_t tx_power_dbm, double path_loss_db, uint32_t bandwidth_hz, int16_t* rssi_dbm, int8_t* snr_db);

// An unmodulated carrier on the air: an FSK frame with bit rate 0 and no
// payload (the chip's continuous wave, or a jammer a test puts on the air).
inline bool is_carrier(const AirFrame& f) { return f.modem == Modem::kFsk && f.bitrate == 0; }

}  // namespace sim::air

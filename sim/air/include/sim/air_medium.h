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
// with the helpers at the bottom of this header. Every receiver model in the
// tree decides with these same helpers, so that they agree on what is heard.
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
  // False while the node would ignore any frame that starts or ends now and
  // stays so until the program's next own event (a radio that sleeps,
  // stands by or sends); a world may then hand it frames late. A node that
  // cannot tell listens.
  virtual bool hears_air() const { return true; }
  // False while the node puts nothing on the air, cuts nothing of its own
  // short and has nothing about to start until the program's next own
  // event (anything it sends starts at an event). A node that cannot tell
  // may send.
  virtual bool sends_air() const { return true; }
  // The earliest time at which anything the program can see could depend on
  // a frame that starts at or after `known` (see sim::link's horizon query):
  // a node that answers more than `known` takes a frame handed over late as
  // if it had come at its start, and calls sim::link::sync() before it reads
  // the air at once or changes how it would take frames already on the air.
  // A node that cannot tell answers `known`.
  virtual time_us air_horizon(time_us known) const { return known; }
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
  // rx_rssi_dbm / rx_snr_db are taken as given for every node. A correction
  // (frame.cut) shortens the frame from outside that it names (same sender
  // and start) and returns that frame's id, or 0 when there is none.
  uint32_t inject(const AirFrame& frame);
  // The sender stops its frame `id` now: it leaves the air at once (receivers
  // hear its end now), and the correction goes to the taps and the world
  // link. Nothing when the frame has already ended.
  void cut(const Node* sender, uint32_t id);
  // The device resets or loses its supply: every frame its nodes are still
  // sending leaves the air now, as cut() does for each.
  void cut_own_frames();

  // --- what a node sees --------------------------------------------------
  // Frames on the air at `at` (start <= at < end), as heard by `node`.
  std::vector<Heard> on_air(const Node* node, time_us at) const;
  // Whether another frame overlapped frame `id` at `node` in time and on the
  // channel: same modem and, for LoRa, the same spreading factor; an
  // unmodulated carrier overlaps everything on its frequency.
  bool collided(const Node* node, uint32_t id) const;
  // Total power at `node` of the frames that collide with frame `id` (in the
  // sense of collided()), in dBm; -infinity when none does.
  double interference_dbm(const Node* node, uint32_t id) const;
  // Total power in the receive channel (frequency +- bandwidth/2) at `at`,
  // noise floor included, in dBm.
  double channel_power_dbm(const Node* node, uint32_t frequency_hz, uint32_t bandwidth_hz,
                           time_us at) const;
  // A LoRa frame with this spreading factor and bandwidth on the frequency
  // somewhere in [from, to), strong enough to be detected.
  bool lora_activity(const Node* node, uint32_t frequency_hz, uint32_t bandwidth_hz, uint8_t sf,
                     time_us from, time_us to) const;

  // --- link budget between nodes of this process --------------------------
  // RSSI at a receiver = transmit power - path loss (per pair, else the
  // default); SNR = RSSI - noise floor of the frame's bandwidth.
  void set_default_path_loss(double db);
  void set_path_loss(uint32_t from_device, uint32_t to_device, double db);

  // --- observation --------------------------------------------------------
  // Called for every frame put on the air (transmitted or injected).
  void add_tap(TapFn fn, void* ctx);
  // `frame` (as a tap got it) with the reception values a receiver outside
  // this process's nodes measures at the default path loss, when one of
  // them sent it; a frame from outside keeps the values it came with.
  AirFrame as_heard_outside(const AirFrame& frame) const;
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
  static bool on_link_deaf(void* ctx);
  static bool on_link_silent(void* ctx);
  static time_us on_link_horizon(void* ctx, time_us known);
  uint32_t put(const AirFrame& frame, const Node* sender, uint32_t sender_device);
  void shorten(Entry& e, time_us at);
  template <typename Fn>
  void for_each_interferer(const Node* node, const Entry& a, Fn fn) const;
  const Entry* find(uint32_t id) const;
  Heard heard_by(const Entry& e, const Node* node) const;
  static bool other_phy(const Entry& e, const Node* node) {
    return node && e.frame.phy != node->phy();
  }
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
time_us lora_time_on_air_us(uint8_t sf, uint8_t bw_code, uint8_t cr, uint16_t preamble,
                            bool implicit_header, bool crc_on, bool ldro, uint8_t payload_len);
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
void link_budget(int8_t tx_power_dbm, double path_loss_db, uint32_t bandwidth_hz, int16_t* rssi_dbm,
                 int8_t* snr_db);

// An unmodulated carrier on the air: an FSK frame with bit rate 0 and no
// payload (the chip's continuous wave, or a jammer a test puts on the air).
inline bool is_carrier(const AirFrame& f) { return f.modem == Modem::kFsk && f.bitrate == 0; }

// ------------------------------------------------------- reception rules --
// What a receiver needs to take a frame, shared by every receiver model.

// Preamble detection. A LoRa receiver detects a preamble once it has
// listened to kLoraDetectSymbols of its up-chirps; the sync word and the
// start-of-frame delimiter that follow the preamble then carry it into the
// header. So a frame is detected only when the receiver listens from no later
// than that many symbols before the preamble ends. An FSK receiver needs its
// preamble detector's length of preamble (8 to 32 bits; 8 bits of bit
// synchronisation with the detector off) before the sync word.
constexpr uint32_t kLoraDetectSymbols = 4;
constexpr uint32_t kFskMinPreambleBits = 8;
// The FSK detector length in bits of the chip's code (0x04..0x07: 8..32 bits;
// anything else: off, 0).
uint32_t fsk_detector_bits(uint8_t code);
// End of the frame's preamble (LoRa: preamble_len symbols; FSK: preamble_len
// bytes), never past its end.
time_us preamble_end_us(const AirFrame& f);
// When a receiver that listens from `listen_from` (its RX start, or later)
// has detected the preamble of `f`, or kNever when too little preamble is
// left by then. `fsk_detector_bits` is the receiver's detector length.
time_us preamble_detected_at(const AirFrame& f, time_us listen_from, uint32_t fsk_detector_bits);

// FSK: the signal (bit rate plus twice the deviation, plus twice the offset
// between the two frequencies) must fit the receiver's double-sided filter
// bandwidth, or the receiver cannot demodulate it.
bool fsk_fits_filter(const AirFrame& f, uint32_t rx_frequency_hz, uint32_t rx_bandwidth_hz);

// Capture: a frame survives a collision when it is stronger than the sum of
// what collides with it by the co-channel rejection of its modem (LoRa, same
// spreading factor: 6 dB; FSK: 9 dB).
constexpr double kLoraCaptureDb = 6.0;
constexpr double kFskCaptureDb = 9.0;
bool captures(const AirFrame& wanted, double interference_dbm);

}  // namespace sim::air

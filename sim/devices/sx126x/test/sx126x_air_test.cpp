// Chips on one air, driven with their SPI commands: what a receiver takes
// and what it does not. Enough preamble to detect, a transmission stopped
// mid-frame, sender and receiver settings that must agree, the power the PA
// configuration allows, and a stronger frame capturing a collision.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "sim/air_medium.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sim/sx126x.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::AirFrame;
using sim::time_us;

constexpr uint16_t kTxDone = 0x0001, kRxDone = 0x0002, kPreamble = 0x0004, kHeaderError = 0x0020,
                   kCrcError = 0x0040, kTimeout = 0x0200;
constexpr uint32_t kFreq = 868100000;
constexpr time_us kSf7SymbolUs = 1024;  // 2^7 / 125 kHz

Bytes u32be(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

// A chip as a host drives it: every access waits for BUSY first.
class Radio {
 public:
  explicit Radio(uint32_t id, uint8_t variant = 2) {
    sim::Sx126x::Config c;
    c.device_id = id;
    c.variant = variant;
    c.rng_seed = id;
    chip_ = std::make_unique<sim::Sx126x>(c);
  }
  sim::Sx126x& chip() { return *chip_; }
  Bytes cmd(const Bytes& mosi) {
    const time_us ready = chip_->busy_falls_at();
    if (ready != sim::kNever && ready > sim::now()) sim::run_until(ready);
    chip_->set_nss(0);
    Bytes miso;
    for (uint8_t b : mosi) miso.push_back(chip_->spi_transfer(b));
    chip_->set_nss(1);
    return miso;
  }
  void write_reg(uint16_t a, const Bytes& v) {
    Bytes c = {0x0D, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
    c.insert(c.end(), v.begin(), v.end());
    cmd(c);
  }

  // LoRa SF7/125 kHz/4/5 at 868.1 MHz, preamble 8, explicit header, CRC on;
  // every IRQ enabled.
  void lora(bool ldro = false, uint16_t preamble = 8, uint8_t symb_timeout = 0) {
    cmd({0x8A, 0x01});
    common();
    cmd({0x8B, 7, 4, 1, static_cast<uint8_t>(ldro)});
    lora_pkt_ = {
        static_cast<uint8_t>(preamble >> 8), static_cast<uint8_t>(preamble), 0, 0xFF, 1, 0};
    cmd({0x8C, lora_pkt_[0], lora_pkt_[1], 0, 0xFF, 1, 0});
    cmd({0xA0, symb_timeout});
  }
  struct Fsk {
    uint32_t bitrate = 50000;
    uint32_t fdev = 25000;
    uint8_t bw_code = 0x0B;  // 117.3 kHz
    uint16_t preamble_bits = 40;
    uint8_t detector = 0x05;  // 16 bits
    uint8_t crc_type = 0x06;  // 2 bytes, inverted
    bool whitening = true;
    uint16_t whitening_seed = 0x01FF;
  };
  void fsk(const Fsk& p) {
    fsk_ = p;
    cmd({0x8A, 0x00});
    common();
    const uint32_t br = 1024000000u / p.bitrate;
    const uint32_t fd = static_cast<uint32_t>((uint64_t{p.fdev} << 25) / 32000000u);
    cmd({0x8B, static_cast<uint8_t>(br >> 16), static_cast<uint8_t>(br >> 8),
         static_cast<uint8_t>(br), 0x09, p.bw_code, static_cast<uint8_t>(fd >> 16),
         static_cast<uint8_t>(fd >> 8), static_cast<uint8_t>(fd)});
    fsk_params(0xFF);
    write_reg(0x06C0, {0xC1, 0x94, 0xC1});
    write_reg(0x06B8, {static_cast<uint8_t>(p.whitening_seed >> 8 & 1),
                       static_cast<uint8_t>(p.whitening_seed)});
  }
  void send(const Bytes& payload) {
    Bytes w = {0x0E, 0x00};
    w.insert(w.end(), payload.begin(), payload.end());
    cmd(w);
    const auto len = static_cast<uint8_t>(payload.size());
    if (fsk_mode_) {
      fsk_params(len);
    } else {
      cmd({0x8C, lora_pkt_[0], lora_pkt_[1], 0, len, 1, 0});
    }
    cmd({0x83, 0, 0, 0});
  }
  void rx(uint32_t units) {
    cmd({0x82, static_cast<uint8_t>(units >> 16), static_cast<uint8_t>(units >> 8),
         static_cast<uint8_t>(units)});
  }
  void standby() { cmd({0x80, 0x00}); }
  void sleep() { cmd({0x84, 0x04}); }
  uint16_t irq() { return chip_->irq_status(); }
  Bytes received() {
    const Bytes st = cmd({0x13, 0, 0, 0});
    Bytes r(3u + st[2], 0);
    r[0] = 0x1E;
    r[1] = st[3];
    r = cmd(r);
    return Bytes(r.begin() + 3, r.end());
  }

 private:
  void common() {
    Bytes f = {0x86};
    for (uint8_t b : u32be(static_cast<uint32_t>((uint64_t{kFreq} << 25) / 32000000u)))
      f.push_back(b);
    cmd(f);
    cmd({0x08, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0});
    cmd({0x8E, 14, 0x02});
    fsk_mode_ = chip_->packet_type() == 0;
  }
  void fsk_params(uint8_t len) {
    cmd({0x8C, static_cast<uint8_t>(fsk_.preamble_bits >> 8),
         static_cast<uint8_t>(fsk_.preamble_bits), fsk_.detector, 24, 0x00, 0x01, len,
         fsk_.crc_type, static_cast<uint8_t>(fsk_.whitening)});
  }
  std::unique_ptr<sim::Sx126x> chip_;
  bool fsk_mode_ = false;
  Fsk fsk_;
  Bytes lora_pkt_ = {0, 8, 0, 0xFF, 1, 0};
};

class AirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    air().reset();
    air().set_default_path_loss(90);
    air().add_tap([](void* ctx,
                     const AirFrame& f) { static_cast<std::vector<AirFrame>*>(ctx)->push_back(f); },
                  &frames_);
  }
  void TearDown() override {
    air().reset();
    sim::host::reset_core();
  }
  static sim::air::Medium& air() { return sim::air::Medium::instance(); }
  static void settle(time_us us) { sim::run_until(sim::now() + us); }
  // Runs until the first frame put on the air from now has started.
  time_us frame_start() {
    const size_t n = frames_.size();
    for (int k = 0; k < 1000 && frames_.size() == n; ++k) settle(1);
    if (frames_.size() == n) {
      ADD_FAILURE() << "no frame went on the air";
      return sim::now();
    }
    return frames_.back().start_us;
  }
  std::vector<AirFrame> frames_;
  const Bytes payload_ = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
};

// A receiver detects a LoRa preamble after listening to 4 of its symbols: it
// must be in RX no later than 4 symbols before the preamble ends.
TEST_F(AirTest, LoRaPreambleMustBeHeardLongEnoughToBeDetected) {
  for (time_us late_symbols = 0; late_symbols <= 5; ++late_symbols) {
    Radio tx(1), rx(2);
    tx.lora();
    rx.lora(false, 8, 0);
    tx.send(payload_);
    const time_us start = frame_start();
    sim::run_until(start + late_symbols * kSf7SymbolUs);
    rx.rx(0xFFFFFF);
    settle(100000);
    const bool heard = late_symbols <= 4;
    EXPECT_EQ(rx.irq() & (kRxDone | kCrcError), heard ? kRxDone : 0)
        << late_symbols << " symbols late";
    if (heard) {
      EXPECT_EQ(rx.received(), payload_);
    }
  }
}

// With a symbol timeout the late window ends in a timeout, not a frame.
TEST_F(AirTest, LateWindowWithSymbolTimeoutTimesOut) {
  Radio tx(1), rx(2);
  tx.lora();
  rx.lora(false, 8, 6);
  tx.send(payload_);
  sim::run_until(frame_start() + 5 * kSf7SymbolUs);
  rx.rx(0x3FFFC0);
  settle(100000);
  EXPECT_EQ(rx.irq() & (kRxDone | kTimeout), kTimeout);
}

// The end of a class A receive window that heard nothing: the symbol
// timeout ends the reception although SetRx gave a time-out of 65 s, and the
// radio is put to sleep. Asleep, it has no timer left: nothing of it wakes
// the device, and no time-out comes later.
TEST_F(AirTest, ARadioAsleepAfterATimedOutWindowHasNoTimerLeft) {
  Radio rx(2);
  rx.lora(false, 8, 6);
  rx.rx(0x3FFFC0);  // 0xFFFF << 6 units of 15.625 us
  settle(100000);
  ASSERT_EQ(rx.irq() & kTimeout, kTimeout);
  rx.cmd({0x02, 0xFF, 0xFF});  // ClearIrqStatus
  rx.sleep();
  EXPECT_EQ(rx.chip().mode(), sim::Sx126x::Mode::kSleep);
  // Every move of time asks the gate how far to go: the device's next event
  // would show as a stop before the target.
  static time_us stop;
  static time_us target;
  stop = sim::kNever;
  target = sim::now() + 100'000'000;
  sim::host::set_gate(
      [](void*, time_us, time_us want) {
        if (want < target) stop = std::min(stop, want);
        return want;
      },
      nullptr);
  sim::run_until(target);
  sim::host::set_gate(nullptr, nullptr);
  EXPECT_EQ(stop, sim::kNever) << "the sleeping radio woke the device at " << stop;
  EXPECT_EQ(rx.irq(), 0);
  EXPECT_EQ(rx.chip().mode(), sim::Sx126x::Mode::kSleep);
}

// FSK: the preamble detector's length of preamble (16 bits here, 40 sent).
TEST_F(AirTest, FskPreambleMustCoverTheDetector) {
  for (uint32_t late_bits : {24u, 32u}) {
    Radio tx(1), rx(2);
    tx.fsk({});
    rx.fsk({});
    tx.send(payload_);
    sim::run_until(frame_start() + late_bits * 20);  // 20 us a bit at 50 kbit/s
    rx.rx(0xFFFFFF);
    settle(100000);
    EXPECT_EQ(rx.irq() & (kRxDone | kCrcError), late_bits == 24 ? kRxDone : 0)
        << late_bits << " bits late";
  }
}

// A sender that stops mid-frame (standby or sleep) takes its frame off the
// air at once, and the correction says when. A receiver that held the frame
// gets a header error (stopped before the header) or a CRC error (in the
// payload), never the frame; it finds out where it would have got to anyway
// (the header, or the end of the payload the header announced), as a
// receiver that goes on demodulating does.
TEST_F(AirTest, StoppedTransmissionLeavesTheAirAtOnce) {
  struct Case {
    const char* name;
    time_us stop_after_us;  // from the frame's start
    bool sleep;
    uint16_t rx_irq;
    time_us reported_after_us;  // from the frame's start
  };
  // 8 symbols of preamble and 4.25 of sync word: the header ends at 20.25
  // symbols (20.7 ms), the 8-byte frame at 33.25 (34 ms).
  const time_us header = 20 * kSf7SymbolUs + kSf7SymbolUs / 4;
  const time_us end = 33 * kSf7SymbolUs + kSf7SymbolUs / 4;
  const Case cases[] = {
      {"standby in the preamble", 6 * kSf7SymbolUs, false, kPreamble | kHeaderError, header},
      {"standby in the payload", 25 * kSf7SymbolUs, false, kPreamble | kRxDone | kCrcError, end},
      {"sleep in the payload", 25 * kSf7SymbolUs, true, kPreamble | kRxDone | kCrcError, end},
  };
  for (const Case& c : cases) {
    frames_.clear();
    Radio tx(1), rx(2);
    tx.lora();
    rx.lora();
    rx.rx(0xFFFFFF);
    tx.send(payload_);
    const time_us start = frame_start();
    sim::run_until(start + c.stop_after_us);
    const time_us stop = sim::now();
    if (c.sleep) {
      tx.sleep();
    } else {
      tx.standby();
    }
    sim::run_until(start + c.reported_after_us - 1);
    EXPECT_EQ(rx.irq() & (kHeaderError | kRxDone), 0) << c.name << ": not before it gets there";
    settle(100000);
    EXPECT_EQ(rx.irq() & ~0x0018, c.rx_irq) << c.name;
    EXPECT_EQ(tx.irq() & kTxDone, 0) << c.name;
    ASSERT_EQ(frames_.size(), 2u) << c.name;
    EXPECT_TRUE(frames_[1].cut) << c.name;
    EXPECT_EQ(frames_[1].end_us, stop) << c.name << ": the correction says when it stopped";
    EXPECT_TRUE(air().on_air(&rx.chip(), stop).empty()) << c.name;
  }
}

// What sender and receiver must share beyond the channel: LoRa's
// low-data-rate optimisation; FSK's CRC and whitening, and a signal (bit
// rate and deviation) inside the receiver's filter. A mismatch of coding
// is a CRC error; a signal outside the filter is not heard at all.
TEST_F(AirTest, SettingsSenderAndReceiverMustShare) {
  struct Case {
    const char* name;
    bool lora;
    bool rx_ldro;
    void (*tx_fsk)(Radio::Fsk&);
    void (*rx_fsk)(Radio::Fsk&);
    uint16_t rx_irq;
  };
  auto same = [](Radio::Fsk&) {};
  const Case cases[] = {
      {"LoRa, both without LDRO", true, false, same, same, kRxDone},
      {"LoRa, LDRO only at the receiver", true, true, same, same, kRxDone | kCrcError},
      {"FSK, all alike", false, false, same, same, kRxDone},
      {"FSK, 1-byte CRC sent", false, false, [](Radio::Fsk& p) { p.crc_type = 0x04; }, same,
       kRxDone | kCrcError},
      {"FSK, CRC not inverted", false, false, [](Radio::Fsk& p) { p.crc_type = 0x02; }, same,
       kRxDone | kCrcError},
      {"FSK, no whitening sent", false, false, [](Radio::Fsk& p) { p.whitening = false; }, same,
       kRxDone | kCrcError},
      {"FSK, other whitening seed", false, false, [](Radio::Fsk& p) { p.whitening_seed = 0x0100; },
       same, kRxDone | kCrcError},
      // 50 kbit/s + 2 x 25 kHz = 100 kHz fits 117.3 kHz; 2 x 40 kHz does not.
      {"FSK, deviation too wide for the filter", false, false,
       [](Radio::Fsk& p) { p.fdev = 40000; }, same, 0},
      {"FSK, receiver filter too narrow", false, false, same,
       [](Radio::Fsk& p) { p.bw_code = 0x13; }, 0},
      {"FSK, wider receiver filter", false, false, same, [](Radio::Fsk& p) { p.bw_code = 0x1A; },
       kRxDone},
  };
  for (const Case& c : cases) {
    Radio tx(1), rx(2);
    if (c.lora) {
      tx.lora(false);
      rx.lora(c.rx_ldro);
    } else {
      Radio::Fsk t, r;
      c.tx_fsk(t);
      c.rx_fsk(r);
      tx.fsk(t);
      rx.fsk(r);
    }
    rx.rx(0xFFFFFF);
    tx.send(payload_);
    settle(200000);
    EXPECT_EQ(rx.irq() & (kRxDone | kCrcError), c.rx_irq) << c.name;
    if (c.rx_irq == kRxDone) {
      EXPECT_EQ(rx.received(), payload_) << c.name;
    }
  }
}

// The power on the air is the requested one bounded by what the PA
// configuration gives (data sheet rows: SX1262 +22/+20/+17/+14 dBm,
// SX1261 +15/+14/+10 dBm).
TEST_F(AirTest, PaConfigurationBoundsThePowerOnTheAir) {
  struct Case {
    uint8_t variant;
    Bytes pa;  // duty cycle, hpMax, device, 1
    int8_t power;
    int8_t on_air;
  };
  const Case cases[] = {
      {2, {0x04, 0x07, 0x00, 0x01}, 22, 22},
      {2, {0x03, 0x05, 0x00, 0x01}, 22, 20},
      {2, {0x02, 0x03, 0x00, 0x01}, 22, 17},
      {2, {0x02, 0x02, 0x00, 0x01}, 22, 14},
      {2, {0x02, 0x02, 0x00, 0x01}, 10, 10},
      {2, {0x04, 0x07, 0x00, 0x01}, -9, -9},
      {1, {0x06, 0x00, 0x01, 0x01}, 14, 15},
      {1, {0x04, 0x00, 0x01, 0x01}, 14, 14},
      {1, {0x01, 0x00, 0x01, 0x01}, 13, 10},
      {1, {0x04, 0x00, 0x01, 0x01}, 5, 5},
      // The low-power PA of a chip that has both.
      {2, {0x04, 0x00, 0x01, 0x01}, 20, 14},
  };
  for (const Case& c : cases) {
    frames_.clear();
    Radio tx(1, c.variant);
    tx.lora();
    Bytes pa = {0x95};
    pa.insert(pa.end(), c.pa.begin(), c.pa.end());
    tx.cmd(pa);
    tx.cmd({0x8E, static_cast<uint8_t>(c.power), 0x02});
    tx.send(payload_);
    settle(100000);
    ASSERT_EQ(frames_.size(), 1u);
    EXPECT_EQ(frames_[0].tx_power_dbm, c.on_air)
        << "SX126" << int(c.variant) << " PA " << int(c.pa[0]) << "/" << int(c.pa[1]) << " at "
        << int(c.power);
  }
}

// Two frames of the same spreading factor overlap: the one the receiver
// locked on survives when it is stronger by the capture margin (6 dB).
TEST_F(AirTest, StrongerFrameCapturesACollision) {
  struct Case {
    double weaker_by_db;  // the second frame's extra path loss
    uint16_t rx_irq;
  };
  const Case cases[] = {
      {10, kRxDone}, {6, kRxDone}, {5, kRxDone | kCrcError}, {0, kRxDone | kCrcError}};
  for (const Case& c : cases) {
    air().set_path_loss(1, 2, 90);
    air().set_path_loss(3, 2, 90 + c.weaker_by_db);
    Radio a(1), b(3), rx(2);
    a.lora();
    b.lora();
    rx.lora();
    rx.rx(0xFFFFFF);
    a.send(payload_);
    sim::run_until(frame_start() + 22 * kSf7SymbolUs);  // into a's payload
    b.send(Bytes(20, 0xEE));
    settle(200000);
    EXPECT_EQ(rx.irq() & (kRxDone | kCrcError), c.rx_irq) << c.weaker_by_db << " dB";
    if (c.rx_irq == kRxDone) {
      EXPECT_EQ(rx.received(), payload_) << c.weaker_by_db << " dB";
    }
  }
}

}  // namespace

// The driver against peer radios on the simulated air: frames sent with
// Radio.Send arrive with the same bytes and the link budget's RSSI/SNR; a
// receiver with other parameters times out after its symbol timeout (never
// more than the chip can count); the same for FSK; overlapping frames
// collide; CAD sees activity only during a frame. Also what every radio path
// must send the chip alike: the image calibration band at each band edge.
#include <cmath>

#include "radio_env.h"

namespace radio_test {
namespace {

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 31 * i);
  return b;
}

// The symbol time of a chip bandwidth code, in ns (2^SF / BW).
uint64_t symbol_ns(uint8_t sf, uint8_t bw_code) {
  const double bw = bw_code == 4   ? 125000.0
                    : bw_code == 5 ? 250000.0
                    : bw_code == 6 ? 500000.0
                                   : 62500.0;
  return static_cast<uint64_t>(std::ldexp(1.0, sf) / bw * 1e9);
}

struct LoraCase {
  const char* name;
  uint8_t sf, bw_code, cr;
  size_t len;
  bool crc;
};

class LoraSendTest : public RadioTest, public ::testing::WithParamInterface<LoraCase> {};

TEST_P(LoraSendTest, PeerReceivesTheSameBytesWithTheLinkBudget) {
  const LoraCase& c = GetParam();
  const double loss = 120.0;
  Peer b(2);
  air().set_path_loss(1, 2, loss);
  Peer::Lora p;
  p.sf = c.sf;
  p.bw_code = c.bw_code;
  p.cr = c.cr;
  p.crc = c.crc;
  p.ldro = (c.bw_code == 4 && c.sf >= 11) || (c.bw_code == 5 && c.sf == 12);
  p.power = 14;
  b.setup_lora(p);
  b.rx(0xFFFFFF);
  lora_tx_config(p);
  const Bytes payload = pattern(c.len, static_cast<uint8_t>(c.len));
  Bytes buf = payload;
  buf.reserve(1);
  Radio.Send(buf.data(), static_cast<uint8_t>(c.len));
  ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 20000000)) << c.name;
  EXPECT_EQ(b.irq() & 0x0042, 0x0002) << "RX done without CRC error";
  EXPECT_EQ(b.received(), payload);
  int16_t rssi;
  int8_t snr;
  sim::air::link_budget(14, loss, 125000 << (c.bw_code - 4), &rssi, &snr);
  const Bytes st = b.packet_status();
  EXPECT_EQ(-st[0] / 2, rssi);
  EXPECT_EQ(static_cast<int8_t>(st[1]) / 4, std::clamp<int>(snr, -32, 31));
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0].frequency_hz, p.freq);
  EXPECT_EQ(frames_[0].sf, c.sf);
  EXPECT_EQ(frames_[0].lora_sync_word, 0x1424);
  EXPECT_FALSE(frames_[0].iq_inverted);
}

INSTANTIATE_TEST_SUITE_P(Table, LoraSendTest,
                         ::testing::Values(LoraCase{"sf7_125_10", 7, 4, 1, 10, true},
                                           LoraCase{"sf12_125_51", 12, 4, 4, 51, true},
                                           LoraCase{"sf5_500_0", 5, 6, 2, 0, true},
                                           LoraCase{"sf9_250_255", 9, 5, 3, 255, false},
                                           LoraCase{"sf6_125_1", 6, 4, 1, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RadioTest, DriverReceivesPeerFrameWithRssiAndSnrOfTheLinkBudget) {
  Peer b(2);
  const double loss = 118.0;
  air().set_path_loss(2, 1, loss);
  Peer::Lora p;
  p.sf = 9;
  p.power = 10;
  b.setup_lora(p);
  lora_rx_config(p, 8, false);
  Radio.Rx(3000);
  run_for(20000);  // the receiver is listening (TCXO started)
  const Bytes payload = pattern(23, 5);
  b.send(payload);
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 3000000));
  ASSERT_EQ(log().events, (std::vector<std::string>{"RxDone"}));
  int16_t rssi;
  int8_t snr;
  sim::air::link_budget(10, loss, 125000, &rssi, &snr);
  EXPECT_EQ(log().rx[0].payload, payload);
  EXPECT_EQ(log().rx[0].rssi, rssi);
  EXPECT_EQ(log().rx[0].snr, snr);
  EXPECT_EQ(Radio.GetStatus(), RF_IDLE);
  // The software timeout was stopped with the reception.
  run_for(4000000);
  EXPECT_EQ(log().count("RxTimeout"), 0u);
}

struct Mismatch {
  const char* name;
  std::function<void(Peer::Lora&)> change;
};

class LoraMismatchTest : public RadioTest, public ::testing::WithParamInterface<Mismatch> {};

TEST_P(LoraMismatchTest, ReceiverTimesOutAfterItsSymbolTimeout) {
  Peer b(2);
  // A long path: every other case is still well heard, the weak sender not.
  air().set_path_loss(2, 1, 140.0);
  Peer::Lora rx;
  rx.sf = 8;
  Peer::Lora tx = rx;
  GetParam().change(tx);
  b.setup_lora(tx);
  const uint16_t symb = 12;
  lora_rx_config(rx, symb, false);
  const sim::time_us start = now();
  Radio.Rx(0);
  run_for(200);
  b.send(pattern(16, 1));  // on the air from (nearly) the start of the window
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 2000000));
  EXPECT_EQ(log().events, (std::vector<std::string>{"RxTimeout"})) << GetParam().name;
  // The window: the TCXO start-up, then the symbol timeout (plus the bus
  // time of the commands, a few tens of microseconds).
  const sim::time_us expected =
      start + env::tcxo_us() + (symb * symbol_ns(rx.sf, rx.bw_code) + 999) / 1000;
  EXPECT_GE(log().times[0], expected);
  EXPECT_LT(log().times[0], expected + 200);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoraMismatchTest,
    ::testing::Values(Mismatch{"other_sf", [](Peer::Lora& p) { p.sf = 9; }},
                      Mismatch{"other_sync_word", [](Peer::Lora& p) { p.sync = 0x3444; }},
                      Mismatch{"other_frequency", [](Peer::Lora& p) { p.freq += 200000; }},
                      Mismatch{"other_bandwidth", [](Peer::Lora& p) { p.bw_code = 5; }},
                      Mismatch{"inverted_iq", [](Peer::Lora& p) { p.iq_inverted = true; }},
                      Mismatch{"below_sensitivity", [](Peer::Lora& p) { p.power = -9; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RadioTest, SymbolTimeoutsAboveWhatTheChipCountsAreItsLongest) {
  // The chip counts at most 248 symbols. A longer timeout closes the window
  // after 248 symbols; it never wraps to a shorter one or to "none".
  Peer::Lora rx;
  rx.sf = 7;
  for (uint16_t symb : {uint16_t{248}, uint16_t{249}, uint16_t{256}, uint16_t{300}, uint16_t{512},
                        uint16_t{1000}}) {
    log().clear();
    lora_rx_config(rx, symb, false);
    const sim::time_us start = now();
    Radio.Rx(0);
    ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 2000000))
        << symb << ": the window never closed";
    EXPECT_EQ(log().events, (std::vector<std::string>{"RxTimeout"})) << symb;
    const sim::time_us expected =
        start + env::tcxo_us() + (248 * symbol_ns(rx.sf, rx.bw_code) + 999) / 1000;
    EXPECT_GE(log().times[0], expected) << symb;
    EXPECT_LT(log().times[0], expected + 200) << symb;
    run_for(1000);
  }
}

TEST_F(RadioTest, ImageCalibrationBandAtEachBandEdge) {
  // The bands' lower bounds are exclusive: a frequency on a bound belongs to
  // the band below. Below the lowest band an 8 MHz range around the
  // frequency is calibrated (4 MHz units).
  struct Case {
    uint32_t f;
    uint8_t b0, b1;
  } cases[] = {
      {960000000, 0xE1, 0xE9}, {900000001, 0xE1, 0xE9}, {900000000, 0xD7, 0xDB},
      {850000001, 0xD7, 0xDB}, {850000000, 0xC1, 0xC5}, {770000001, 0xC1, 0xC5},
      {770000000, 0x75, 0x81}, {460000001, 0x75, 0x81}, {460000000, 0x6B, 0x6F},
      {425000001, 0x6B, 0x6F}, {425000000, 105, 108},   {424999999, 105, 107},
      {150000000, 36, 39},
  };
  for (const auto& c : cases) {
    Radio.Init(events());  // calibrates again at the next frequency
    chip().clear_spi_log();
    chip().record_spi(true);
    Radio.SetChannel(c.f);
    chip().record_spi(false);
    std::vector<Bytes> calibrations;
    for (const auto& w : chip().spi_log()) {
      if (!w.empty() && w[0] == 0x98) calibrations.push_back(w);
    }
    EXPECT_EQ(calibrations, (std::vector<Bytes>{{0x98, c.b0, c.b1}})) << c.f;
    EXPECT_EQ(chip().frequency_hz(), c.f);
  }
}

// The radio holds BUSY after its commands; the path waits for the edge in
// one move of time, never by polling: at most one step per command, and a
// wake from sleep is one step of the chip's wake-up time.
TEST_F(RadioTest, WaitsOnBusyAreOneStepToTheEdge) {
  chip().record_spi(true);
  chip().clear_spi_log();
  uint64_t steps = env::busy_wait_steps();
  lora_tx_config(Peer::Lora{});
  Radio.Rx(0);
  const uint64_t config_steps = env::busy_wait_steps() - steps;
  EXPECT_GT(config_steps, 0u) << "commands leave BUSY high a while";
  EXPECT_LE(config_steps, chip().spi_log().size());

  Radio.Sleep();
  run_for(5000);
  ASSERT_EQ(chip().mode(), sim::Sx126x::Mode::kSleep);
  chip().clear_spi_log();
  steps = env::busy_wait_steps();
  const sim::time_us t0 = now();
  Radio.Standby();
  EXPECT_EQ(chip().mode(), sim::Sx126x::Mode::kStdbyRc);
  EXPECT_GE(now() - t0, sim::Sx126x::kWakeUs);
  EXPECT_LE(env::busy_wait_steps() - steps, chip().spi_log().size())
      << "the wake-up is one step, however long";
}

TEST_F(RadioTest, FrameStartingAfterTheSymbolTimeoutIsNotHeard) {
  Peer b(2);
  Peer::Lora p;
  b.setup_lora(p);
  lora_rx_config(p, 6, false);
  Radio.Rx(0);
  run_for(env::tcxo_us() + 7 * symbol_ns(7, 4) / 1000 + 1000);
  b.send(pattern(4, 2));
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000));
  EXPECT_EQ(log().events, (std::vector<std::string>{"RxTimeout"}));
}

TEST_F(RadioTest, FskExchangeBothWaysAndMismatchesTimeOut) {
  Peer b(2);
  Peer::Fsk f;
  f.bitrate = 50000;
  f.fdev = 25000;
  b.setup_fsk(f);
  // Driver sends, peer receives.
  b.rx(0xFFFFFF);
  Radio.SetChannel(f.freq);
  Radio.SetTxConfig(MODEM_FSK, 14, 25000, 50000, 50000, 0, 5, false, true, false, 0, false, 3000);
  const Bytes payload = pattern(37, 9);
  Bytes buf = payload;
  Radio.Send(buf.data(), 37);
  ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 1000000));
  EXPECT_EQ(b.irq() & 0x0042, 0x0002);
  EXPECT_EQ(b.received(), payload);

  // Peer sends, driver receives (FSK reports RssiAvg and SNR 0).
  log().clear();
  b.standby();
  b.clear_irq();
  air().set_path_loss(2, 1, 100.0);
  Radio.SetRxConfig(MODEM_FSK, 50000, 50000, 0, 83333, 5, 0, false, 0, true, false, 0, false, true);
  Radio.Rx(0);
  run_for(20000);
  b.send(payload);
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000));
  ASSERT_EQ(log().events, (std::vector<std::string>{"RxDone"}));
  EXPECT_EQ(log().rx[0].payload, payload);
  int16_t rssi;
  int8_t snr;
  sim::air::link_budget(14, 100.0, sim::air::fsk_bandwidth_hz(0x0B), &rssi, &snr);
  EXPECT_EQ(log().rx[0].rssi, rssi);
  EXPECT_EQ(log().rx[0].snr, 0);
  EXPECT_EQ(Radio.GetStatus(), RF_RX_RUNNING) << "a continuous reception goes on";

  // Other bit rate, other sync word, other frequency: the window (symbol
  // timeout 20 bytes at 50 kbit/s = 3 ms) closes with a timeout.
  struct Case {
    const char* name;
    std::function<void(Peer::Fsk&)> change;
  } cases[] = {{"bitrate", [](Peer::Fsk& x) { x.bitrate = 38400; }},
               {"sync",
                [](Peer::Fsk& x) {
                  x.sync = {0xC1, 0x94, 0xC2};
                }},
               {"frequency", [](Peer::Fsk& x) { x.freq += 300000; }}};
  for (const auto& c : cases) {
    log().clear();
    Peer::Fsk g = f;
    c.change(g);
    b.setup_fsk(g);
    Radio.SetChannel(f.freq);
    Radio.SetRxConfig(MODEM_FSK, 50000, 50000, 0, 83333, 5, 20, false, 0, true, false, 0, false,
                      false);
    const sim::time_us start = now();
    Radio.Rx(0);
    run_for(env::tcxo_us() + 100);
    b.send(pattern(8, 3));
    ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000)) << c.name;
    EXPECT_EQ(log().events, (std::vector<std::string>{"RxTimeout"})) << c.name;
    EXPECT_GE(log().times[0], start + env::tcxo_us() + 3000) << c.name;
    EXPECT_LT(log().times[0], start + env::tcxo_us() + 3300) << c.name;
  }
}

TEST_F(RadioTest, OverlappingFramesOnOneChannelCollide) {
  Peer b(2), c(3);
  Peer::Lora p;
  b.setup_lora(p);
  c.setup_lora(p);
  lora_rx_config(p, 0, true);
  Radio.Rx(0);
  run_for(20000);
  // 30 bytes at SF7 last 72 ms, the header ends after 21 ms. A second frame
  // hitting the header spoils it (header error: RxTimeout); one hitting the
  // payload spoils the CRC (RxError). The second frame is lost either way.
  struct Case {
    sim::time_us offset;
    const char* event;
  } cases[] = {{5000, "RxTimeout"}, {25000, "RxError"}};
  for (const auto& k : cases) {
    log().clear();
    b.send(pattern(30, 1));
    run_for(k.offset);
    c.send(pattern(30, 2));
    run_for(300000);
    EXPECT_EQ(log().events, (std::vector<std::string>{k.event})) << k.offset;
  }

  // Another spreading factor on the same channel does not collide.
  log().clear();
  Peer::Lora q = p;
  q.sf = 10;
  c.setup_lora(q);
  b.send(pattern(30, 3));
  run_for(5000);
  c.send(pattern(30, 4));
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000));
  EXPECT_EQ(log().events, (std::vector<std::string>{"RxDone"}));
  EXPECT_EQ(log().rx[0].payload, pattern(30, 3));

  // A peer receiver sees the collision too: one reception, with a CRC
  // error, and nothing of the second frame although it keeps listening.
  run_for(1000000);
  Peer d(4);
  d.setup_lora(p);
  d.rx(0xFFFFFF);
  c.setup_lora(p);
  b.send(pattern(30, 5));
  run_for(25000);
  c.send(pattern(30, 6));
  run_for(300000);
  EXPECT_EQ(d.irq() & 0x0042, 0x0042) << "RX done with CRC error";
  EXPECT_EQ(d.chip().counters().rx_done, 1u);
  EXPECT_EQ(d.chip().counters().crc_errors, 1u);
  EXPECT_NE(d.received(), pattern(30, 6));
  // Still listening: the next frame on its own arrives.
  d.clear_irq();
  c.send(pattern(12, 7));
  run_for(200000);
  EXPECT_EQ(d.irq() & 0x0042, 0x0002);
  EXPECT_EQ(d.received(), pattern(12, 7));
}

TEST_F(RadioTest, CadReportsActivityOnlyDuringAFrame) {
  Peer b(2);
  Peer::Lora p;
  p.sf = 9;
  b.setup_lora(p);
  lora_rx_config(p, 0, false);
  Radio.StartCad();
  ASSERT_TRUE(run_until([] { return log().count("CadDone") == 1; }, 1000000));
  Radio.Standby();
  b.send(pattern(20, 1));  // about 140 ms on the air
  run_for(20000);
  Radio.StartCad();
  ASSERT_TRUE(run_until([] { return log().count("CadDone") == 2; }, 1000000));
  run_for(500000);  // the frame is over
  Radio.StartCad();
  ASSERT_TRUE(run_until([] { return log().count("CadDone") == 3; }, 1000000));
  EXPECT_EQ(log().cad, (std::vector<bool>{false, true, false}));
  // Activity at another spreading factor is not a detection.
  Peer::Lora q = p;
  q.sf = 7;
  b.setup_lora(q);
  b.send(pattern(60, 1));
  run_for(2000);
  Radio.StartCad();
  ASSERT_TRUE(run_until([] { return log().count("CadDone") == 4; }, 1000000));
  EXPECT_FALSE(log().cad[3]);
  EXPECT_EQ(Radio.GetStatus(), RF_IDLE);
}

}  // namespace
}  // namespace radio_test

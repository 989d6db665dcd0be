// The command layer's byte encodings (as the chip sees them on its SPI bus)
// and the driver's behaviours that are not an exchange.
#include "board.h"
#include "radio_env.h"
#include "sx126x_board_host.h"
#include "sx126x-board.h"
#include "sx126x.h"

namespace radio_test {
namespace {

// The SPI windows recorded while fn runs.
std::vector<Bytes> trace(const std::function<void()>& fn) {
  sim::Sx126x& c = sx126x_board::chip();
  c.clear_spi_log();
  c.record_spi(true);
  fn();
  c.record_spi(false);
  return c.spi_log();
}

const Bytes* find_op(const std::vector<Bytes>& log, uint8_t op) {
  for (const auto& w : log) {
    if (!w.empty() && w[0] == op) return &w;
  }
  return nullptr;
}

TEST_F(RadioTest, FirstFrequencyCalibratesTheImageOnce) {
  auto t = trace([] { Radio.SetChannel(868100000); });
  EXPECT_EQ(t, (std::vector<Bytes>{{0x98, 0xD7, 0xDB}, {0x86, 0x36, 0x41, 0x99, 0x9A}}));
  t = trace([] { Radio.SetChannel(915000000); });
  ASSERT_EQ(t.size(), 1u) << "no second calibration";
  EXPECT_EQ(chip().frequency_hz(), 915000000u);
}

TEST_F(RadioTest, ImageCalibrationBandsIncludingBelow425MHz) {
  struct Case {
    uint32_t f;
    uint8_t b0, b1;
  } cases[] = {{915000000, 0xE1, 0xE9}, {868000000, 0xD7, 0xDB}, {780000000, 0xC1, 0xC5},
               {470000000, 0x75, 0x81}, {433000000, 0x6B, 0x6F}, {150000000, 36, 39},
               {425000000, 105, 108}};
  for (const auto& c : cases) {
    auto t = trace([&] { SX126xCalibrateImage(c.f); });
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0], (Bytes{0x98, c.b0, c.b1})) << c.f;
    // A defined range around the frequency (4 MHz units) below 425 MHz.
    if (c.f <= 425000000) {
      EXPECT_LE(c.b0 * 4u, c.f / 1000000);
      EXPECT_GE(c.b1 * 4u, c.f / 1000000);
    }
  }
}

TEST(PllSteps, ExactlyRoundedFrom150To960MHz) {
  for (uint64_t f = 150000000; f <= 960000000; f += 997) {
    const uint64_t oracle = ((f << 25) + 16000000) / 32000000;  // round(f x 2^25 / 32 MHz)
    ASSERT_EQ(SX126xConvertFreqInHzToPllStep(static_cast<uint32_t>(f)), oracle) << f;
  }
  EXPECT_EQ(SX126xConvertFreqInHzToPllStep(868100000), 0x3641999Au);
}

TEST_F(RadioTest, TxPowerIsClampedPerChip) {
  auto t = trace([] { SX126xSetTxParams(25, RADIO_RAMP_40_US); });
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0], (Bytes{0x1D, 0x08, 0xD8, 0x00, 0x00}));
  EXPECT_EQ(t[1][0], 0x0D);
  EXPECT_EQ(t[1][3] & 0x1E, 0x1E) << "over-current clamp raised";
  EXPECT_EQ(t[2], (Bytes{0x95, 0x04, 0x07, 0x00, 0x01}));
  EXPECT_EQ(t[3], (Bytes{0x8E, 22, 0x02}));
  t = trace([] { SX126xSetTxParams(-20, RADIO_RAMP_200_US); });
  EXPECT_EQ(t.back(), (Bytes{0x8E, static_cast<uint8_t>(-9), 0x04}));

  // The low-power chip.
  sim::Sx126x::Config c;
  c.device_id = 1;
  c.variant = 1;
  sx126x_board::configure(c);
  BoardInitMcu();
  Radio.Init(events());
  t = trace([] { SX126xSetTxParams(15, RADIO_RAMP_40_US); });
  EXPECT_EQ(t, (std::vector<Bytes>{{0x95, 0x06, 0x00, 0x01, 0x01}, {0x8E, 14, 0x02}}));
  t = trace([] { SX126xSetTxParams(20, RADIO_RAMP_40_US); });
  EXPECT_EQ(t, (std::vector<Bytes>{{0x95, 0x04, 0x00, 0x01, 0x01}, {0x8E, 14, 0x02}}));
  t = trace([] { SX126xSetTxParams(-30, RADIO_RAMP_40_US); });
  EXPECT_EQ(t.back(), (Bytes{0x8E, static_cast<uint8_t>(-17), 0x02}));
}

TEST_F(RadioTest, LoRaSymbolTimeoutEncodings) {
  struct Case {
    uint8_t symbols;
    std::vector<Bytes> windows;
  } cases[] = {
      {8, {{0xA0, 0x08}, {0x0D, 0x07, 0x06, 0x20}}},
      {255, {{0xA0, 0xF8}, {0x0D, 0x07, 0x06, 0xF9}}},
      {44, {{0xA0, 0x2C}, {0x0D, 0x07, 0x06, 0xB0}}},
      {0, {{0xA0, 0x00}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trace([&] { SX126xSetLoRaSymbNumTimeout(c.symbols); }), c.windows) << int(c.symbols);
  }
}

TEST_F(RadioTest, PacketTypeRules) {
  Radio.SetModem(MODEM_LORA);
  EXPECT_TRUE(trace([] { SX126xSetCrcSeed(0x1D0F); }).empty()) << "CRC seed only in GFSK";
  EXPECT_TRUE(trace([] { SX126xSetWhiteningSeed(0x01FF); }).empty());
  ModulationParams_t m{};
  m.PacketType = PACKET_TYPE_GFSK;
  m.Gfsk.BitRate = 50000;
  m.Gfsk.Fdev = 25000;
  m.Gfsk.ModulationShaping = MOD_SHAPING_G_BT_1;
  m.Gfsk.Bandwidth = 0x0B;
  auto t = trace([&] { SX126xSetModulationParams(&m); });
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], (Bytes{0x8A, 0x00}));
  // 32 x 32 MHz / 50000 = 20480; 25 kHz = 26214 PLL steps.
  EXPECT_EQ(t[1], (Bytes{0x8B, 0x00, 0x50, 0x00, 0x0B, 0x0B, 0x00, 0x66, 0x66}));
  m.PacketType = PACKET_TYPE_NONE;
  EXPECT_TRUE(trace([&] { SX126xSetModulationParams(&m); }).empty());
  // CCITT CRC: seed and polynomial, then the inverted 2-byte code.
  PacketParams_t p{};
  p.PacketType = PACKET_TYPE_GFSK;
  p.Gfsk.PreambleLength = 40;
  p.Gfsk.SyncWordLength = 24;
  p.Gfsk.HeaderType = RADIO_PACKET_VARIABLE_LENGTH;
  p.Gfsk.PayloadLength = 255;
  p.Gfsk.CrcLength = RADIO_CRC_2_BYTES_CCIT;
  p.Gfsk.DcFree = RADIO_DC_FREEWHITENING;
  t = trace([&] { SX126xSetPacketParams(&p); });
  EXPECT_EQ(t, (std::vector<Bytes>{{0x0D, 0x06, 0xBC, 0x1D, 0x0F},
                                   {0x0D, 0x06, 0xBE, 0x10, 0x21},
                                   {0x8C, 0x00, 0x28, 0x00, 0x18, 0x00, 0x01, 0xFF, 0x06, 0x01}}));
}

TEST_F(RadioTest, ShortPreambleRaisedForSf5AndSf6) {
  struct Case {
    uint32_t sf;
    uint8_t expected;
  } cases[] = {{5, 12}, {6, 12}, {7, 8}, {12, 8}};
  for (const auto& c : cases) {
    auto t = trace([&] {
      Radio.SetRxConfig(MODEM_LORA, 0, c.sf, 1, 0, 8, 5, false, 0, true, false, 0, false, false);
    });
    const Bytes* pp = find_op(t, 0x8C);
    ASSERT_NE(pp, nullptr);
    EXPECT_EQ((*pp)[1], 0);
    EXPECT_EQ((*pp)[2], c.expected) << "SF" << c.sf;
  }
}

TEST_F(RadioTest, PublicSyncWordSurvivesAModemChange) {
  Radio.SetPublicNetwork(true);
  EXPECT_EQ(chip().reg(0x0740), 0x34);
  EXPECT_EQ(chip().reg(0x0741), 0x44);
  Radio.SetModem(MODEM_FSK);
  auto t = trace([] { Radio.SetModem(MODEM_LORA); });
  EXPECT_EQ(t,
            (std::vector<Bytes>{{0x8A, 0x01}, {0x0D, 0x07, 0x40, 0x34}, {0x0D, 0x07, 0x41, 0x44}}));
  EXPECT_EQ(chip().reg(0x0740), 0x34);
  EXPECT_EQ(chip().reg(0x0741), 0x44);
  // Without a type change nothing is rewritten.
  EXPECT_EQ(trace([] { Radio.SetModem(MODEM_LORA); }), (std::vector<Bytes>{{0x8A, 0x01}}));
  Radio.SetPublicNetwork(false);
  EXPECT_EQ(chip().reg(0x0740), 0x14);
}

TEST_F(RadioTest, MaxPayloadLengthOfFixedLengthFskChangesNothing) {
  Radio.SetRxConfig(MODEM_FSK, 50000, 50000, 0, 83333, 5, 0, true, 20, true, false, 0, false, true);
  EXPECT_TRUE(trace([] { Radio.SetMaxPayloadLength(MODEM_FSK, 64); }).empty());
  Radio.SetRxConfig(MODEM_FSK, 50000, 50000, 0, 83333, 5, 0, false, 0, true, false, 0, false, true);
  auto t = trace([] { Radio.SetMaxPayloadLength(MODEM_FSK, 64); });
  const Bytes* pp = find_op(t, 0x8C);
  ASSERT_NE(pp, nullptr);
  EXPECT_EQ((*pp)[7], 64);
}

TEST_F(RadioTest, FskBandwidthLookupPicksTheNextWiderFilter) {
  struct Case {
    uint32_t bandwidth;  // single-sided, as the callers pass it
    uint8_t reg;
  } cases[] = {{0, 0x1F},      {1000, 0x1F},   {2400, 0x17},   {2500, 0x17},   {50000, 0x0B},
               {58600, 0x0B},  {125000, 0x19}, {200000, 0x09}, {233500, 0x09}, {240000, 0x09},
               {250000, 0x09}, {467000, 0x09}, {1000000, 0x09}};
  for (const auto& c : cases) {
    auto t = trace([&] {
      Radio.SetRxConfig(MODEM_FSK, c.bandwidth, 50000, 0, 0, 5, 0, false, 0, true, false, 0, false,
                        true);
    });
    const Bytes* mp = find_op(t, 0x8B);
    ASSERT_NE(mp, nullptr);
    EXPECT_EQ((*mp)[5], c.reg) << c.bandwidth;
  }
}

TEST_F(RadioTest, OnlyTheLastInitsEventsRecordIsCalled) {
  static int first_calls = 0;
  RadioEvents_t first = {};
  first.TxDone = [] { ++first_calls; };
  Radio.Init(&first);
  Radio.Init(events());
  Peer::Lora p;
  lora_tx_config(p);
  uint8_t b[3] = {1, 2, 3};
  Radio.Send(b, 3);
  ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 1000000));
  EXPECT_EQ(first_calls, 0);
  // A record without callbacks is safe.
  RadioEvents_t empty = {};
  Radio.Init(&empty);
  lora_tx_config(p);
  Radio.Send(b, 3);
  run_for(500000);
  Radio.Init(nullptr);
  lora_tx_config(p);
  Radio.Send(b, 3);
  run_for(500000);
  EXPECT_EQ(log().count("TxDone"), 1u);
}

TEST_F(RadioTest, SoftwareTimeoutsRaiseTheirCallbacks) {
  Peer::Lora p;
  p.sf = 12;
  lora_tx_config(p, 100);
  Bytes payload(200, 0x55);
  const sim::time_us start = now();
  Radio.Send(payload.data(), 200);
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 20000000));
  EXPECT_EQ(log().events[0], "TxTimeout");
  EXPECT_GE(log().times[0], start + 99000);
  EXPECT_LT(log().times[0], start + 101000);

  log().clear();
  Radio.Standby();
  lora_rx_config(p, 0, false);
  const sim::time_us rx_start = now();
  Radio.Rx(50);
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000));
  EXPECT_EQ(log().events, (std::vector<std::string>{"RxTimeout"}));
  EXPECT_GE(log().times[0], rx_start + 49000);
  EXPECT_LT(log().times[0], rx_start + 51000);
}

TEST_F(RadioTest, ContinuousReceptionStaysRunningAndOnePassRaisesEveryEvent) {
  Peer b(2);
  Peer::Lora p;
  b.setup_lora(p);
  lora_rx_config(p, 0, true);
  Radio.Rx(0);
  run_for(20000);
  // Interrupts are taken (DIO1 only marks the radio) but the main loop runs
  // the processing once, after both frames.
  b.send({1, 2, 3});
  sim::run_until(now() + 50000);
  // A frame whose explicit header cannot be right, right after.
  AirFrame bad{};
  bad.start_us = now();
  bad.end_us = now() + 60000;
  bad.frequency_hz = p.freq;
  bad.modem = sim::Modem::kLora;
  bad.sf = 7;
  bad.bandwidth_hz = 125000;
  bad.coding_rate = 9;
  bad.preamble_len = 8;
  bad.lora_sync_word = 0x1424;
  bad.len = 300;
  bad.rx_rssi_dbm = -70;
  bad.rx_snr_db = 10;
  air().inject(bad);
  sim::run_until(now() + 100000);
  EXPECT_TRUE(log().events.empty());
  Radio.IrqProcess();
  EXPECT_EQ(log().events, (std::vector<std::string>{"RxDone", "RxTimeout"}));
  EXPECT_EQ(Radio.GetStatus(), RF_RX_RUNNING);
}

TEST_F(RadioTest, PacketStatusIsDecodedFromTheChipsBytes) {
  struct Case {
    int16_t rssi;
    int8_t snr;
    int16_t want_rssi;
    int8_t want_snr;
  } cases[] = {{-60, 9, -60, 9},       {-121, -7, -121, -7}, {-100, 31, -100, 31},
               {-127, -20, -127, -20}, {-20, 0, -20, 0},     {-140, -40, -128, -32}};
  lora_rx_config(Peer::Lora{}, 0, true);
  Radio.Rx(0);
  run_for(20000);
  for (const auto& c : cases) {
    log().clear();
    AirFrame f{};
    f.start_us = now();
    f.frequency_hz = 868100000;
    f.modem = sim::Modem::kLora;
    f.sf = 7;
    f.bandwidth_hz = 125000;
    f.coding_rate = 1;
    f.preamble_len = 8;
    f.lora_sync_word = 0x1424;
    f.crc_on = true;
    f.len = 4;
    f.end_us = f.start_us + sim::air::lora_time_on_air_us(7, 4, 1, 8, false, true, false, 4);
    f.rx_rssi_dbm = c.rssi;
    f.rx_snr_db = c.snr;
    if (c.snr < -7) f.rx_snr_db = -7;  // still above the SF7 floor for reception
    air().inject(f);
    ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000));
    ASSERT_EQ(log().events, (std::vector<std::string>{"RxDone"}));
    EXPECT_EQ(log().rx[0].rssi, c.want_rssi) << c.rssi;
    if (c.snr >= -7) {
      EXPECT_EQ(log().rx[0].snr, c.want_snr) << int(c.snr);
    }
  }
}

TEST_F(RadioTest, ChannelIsBusyOnlyWithEnergyAboveTheThreshold) {
  // Free channel: the whole sense time passes.
  sim::time_us start = now();
  EXPECT_TRUE(Radio.IsChannelFree(922100000, 200000, -80, 5));
  // 1 ms settling plus the sense time (counted in whole ms from a ms reading).
  EXPECT_GE(now(), start + 5000);
  EXPECT_EQ(chip().mode(), sim::Sx126x::Mode::kSleep) << "the radio sleeps afterwards";

  // A carrier on the channel.
  AirFrame jam{};
  jam.start_us = now();
  jam.end_us = now() + 1000000;
  jam.frequency_hz = 922100000;
  jam.modem = sim::Modem::kFsk;
  jam.bitrate = 0;
  jam.rx_rssi_dbm = -60;
  air().inject(jam);
  start = now();
  EXPECT_FALSE(Radio.IsChannelFree(922100000, 200000, -80, 5));
  EXPECT_LT(now(), start + 5000 + 1000) << "sensing stops at the first busy reading";
  // The neighbouring channel is free, and so is this one below the threshold.
  EXPECT_TRUE(Radio.IsChannelFree(922500000, 200000, -80, 5));
  EXPECT_TRUE(Radio.IsChannelFree(922100000, 200000, -50, 5));
}

TEST_F(RadioTest, RandomNumbersComeFromTheChipAndDifferPerDevice) {
  const uint32_t a1 = Radio.Random();
  const uint32_t a2 = Radio.Random();
  EXPECT_NE(a1, a2);
  // Another seed, another sequence; the same seed, the same sequence.
  sim::Sx126x::Config c;
  c.device_id = 1;
  c.rng_seed = 999;
  sx126x_board::configure(c);
  BoardInitMcu();
  Radio.Init(events());
  const uint32_t b1 = Radio.Random();
  EXPECT_NE(b1, a1);
  sx126x_board::configure(c);
  BoardInitMcu();
  Radio.Init(events());
  EXPECT_EQ(Radio.Random(), b1);
  // The LNA and mixer registers are put back.
  EXPECT_EQ(chip().reg(0x08E2), 0x01);
  EXPECT_EQ(chip().reg(0x08E5), 0x80);
}

TEST_F(RadioTest, WarmSleepKeepsTheRetainedRegistersAndTheRadioWakesOnTheNextCommand) {
  EXPECT_EQ(Bytes({chip().reg(0x029F), chip().reg(0x02A0), chip().reg(0x02A1), chip().reg(0x02A2),
                   chip().reg(0x02A3)}),
            (Bytes{2, 0x08, 0xAC, 0x08, 0x89}));
  Peer::Lora p;
  p.bw_code = 6;  // 500 kHz clears bit 2 of the TX modulation register
  lora_tx_config(p);
  EXPECT_EQ(chip().reg(0x0889) & 0x04, 0);
  Radio.Sleep();
  EXPECT_EQ(chip().mode(), sim::Sx126x::Mode::kSleep);
  EXPECT_EQ(Radio.GetStatus(), RF_IDLE);
  // The next access wakes it (NSS) and works.
  uint8_t b[2] = {7, 8};
  Radio.Send(b, 2);
  ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 1000000));
  EXPECT_EQ(chip().reg(0x0889) & 0x04, 0) << "kept through the warm sleep";
  EXPECT_EQ(chip().counters().bad_commands, 0u);
  EXPECT_EQ(sx126x_board::busy_timeouts(), 0u);
}

}  // namespace
}  // namespace radio_test

// Frames of length 0 and 255, truncated frames, garbage on the air and
// frames longer than the receiver accepts: never an overflow, and a clear
// error event where a frame cannot be delivered.
#include <random>

#include "radio_env.h"

namespace radio_test {
namespace {

AirFrame lora_frame(const Bytes& payload) {
  AirFrame f{};
  f.start_us = sim::now();
  f.frequency_hz = 868100000;
  f.modem = sim::Modem::kLora;
  f.sf = 7;
  f.bandwidth_hz = 125000;
  f.coding_rate = 1;
  f.preamble_len = 8;
  f.lora_sync_word = 0x1424;
  f.crc_on = true;
  f.len = static_cast<uint16_t>(payload.size());
  std::copy(payload.begin(), payload.end(), f.payload);
  f.end_us = f.start_us + sim::air::lora_time_on_air_us(7, 4, 1, 8, false, true, false,
                                                        static_cast<uint8_t>(payload.size()));
  f.rx_rssi_dbm = -80;
  f.rx_snr_db = 10;
  return f;
}

class BadInputTest : public RadioTest {
 protected:
  void listen() {
    lora_rx_config(Peer::Lora{}, 0, true);
    Radio.Rx(0);
    run_for(20000);
  }
  // The events of one frame put on the air now.
  std::vector<std::string> receive(const AirFrame& f) {
    log().clear();
    air().inject(f);
    run_until([] { return !log().events.empty(); }, (f.end_us - sim::now()) + 100000);
    return log().events;
  }
};

TEST_F(BadInputTest, EmptyAndFullLengthFramesArriveWhole) {
  listen();
  for (size_t n : {size_t{0}, size_t{255}}) {
    Bytes payload(n);
    for (size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(255 - i);
    ASSERT_EQ(receive(lora_frame(payload)), (std::vector<std::string>{"RxDone"})) << n;
    EXPECT_EQ(log().rx[0].payload, payload);
  }
  // Also from a peer radio, in FSK with a variable length.
  Peer b(2);
  Peer::Fsk fsk;
  b.setup_fsk(fsk);
  Radio.SetChannel(fsk.freq);
  Radio.SetRxConfig(MODEM_FSK, 50000, 50000, 0, 83333, 5, 0, false, 0, true, false, 0, false, true);
  Radio.Rx(0);
  run_for(20000);
  for (size_t n : {size_t{0}, size_t{255}}) {
    log().clear();
    Bytes payload(n, 0xA5);
    b.send(payload);
    ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000));
    ASSERT_EQ(log().events, (std::vector<std::string>{"RxDone"}));
    EXPECT_EQ(log().rx[0].payload, payload);
  }
}

TEST_F(BadInputTest, TruncatedFrameIsAReceiveError) {
  listen();
  AirFrame f = lora_frame(Bytes(40, 0x11));
  f.end_us = f.start_us + (f.end_us - f.start_us) / 2;  // it stops half way
  EXPECT_EQ(receive(f), (std::vector<std::string>{"RxError"}));
  // The next good frame is received.
  EXPECT_EQ(receive(lora_frame(Bytes(5, 0x22))), (std::vector<std::string>{"RxDone"}));
}

TEST_F(BadInputTest, FrameLongerThanTheReceiverAcceptsIsAnError) {
  listen();
  Radio.SetMaxPayloadLength(MODEM_LORA, 10);
  EXPECT_EQ(receive(lora_frame(Bytes(20, 0x33))), (std::vector<std::string>{"RxError"}));
  ASSERT_EQ(receive(lora_frame(Bytes(10, 0x44))), (std::vector<std::string>{"RxDone"}));
  EXPECT_EQ(log().rx[0].payload, Bytes(10, 0x44));

  // FSK with a variable length: the receiver stops at its maximum.
  Peer b(2);
  Peer::Fsk fsk;
  b.setup_fsk(fsk);
  Radio.SetChannel(fsk.freq);
  Radio.SetRxConfig(MODEM_FSK, 50000, 50000, 0, 83333, 5, 0, false, 0, true, false, 0, false, true);
  Radio.SetMaxPayloadLength(MODEM_FSK, 10);
  Radio.Rx(0);
  run_for(20000);
  log().clear();
  b.send(Bytes(20, 0x55));
  ASSERT_TRUE(run_until([] { return !log().events.empty(); }, 1000000));
  EXPECT_EQ(log().events, (std::vector<std::string>{"RxError"}));

  // Implicit header with another length than configured.
  log().clear();
  Radio.SetChannel(868100000);
  Radio.SetRxConfig(MODEM_LORA, 0, 7, 1, 0, 8, 0, true, 12, true, false, 0, false, true);
  Radio.Rx(0);
  run_for(20000);
  AirFrame f = lora_frame(Bytes(30, 0x66));
  f.implicit_header = true;
  EXPECT_EQ(receive(f), (std::vector<std::string>{"RxError"}));
  f = lora_frame(Bytes(12, 0x77));
  f.implicit_header = true;
  f.end_us = f.start_us + sim::air::lora_time_on_air_us(7, 4, 1, 8, true, true, false, 12);
  ASSERT_EQ(receive(f), (std::vector<std::string>{"RxDone"}));
  EXPECT_EQ(log().rx[0].payload, Bytes(12, 0x77));
}

TEST_F(BadInputTest, GarbageOnTheAirNeverOverflowsAndReceptionGoesOn) {
  listen();
  std::mt19937 rng(20240601);
  for (int i = 0; i < 300; ++i) {
    AirFrame f{};
    uint8_t* raw = reinterpret_cast<uint8_t*>(&f);
    for (size_t k = 0; k < sizeof(f); ++k) raw[k] = static_cast<uint8_t>(rng());
    // Flags are flags (any other byte in a bool is not a value of the type).
    f.iq_inverted = rng() & 1;
    f.crc_on = rng() & 1;
    f.implicit_header = rng() & 1;
    f.ldro = rng() & 1;
    f.fsk_crc_inverted = rng() & 1;
    f.fsk_whitening = rng() & 1;
    f.cut = false;  // a frame, not a correction of one
    // Keep it near this receiver now and then, so that it is heard.
    if (i % 2 == 0) {
      f.frequency_hz = 868100000;
      f.modem = sim::Modem::kLora;
      f.sf = static_cast<uint8_t>(5 + rng() % 10);
      f.bandwidth_hz = 125000;
      f.lora_sync_word = 0x1424;
      f.iq_inverted = false;
      f.implicit_header = (rng() % 4) == 0;
      f.rx_snr_db = 10;
    }
    f.start_us = sim::now();
    f.end_us = f.start_us + rng() % 300000;
    log().clear();
    air().inject(f);
    run_for(f.end_us - f.start_us + 2000);
    for (size_t k = 0; k < log().events.size(); ++k) {
      const std::string& e = log().events[k];
      EXPECT_TRUE(e == "RxDone" || e == "RxError" || e == "RxTimeout") << e;
    }
    for (const auto& rx : log().rx) EXPECT_LE(rx.payload.size(), 255u);
  }
  // The receiver still works.
  EXPECT_EQ(receive(lora_frame(Bytes(7, 0x99))), (std::vector<std::string>{"RxDone"}));
  EXPECT_EQ(Radio.GetStatus(), RF_RX_RUNNING);
}

}  // namespace
}  // namespace radio_test

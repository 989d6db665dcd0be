// Bluetooth LE advertising on the shared air: the packet layout, a listener
// that receives it, and sub-GHz receivers that never hear a frame of
// another PHY, even one on their own channel.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/air_medium.h"
#include "sim/ble_phy.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sim/sx126x.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace ble = sim::ble;

ble::Advertisement beacon() {
  ble::Advertisement a;
  a.type = ble::kAdvNonconnInd;
  a.random_address = true;
  a.address = {0x11, 0x22, 0x33, 0x44, 0x55, 0xC6};
  a.data = {0x02, 0x01, 0x04, 0x05, 0xFF, 0xFF, 0x00, 0xAB, 0xCD};
  return a;
}

TEST(BleAdvertising, PduLayoutAndTiming) {
  ble::Advertisement a = beacon();
  Bytes pdu = ble::encode(a);
  Bytes expected = {0x42, 15,   0x11, 0x22, 0x33, 0x44, 0x55, 0xC6, 0x02,
                    0x01, 0x04, 0x05, 0xFF, 0xFF, 0x00, 0xAB, 0xCD};
  EXPECT_EQ(pdu, expected);
  ble::Advertisement back;
  ASSERT_TRUE(ble::decode(pdu.data(), pdu.size(), &back));
  EXPECT_EQ(back.address, a.address);
  EXPECT_EQ(back.data, a.data);
  EXPECT_TRUE(back.random_address);

  a.data.assign(32, 0);
  EXPECT_TRUE(ble::encode(a).empty()) << "AdvData holds 31 bytes at most";
  a.data.assign(31, 0);
  EXPECT_EQ(ble::time_on_air_us(ble::encode(a).size()), 376u)
      << "the longest legacy advertising packet";
  Bytes bad_length = pdu;
  bad_length[1] = 14;
  EXPECT_FALSE(ble::decode(bad_length.data(), bad_length.size(), &back));
  Bytes connect = pdu;
  connect[0] = ble::kConnectInd;
  EXPECT_FALSE(ble::decode(connect.data(), connect.size(), &back));

  struct Case {
    uint8_t channel;
    uint32_t mhz;
  } cases[] = {{37, 2402}, {38, 2426}, {39, 2480}, {0, 2404},
               {10, 2424}, {11, 2428}, {36, 2478}, {40, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(ble::channel_frequency_hz(c.channel), c.mhz * 1000000u) << int{c.channel};
}

// Puts frames on the air as a node of its own, so the link budget applies.
struct Transmitter : sim::air::Node {
  explicit Transmitter(uint32_t id) { sim::air::Medium::instance().attach(this, id); }
  ~Transmitter() override { sim::air::Medium::instance().detach(this); }
  void air_frame_started(const sim::air::Heard&) override {}
  void air_frame_ended(const sim::air::Heard&) override {}
  uint32_t send(const sim::AirFrame& f) { return sim::air::Medium::instance().transmit(this, f); }
};
struct BleTransmitter : Transmitter {
  using Transmitter::Transmitter;
  sim::Phy phy() const override { return sim::Phy::kBle; }
};

class SharedAir : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::air::Medium::instance().reset();
    sim::air::Medium::instance().add_tap(
        [](void* ctx, const sim::AirFrame& f) {
          static_cast<std::vector<sim::AirFrame>*>(ctx)->push_back(f);
        },
        &carried_);
    sim::Sx126x::Config c;
    c.device_id = 3;
    chip_ = std::make_unique<sim::Sx126x>(c);
    // LoRa SF7 125 kHz CR 4/5 at 868.1 MHz, explicit header, CRC, continuous reception.
    xfer({0x8A, 0x01});
    xfer({0x86, 0x36, 0x41, 0x99, 0x9A});
    xfer({0x8B, 0x07, 0x04, 0x01, 0x00});
    xfer({0x8C, 0x00, 0x08, 0x00, 0xFF, 0x01, 0x00});
    xfer({0x82, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(chip_->mode(), sim::Sx126x::Mode::kRx);
    ASSERT_EQ(chip_->frequency_hz(), 868100000u);
  }
  void TearDown() override {
    chip_.reset();
    sim::air::Medium::instance().reset();
    sim::host::reset_core();
  }
  void xfer(const Bytes& mosi) {
    // The chip takes a command only once BUSY has fallen after the last one.
    const sim::time_us ready = chip_->busy_falls_at();
    if (ready != sim::kNever && ready > sim::now()) sim::run_until(ready);
    chip_->set_nss(0);
    for (uint8_t b : mosi) chip_->spi_transfer(b);
    chip_->set_nss(1);
  }
  // A frame the chip's settings receive, starting 1 ms from now.
  static sim::AirFrame lora_frame(const Bytes& payload) {
    sim::AirFrame f{};
    f.start_us = sim::now() + 1000;
    f.frequency_hz = 868100000;
    f.modem = sim::Modem::kLora;
    f.sf = 7;
    f.bandwidth_hz = 125000;
    f.coding_rate = 1;
    f.preamble_len = 8;
    f.lora_sync_word = 0x1424;
    f.crc_on = true;
    f.tx_power_dbm = 14;
    f.len = static_cast<uint16_t>(payload.size());
    std::copy(payload.begin(), payload.end(), f.payload);
    f.end_us = f.start_us + sim::air::lora_time_on_air_us(7, 4, 1, 8, false, true, false, f.len);
    return f;
  }
  void settle() { sim::run_until(sim::now() + 100000); }

  std::unique_ptr<sim::Sx126x> chip_;
  std::vector<sim::AirFrame> carried_;
};

TEST_F(SharedAir, AnAdvertisementReachesTheListenerAndNoSubGhzRadio) {
  ble::Listener central(2, 37);
  BleTransmitter phone(5);
  phone.send(ble::advertising_frame(beacon(), 37, sim::now() + 500, 0));
  settle();
  ASSERT_EQ(central.reports().size(), 1u);
  const ble::Listener::Report& r = central.reports()[0];
  EXPECT_EQ(r.sender, 5u);
  EXPECT_EQ(r.rssi_dbm, -90) << "0 dBm less the default path loss";
  EXPECT_EQ(r.adv.address, beacon().address);
  EXPECT_EQ(r.adv.data, beacon().data);
  EXPECT_EQ(r.at, sim::now() - 100000 + 500 + ble::time_on_air_us(17));
  ASSERT_EQ(carried_.size(), 1u);
  EXPECT_EQ(carried_[0].phy, sim::Phy::kBle) << "the medium carries it with its tag";
  EXPECT_EQ(
      chip_->counters().rx_done + chip_->counters().crc_errors + chip_->counters().header_errors,
      0u);
}

TEST_F(SharedAir, TheTagDecidesWhoHearsAFrameNotItsChannel) {
  ble::Listener central(2, 37);
  Transmitter node(4);
  BleTransmitter phone(5);

  // A sub-GHz frame on the chip's channel is received (the chip is set up).
  node.send(lora_frame({1, 2, 3}));
  settle();
  ASSERT_EQ(chip_->counters().rx_done, 1u);

  // The same frame from a BLE radio is not, nor does it touch the channel.
  sim::AirFrame f = lora_frame({1, 2, 3});
  f.phy = sim::Phy::kBle;
  phone.send(f);
  sim::run_until(f.start_us + 10);
  EXPECT_TRUE(sim::air::Medium::instance().on_air(chip_.get(), sim::now()).empty());
  EXPECT_LT(
      sim::air::Medium::instance().channel_power_dbm(chip_.get(), 868100000, 125000, sim::now()),
      -110.0);
  settle();
  EXPECT_EQ(chip_->counters().rx_done, 1u);
  EXPECT_EQ(chip_->counters().header_errors + chip_->counters().crc_errors, 0u);

  // An advertisement's copy tagged sub-GHz is not heard by the BLE listener
  // either.
  sim::AirFrame adv = ble::advertising_frame(beacon(), 37, sim::now() + 500, 0);
  adv.phy = sim::Phy::kSubGhz;
  node.send(adv);
  settle();
  EXPECT_TRUE(central.reports().empty());
  EXPECT_EQ(central.lost(), 0u);
  EXPECT_EQ(carried_.size(), 3u) << "the medium carried every frame";
}

TEST_F(SharedAir, TheListenerTakesWholeClearStrongPacketsOnItsChannel) {
  ble::Listener central(2, 37);
  BleTransmitter a(5), b(6);
  auto& air = sim::air::Medium::instance();

  // Another channel.
  a.send(ble::advertising_frame(beacon(), 38, sim::now() + 100, 0));
  settle();
  EXPECT_TRUE(central.reports().empty());
  EXPECT_EQ(central.lost(), 0u);

  // Two at once on its channel collide; on two channels they don't.
  a.send(ble::advertising_frame(beacon(), 37, sim::now() + 100, 0));
  b.send(ble::advertising_frame(beacon(), 37, sim::now() + 200, 0));
  settle();
  EXPECT_TRUE(central.reports().empty());
  EXPECT_EQ(central.lost(), 2u);
  a.send(ble::advertising_frame(beacon(), 37, sim::now() + 100, 0));
  b.send(ble::advertising_frame(beacon(), 39, sim::now() + 200, 0));
  settle();
  ASSERT_EQ(central.reports().size(), 1u);
  EXPECT_EQ(central.reports()[0].sender, 5u);

  // Too weak.
  air.set_path_loss(6, 2, 98.0);
  b.send(ble::advertising_frame(beacon(), 37, sim::now() + 100, 0));
  settle();
  EXPECT_EQ(central.reports().size(), 1u);
  EXPECT_EQ(central.lost(), 3u);

  // Retuned while a packet is under way: that one is lost, the next heard.
  a.send(ble::advertising_frame(beacon(), 37, sim::now() + 100, 0));
  sim::run_until(sim::now() + 150);
  central.set_channel(37);
  settle();
  EXPECT_EQ(central.reports().size(), 1u);
  a.send(ble::advertising_frame(beacon(), 37, sim::now() + 100, 0));
  settle();
  EXPECT_EQ(central.reports().size(), 2u);
}

}  // namespace

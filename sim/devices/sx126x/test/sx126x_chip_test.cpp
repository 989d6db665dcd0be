// The chip model on its pins: reset and boot, sleep and wake on NSS, BUSY,
// SPI framing of registers and buffer, IRQ mask and DIO1, packet-type rules,
// bad commands, the random-number registers and the TCXO start-up.
#include <gtest/gtest.h>

#include <vector>

#include "sim/air_medium.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sim/sx126x.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Mode = sim::Sx126x::Mode;
using sim::AirFrame;

// One NSS window on `chip`; returns MISO. With `wait`, first as a host does:
// once BUSY has fallen (a chip that stays busy, asleep or held in reset, is
// not waited for).
Bytes xfer_on(sim::Sx126x& chip, const Bytes& mosi, bool wait = true) {
  const sim::time_us ready = chip.busy_falls_at();
  if (wait && ready != sim::kNever && ready > sim::now()) sim::run_until(ready);
  chip.set_nss(0);
  Bytes miso;
  for (uint8_t b : mosi) miso.push_back(chip.spi_transfer(b));
  chip.set_nss(1);
  return miso;
}

class ChipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::air::Medium::instance().reset();
    sim::Sx126x::Config c;
    c.device_id = 7;
    c.rng_seed = 42;
    chip_ = std::make_unique<sim::Sx126x>(c);
    chip_->set_dio1_hook(
        [](void* ctx, int level) { static_cast<std::vector<int>*>(ctx)->push_back(level); },
        &dio1_);
  }
  void TearDown() override {
    chip_.reset();
    sim::air::Medium::instance().reset();
    sim::host::reset_core();
  }
  Bytes xfer(const Bytes& mosi) { return xfer_on(*chip_, mosi); }
  Bytes xfer_now(const Bytes& mosi) { return xfer_on(*chip_, mosi, false); }
  Bytes read_reg(uint16_t a, size_t n) {
    Bytes m = {0x1D, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), 0};
    m.resize(4 + n, 0);
    Bytes r = xfer(m);
    return Bytes(r.begin() + 4, r.end());
  }
  void settle(sim::time_us us) { sim::run_until(sim::now() + us); }
  std::unique_ptr<sim::Sx126x> chip_;
  std::vector<int> dio1_;
};

TEST_F(ChipTest, ResetHoldsBusyUntilBootThenDefaults) {
  xfer({0x8A, 0x01});
  xfer({0x0D, 0x07, 0x40, 0x34, 0x44});
  chip_->set_nreset(0);
  EXPECT_EQ(chip_->mode(), Mode::kReset);
  EXPECT_EQ(chip_->busy(), 1);
  settle(20000);
  EXPECT_EQ(chip_->busy(), 1) << "held in reset";
  chip_->set_nreset(1);
  EXPECT_EQ(chip_->busy(), 1);
  xfer_now({0x8A, 0x01});  // while booting: ignored
  EXPECT_EQ(chip_->counters().bad_commands, 1u);
  settle(sim::Sx126x::kBootUs);
  EXPECT_EQ(chip_->busy(), 0);
  EXPECT_EQ(chip_->mode(), Mode::kStdbyRc);
  EXPECT_EQ(chip_->packet_type(), 0);
  EXPECT_EQ(read_reg(0x0740, 2), (Bytes{0x14, 0x24}));
}

TEST_F(ChipTest, SleepWakesOnNssAloneAndWarmStartKeepsTheConfiguration) {
  xfer({0x8A, 0x01});
  xfer({0x0D, 0x08, 0x89, 0x00});                                // a volatile register, changed
  xfer({0x0D, 0x08, 0xAC, 0x96});                                // another one, changed
  xfer({0x0D, 0x02, 0x9F, 0x01, 0x08, 0xAC, 0, 0, 0, 0, 0, 0});  // only 0x08AC retained
  xfer({0x84, 0x04});
  EXPECT_EQ(chip_->mode(), Mode::kSleep);
  EXPECT_EQ(chip_->busy(), 1);
  // The wake-up window: its bytes are no command.
  xfer({0x8A, 0x00});
  EXPECT_EQ(chip_->busy(), 1);
  settle(sim::Sx126x::kWakeUs);
  EXPECT_EQ(chip_->busy(), 0);
  EXPECT_EQ(chip_->mode(), Mode::kStdbyRc);
  EXPECT_EQ(chip_->packet_type(), 1) << "kept, and the wake bytes were not executed";
  EXPECT_EQ(read_reg(0x08AC, 1), Bytes{0x96}) << "in the retention list";
  EXPECT_EQ(read_reg(0x0889, 1), Bytes{0x04}) << "not retained: back to its default";

  // A cold start loses everything.
  xfer({0x84, 0x00});
  xfer({0xC0, 0x00});
  settle(sim::Sx126x::kWakeUs);
  EXPECT_EQ(chip_->packet_type(), 0);
  EXPECT_EQ(read_reg(0x08AC, 1), Bytes{0x94});
}

// BUSY rises at the end of every command and falls after the chip's time for
// it; what is sent meanwhile is not executed. The chip says when it falls, so
// a host can wait for it in one step.
TEST_F(ChipTest, BusyFollowsEachCommandForItsTime) {
  struct Case {
    const char* name;
    Bytes cmd;
    sim::time_us busy_us;
  };
  const Case cases[] = {
      {"SetPacketType", {0x8A, 0x01}, 20},
      {"SetModulationParams", {0x8B, 7, 4, 1, 0}, 20},
      {"WriteRegister", {0x0D, 0x07, 0x40, 0x34, 0x44}, 2},
      {"GetIrqStatus", {0x12, 0, 0, 0}, 2},
      {"SetStandby XOSC", {0x80, 0x01}, 31},
      {"SetFs", {0xC1}, 50},
      {"SetRx", {0x82, 0xFF, 0xFF, 0xFF}, 83},
      {"SetTx", {0x83, 0, 0, 0}, 126},
      {"SetStandby RC", {0x80, 0x00}, 20},
      {"Calibrate all", {0x89, 0x7F}, 3500},
      {"CalibrateImage", {0x98, 0xD7, 0xDB}, 1000},
  };
  for (const Case& c : cases) {
    xfer(c.cmd);
    const sim::time_us t = sim::now();
    EXPECT_EQ(chip_->busy(), 1) << c.name;
    EXPECT_EQ(chip_->busy_falls_at(), t + c.busy_us) << c.name;
    settle(c.busy_us - 1);
    EXPECT_EQ(chip_->busy(), 1) << c.name;
    settle(1);
    EXPECT_EQ(chip_->busy(), 0) << c.name;
  }
  // Too early: not executed.
  xfer({0x8A, 0x00});
  const uint32_t bad = chip_->counters().bad_commands;
  xfer_now({0x8A, 0x01});
  EXPECT_EQ(chip_->counters().bad_commands, bad + 1);
  EXPECT_EQ(chip_->packet_type(), 0);
  // Asleep it stays busy until woken; the wake is longer than any command.
  xfer({0x84, 0x04});
  EXPECT_EQ(chip_->busy_falls_at(), sim::kNever);
  xfer_now({0xC0, 0x00});
  EXPECT_EQ(chip_->busy_falls_at(), sim::now() + sim::Sx126x::kWakeUs);
}

TEST_F(ChipTest, RegisterAndBufferFramingWithStatusByte) {
  xfer({0x0D, 0x06, 0xC0, 1, 2, 3, 4, 5, 6, 7, 8});
  Bytes r = xfer({0x1D, 0x06, 0xC0, 0x00, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(r[3], 0x20) << "status: STDBY_RC";
  EXPECT_EQ(Bytes(r.begin() + 4, r.end()), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  // The buffer wraps at 256.
  xfer({0x0E, 250, 10, 11, 12, 13, 14, 15, 16, 17});
  r = xfer({0x1E, 254, 0, 0, 0, 0, 0});
  EXPECT_EQ(Bytes(r.begin() + 3, r.end()), (Bytes{14, 15, 16, 17}));
  // GetStatus in RX.
  xfer({0x82, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(xfer({0xC0, 0x00})[1] >> 4, 0x5);
}

TEST_F(ChipTest, IrqMaskGatesTheStatusAndDio1FollowsItsMask) {
  xfer({0x8A, 0x01});
  xfer({0x8B, 7, 4, 1, 0});
  // CAD done enabled in the status but not routed to DIO1.
  xfer({0x08, 0x00, 0x80, 0x00, 0x00, 0, 0, 0, 0});
  xfer({0xC5});
  settle(10000);
  EXPECT_EQ(chip_->irq_status(), 0x0080);
  EXPECT_EQ(chip_->dio1(), 0);
  // Routing it raises DIO1 at once.
  xfer({0x08, 0x00, 0x80, 0x00, 0x80, 0, 0, 0, 0});
  EXPECT_EQ(chip_->dio1(), 1);
  Bytes s = xfer({0x12, 0, 0, 0});
  EXPECT_EQ(s[2], 0x00);
  EXPECT_EQ(s[3], 0x80);
  xfer({0x02, 0xFF, 0xFF});
  EXPECT_EQ(chip_->dio1(), 0);
  settle(10);
  EXPECT_EQ(dio1_, (std::vector<int>{1, 0}));
  // Not enabled: not set at all.
  xfer({0x08, 0x00, 0x00, 0x00, 0x80, 0, 0, 0, 0});
  xfer({0xC5});
  settle(10000);
  EXPECT_EQ(chip_->irq_status(), 0);
}

TEST_F(ChipTest, PacketTypeChangeRestoresTheLoRaSyncWord) {
  xfer({0x8A, 0x01});
  xfer({0x0D, 0x07, 0x40, 0x34, 0x44});
  xfer({0x8A, 0x01});  // same type: kept
  EXPECT_EQ(read_reg(0x0740, 2), (Bytes{0x34, 0x44}));
  xfer({0x8A, 0x00});
  xfer({0x8A, 0x01});
  EXPECT_EQ(read_reg(0x0740, 2), (Bytes{0x14, 0x24}));
}

TEST_F(ChipTest, BadCommandsAreCountedAndFlaggedInTheStatus) {
  xfer({0xFF, 1, 2});
  EXPECT_EQ(chip_->counters().bad_commands, 1u);
  EXPECT_EQ((xfer({0xC0, 0})[1] >> 1) & 7, 0x4) << "command processing error";
  xfer({0x86, 0x36, 0x41});  // too short
  xfer({0x8A, 0x07});        // no such packet type
  EXPECT_EQ(chip_->counters().bad_commands, 3u);
  EXPECT_EQ(chip_->frequency_hz(), 915000000u) << "the short frequency command changed nothing";
  xfer({0x8A, 0x01});
  EXPECT_EQ((xfer({0xC0, 0})[1] >> 1) & 7, 0) << "a good command clears it";
}

TEST_F(ChipTest, RandomRegistersFollowTheDeviceSeedWhileReceiving) {
  xfer({0x82, 0xFF, 0xFF, 0xFF});
  const Bytes r1 = read_reg(0x0819, 4);
  const Bytes r2 = read_reg(0x0819, 4);
  EXPECT_NE(r1, r2);
  xfer({0x80, 0x00});
  EXPECT_EQ(read_reg(0x0819, 4), r2) << "outside RX the last value stays";

  sim::Sx126x::Config c;
  c.device_id = 7;
  c.rng_seed = 42;
  sim::Sx126x same(c);
  c.device_id = 8;
  sim::Sx126x other(c);
  auto first_read = [](sim::Sx126x& x) {
    xfer_on(x, {0x82, 0xFF, 0xFF, 0xFF});
    Bytes r = xfer_on(x, {0x1D, 0x08, 0x19, 0, 0, 0, 0, 0});
    return Bytes(r.begin() + 4, r.end());
  };
  EXPECT_EQ(first_read(same), r1);
  EXPECT_NE(first_read(other), r1);
}

TEST_F(ChipTest, TcxoStartUpDelaysTheFrame) {
  std::vector<AirFrame> frames;
  sim::air::Medium::instance().add_tap(
      [](void* ctx, const AirFrame& f) { static_cast<std::vector<AirFrame>*>(ctx)->push_back(f); },
      &frames);
  xfer({0x8A, 0x01});
  xfer({0x8B, 7, 4, 1, 0});
  xfer({0x8C, 0, 8, 0, 1, 1, 0});
  settle(1000);
  const sim::time_us t0 = sim::now();
  xfer({0x83, 0, 0, 0});
  settle(1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].start_us, t0) << "no TCXO: at once";
  settle(100000);
  xfer({0x97, 0x01, 0x00, 0x02, 0x80});  // 1.7 V, 640 x 15.625 us
  settle(1000);
  const sim::time_us t = sim::now();
  xfer({0x83, 0, 0, 0});
  settle(20000);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].start_us, t + 10000);
}

}  // namespace

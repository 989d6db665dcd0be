// api.ble from a user program: a phone scans while the program advertises
// with the time it asks for, or as a beacon.
#include <gtest/gtest.h>

#include <string>

#include "sim/ble_central.h"
#include "sim/ble_world_radio.h"
#include "tarnelka.h"

namespace {

namespace ble = sim::ble;
using systest::Device;
using systest::sec;
using systest::World;
using tk::kUart0;
using tk::kUart1;

constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC7};
constexpr ble::Address kModule = {0x01, 0x00, 0x00, 0x22, 0x88, 0x66};

struct Bench {
  Bench() : radio(world.master()), central(radio, kPhone) {
    central.set_runner([this](sim::time_us deadline, const std::function<bool()>& done) {
      if (!done() && deadline > world.now()) world.run_until(done, deadline - world.now());
      return done();
    });
    systest::DeviceOptions o;
    o.image = "ble-test-tarnelka";
    o.ports = {kUart0, kUart1};
    module = &world.start("m", o);
    EXPECT_TRUE(module->wait_line(kUart1, "ready", sec(3)));
  }
  bool command(const std::string& line, const std::string& answer) {
    module->write(kUart1, line + "\r\n");
    return module->wait_line(kUart1, answer, sec(3));
  }
  // What the phone hears of the module in `window` of scanning, or nothing.
  std::optional<ble::Central::Device> scan(sim::time_us window = sec(5)) {
    central.clear_scan();
    central.start_scan(true);
    world.run_for(window);
    central.stop_scan();
    const ble::Central::Device* d = central.device(kModule);
    if (d == nullptr) return std::nullopt;
    return *d;
  }

  World world;
  ble::WorldRadio radio;
  ble::Central central;
  Device* module = nullptr;
};

// The advertising time holds for the whole allowed range, 0 being no limit.
TEST(TarnelkaBleProgram, AdvertisesForTheTimeAskedFor) {
  struct Case {
    int seconds;
    int still_seen_at;  // seconds after the start
    int gone_at;        // 0: never
  };
  const Case cases[] = {{30, 25, 32}, {65, 60, 67}, {66, 61, 68}, {180, 100, 182}, {0, 300, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    Bench b;
    ASSERT_TRUE(b.command("uart " + std::to_string(c.seconds), "uart ok"));
    const sim::time_us start = b.world.now();
    b.world.run_until(start + sec(c.still_seen_at) - sec(5));
    auto seen = b.scan();
    ASSERT_TRUE(seen.has_value()) << "advertising at " << c.still_seen_at << " s";
    EXPECT_EQ(seen->type, ble::kAdvInd);
    if (c.gone_at != 0) {
      b.world.run_until(start + sec(c.gone_at));
      EXPECT_FALSE(b.scan().has_value()) << "advertising after " << c.gone_at << " s";
    }
  }
}

// A connection stops the time limit with the advertising; after the
// disconnection the advertising resumes with the whole limit again.
TEST(TarnelkaBleProgram, AdvertisingAfterADisconnectionHasTheWholeTimeAgain) {
  Bench b;
  ASSERT_TRUE(b.command("uart 180", "uart ok"));
  const sim::time_us start = b.world.now();
  b.world.run_until(start + sec(50));
  ASSERT_TRUE(b.central.connect(kModule));
  ASSERT_TRUE(b.module->wait_line(kUart0, "Connected.", sec(3)));
  b.world.run_until(start + sec(60));
  ASSERT_TRUE(b.central.disconnect());
  ASSERT_TRUE(b.module->wait_line(kUart0, "Disconnected.", sec(3)));
  const sim::time_us resumed = b.world.now();
  b.world.run_until(resumed + sec(170));
  EXPECT_TRUE(b.scan().has_value()) << "advertising 175 s after the disconnection";
  b.world.run_until(resumed + sec(182));
  EXPECT_FALSE(b.scan().has_value()) << "advertising 187 s after the disconnection";
}

TEST(TarnelkaBleProgram, AdvertisingTimesAbove180AreRefused) {
  Bench b;
  EXPECT_TRUE(b.command("uart 181", "uart refused"));
  EXPECT_FALSE(b.scan().has_value());
}

// The beacon: non-connectable, its frame (nothing set in it), once a second.
TEST(TarnelkaBleProgram, BeaconModeAdvertisesTheBeaconFrameEverySecond) {
  Bench b;
  ASSERT_TRUE(b.command("beacon", "beacon ok"));
  auto seen = b.scan(sec(10));
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->type, ble::kAdvNonconnInd);
  ble::Bytes frame = {0x02, 0x01, 0x04, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
  frame.resize(30, 0x00);
  EXPECT_EQ(seen->adv_data, frame);
  // 1600 units of 0.625 ms between events, plus the random delay of up to
  // 10 ms each event adds.
  ASSERT_GE(seen->adv_times.size(), 5u);
  for (size_t i = 1; i < seen->adv_times.size(); ++i) {
    const sim::time_us gap = seen->adv_times[i] - seen->adv_times[i - 1];
    EXPECT_GE(gap, 1000000u);
    EXPECT_LE(gap, 1010000u);
  }
}

}  // namespace

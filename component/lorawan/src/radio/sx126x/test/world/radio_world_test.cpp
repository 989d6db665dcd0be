// Two radio paths in two processes on one world's air: the SX126x driver
// (device "a") and the STM32WL's radio driver (device "b") exchange LoRa and
// FSK frames both ways with the link budget's RSSI/SNR; another spreading
// factor times out; frames overlapping at a third receiver collide; a
// transmission stopped mid-frame leaves the air of the other process too; a
// receiver standing by when a frame starts still sees it when it opens.
#include <gtest/gtest.h>

#include "systest/world.h"

namespace {

using systest::ms;
using systest::sec;

class RadioWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!systest::image_available("radio-device-sx126x") ||
        !systest::image_available("radio-device-subghz")) {
      GTEST_SKIP() << "radio device programs not built";
    }
  }
  systest::Device& start(systest::World& w, const char* name, const char* image) {
    systest::DeviceOptions o;
    o.image = image;
    o.ports = {0};
    auto& d = w.start(name, o);
    EXPECT_TRUE(d.wait_line(0, "READY", sec(2)));
    return d;
  }
  static void ok(systest::Device& d, const std::string& cmd) {
    d.write(0, cmd + "\r\n");
    EXPECT_TRUE(d.wait_line(0, "OK", ms(500))) << d.name() << ": " << cmd;
  }
};

TEST_F(RadioWorld, LoRaAndFskBothWaysBetweenTheTwoRadioPaths) {
  systest::World w;
  auto& a = start(w, "a", "radio-device-sx126x");
  auto& b = start(w, "b", "radio-device-subghz");
  w.budget().set_path_loss(a.id(), b.id(), 120.0, true);
  // 14 dBm - 120 dB = -106 dBm; 125 kHz noise floor -117 dBm: SNR 11 dB.
  for (auto* d : {&a, &b}) ok(*d, "LORA 868100000 7 0 1 14 8 200");
  b.write(0, "RX 2000\r\n");
  w.run_for(ms(20));
  a.write(0, "TX 0102A0FF\r\n");
  EXPECT_TRUE(a.wait_line(0, "TXDONE", sec(1)));
  EXPECT_TRUE(b.wait_line(0, "RXDONE -106 11 0102A0FF", sec(1)));

  a.write(0, "RX 2000\r\n");
  w.run_for(ms(20));
  b.write(0, "TX 55\r\n");
  EXPECT_TRUE(b.wait_line(0, "TXDONE", sec(1)));
  EXPECT_TRUE(a.wait_line(0, "RXDONE -106 11 55", sec(1)));

  // Another spreading factor at the receiver: its window closes.
  ok(b, "LORA 868100000 8 0 1 14 8 200");
  b.write(0, "RX 2000\r\n");
  w.run_for(ms(5));
  a.write(0, "TX 0102\r\n");
  EXPECT_TRUE(b.wait_line(0, "RXTIMEOUT", sec(1)));

  // FSK, 50 kbit/s.
  for (auto* d : {&a, &b}) ok(*d, "FSK 868800000 50000 25000 50000 14 1000");
  b.write(0, "RX 2000\r\n");
  w.run_for(ms(20));
  a.write(0, "TX 00112233445566778899\r\n");
  EXPECT_TRUE(b.wait_line(0, "RXDONE -106 0 00112233445566778899", sec(1)));
}

TEST_F(RadioWorld, OverlappingFramesCollideAtTheReceiver) {
  systest::World w;
  auto& a = start(w, "a", "radio-device-sx126x");
  auto& b = start(w, "b", "radio-device-subghz");
  auto& c = start(w, "c", "radio-device-sx126x");
  w.budget().set_path_loss(a.id(), b.id(), 90.0, true);
  for (auto* d : {&a, &c}) ok(*d, "LORA 868100000 7 0 1 14 8 0");
  // The receiver listens continuously, so that it could still take the
  // second frame after the first one ends.
  ok(b, "LORA 868100000 7 0 1 14 8 0 1");
  b.write(0, "RX 0\r\n");
  w.run_for(ms(20));
  a.write(0, "TX 000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D\r\n");
  w.run_for(ms(25));  // past the first frame's header
  c.write(0, "TX FFFEFDFCFBFAF9F8F7F6F5F4F3F2F1F0EFEEEDECEBEAE9E8E7E6E5E4E3E2\r\n");
  EXPECT_TRUE(b.wait_line(0, "RXERROR", sec(1)));
  // The second frame is lost as well: it ends after the first, and nothing
  // of it is reported although the receiver listens on.
  EXPECT_TRUE(b.quiet(0, ms(300)));
  // Still listening: on its own, the same frame arrives.
  a.write(0, "TX 0A0B\r\n");
  EXPECT_TRUE(b.wait_line(0, "RXDONE -76 31 0A0B", sec(1)));
}

TEST_F(RadioWorld, StoppedTransmissionIsCutAtTheOtherProcess) {
  systest::World w;
  auto& a = start(w, "a", "radio-device-sx126x");
  auto& b = start(w, "b", "radio-device-subghz");
  w.budget().set_path_loss(a.id(), b.id(), 90.0, true);
  for (auto* d : {&a, &b}) ok(*d, "LORA 868100000 7 0 1 14 8 0");
  b.write(0, "RX 3000\r\n");
  w.run_for(ms(20));
  a.write(0, "TX 000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D\r\n");
  w.run_for(ms(40));  // in the payload (the frame lasts about 72 ms)
  ok(a, "STANDBY");
  EXPECT_TRUE(b.wait_line(0, "RXERROR", sec(1)));
  EXPECT_TRUE(a.quiet(0, ms(300))) << "no TXDONE";
  // The world saw the frame and, when it stopped, its correction.
  ASSERT_EQ(w.frames().size(), 2u);
  EXPECT_FALSE(w.frames()[0].frame.cut);
  EXPECT_TRUE(w.frames()[1].frame.cut);
  EXPECT_LT(w.frames()[1].frame.end_us, w.frames()[0].frame.end_us);
}

}  // namespace

// A receiver that stands by while a frame goes on the air is not woken for
// it; the frame still reaches it before it opens its window, so a preamble
// still on the air is caught, and a frame stopped meanwhile is seen as over.
TEST_F(RadioWorld, ReceiverOpenedDuringALongPreambleSeesTheAirAsItIs) {
  const std::string payload = "A0A1A2A3A4A5A6A7";
  struct Case {
    const char* name;
    bool stop_sender;
  };
  for (const Case& c : {Case{"caught", false}, Case{"stopped", true}}) {
    SCOPED_TRACE(c.name);
    systest::World w;
    auto& a = start(w, "a", "radio-device-sx126x");
    auto& b = start(w, "b", "radio-device-subghz");
    w.budget().set_path_loss(a.id(), b.id(), 90.0, true);
    // 64 preamble symbols at SF7: about 65 ms of preamble.
    for (auto* d : {&a, &b}) ok(*d, "LORA 868100000 7 0 1 14 64 0");
    a.write(0, "TX " + payload + "\r\n");
    w.run_for(ms(20));
    ASSERT_EQ(w.frames().size(), 1u) << "the frame is on the air while b stands by";
    if (c.stop_sender) ok(a, "STANDBY");
    b.write(0, "RX 500\r\n");
    if (c.stop_sender) {
      EXPECT_TRUE(b.wait_line(0, "RXTIMEOUT", sec(1)));
    } else {
      auto line = b.next_line(0, sec(1));
      ASSERT_TRUE(line) << "nothing received";
      EXPECT_EQ(line->rfind("RXDONE ", 0), 0u) << *line;
      EXPECT_NE(line->find(payload), std::string::npos) << *line;
    }
  }
}

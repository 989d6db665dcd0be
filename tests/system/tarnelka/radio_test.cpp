// The SX1262 of a Tarnelka on the air: point-to-point frames both ways with
// a Brisola-T in one world, and a join of the test network with an uplink,
// awake and with the automatic sleep on.
#include <gtest/gtest.h>

#include <algorithm>

#include "network/gateway.h"
#include "tarnelka.h"

namespace {

using fdn::exchange;
using systest::Device;
using systest::ms;
using systest::sec;
using systest::World;
using tk::kUart0;

constexpr int kBrisolaAt = 2;  // UART2 of the Brisola-T

void at(Device& d, int port, const std::string& cmd, const std::vector<std::string>& lines) {
  d.write(port, cmd + "\r\n");
  EXPECT_TRUE(d.expect_lines(port, lines, sec(2))) << d.name() << ": " << cmd;
}

// Switches a module to LoRa P2P (it restarts into the mode).
void to_p2p(Device& d, int port) {
  d.write(port, "AT+NWM=0\r\n");
  EXPECT_TRUE(d.wait_output(port, "OK", sec(1)));
  EXPECT_TRUE(d.wait_line(port, "Current Work Mode: LoRa P2P.", sec(3)));
}

TEST(P2p, ATarnelkaAndABrisolaExchangeFrames) {
  World w;
  Device& t = tk::start(w, "tarnelka");
  systest::DeviceOptions o;
  o.image = "brisola-t";
  o.ports = {kBrisolaAt};
  o.pins = {{"PB12", 1}};
  Device& b = w.start("brisola", o);
  ASSERT_TRUE(b.wait_line(kBrisolaAt, "Current Work Mode: LoRaWAN.", sec(3)));
  to_p2p(t, kUart0);
  to_p2p(b, kBrisolaAt);
  for (Device* d : {&t, &b}) {
    int port = d == &t ? kUart0 : kBrisolaAt;
    at(*d, port, "AT+P2P=869100000:9:125:1:10:14", {"OK"});
  }

  at(b, kBrisolaAt, "AT+PRECV=65534", {"OK"});
  at(t, kUart0, "AT+PSEND=0123456789abcdef", {"OK"});
  EXPECT_TRUE(t.wait_line(kUart0, "+EVT:TXP2P DONE", sec(2)));
  std::optional<std::string> rx = b.next_line(kBrisolaAt, sec(2));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->rfind("+EVT:RXP2P:", 0), 0u) << *rx;
  EXPECT_EQ(rx->substr(rx->size() - 16), "0123456789ABCDEF") << *rx;

  at(b, kBrisolaAt, "AT+PRECV=0", {"OK"});
  at(t, kUart0, "AT+PRECV=65534", {"OK"});
  at(b, kBrisolaAt, "AT+PSEND=a1b2c3", {"OK"});
  EXPECT_TRUE(b.wait_line(kBrisolaAt, "+EVT:TXP2P DONE", sec(2)));
  rx = t.next_line(kUart0, sec(2));
  ASSERT_TRUE(rx);
  EXPECT_EQ(rx->rfind("+EVT:RXP2P:", 0), 0u) << *rx;
  EXPECT_EQ(rx->substr(rx->size() - 6), "A1B2C3") << *rx;
}

using namespace sim::network;

class Network : public ::testing::Test {
 protected:
  void SetUp() override {
    d_ = &tk::start(w_, "t");
    DeviceEntry e;
    e.name = "t";
    e.dev_eui = 0x0202020202020202ull;
    e.join_eui = 0x0101010101010101ull;
    e.app_key = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                 0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
    ns_.add_device(e);
    at(*d_, kUart0, "AT+DEVEUI=0202020202020202", {"OK"});
    at(*d_, kUart0, "AT+APPEUI=0101010101010101", {"OK"});
    at(*d_, kUart0, "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C", {"OK"});
  }

  void join_and_send() {
    at(*d_, kUart0, "AT+JOIN=1:0:10:8", {"OK"});
    ASSERT_TRUE(d_->wait_line(kUart0, "+EVT:JOINED", sec(15)));
    size_t before = ns_.uplinks().size();
    at(*d_, kUart0, "AT+SEND=2:1234", {"OK"});
    std::optional<UplinkRecord> up = wait_uplink(
        w_.master(), ns_, before, [](const UplinkRecord& r) { return r.device == "t"; }, sec(5));
    ASSERT_TRUE(up);
    EXPECT_EQ(up->status, "ok");
    ASSERT_TRUE(up->fport);
    EXPECT_EQ(*up->fport, 2);
    EXPECT_EQ(up->payload, (Bytes{0x12, 0x34}));
    EXPECT_TRUE(d_->wait_line(kUart0, "+EVT:TX_DONE", sec(10)));
  }

  World w_;
  NetworkServer ns_{RegionId::kEU868};
  Gateway gw_{ns_, w_.master()};
  Device* d_ = nullptr;
};

TEST_F(Network, ATarnelkaJoinsAndSends) { join_and_send(); }

// The record and the MAC block lie in one flash page: storing either keeps
// the other's bytes, across a restart too.
TEST_F(Network, TheRecordAndTheMacBlockShareOnePage) {
  join_and_send();
  auto record = [](const Bytes& flash) {
    return tk::slice(flash, tk::kRecordAddr, tk::kRecordSize);
  };
  auto mac_block = [](const Bytes& flash) {
    return tk::slice(flash, tk::kMacBlockAddr, tk::kMacBlockSize);
  };
  Bytes flash = d_->flash();
  EXPECT_EQ(tk::get32(flash, tk::kRecordAddr + tk::rec::magic), 0xAABBCCDDu);
  EXPECT_EQ(tk::get32(flash, tk::kRecordAddr + tk::rec::version), 4u);
  // The joined MAC has stored its context.
  EXPECT_NE(tk::get32(mac_block(flash), 12), 0xFFFFFFFFu);

  // A setting rewrites the record and keeps the MAC block.
  at(*d_, kUart0, "AT+ALIAS=second", {"OK"});
  Bytes after = d_->flash();
  EXPECT_EQ(mac_block(after), mac_block(flash));
  EXPECT_EQ(tk::slice(after, tk::kRecordAddr + tk::rec::alias, 7),
            (Bytes{'s', 'e', 'c', 'o', 'n', 'd', 0}));

  // The MAC's next store keeps the record.
  at(*d_, kUart0, "AT+ADR=0", {"OK"});
  Bytes record_now = record(d_->flash());
  w_.run_for(sec(1));
  at(*d_, kUart0, "AT+SEND=2:55", {"OK"});
  EXPECT_TRUE(d_->wait_line(kUart0, "+EVT:TX_DONE", sec(10)));
  EXPECT_EQ(record(d_->flash()), record_now);

  d_->restart();
  ASSERT_TRUE(d_->wait_line(kUart0, "Current Work Mode: LoRaWAN.", sec(3)));
  at(*d_, kUart0, "AT+ALIAS=?", {"AT+ALIAS=second", "OK"});
  at(*d_, kUart0, "AT+DEVEUI=?", {"AT+DEVEUI=0202020202020202", "OK"});
  EXPECT_EQ(record(d_->flash()), record_now);
}

// A flash file of the single-copy layout (the record and the MAC block in
// their page, nothing behind them, no second copy) loads as it is; the first
// setting then writes both copies, the first where the record always lived,
// and either copy alone brings the module back.
TEST_F(Network, ASingleCopyFlashFileLoadsAndGainsItsSecondCopy) {
  join_and_send();
  constexpr uint32_t kCopyAddr = 0xF2000;
  constexpr uint32_t kSharedEnd = tk::kMacBlockAddr + tk::kMacBlockSize;
  Bytes old = d_->flash();
  std::fill(old.begin() + kCopyAddr, old.begin() + kCopyAddr + tk::kPageSize, 0xFF);
  std::fill(old.begin() + kSharedEnd, old.begin() + tk::kRecordAddr + tk::kPageSize, 0xFF);
  const Bytes old_mac = tk::slice(old, tk::kMacBlockAddr, tk::kMacBlockSize);

  Device& u = tk::start(w_, "u", tk::with_flash(old));
  at(u, kUart0, "AT+DEVEUI=?", {"AT+DEVEUI=0202020202020202", "OK"});
  at(u, kUart0, "AT+APPKEY=?", {"AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C", "OK"});
  at(u, kUart0, "AT+ALIAS=third", {"OK"});
  const Bytes now = u.flash();
  EXPECT_EQ(tk::slice(now, tk::kRecordAddr + tk::rec::alias, 6),
            (Bytes{'t', 'h', 'i', 'r', 'd', 0}));
  EXPECT_EQ(tk::slice(now, tk::kMacBlockAddr, tk::kMacBlockSize), old_mac);
  EXPECT_EQ(tk::slice(now, kCopyAddr, kSharedEnd - tk::kRecordAddr),
            tk::slice(now, tk::kRecordAddr, kSharedEnd - tk::kRecordAddr));

  // Either page alone (the other erased, as a cut erase leaves it).
  for (uint32_t lost : {kCopyAddr, tk::kRecordAddr}) {
    SCOPED_TRACE(lost);
    Bytes one = now;
    std::fill(one.begin() + lost, one.begin() + lost + tk::kPageSize, 0xFF);
    Device& v = tk::start(w_, lost == kCopyAddr ? "v" : "x", tk::with_flash(one));
    at(v, kUart0, "AT+ALIAS=?", {"AT+ALIAS=third", "OK"});
    at(v, kUart0, "AT+DEVEUI=?", {"AT+DEVEUI=0202020202020202", "OK"});
    EXPECT_EQ(tk::slice(v.flash(), tk::kMacBlockAddr, tk::kMacBlockSize), old_mac);
  }
}

// With the automatic sleep on and the join started at start-up, the module
// joins while its loop sleeps: the radio's interrupts must still reach the
// MAC in time for the receive window of the join accept.
TEST_F(Network, ATarnelkaJoinsWhileItSleeps) {
  at(*d_, kUart0, "AT+JOIN=1:1:10:8", {"OK"});
  ASSERT_TRUE(d_->wait_line(kUart0, "+EVT:JOINED", sec(15)));
  at(*d_, kUart0, "AT+LPM=1", {"OK"});
  size_t before = ns_.uplinks().size();
  d_->restart();
  ASSERT_TRUE(d_->wait_line(kUart0, "Current Work Mode: LoRaWAN.", sec(3)));
  EXPECT_TRUE(d_->wait_line(kUart0, "+EVT:JOINED", sec(15)));
  EXPECT_GT(ns_.uplinks().size(), before);
}

}  // namespace

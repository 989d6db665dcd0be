// The link layer and the central on one simulated air: advertising timing,
// scan responses, connections with MTU exchange, writes and notifications
// paced by the link's transmit buffers, disconnection reasons and pairing.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/air_medium.h"
#include "sim/ble_central.h"
#include "sim/ble_peripheral.h"
#include "sim/ble_radio.h"
#include "sim/host.h"
#include "sim/sim.h"

namespace {

namespace ble = sim::ble;
using ble::Bytes;

constexpr ble::Address kDeviceAddress = {0x55, 0x44, 0x33, 0x22, 0x11, 0xC0};
constexpr ble::Address kPhoneAddress = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
constexpr uint16_t kRx = 0x0702, kTx = 0x0704, kTxCcc = 0x0705, kSecret = 0x0707;

// A device: its link layer on the air, a peripheral host and a serial-like
// service (RX written by the peer, TX notified, a value that needs an
// encrypted link).
struct Device {
  explicit Device(uint32_t id) : radio(id), ll(radio, kDeviceAddress, true), host(ll) {
    ble::AttServer& db = host.att();
    auto add = [&](uint16_t h, Bytes type, Bytes value, uint8_t perm, uint16_t max = 0) {
      ble::Attribute a;
      a.handle = h;
      a.type = std::move(type);
      a.value = std::move(value);
      a.permissions = perm;
      a.max_len = max ? max : static_cast<uint16_t>(a.value.size());
      db.add(a);
    };
    const Bytes service = ble::uuid128("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
    const Bytes rx_uuid = ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E");
    const Bytes tx_uuid = ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
    auto decl = [](uint8_t props, uint16_t value, const Bytes& uuid) {
      Bytes b{props, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
      b.insert(b.end(), uuid.begin(), uuid.end());
      return b;
    };
    using A = ble::Attribute;
    add(0x0700, ble::uuid16(ble::kUuidPrimaryService), service, A::kRead);
    add(0x0701, ble::uuid16(ble::kUuidCharacteristic), decl(0x0C, kRx, rx_uuid), A::kRead);
    ble::Attribute rx;
    rx.handle = kRx;
    rx.type = rx_uuid;
    rx.permissions = A::kWrite;
    rx.max_len = 512;
    rx.write_callback = true;
    db.add(rx);
    add(0x0703, ble::uuid16(ble::kUuidCharacteristic), decl(0x10, kTx, tx_uuid), A::kRead);
    add(kTx, tx_uuid, {}, A::kRead, 512);
    ble::Attribute ccc;
    ccc.handle = kTxCcc;
    ccc.type = ble::uuid16(ble::kUuidCcc);
    ccc.value = {0, 0};
    ccc.max_len = 2;
    ccc.permissions = A::kRead | A::kWrite;
    ccc.ccc = true;
    db.add(ccc);
    add(0x0706, ble::uuid16(ble::kUuidCharacteristic), decl(0x02, kSecret, ble::uuid16(0xFFF1)),
        A::kRead);
    add(kSecret, ble::uuid16(0xFFF1), {0x5E, 0xC2}, A::kRead | A::kReadEncrypted);

    db.on_write = [this](uint16_t h, uint8_t, uint16_t, const uint8_t* d, size_t n) -> uint8_t {
      if (h == kRx) received.insert(received.end(), d, d + n);
      return 0;
    };
    db.set_local_mtu(247);
    host.on_disconnected = [this](uint8_t r) { reasons.push_back(r); };
    host.on_advertising_ended = [this](uint8_t s) { adv_ended.push_back(s); };
    host.on_sent = [this](uint32_t tag) { sent.push_back(tag); };
    host.on_passkey_request = [this] { host.pairing().passkey_reply(passkey); };
    host.on_pairing_done = [this](uint8_t s) { pairing.push_back(s); };
    host.on_update_response = [this](bool ok) { update_answers.push_back(ok); };
    host.on_connection_updated = [this](const ble::ConnectionParams& p) {
      intervals.push_back(p.interval);
    };
  }
  bool advertise(uint8_t type, sim::time_us duration = 0) {
    ble::LinkLayer::AdvParams p;
    p.type = type;
    p.adv_data = {0x02, 0x01, 0x06, 0x05, 0x09, 'Q', 'I', 'V', '1'};
    p.scan_rsp_data = {0x07, 0x09, 'Z', 'E', 'M', '.', '0', '1'};
    p.interval = 160;  // 100 ms
    p.duration_us = duration;
    return ll.start_advertising(p);
  }
  ble::SimRadio radio;
  ble::LinkLayer ll;
  ble::Peripheral host;
  Bytes received;
  std::vector<uint8_t> reasons, adv_ended, pairing;
  std::vector<uint32_t> sent;
  std::vector<bool> update_answers;
  std::vector<uint16_t> intervals;  // of each update that took effect
  uint32_t passkey = 123456;
};

class BleLink : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::air::Medium::instance().reset();
    device_ = std::make_unique<Device>(1);
    phone_radio_ = std::make_unique<ble::SimRadio>(2);
    phone_ = std::make_unique<ble::Central>(*phone_radio_, kPhoneAddress);
  }
  void TearDown() override {
    phone_.reset();
    phone_radio_.reset();
    device_.reset();
    sim::air::Medium::instance().reset();
    sim::host::reset_core();
  }
  // Advertises connectably and connects the phone; false when it could not.
  bool connect(const ble::ConnectionParams& params = {}) {
    if (!device_->advertise(ble::kAdvInd)) return false;
    if (!phone_->connect(kDeviceAddress, params)) return false;
    return phone_->wait([&] { return phone_->connected() && device_->host.connected(); }, 2000000);
  }
  bool finish(uint32_t id) {
    return phone_->wait([&] { return phone_->done(id); }, 5000000);
  }

  std::unique_ptr<Device> device_;
  std::unique_ptr<ble::SimRadio> phone_radio_;
  std::unique_ptr<ble::Central> phone_;
};

TEST_F(BleLink, AdvertisingEventsFollowTheIntervalAndEndAfterTheDuration) {
  ble::Listener listener(9, 37);
  const sim::time_us start = sim::now();
  ASSERT_TRUE(device_->advertise(ble::kAdvNonconnInd, 1000000));
  sim::run_until(start + 2000000);

  const auto& seen = listener.reports();
  ASSERT_GE(seen.size(), 9u);
  EXPECT_EQ(seen.size(), device_->ll.advertising_events()) << "one packet on 37 per event";
  for (size_t i = 1; i < seen.size(); ++i) {
    sim::time_us gap = seen[i].at - seen[i - 1].at;
    EXPECT_GE(gap, 100000u) << i;
    EXPECT_LE(gap, 110000u) << "interval plus at most 10 ms of random delay";
  }
  EXPECT_LT(seen.back().at, start + 1000000 + 1000) << "nothing after the duration";
  EXPECT_EQ(device_->adv_ended, std::vector<uint8_t>{ble::kAdvertisingTimeout});
  EXPECT_EQ(device_->ll.state(), ble::LinkLayer::State::kStandby);
  EXPECT_EQ(seen[0].adv.address, kDeviceAddress);
  EXPECT_EQ(seen[0].adv.type, ble::kAdvNonconnInd);
}

TEST_F(BleLink, ActiveScanningGetsTheScanResponseBytesAndPassiveDoesNot) {
  struct Case {
    uint8_t type;
    bool active;
    bool expect_scan_rsp;
  } cases[] = {{ble::kAdvInd, true, true},
               {ble::kAdvScanInd, true, true},
               {ble::kAdvInd, false, false},
               {ble::kAdvNonconnInd, true, false}};
  for (const Case& c : cases) {
    device_->ll.stop_advertising();
    phone_->stop_scan();
    phone_->clear_scan();
    ASSERT_TRUE(device_->advertise(c.type));
    ASSERT_TRUE(phone_->start_scan(c.active));
    sim::run_until(sim::now() + 1500000);
    const ble::Central::Device* d = phone_->device(kDeviceAddress);
    ASSERT_NE(d, nullptr) << int{c.type};
    EXPECT_EQ(d->type, c.type);
    EXPECT_EQ(d->adv_data, (Bytes{0x02, 0x01, 0x06, 0x05, 0x09, 'Q', 'I', 'V', '1'}));
    EXPECT_EQ(d->has_scan_rsp, c.expect_scan_rsp) << int{c.type} << " active " << c.active;
    if (c.expect_scan_rsp) {
      EXPECT_EQ(d->scan_rsp, (Bytes{0x07, 0x09, 'Z', 'E', 'M', '.', '0', '1'}));
    }
    EXPECT_EQ(d->rssi_dbm, -90) << "0 dBm less the default path loss";
  }
}

TEST_F(BleLink, ConnectExchangeMtuDiscoverWriteAndRead) {
  ASSERT_TRUE(connect());
  EXPECT_EQ(device_->ll.role(), ble::LinkLayer::Role::kPeripheral);
  EXPECT_EQ(device_->ll.connection().peer, kPhoneAddress);
  EXPECT_EQ(device_->ll.state(), ble::LinkLayer::State::kConnected) << "advertising stopped";

  uint32_t mtu = phone_->exchange_mtu(247);
  ASSERT_TRUE(finish(mtu));
  EXPECT_EQ(phone_->mtu(), 247);
  EXPECT_EQ(device_->host.att().mtu(), 247);

  uint32_t disc = phone_->discover();
  ASSERT_TRUE(finish(disc));
  const auto* tx = phone_->characteristic(ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E"));
  ASSERT_NE(tx, nullptr);
  EXPECT_EQ(tx->value_handle, kTx);
  EXPECT_EQ(tx->ccc, kTxCcc);
  EXPECT_EQ(tx->properties, 0x10);
  ASSERT_EQ(phone_->characteristics().size(), 3u);

  // A write longer than one link-layer packet goes in fragments.
  Bytes line(100);
  for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<uint8_t>('A' + i % 26);
  uint32_t w = phone_->write(kRx, line);
  ASSERT_TRUE(finish(w));
  EXPECT_EQ(phone_->result(w).error, 0);
  EXPECT_EQ(device_->received, line);

  uint32_t bad = phone_->write(0x0799, {1});
  ASSERT_TRUE(finish(bad));
  EXPECT_EQ(phone_->result(bad).error, ble::kAttInvalidHandle);
  uint32_t r = phone_->read(kTx);
  ASSERT_TRUE(finish(r));
  EXPECT_EQ(phone_->result(r).error, 0);
}

TEST_F(BleLink, NotificationsArriveWholeAndInOrderPacedByTheTransmitBuffers) {
  device_->ll.set_acl_buffers(3);
  ASSERT_TRUE(connect());
  uint32_t sub = phone_->subscribe(kTx);
  ASSERT_TRUE(finish(sub));
  EXPECT_EQ(device_->host.att().find(kTxCcc)->value, (Bytes{1, 0}));

  std::vector<Bytes> sent;
  for (uint32_t i = 0; i < 6; ++i) {
    Bytes b(20 + i * 37);
    for (size_t k = 0; k < b.size(); ++k) b[k] = static_cast<uint8_t>(i * 16 + k);
    sent.push_back(b);
    ASSERT_TRUE(device_->host.notify(kTx, b.data(), b.size(), i + 1));
  }
  EXPECT_EQ(device_->ll.free_acl_buffers(), 0) << "the rest waits in the host";
  ASSERT_TRUE(phone_->wait([&] { return device_->sent.size() == 6; }, 5000000));
  EXPECT_EQ(device_->sent, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(phone_->notifications().size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(phone_->notifications()[i].handle, kTx);
    EXPECT_EQ(phone_->notifications()[i].value, sent[i]) << i;
  }
  EXPECT_EQ(device_->ll.free_acl_buffers(), 3);

  // Writes without response from the phone, many at once, arrive whole.
  Bytes all;
  for (int i = 0; i < 40; ++i) {
    Bytes chunk(20, static_cast<uint8_t>(i));
    all.insert(all.end(), chunk.begin(), chunk.end());
    phone_->write_command(kRx, chunk);
  }
  device_->received.clear();
  ASSERT_TRUE(phone_->wait([&] { return phone_->pending() == 0; }, 10000000));
  EXPECT_EQ(device_->received, all);
}

TEST_F(BleLink, DisconnectionReasonsOnBothSides) {
  // Either side ends the link: the peer hears the reason given, the side that
  // asked reports that its host ended it.
  ASSERT_TRUE(connect());
  ASSERT_TRUE(phone_->disconnect(ble::kRemoteUserTerminated));
  ASSERT_TRUE(
      phone_->wait([&] { return !device_->host.connected() && !phone_->connected(); }, 2000000));
  EXPECT_EQ(device_->reasons, std::vector<uint8_t>{ble::kRemoteUserTerminated});
  EXPECT_EQ(phone_->disconnect_reason(), ble::kLocalHostTerminated);

  ASSERT_TRUE(connect());
  ASSERT_TRUE(device_->ll.disconnect(ble::kUnacceptableConnectionParameters));
  ASSERT_TRUE(
      phone_->wait([&] { return !device_->host.connected() && !phone_->connected(); }, 2000000));
  EXPECT_EQ(device_->reasons.back(), ble::kLocalHostTerminated);
  EXPECT_EQ(phone_->disconnect_reason(), ble::kUnacceptableConnectionParameters);

  // The device goes out of range: both time out after the supervision time.
  ble::ConnectionParams p;
  p.timeout = 100;  // 1 s
  ASSERT_TRUE(connect(p));
  ASSERT_TRUE(finish(phone_->exchange_mtu(23))) << "packets went both ways";
  const sim::time_us lost_at = sim::now();
  auto& air = sim::air::Medium::instance();
  air.set_path_loss(1, 2, 200);
  air.set_path_loss(2, 1, 200);
  ASSERT_TRUE(
      phone_->wait([&] { return !device_->host.connected() && !phone_->connected(); }, 3000000));
  EXPECT_EQ(device_->reasons.back(), ble::kConnectionTimeout);
  EXPECT_EQ(phone_->disconnect_reason(), ble::kConnectionTimeout);
  EXPECT_GE(sim::now() - lost_at, 900000u);

  // A connection whose first packets never arrive is not established.
  air.set_path_loss(1, 2, 80);
  air.set_path_loss(2, 1, 80);
  ASSERT_TRUE(device_->advertise(ble::kAdvInd));
  ASSERT_TRUE(phone_->connect(kDeviceAddress));
  ASSERT_TRUE(phone_->wait([&] { return device_->host.connected(); }, 2000000));
  air.set_path_loss(1, 2, 200);
  air.set_path_loss(2, 1, 200);
  ASSERT_TRUE(phone_->wait([&] { return !device_->host.connected(); }, 3000000));
  EXPECT_EQ(device_->reasons.back(), ble::kConnectionFailedToEstablish);
}

TEST_F(BleLink, NewConnectionParametersTakeEffectOnBothSidesAtTheInstant) {
  std::vector<sim::AirFrame> frames;
  sim::air::Medium::instance().add_tap(
      [](void* ctx, const sim::AirFrame& f) {
        static_cast<std::vector<sim::AirFrame>*>(ctx)->push_back(f);
      },
      &frames);
  ASSERT_TRUE(connect());
  ASSERT_TRUE(finish(phone_->exchange_mtu(23)));

  ble::ConnectionParams p;
  p.interval = 80;  // 100 ms
  p.timeout = 300;
  ASSERT_TRUE(phone_->update_connection(p));
  EXPECT_FALSE(phone_->update_connection(p)) << "one update at a time";
  ASSERT_TRUE(
      phone_->wait([&] { return phone_->updates() == 1 && !device_->intervals.empty(); }, 2000000));
  EXPECT_EQ(device_->intervals, std::vector<uint16_t>{80});
  EXPECT_EQ(device_->ll.connection().params.timeout, 300);

  // Events now come every 100 ms: the phone's packets on the data channels
  // (one per event while nothing is sent) are that far apart.
  frames.clear();
  sim::run_until(sim::now() + 1000000);
  std::vector<sim::time_us> starts;
  for (const sim::AirFrame& f : frames)
    if (f.sender == 2) starts.push_back(f.start_us);
  ASSERT_GE(starts.size(), 9u);
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_EQ(starts[i] - starts[i - 1], 100000u) << i;
  uint32_t w = phone_->write(kRx, {1, 2, 3});
  ASSERT_TRUE(finish(w));
  EXPECT_EQ(device_->received, (Bytes{1, 2, 3}));

  // The device asks; the phone agrees (its shortest interval) or refuses,
  // and refuses values a link cannot live with.
  struct Case {
    bool accept;
    uint16_t min, max, timeout;
    bool granted;
  } cases[] = {{true, 40, 60, 300, true}, {false, 16, 16, 300, false}, {true, 40, 40, 10, false}};
  for (const Case& c : cases) {
    phone_->set_accept_updates(c.accept);
    device_->update_answers.clear();
    const uint16_t before = device_->ll.connection().params.interval;
    ASSERT_TRUE(device_->host.request_connection_update(c.min, c.max, 0, c.timeout));
    ASSERT_TRUE(phone_->wait([&] { return !device_->update_answers.empty(); }, 2000000));
    EXPECT_EQ(device_->update_answers[0], c.granted) << c.min;
    if (c.granted) {
      ASSERT_TRUE(phone_->wait([&] { return device_->intervals.back() == c.min; }, 2000000));
      EXPECT_EQ(phone_->ll().connection().params.interval, c.min);
    } else {
      sim::run_until(sim::now() + 1000000);
      EXPECT_EQ(device_->ll.connection().params.interval, before);
    }
  }
  EXPECT_TRUE(phone_->connected());
}

TEST_F(BleLink, PairingWithThePasskeyEncryptsTheLinkAndAWrongOneFails) {
  struct Case {
    uint32_t device_key;
    uint32_t phone_key;
    bool paired;
  } cases[] = {{123456, 123456, true}, {123456, 654321, false}, {0, 0, true}};
  for (const Case& c : cases) {
    device_->passkey = c.device_key;
    device_->pairing.clear();
    ASSERT_TRUE(connect());
    uint32_t before = phone_->read(kSecret);
    ASSERT_TRUE(finish(before));
    EXPECT_EQ(phone_->result(before).error, ble::kAttInsufficientAuthentication);

    phone_->pair(c.phone_key);
    ASSERT_TRUE(phone_->wait(
        [&] { return phone_->pair_state() != ble::Central::PairState::kPairing; }, 3000000));
    ASSERT_TRUE(phone_->wait([&] { return !device_->pairing.empty(); }, 1000000));
    if (c.paired) {
      EXPECT_EQ(phone_->pair_state(), ble::Central::PairState::kPaired) << c.phone_key;
      EXPECT_EQ(device_->pairing, std::vector<uint8_t>{ble::kSuccess});
      EXPECT_TRUE(device_->ll.encrypted());
      EXPECT_TRUE(phone_->ll().encrypted());
    } else {
      EXPECT_EQ(phone_->pair_state(), ble::Central::PairState::kFailed);
      EXPECT_EQ(phone_->pair_failure(), ble::kSmpConfirmValueFailed);
      EXPECT_EQ(device_->pairing, std::vector<uint8_t>{ble::kSmpConfirmValueFailed});
      EXPECT_FALSE(device_->ll.encrypted());
    }
    uint32_t after = phone_->read(kSecret);
    ASSERT_TRUE(finish(after));
    EXPECT_EQ(phone_->result(after).error, c.paired ? 0 : ble::kAttInsufficientAuthentication);
    if (c.paired) {
      EXPECT_EQ(phone_->result(after).value, (Bytes{0x5E, 0xC2}));
    }
    ASSERT_TRUE(phone_->disconnect());
    ASSERT_TRUE(phone_->wait([&] { return !device_->host.connected(); }, 2000000));
  }
}

}  // namespace

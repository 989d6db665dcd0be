// LoRa and FSK point-to-point between two Brisola-T modules in one world,
// driven from their AT ports: the work-mode switch, sends and receptions in
// every receive mode with their event lines (also while the module is busy
// answering a burst of commands), payload encryption checked on the air
// against OpenSSL, the channel activity check on a busy channel, the
// run-time settings, and refused input. After every path the module can
// sleep again (no wake lock left behind).
//
// Expected texts are the module's documented replies and event lines; RSSI
// and SNR follow from the world's link budget set here (transmit power minus
// path loss, and that minus the fixed noise floor).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "systest/world.h"

namespace {

using systest::Device;
using systest::hex;
using systest::ms;
using systest::sec;
using systest::World;
using Bytes = std::vector<uint8_t>;

constexpr int kAt = 2;  // UART2, the AT port
constexpr double kPathLoss = 120.0;
constexpr double kNoiseFloor = -120.0;
constexpr uint32_t kRecordOffset = 0x0803F000 - 0x08000000;
constexpr size_t kRecordSize = 660;

Bytes openssl_cbc(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in, bool padding) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0);
  Bytes out(in.size() + 32);
  int n = 0, m = 0;
  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes payload(size_t n, uint8_t seed) {
  Bytes p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed + 13 * i);
  return p;
}

std::string evt_rx(bool fsk, int rssi, int snr, const Bytes& data) {
  return std::string(fsk ? "+EVT:RXFSK:" : "+EVT:RXP2P:") + std::to_string(rssi) + ":" +
         std::to_string(snr) + ":" + hex(data);
}

// RSSI and SNR a receiver reports for a sender's power in this world; FSK
// receptions report an SNR of 0.
int rssi_of(int power_dbm) { return power_dbm - static_cast<int>(kPathLoss); }
int snr_of(int power_dbm, bool fsk) {
  return fsk ? 0 : rssi_of(power_dbm) - static_cast<int>(kNoiseFloor);
}

class P2pWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* image : {"brisola-t", "quenlarlp-sip", "saffrond"}) {
      if (!systest::image_available(image)) GTEST_SKIP() << image << " not built";
    }
    w_.budget().set_default_path_loss(kPathLoss);
    w_.budget().set_noise_floor(kNoiseFloor);
  }

  // A module (by default a high-band Brisola-T), switched from its factory
  // LoRaWAN mode to `mode`.
  Device& module(const std::string& name, char mode, const std::string& image = "brisola-t") {
    systest::DeviceOptions o;
    o.image = image;
    o.ports = {kAt};
    o.pins = {{"PB12", 1}};
    Device& d = w_.start(name, o);
    EXPECT_TRUE(d.wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
    // Only the work mode answers in LoRaWAN mode.
    at(d, "AT+NWM=?", {"AT+NWM=1", "OK"});
    at(d, "AT+PSF=?", {"AT_MODE_NO_SUPPORT"});
    d.write(kAt, std::string("AT+NWM=") + mode + "\r\n");
    // "OK" without a line end, then the restart into the new mode.
    EXPECT_TRUE(d.wait_output(kAt, "OK", sec(1)));
    EXPECT_TRUE(d.wait_line(
        kAt, mode == '2' ? "Current Work Mode: FSK." : "Current Work Mode: LoRa P2P.", sec(2)));
    return d;
  }

  // Types a command and expects exactly these reply lines.
  static void at(Device& d, const std::string& cmd, const std::vector<std::string>& lines) {
    d.write(kAt, cmd + "\r\n");
    EXPECT_TRUE(d.expect_lines(kAt, lines, sec(1))) << d.name() << ": " << cmd;
  }

  // The module sleeps when asked: nothing holds a wake lock.
  void can_sleep(Device& d) {
    w_.run_for(ms(10));
    at(d, "AT+SLEEP=20", {"OK"});
  }

  size_t frames_from(const Device& d) const {
    size_t n = 0;
    for (const auto& f : w_.frames()) n += f.frame.sender == static_cast<uint32_t>(d.id()) ? 1 : 0;
    return n;
  }

  sim::AirFrame last_frame_from(const Device& d) const {
    for (auto it = w_.frames().rbegin(); it != w_.frames().rend(); ++it) {
      if (it->frame.sender == static_cast<uint32_t>(d.id())) return it->frame;
    }
    ADD_FAILURE() << "no frame from " << d.name();
    return w_.frames().back().frame;
  }

  static Bytes payload_of(const sim::AirFrame& f) { return Bytes(f.payload, f.payload + f.len); }

  static Bytes record_of(const Device& d) {
    Bytes flash = d.flash();
    if (flash.size() < kRecordOffset + kRecordSize) return {};
    return Bytes(flash.begin() + kRecordOffset, flash.begin() + kRecordOffset + kRecordSize);
  }

  World w_;
};

// ------------------------------------------------------------ exchange ---

TEST_F(P2pWorld, LoRaAndFskFramesBetweenTwoModulesWithMatchingSettings) {
  struct Mode {
    char nwm;
    bool fsk;
    // Settings both modules take with AT+P2P: frequency, spreading factor,
    // bandwidth (LoRa index or FSK Hz), coding rate, preamble, power.
    const char* p2p;
  };
  for (const Mode& m : {Mode{'0', false, "869100000:9:125:1:10:20"},
                        Mode{'2', true, "869100000:9:20000:1:10:20"}}) {
    SCOPED_TRACE(m.fsk ? "FSK" : "LoRa");
    Device& a = module(std::string("a") + m.nwm, m.nwm);
    Device& b = module(std::string("b") + m.nwm, m.nwm);
    const std::string tx_done = m.fsk ? "+EVT:TXFSK DONE" : "+EVT:TXP2P DONE";

    // Factory settings on both ends: 868 MHz, 14 dBm.
    at(b, "AT+PRECV=65534", {"OK"});
    const Bytes first = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    at(a, "AT+PSEND=0123456789abcdef", {"OK"});
    EXPECT_TRUE(a.wait_line(kAt, tx_done));
    EXPECT_TRUE(b.wait_line(kAt, evt_rx(m.fsk, rssi_of(14), snr_of(14, m.fsk), first)));
    const sim::AirFrame f1 = last_frame_from(a);
    EXPECT_EQ(payload_of(f1), first);
    EXPECT_EQ(f1.frequency_hz, 868000000u);
    EXPECT_EQ(f1.modem, m.fsk ? sim::Modem::kFsk : sim::Modem::kLora);
    EXPECT_EQ(f1.tx_power_dbm, 14);
    if (!m.fsk) {
      EXPECT_EQ(f1.sf, 7);
      EXPECT_EQ(f1.bandwidth_hz, 125000u);
      EXPECT_EQ(f1.coding_rate, 1);  // 4/5
      EXPECT_EQ(f1.preamble_len, 8);
      EXPECT_EQ(f1.lora_sync_word, 0x1424);
    } else {
      EXPECT_EQ(f1.bitrate, 4915u);
    }
    at(b, "AT+PRECV=0", {"OK"});

    // The same settings on both ends through AT+P2P.
    for (Device* d : {&a, &b}) {
      at(*d, std::string("AT+P2P=") + m.p2p, {"OK"});
    }
    at(b, "AT+PRECV=65534", {"OK"});
    const Bytes second = payload(40, 0x5A);
    at(a, "AT+PSEND=" + hex(second), {"OK"});
    EXPECT_TRUE(a.wait_line(kAt, tx_done));
    EXPECT_TRUE(b.wait_line(kAt, evt_rx(m.fsk, rssi_of(20), snr_of(20, m.fsk), second)));
    const sim::AirFrame f2 = last_frame_from(a);
    EXPECT_EQ(payload_of(f2), second);
    EXPECT_EQ(f2.frequency_hz, 869100000u);
    EXPECT_EQ(f2.tx_power_dbm, 20);
    if (!m.fsk) {
      EXPECT_EQ(f2.sf, 9);
      EXPECT_EQ(f2.coding_rate, 2);  // 4/6
      EXPECT_EQ(f2.preamble_len, 10);
    }
    at(b, "AT+PRECV=0", {"OK"});
    can_sleep(a);
    can_sleep(b);
    a.kill();
    b.kill();
  }
}

// ------------------------------------------------------ receive modes ---

TEST_F(P2pWorld, EveryReceiveModeEndsAsWritten) {
  Device& a = module("a", '0');
  Device& b = module("b", '0');
  const Bytes p1 = {0xA1}, p2 = {0xB2, 0xC3};
  auto send = [&](Device& from, const Bytes& p) {
    at(from, "AT+PSEND=" + hex(p), {"OK"});
    EXPECT_TRUE(from.wait_line(kAt, "+EVT:TXP2P DONE"));
  };
  const std::string rx1 = evt_rx(false, rssi_of(14), snr_of(14, false), p1);
  const std::string rx2 = evt_rx(false, rssi_of(14), snr_of(14, false), p2);

  // One window: nothing heard ends in a timeout; a frame ends it at once.
  at(b, "AT+PRECV=300", {"OK"});
  EXPECT_TRUE(b.wait_line(kAt, "+EVT:RXP2P RECEIVE TIMEOUT", sec(1)));
  at(b, "AT+PRECV=?", {"P2P_RX_OFF", "OK"});
  can_sleep(b);
  at(b, "AT+PRECV=3000", {"OK"});
  send(a, p1);
  EXPECT_TRUE(b.expect_lines(kAt, {rx1}));
  EXPECT_TRUE(b.quiet(kAt, sec(4)));  // no timeout follows
  can_sleep(b);

  // Until the first frame: the second is not heard.
  at(b, "AT+PRECV=65535", {"OK"});
  w_.run_for(sec(6));  // longer than any timeout: reception goes on
  at(b, "AT+PRECV=?", {"P2P_RX_ON", "OK"});
  at(b, "AT+SLEEP=20", {"AT_BUSY_ERROR"});
  send(a, p1);
  EXPECT_TRUE(b.expect_lines(kAt, {rx1}));
  at(b, "AT+PRECV=?", {"P2P_RX_OFF", "OK"});
  send(a, p2);
  EXPECT_TRUE(b.quiet(kAt, ms(500)));
  can_sleep(b);

  // Until stopped: two frames, two lines, no timeout line; a second start
  // and the radio settings wait.
  at(b, "AT+PRECV=65534", {"OK"});
  send(a, p1);
  send(a, p2);
  EXPECT_TRUE(b.expect_lines(kAt, {rx1, rx2}));
  w_.run_for(sec(6));
  at(b, "AT+PRECV=100", {"P2P_RX_ON already", "AT_BUSY_ERROR"});
  at(b, "AT+PSF=7", {"P2P_RX_ON already, please disable P2P RX before setting.", "AT_BUSY_ERROR"});
  at(b, "AT+PSEND=00", {"AT_BUSY_ERROR"});
  at(b, "AT+CAD=1", {"OK"});
  at(b, "AT+CAD=0", {"OK"});
  at(b, "AT+PRECV=0", {"OK"});
  at(b, "AT+PRECV=?", {"P2P_RX_OFF", "OK"});
  can_sleep(b);

  // Sends allowed: the module sends and goes on receiving.
  at(b, "AT+PRECV=65533", {"OK"});
  send(b, p2);
  EXPECT_TRUE(a.quiet(kAt, ms(10)));
  send(a, p1);
  EXPECT_TRUE(b.expect_lines(kAt, {rx1}));
  at(b, "AT+PRECV=0", {"OK"});
  can_sleep(b);
  can_sleep(a);
}

TEST_F(P2pWorld, ContinuousReceptionWithAStoredSymbolTimeoutStaysOn) {
  Device& a = module("a", '0');
  Device& b = module("b", '0');
  at(b, "AT+SYMBOLTIMEOUT=8", {"OK"});
  at(b, "AT+SYMBOLTIMEOUT=?", {"AT+SYMBOLTIMEOUT=8", "OK"});
  for (const char* mode : {"65534", "65533"}) {
    SCOPED_TRACE(mode);
    at(b, std::string("AT+PRECV=") + mode, {"OK"});
    // Far longer than eight symbols with nothing on the air.
    w_.run_for(sec(2));
    for (const Bytes& p : {Bytes{0x11}, Bytes{0x22, 0x33}}) {
      at(a, "AT+PSEND=" + hex(p), {"OK"});
      EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
      EXPECT_TRUE(b.expect_lines(kAt, {evt_rx(false, rssi_of(14), snr_of(14, false), p)}));
      w_.run_for(sec(1));
    }
    at(b, "AT+PRECV=?", {"P2P_RX_ON", "OK"});
    at(b, "AT+PRECV=0", {"OK"});
    can_sleep(b);
  }
  // A window still ends on its own.
  at(b, "AT+PRECV=2000", {"OK"});
  EXPECT_TRUE(b.wait_line(kAt, "+EVT:RXP2P RECEIVE TIMEOUT", sec(3)));
  can_sleep(b);
}

// -------------------------------------------- event lines amid replies ---

// The whole lines of the unread output on `port`, in order (consumed).
std::vector<std::string> lines_taken(Device& d, int port) {
  std::vector<std::string> lines;
  const std::string out = d.take(port);
  size_t start = 0;
  for (size_t end; (end = out.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(out.substr(start, end - start));
  }
  EXPECT_EQ(start, out.size()) << d.name() << ": unfinished line \"" << out.substr(start) << '"';
  return lines;
}

// A frame's end comes while the module may be writing the replies to a burst
// of commands typed after the send. However many commands lie between two
// sends, every frame on the air has its TX DONE line at the sender and its
// reception line at the receiver (which is typed at as well), every command
// is answered, and a send that finds the radio still busy is refused and
// puts nothing on the air.
TEST_F(P2pWorld, EveryFrameIsReportedWhileRepliesAreBeingWritten) {
  Device& a = module("a", '0');
  Device& b = module("b", '0');
  for (Device* d : {&a, &b}) {
    at(*d, "AT+P2P=868300000:7:125:0:8:14", {"OK"});
  }
  at(b, "AT+PRECV=65534", {"OK"});
  const Bytes first = {0xA1, 0xB2};
  const Bytes second = {0xC3, 0xD4, 0xE5};
  struct Case {
    int commands;  // plain "AT" lines typed between the two sends
    // Whether the second send must find the radio busy: it does right after
    // the first (the frame lasts some 30 ms), and not once the commands
    // take longer to type (about 0.35 ms each) than the frame to send.
    std::optional<bool> second_refused;
  };
  for (const Case& c :
       {Case{0, true}, Case{20, true}, Case{50, std::nullopt}, Case{100, std::nullopt},
        Case{150, std::nullopt}, Case{200, false}, Case{400, false}}) {
    SCOPED_TRACE("commands between the sends: " + std::to_string(c.commands));
    const size_t before = w_.frames().size();
    std::string typed;
    for (int i = 0; i < c.commands; ++i) typed += "AT\r\n";
    a.write(kAt, "AT+PSEND=" + hex(first) + "\r\n" + typed + "AT+PSEND=" + hex(second) + "\r\n");
    b.write(kAt, typed);
    w_.run_for(sec(2));

    std::vector<Bytes> sent;
    for (size_t i = before; i < w_.frames().size(); ++i) {
      const sim::AirFrame& f = w_.frames()[i].frame;
      if (f.sender == static_cast<uint32_t>(a.id())) sent.push_back(payload_of(f));
    }
    ASSERT_FALSE(sent.empty());
    ASSERT_LE(sent.size(), 2u);
    EXPECT_EQ(sent[0], first);
    if (sent.size() == 2) {
      EXPECT_EQ(sent[1], second);
    }
    if (c.second_refused) {
      EXPECT_EQ(sent.size(), *c.second_refused ? 1u : 2u);
    }

    size_t ok = 0, busy = 0, tx_done = 0;
    for (const std::string& line : lines_taken(a, kAt)) {
      if (line == "OK") {
        ++ok;
      } else if (line == "AT_BUSY_ERROR") {
        ++busy;
      } else if (line == "+EVT:TXP2P DONE") {
        ++tx_done;
      } else {
        ADD_FAILURE() << "a: unexpected line \"" << line << '"';
      }
    }
    EXPECT_EQ(ok + busy, static_cast<size_t>(c.commands) + 2);
    EXPECT_EQ(busy, 2 - sent.size());
    EXPECT_EQ(tx_done, sent.size());

    std::vector<std::string> rx_lines;
    size_t b_ok = 0;
    for (const std::string& line : lines_taken(b, kAt)) {
      if (line == "OK") {
        ++b_ok;
      } else {
        rx_lines.push_back(line);
      }
    }
    EXPECT_EQ(b_ok, static_cast<size_t>(c.commands));
    std::vector<std::string> expected_rx;
    for (const Bytes& p : sent)
      expected_rx.push_back(evt_rx(false, rssi_of(14), snr_of(14, false), p));
    EXPECT_EQ(rx_lines, expected_rx);
  }
  at(b, "AT+PRECV=0", {"OK"});
  can_sleep(a);
  can_sleep(b);
}

// ---------------------------------------------------------- encryption ---

TEST_F(P2pWorld, EncryptedFramesAreAesCbcOfThePayloadFollowedByTheIv) {
  Device& a = module("a", '0');
  Device& b = module("b", '0');
  const Bytes key = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                     0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
  const Bytes other_key = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                           0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  const Bytes iv = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,
                    0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
  for (Device* d : {&a, &b}) {
    at(*d, "AT+ENCRY=1", {"OK"});
    at(*d, "AT+ENCKEY=" + hex(key), {"OK"});
    at(*d, "AT+ENCRY=?", {"AT+ENCRY=1", "OK"});
  }
  at(a, "AT+ENCKEY=?", {"AT+ENCKEY=" + hex(key), "OK"});
  at(b, "AT+PRECV=65534", {"OK"});
  auto send = [&](const Bytes& p) {
    at(a, "AT+PSEND=" + hex(p), {"OK"});
    EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
    return payload_of(last_frame_from(a));
  };
  const std::string rx_prefix = evt_rx(false, rssi_of(14), snr_of(14, false), {});

  // A set IV: the frame is exactly OpenSSL's ciphertext and the IV; the IV
  // then reads back as zeros.
  const Bytes p = payload(21, 0x40);
  at(a, "AT+CRYPIV=" + hex(iv), {"OK"});
  EXPECT_EQ(send(p), concat(openssl_cbc(true, key, iv, p, true), iv));
  EXPECT_TRUE(b.expect_lines(kAt, {rx_prefix + hex(p)}));
  at(a, "AT+CRYPIV=?", {"AT+CRYPIV=" + hex(Bytes(16, 0)), "OK"});

  // Without one, a fresh IV travels in the frame's last 16 bytes; 16 bytes
  // of payload take a whole block of padding.
  const Bytes p16 = payload(16, 0x77);
  const Bytes frame = send(p16);
  ASSERT_EQ(frame.size(), 48u);
  const Bytes fresh_iv(frame.end() - 16, frame.end());
  EXPECT_NE(fresh_iv, iv);
  EXPECT_EQ(frame, concat(openssl_cbc(true, key, fresh_iv, p16, true), fresh_iv));
  EXPECT_TRUE(b.expect_lines(kAt, {rx_prefix + hex(p16)}));

  // The largest payload that still fits the frame, and one byte more.
  const Bytes big = payload(223, 0x01);
  EXPECT_EQ(send(big).size(), 240u);
  EXPECT_TRUE(b.expect_lines(kAt, {rx_prefix + hex(big)}));
  const size_t sent = frames_from(a);
  at(a, "AT+PSEND=" + hex(payload(224, 0x01)), {"AT_PARAM_ERROR"});
  EXPECT_TRUE(a.quiet(kAt, ms(300)));
  EXPECT_EQ(frames_from(a), sent);

  // Another key at the receiver: what it prints is the decryption with its
  // own key, the padding kept since it does not check out, never the
  // payload.
  at(b, "AT+PRECV=0", {"OK"});
  at(b, "AT+ENCKEY=" + hex(other_key), {"OK"});
  at(b, "AT+PRECV=65534", {"OK"});
  at(a, "AT+CRYPIV=" + hex(iv), {"OK"});
  const Bytes c = send(p);
  const Bytes garbage = openssl_cbc(false, other_key, iv, Bytes(c.begin(), c.end() - 16), false);
  ASSERT_EQ(garbage.size(), 32u);
  const uint8_t v = garbage.back();
  ASSERT_TRUE(v == 0 || v > 16 ||
              !std::all_of(garbage.end() - v, garbage.end(), [v](uint8_t x) { return x == v; }))
      << "this key happens to give a valid padding; choose another";
  const std::optional<std::string> line = b.next_line(kAt);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, rx_prefix + hex(garbage));
  EXPECT_EQ(line->find(hex(p)), std::string::npos);

  // A frame too short to be an encrypted one is a receive error.
  at(a, "AT+ENCRY=0", {"OK"});
  at(a, "AT+PSEND=010203", {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_TRUE(b.expect_lines(kAt, {"+EVT:RXP2P RECEIVE ERROR"}));
  at(b, "AT+PRECV=?", {"P2P_RX_ON", "OK"});
  at(b, "AT+PRECV=0", {"OK"});
  can_sleep(a);
  can_sleep(b);
}

// ----------------------------------------------------------------- CAD ---

TEST_F(P2pWorld, ChannelActivityCheckKeepsABusyChannelFree) {
  Device& a = module("a", '0');
  Device& b = module("b", '0');
  at(a, "AT+CAD=1", {"OK"});
  at(a, "AT+CAD=?", {"AT+CAD=1", "OK"});
  at(b, "AT+PRECV=65534", {"OK"});

  // Another transmitter on the same frequency and spreading factor.
  const size_t before = frames_from(a);
  w_.inject_frame(systest::lora_frame(868000000, 7, 125000, payload(60, 3), w_.now(), ms(800)));
  at(a, "AT+PSEND=1122", {"AT_BUSY_ERROR"});
  EXPECT_TRUE(a.quiet(kAt, ms(200)));
  EXPECT_EQ(frames_from(a), before);
  can_sleep(a);

  // Once the channel is free the frame goes out.
  w_.run_for(ms(800));
  at(a, "AT+PSEND=1122", {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_EQ(frames_from(a), before + 1);
  EXPECT_TRUE(b.expect_lines(kAt, {evt_rx(false, rssi_of(14), snr_of(14, false), {0x11, 0x22})}));
  can_sleep(a);

  // The refused send leaves a reception that lets sends through running.
  at(a, "AT+PRECV=65533", {"OK"});
  w_.inject_frame(systest::lora_frame(868000000, 7, 125000, payload(60, 3), w_.now(), ms(800)));
  at(a, "AT+PSEND=33", {"AT_BUSY_ERROR"});
  w_.run_for(ms(900));
  at(a, "AT+PRECV=?", {"P2P_RX_ON", "OK"});
  at(b, "AT+PRECV=0", {"OK"});
  at(b, "AT+PSEND=44", {"OK"});
  EXPECT_TRUE(b.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_TRUE(a.expect_lines(kAt, {evt_rx(false, rssi_of(14), snr_of(14, false), {0x44})}));
  at(a, "AT+PRECV=0", {"OK"});
  can_sleep(a);
  can_sleep(b);
}

TEST_F(P2pWorld, FskSendsGoOutWithoutAChannelActivityCheck) {
  // The check listens for LoRa preambles; in FSK mode the stored setting is
  // kept for LoRa P2P and frames go out at once.
  Device& a = module("a", '2');
  Device& b = module("b", '2');
  at(a, "AT+CAD=1", {"OK"});
  at(b, "AT+PRECV=65534", {"OK"});
  const size_t before = frames_from(a);
  const sim::time_us sent_at = w_.now();
  a.write(kAt, "AT+PSEND=1234\r\n");
  EXPECT_TRUE(a.expect_lines(kAt, {"OK"}, ms(100)));
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXFSK DONE", ms(500)));
  EXPECT_LT(w_.now() - sent_at, ms(500));
  EXPECT_EQ(frames_from(a), before + 1);
  EXPECT_TRUE(b.expect_lines(kAt, {evt_rx(true, rssi_of(14), 0, {0x12, 0x34})}));
  at(b, "AT+PRECV=0", {"OK"});
  can_sleep(a);

  // Back in LoRa P2P mode the check is on again.
  a.write(kAt, "AT+NWM=0\r\n");
  EXPECT_TRUE(a.wait_output(kAt, "OK", sec(1)));
  EXPECT_TRUE(a.wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(2)));
  at(a, "AT+CAD=?", {"AT+CAD=1", "OK"});
  w_.inject_frame(systest::lora_frame(868000000, 7, 125000, payload(60, 3), w_.now(), ms(800)));
  at(a, "AT+PSEND=1122", {"AT_BUSY_ERROR"});
  EXPECT_EQ(frames_from(a), before + 1);
}

// ------------------------------------------------- run-time settings ---

TEST_F(P2pWorld, RunTimeSettingsApplyWithoutBeingStored) {
  Device& a = module("a", '0');
  Device& b = module("b", '0');
  const Bytes stored = record_of(a);
  at(a, "AT+P2P=?", {"AT+P2P=868000000:7:0:0:8:14", "OK"});
  for (Device* d : {&a, &b}) at(*d, "AT+P2P=869500000:9:250:2:12:17:1", {"OK"});
  // Shown with the bandwidth's index; nothing written to flash.
  at(a, "AT+P2P=?", {"AT+P2P=869500000:9:1:2:12:17", "OK"});
  at(a, "AT+PFREQ=?", {"AT+PFREQ=868000000", "OK"});
  EXPECT_EQ(record_of(a), stored);

  at(b, "AT+PRECV=65534", {"OK"});
  at(a, "AT+PSEND=abcd", {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_TRUE(b.expect_lines(kAt, {evt_rx(false, rssi_of(17), snr_of(17, false), {0xAB, 0xCD})}));
  const sim::AirFrame f = last_frame_from(a);
  EXPECT_EQ(f.frequency_hz, 869500000u);
  EXPECT_EQ(f.sf, 9);
  EXPECT_EQ(f.bandwidth_hz, 250000u);
  EXPECT_EQ(f.coding_rate, 3);  // 4/7
  EXPECT_EQ(f.preamble_len, 12);
  EXPECT_EQ(f.tx_power_dbm, 17);
  at(b, "AT+PRECV=0", {"OK"});

  // Gone after a restart: the stored settings are back.
  a.restart();
  EXPECT_TRUE(a.wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(2)));
  at(a, "AT+P2P=?", {"AT+P2P=868000000:7:0:0:8:14", "OK"});
  EXPECT_EQ(record_of(a), stored);
  at(a, "AT+PSEND=01", {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_EQ(last_frame_from(a).frequency_hz, 868000000u);
  EXPECT_EQ(last_frame_from(a).sf, 7);

  // Storing settings ends the run-time ones.
  at(a, "AT+P2P=869500000:9:250:2:12:17:1", {"OK"});
  at(a, "AT+P2P=868300000:8:500:1:9:15:0", {"OK"});
  at(a, "AT+P2P=?", {"AT+P2P=868300000:8:2:1:9:15", "OK"});
  at(a, "AT+PSEND=02", {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_EQ(last_frame_from(a).frequency_hz, 868300000u);
  EXPECT_EQ(last_frame_from(a).bandwidth_hz, 500000u);
  can_sleep(a);
}

// ------------------------------------------------------- refused input ---

TEST_F(P2pWorld, RefusedInputChangesNothingAndSendsNothing) {
  Device& a = module("a", '0');
  const std::string k250(500, 'A'), k251(502, 'A'), k223(446, 'B'), k224(448, 'B');
  const Bytes before = record_of(a);
  const size_t sent = frames_from(a);
  struct Case {
    std::string cmd;
    std::vector<std::string> reply;
  };
  const std::string busy_rx = "P2P_RX_ON already, please disable P2P RX before setting.";
  const std::vector<Case> cases = {
      {"AT+PSEND=123", {"AT_PARAM_ERROR"}},
      {"AT+PSEND=12G4", {"AT_PARAM_ERROR"}},
      {"AT+PSEND=" + k251, {"AT_PARAM_ERROR"}},
      {"AT+PSEND=0102:0304", {"AT_PARAM_ERROR"}},
      {"AT+PFREQ=149999999", {"AT_PARAM_ERROR"}},
      {"AT+PFREQ=960000001", {"AT_PARAM_ERROR"}},
      {"AT+PFREQ=600000000", {"AT_PARAM_ERROR"}},  // a high-band module
      {"AT+PFREQ=868.1", {"AT_PARAM_ERROR"}},
      {"AT+RFFREQUENCY=433000000", {"AT_PARAM_ERROR"}},
      {"AT+RFFREQUENCY=4294967296", {"AT_PARAM_ERROR"}},
      {"AT+PSF=4", {"AT_PARAM_ERROR"}},
      {"AT+PSF=13", {"AT_PARAM_ERROR"}},
      {"AT+SPREADINGFACTOR=263", {"AT_PARAM_ERROR"}},
      {"AT+PBW=10", {"AT_PARAM_ERROR"}},
      {"AT+BANDWIDTH=126", {"AT_PARAM_ERROR"}},
      {"AT+PCR=4", {"AT_PARAM_ERROR"}},
      {"AT+PCR=256", {"AT_PARAM_ERROR"}},
      {"AT+CODINGRATE=4", {"AT_PARAM_ERROR"}},
      {"AT+PPL=4", {"AT_PARAM_ERROR"}},
      {"AT+PREAMBLELENGTH=65536", {"AT_PARAM_ERROR"}},
      {"AT+PTP=4", {"AT_PARAM_ERROR"}},
      {"AT+PTP=23", {"AT_PARAM_ERROR"}},
      {"AT+TXOUTPUTPOWER=23", {"AT_PARAM_ERROR"}},
      {"AT+SYMBOLTIMEOUT=249", {"AT_PARAM_ERROR"}},
      {"AT+IQINVER=2", {"AT_PARAM_ERROR"}},
      {"AT+SYNCWORD=123", {"AT_PARAM_ERROR"}},
      {"AT+SYNCWORD=12345", {"AT_PARAM_ERROR"}},
      {"AT+ENCKEY=0011", {"AT_PARAM_ERROR"}},
      {"AT+CRYPIV=" + std::string(32, 'X'), {"AT_PARAM_ERROR"}},
      {"AT+ENCRY=2", {"AT_PARAM_ERROR"}},
      {"AT+PRECV=65536", {"AT_PARAM_ERROR"}},
      {"AT+PRECV=abc", {"AT_PARAM_ERROR"}},
      {"AT+PBR=?", {"AT_MODE_NO_SUPPORT"}},
      {"AT+PFDEV=1000", {"AT_MODE_NO_SUPPORT"}},
      {"AT+NWM=3", {"AT_PARAM_ERROR"}},
      {"AT+NWM=10", {"AT_PARAM_ERROR"}},
      {"AT+P2P=868000000:7:125:4:8:14", {"AT_PARAM_ERROR"}},
      {"AT+P2P=868000000:7:125:0:8:23", {"AT_PARAM_ERROR"}},
      {"AT+P2P=868000000:7:125:0:8", {"AT_PARAM_ERROR"}},
      {"AT+P2P=868000000:7:125:0:8:14:2", {"AT_PARAM_ERROR"}},
      // The bandwidth is the last check: the frequency and spreading factor
      // already set go back.
      {"AT+P2P=869000000:8:11:0:8:14", {"AT_PARAM_ERROR"}},
      {"AT+P2P=869000000:8:125:0:8:23:1", {"AT_PARAM_ERROR"}},
      {"AT+P2P=599000000:8:125:0:8:14:1", {"AT_PARAM_ERROR"}},
  };
  for (const Case& c : cases) at(a, c.cmd, c.reply);
  at(a, "AT+P2P=?", {"AT+P2P=868000000:7:0:0:8:14", "OK"});
  EXPECT_EQ(record_of(a), before);
  EXPECT_EQ(frames_from(a), sent);

  // The longest payloads: 250 bytes plain; with encryption 223 bytes, and
  // 224 refused.
  at(a, "AT+PSEND=" + k250, {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_EQ(last_frame_from(a).len, 250);
  at(a, "AT+PSEND=" + k224, {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_EQ(last_frame_from(a).len, 224);
  at(a, "AT+ENCRY=1", {"OK"});
  const size_t sent2 = frames_from(a);
  at(a, "AT+PSEND=" + k224, {"AT_PARAM_ERROR"});
  at(a, "AT+PSEND=" + k223, {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_EQ(frames_from(a), sent2 + 1);
  EXPECT_EQ(last_frame_from(a).len, 240);

  // While receiving, every radio setting waits (after its own checks).
  at(a, "AT+PRECV=65534", {"OK"});
  at(a, "AT+PSF=13", {"AT_PARAM_ERROR"});
  at(a, "AT+PSF=8", {busy_rx, "AT_BUSY_ERROR"});
  at(a, "AT+P2P=868000000:7:125:0:8:14", {busy_rx, "AT_BUSY_ERROR"});
  at(a, "AT+ENCKEY=" + std::string(32, '1'), {busy_rx, "AT_BUSY_ERROR"});
  at(a, "AT+NWM=1", {busy_rx, "AT_BUSY_ERROR"});
  at(a, "AT+PRECV=0", {"OK"});
  can_sleep(a);
}

TEST_F(P2pWorld, FskModeHasItsOwnSettings) {
  Device& a = module("a", '2');
  at(a, "AT+PBR=?", {"AT+PBR=4915", "OK"});
  at(a, "AT+PFDEV=?", {"AT+PFDEV=5000", "OK"});
  at(a, "AT+PBW=?", {"AT+PBW=20000", "OK"});
  at(a, "AT+PBW=250", {"AT_PARAM_ERROR"});
  at(a, "AT+PBR=599", {"AT_PARAM_ERROR"});
  at(a, "AT+PFDEV=200001", {"AT_PARAM_ERROR"});
  at(a, "AT+PBR=50000", {"OK"});
  at(a, "AT+PFDEV=25000", {"OK"});
  at(a, "AT+BANDWIDTH=100000", {"OK"});
  at(a, "AT+PSEND=55", {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXFSK DONE"));
  const sim::AirFrame f = last_frame_from(a);
  EXPECT_EQ(f.modem, sim::Modem::kFsk);
  EXPECT_EQ(f.bitrate, 50000u);
  // The deviation goes out as set, even though a receive set-up came between
  // the transmit set-up and the send (within the radio's frequency step).
  EXPECT_NEAR(static_cast<double>(f.fdev_hz), 25000.0, 1.0);
  at(a, "AT+PRECV=300", {"OK"});
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:RXFSK RECEIVE TIMEOUT", sec(1)));
  can_sleep(a);
}

// The QuenlarLP-SiP and Saffrond images store a sync word but leave the
// radio's own (the private one) in place, and have no symbol timeout command.
TEST_F(P2pWorld, ImagesWithoutSyncWordRegistersOrSymbolTimeout) {
  Device& b = module("b", '0');
  for (const char* image : {"quenlarlp-sip", "saffrond"}) {
    SCOPED_TRACE(image);
    Device& a = module(image, '0', image);
    at(a, "AT+SYMBOLTIMEOUT=?", {"AT_COMMAND_NOT_FOUND"});
    at(a, "AT+SYNCWORD=3444", {"OK"});
    at(a, "AT+SYNCWORD=?", {"AT+SYNCWORD=3444", "OK"});
    at(b, "AT+PRECV=65534", {"OK"});
    at(a, "AT+PSEND=0a0b", {"OK"});
    EXPECT_TRUE(a.wait_line(kAt, "+EVT:TXP2P DONE"));
    EXPECT_EQ(last_frame_from(a).lora_sync_word, 0x1424);
    EXPECT_TRUE(b.expect_lines(kAt, {evt_rx(false, rssi_of(14), snr_of(14, false), {0x0A, 0x0B})}));
    at(b, "AT+PRECV=0", {"OK"});
    can_sleep(a);
    a.kill();
  }
  // A Brisola-T writes the sync word it stores.
  at(b, "AT+SYNCWORD=3444", {"OK"});
  at(b, "AT+PSEND=0c", {"OK"});
  EXPECT_TRUE(b.wait_line(kAt, "+EVT:TXP2P DONE"));
  EXPECT_EQ(last_frame_from(b).lora_sync_word, 0x3444);
}

// ------------------------------------------------------- determinism ---

// Everything a world leaves behind that a user could see or keep: the output
// of every port of every module with the time of each piece, the frames on
// the air with their times, and the flash files.
struct RunRecord {
  std::vector<std::string> outputs;  // per module and port, "<t> <bytes>" pieces
  std::vector<std::string> frames;   // each frame's fields and bytes
  std::vector<Bytes> flashes;
  size_t received_lines = 0;  // "+EVT:RX" lines seen (the run did its work)
};

std::string frame_text(const sim::world::FrameRecord& r) {
  const sim::AirFrame& f = r.frame;
  std::string s = std::to_string(r.t) + " " + std::to_string(f.start_us) + "-" +
                  std::to_string(f.end_us) + " " + std::to_string(f.frequency_hz) + " m" +
                  std::to_string(static_cast<int>(f.modem)) + " sf" + std::to_string(f.sf) + " bw" +
                  std::to_string(f.bandwidth_hz) + " cr" + std::to_string(f.coding_rate) + " br" +
                  std::to_string(f.bitrate) + " fd" + std::to_string(f.fdev_hz) + " pre" +
                  std::to_string(f.preamble_len) + " sw" + std::to_string(f.lora_sync_word) +
                  " fs" + hex(f.fsk_sync, f.fsk_sync_len) + " iq" + std::to_string(f.iq_inverted) +
                  " crc" + std::to_string(f.crc_on) + " ih" + std::to_string(f.implicit_header) +
                  " p" + std::to_string(f.tx_power_dbm) + " from" + std::to_string(f.sender) + " ";
  return s + hex(f.payload, std::min<size_t>(f.len, sizeof f.payload));
}

// Two Brisola-T modules in LoRa P2P mode with payload encryption (fresh
// initialisation vectors from the radio's random numbers), frames both ways,
// other settings, a reset.
RunRecord run_p2p_world() {
  RunRecord rec;
  World w;
  w.budget().set_default_path_loss(kPathLoss);
  w.budget().set_noise_floor(kNoiseFloor);
  std::vector<Device*> devices;
  for (const char* name : {"a", "b"}) {
    systest::DeviceOptions o;
    o.image = "brisola-t";
    o.pins = {{"PB12", 1}};
    Device& d = w.start(name, o);
    EXPECT_TRUE(d.wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
    d.write(kAt, "AT+NWM=0\r\n");
    EXPECT_TRUE(d.wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(3)));
    devices.push_back(&d);
  }
  Device& a = *devices[0];
  Device& b = *devices[1];
  auto at = [](Device& d, const std::string& cmd) {
    d.write(kAt, cmd + "\r\n");
    EXPECT_TRUE(d.wait_line(kAt, "OK", sec(1))) << d.name() << ": " << cmd;
  };
  auto exchange = [&](Device& from, Device& to, const Bytes& p) {
    at(to, "AT+PRECV=65534");
    at(from, "AT+PSEND=" + hex(p));
    EXPECT_TRUE(from.wait_line(kAt, "+EVT:TXP2P DONE", sec(5)));
    auto line = to.next_line(kAt, sec(5));
    if (line && line->rfind("+EVT:RXP2P:", 0) == 0) ++rec.received_lines;
    at(to, "AT+PRECV=0");
    w.run_for(ms(37));
  };
  for (Device* d : devices) {
    at(*d, "AT+ENCKEY=000102030405060708090A0B0C0D0E0F");
    at(*d, "AT+ENCRY=1");
  }
  exchange(a, b, payload(20, 1));
  exchange(a, b, payload(16, 2));
  exchange(b, a, payload(33, 3));
  for (Device* d : devices) at(*d, "AT+P2P=869100000:9:125:1:10:20");
  exchange(a, b, payload(5, 4));
  a.write(kAt, "ATZ\r\n");
  w.run_for(sec(1));
  at(a, "AT+PRECV=300");
  EXPECT_TRUE(a.wait_line(kAt, "+EVT:RXP2P RECEIVE TIMEOUT", sec(1)));
  w.run_for(ms(500));

  for (Device* d : devices) {
    for (int port = 0; port < 4; ++port) {
      std::string out = d->name() + ":" + std::to_string(port);
      for (const auto& c : d->chunks(port))
        out += " " + std::to_string(c.t) + " " + hex(Bytes(c.bytes.begin(), c.bytes.end()));
      rec.outputs.push_back(out);
    }
    rec.flashes.push_back(d->flash());
  }
  for (const auto& f : w.frames()) rec.frames.push_back(frame_text(f));
  return rec;
}

TEST(P2pDeterminism, TheSameWorldRunTwiceIsTheSameByteForByte) {
  if (!systest::image_available("brisola-t")) GTEST_SKIP() << "brisola-t not built";
  const RunRecord first = run_p2p_world();
  const RunRecord second = run_p2p_world();
  // The runs did their work.
  EXPECT_EQ(first.received_lines, 4u);
  EXPECT_GE(first.frames.size(), 4u);
  ASSERT_EQ(first.flashes.size(), 2u);
  EXPECT_FALSE(first.flashes[0].empty());
  // And did it alike.
  ASSERT_EQ(first.outputs.size(), second.outputs.size());
  for (size_t i = 0; i < first.outputs.size(); ++i) EXPECT_EQ(first.outputs[i], second.outputs[i]);
  EXPECT_EQ(first.frames, second.frames);
  for (size_t i = 0; i < first.flashes.size(); ++i) {
    EXPECT_TRUE(first.flashes[i] == second.flashes[i]) << "flash file " << i << " differs";
  }
}

}  // namespace

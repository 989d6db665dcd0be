// Power cuts on the air: a Brisola-T loses its supply at each flash
// operation of its LoRaWAN state saves in turn (with nothing of the
// operation done, and at places inside it), restarts, and goes on. The test
// network is the judge: no uplink frame counter and no DevNonce ever reaches
// it twice, every frame it hears is one it takes, and the module answers
// with its session afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "network/gateway.h"
#include "lorawan_test_keys.h"
#include "systest/world.h"

namespace {

using namespace sim::network;
using namespace lorawan_test;
using systest::sec;

constexpr int kAt = 2;
const std::string kBanner = "Current Work Mode: LoRaWAN.";

DeviceEntry abp_entry() {
  DeviceEntry e;
  e.name = "a";
  e.otaa = false;
  e.dev_addr = kDevAddr;
  e.keys.fnwk_s_int = e.keys.snwk_s_int = e.keys.nwk_s_enc = kNwkSKey;
  e.keys.app_s = kAppSKey;
  return e;
}

DeviceEntry otaa_entry() {
  DeviceEntry e;
  e.name = "a";
  e.dev_eui = 0x0202020202020202ull;
  e.join_eui = 0x0101010101010101ull;
  e.app_key = kAppKey;
  return e;
}

// The module under the cuts: its image, how it is started and its AT port.
struct Module {
  const char* image;
  std::vector<std::pair<std::string, int>> pins;
  std::vector<int> ports;  // empty: the image's defaults
  int at;
};
const Module kBrisolaT{"brisola-t", {{"PB12", 1}}, {}, kAt};
const Module kTarnelka{"tarnelka", {}, {0, 1}, 0};

// One world: the module (from `flash`, cut at `cut` when given), the test
// network with the device.
struct CutRun {
  systest::World w;
  NetworkServer ns{RegionId::kEU868};
  Gateway gw{ns, w.master()};
  systest::Device* d = nullptr;
  int at_port = 0;

  CutRun(const DeviceEntry& entry, const std::vector<uint8_t>& flash, const std::string& cut,
         const Module& m = kBrisolaT)
      : at_port(m.at) {
    ns.add_device(entry);
    systest::DeviceOptions o;
    o.image = m.image;
    for (const auto& [pin, level] : m.pins) o.pins.push_back({pin, level});
    if (!m.ports.empty()) o.ports = m.ports;
    o.initial_flash = flash;
    if (!cut.empty()) o.extra_args = {"--flash-cut-after", cut};
    d = &w.start("a", o);
  }

  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d->write(at_port, command + "\r\n");
    testing::AssertionResult r = d->wait_line(at_port, reply, sec(3));
    if (!r || reply.rfind("AT+", 0) != 0) return r;
    return d->wait_line(at_port, "OK", sec(2));
  }

  // Whether the module has started again since the run began.
  bool restarted() const {
    const std::string out = d->output(at_port);
    const size_t first = out.find(kBanner);
    return first != std::string::npos && out.find(kBanner, first + 1) != std::string::npos;
  }

  std::vector<UplinkRecord> uplinks() const {
    std::vector<UplinkRecord> r;
    for (const UplinkRecord& u : ns.uplinks())
      if (u.device == "a") r.push_back(u);
    return r;
  }
};

// What the module holds after a sweep run: it answers, and its identity is
// the one it was given.
void expect_answers_with(CutRun& r,
                         const std::vector<std::pair<std::string, std::string>>& queries) {
  EXPECT_TRUE(r.at("AT"));
  for (const auto& [q, a] : queries) EXPECT_TRUE(r.at(q, a));
}

// Flash operations of one copy of the MAC block: two page erases, its 2044
// bytes as double words, the two double words of the trailer.
constexpr uint64_t kMacCopyOps = 2 + (2044 + 7) / 8 + 2;

// How a save's copies break into flash operations: `ops` as the flash
// counts them (erases and program units) and `cuts` as the supply can be cut
// in them (erases and program runs: a port may program many units in one
// run, which a cut then leaves part-way).
struct CopyOps {
  uint64_t ops;
  uint64_t cuts;
};

// The cut points of a sweep over `copies` copies: every operation with
// nothing of it done and the one past them; inside each copy, where every
// program is one unit, its erases and its first and last programs half and
// nearly done, else every operation at places through it.
std::vector<std::string> cut_points(uint64_t copies, const CopyOps& c) {
  std::vector<std::string> points;
  for (uint64_t k = 0; k <= copies * c.cuts; ++k) points.push_back(std::to_string(k) + ":0");
  for (uint64_t start = 0; start < copies * c.cuts; start += c.cuts) {
    if (c.cuts == c.ops) {
      for (uint64_t k :
           {uint64_t{0}, uint64_t{1}, uint64_t{2}, c.cuts - 3, c.cuts - 2, c.cuts - 1}) {
        for (int percent : {50, 95})
          points.push_back(std::to_string(start + k) + ":" + std::to_string(percent));
      }
    } else {
      for (uint64_t k = 0; k < c.cuts; ++k) {
        for (int percent : {50, 95})
          points.push_back(std::to_string(start + k) + ":" + std::to_string(percent));
      }
    }
  }
  return points;
}

// Flash operations a run of `scenario` makes from `flash` (no cut).
uint64_t operations(const Module& m, const DeviceEntry& entry, const std::vector<uint8_t>& flash,
                    const std::function<void(CutRun&)>& scenario) {
  CutRun r(entry, flash, "", m);
  EXPECT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
  const sim::FlashCounters before = r.d->flash_counters();
  scenario(r);
  const sim::FlashCounters after = r.d->flash_counters();
  return (after.erases - before.erases) + (after.programs - before.programs);
}

struct Tally {
  int points = 0, cut = 0, not_reached = 0;
};

// ABP: a provisioned module that has sent one uplink sends another with a
// downlink queued for it. Its saves: the uplink counters reserved ahead
// before the frame, and the session after the downlink (its counter). The
// cut falls in one of them; after the restart the module sends two uplinks
// more.
void abp_sweep(const Module& m, const CopyOps& copy) {
  std::vector<uint8_t> base;
  uint32_t first_fcnt = 0;
  {
    CutRun r(abp_entry(), {}, "", m);
    ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
    ASSERT_TRUE(r.at("AT+DEVADDR=26011234"));
    ASSERT_TRUE(r.at("AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
    ASSERT_TRUE(r.at("AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
    ASSERT_TRUE(r.at("AT+NJM=0"));
    ASSERT_TRUE(r.at("AT+SEND=5:01"));
    ASSERT_TRUE(r.d->wait_line(r.at_port, "+EVT:TX_DONE", sec(10)));
    ASSERT_TRUE(r.d->quiet(r.at_port, sec(1)));
    ASSERT_EQ(r.uplinks().size(), 1u);
    first_fcnt = r.uplinks()[0].fcnt;
    base = r.d->flash();
  }
  auto exchange = [](CutRun& r) {
    r.ns.queue_downlink("a", 3, Bytes{0xAB});
    r.d->write(r.at_port, "AT+SEND=5:02\r\n");
    r.w.run_for(sec(8));
  };
  // Set the reserve to run out at this uplink: the first run's flash holds
  // a reserve ahead of its one uplink, so one run spends it first.
  {
    CutRun r(abp_entry(), base, "", m);
    ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
    ASSERT_TRUE(r.at("AT+SEND=5:02"));
    ASSERT_TRUE(r.d->wait_line(r.at_port, "+EVT:TX_DONE", sec(10)));
    ASSERT_TRUE(r.d->quiet(r.at_port, sec(1)));
    ASSERT_EQ(r.uplinks().size(), 1u);
    EXPECT_GT(r.uplinks()[0].fcnt, first_fcnt);
    first_fcnt = r.uplinks()[0].fcnt;
    base = r.d->flash();
  }
  const uint64_t ops = operations(m, abp_entry(), base, exchange);
  ASSERT_EQ(ops, 4 * copy.ops) << "the reserve and the session after the downlink, two copies each";
  Tally tally;
  int completed = 0;
  for (const std::string& cut : cut_points(ops / copy.ops, copy)) {
    SCOPED_TRACE("supply lost at flash operation " + cut);
    CutRun r(abp_entry(), base, cut, m);
    ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
    ++tally.points;
    r.ns.queue_downlink("a", 3, Bytes{0xAB});
    r.d->write(r.at_port, "AT+SEND=5:02\r\n");
    // The exchange and the saves after it, or the restart.
    r.w.run_for(sec(8));
    if (!r.restarted()) {
      ++tally.not_reached;
      ++completed;
    } else {
      ++tally.cut;
    }
    // Two uplinks after the restart (or after the exchange).
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(r.at("AT+SEND=5:0" + std::to_string(3 + i)));
      EXPECT_TRUE(r.d->wait_line(r.at_port, "+EVT:TX_DONE", sec(10)));
      r.w.run_for(sec(1));
    }
    std::vector<UplinkRecord> ups = r.uplinks();
    EXPECT_GE(ups.size(), 2u);
    uint32_t last = first_fcnt;
    for (const UplinkRecord& u : ups) {
      EXPECT_EQ(u.status, "ok") << u.line();
      EXPECT_GT(u.fcnt, last) << "a counter sent again: " << u.line();
      last = u.fcnt;
    }
    expect_answers_with(r, {{"AT+NJM=?", "AT+NJM=0"},
                            {"AT+NJS=?", "AT+NJS=1"},
                            {"AT+DEVADDR=?", "AT+DEVADDR=26011234"},
                            {"AT+APPSKEY=?", "AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"}});
    if (testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(tally.cut, 0);
  EXPECT_GE(completed, 1) << "a cut past the last operation is no cut";
  std::printf(
      "%s ABP uplink with a downlink: %llu flash operations, %d cut points, %d cut, "
      "%d past the saves\n",
      m.image, static_cast<unsigned long long>(ops), tally.points, tally.cut, tally.not_reached);
}

// OTAA: a module that has joined once joins again. Its save: the DevNonce of
// the request, stored before the request goes out. The cut falls in it (or
// the module starts again while the request is on the air); after the
// restart the module joins once more.
void otaa_sweep(const Module& m, const CopyOps& copy) {
  std::vector<uint8_t> base;
  uint16_t first_nonce = 0;
  auto join = [](CutRun& r) {
    r.d->write(r.at_port, "AT+JOIN=1:0:10:8\r\n");
    r.w.run_for(sec(10));
  };
  {
    CutRun r(otaa_entry(), {}, "", m);
    ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
    ASSERT_TRUE(r.at("AT+DEVEUI=0202020202020202"));
    ASSERT_TRUE(r.at("AT+APPEUI=0101010101010101"));
    ASSERT_TRUE(r.at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
    ASSERT_TRUE(r.at("AT+JOIN=1:0:10:8"));
    ASSERT_TRUE(r.d->wait_line(r.at_port, "+EVT:JOINED", sec(15)));
    ASSERT_TRUE(r.d->quiet(r.at_port, sec(1)));
    ASSERT_EQ(r.uplinks().size(), 1u);
    first_nonce = r.uplinks()[0].dev_nonce;
    base = r.d->flash();
  }
  const uint64_t ops = operations(m, otaa_entry(), base, join);
  ASSERT_EQ(ops, 2 * copy.ops) << "the DevNonce, in the MAC block's two copies";
  Tally tally;
  for (const std::string& cut : cut_points(ops / copy.ops, copy)) {
    SCOPED_TRACE("supply lost at flash operation " + cut);
    CutRun r(otaa_entry(), base, cut, m);
    ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
    ++tally.points;
    join(r);
    if (!r.restarted()) {
      ++tally.not_reached;
      EXPECT_NE(r.d->output(r.at_port).find("+EVT:JOINED"), std::string::npos);
    } else {
      ++tally.cut;
      // Without a word but the join command, the module joins with a
      // fresh nonce.
      r.d->take(r.at_port);
      EXPECT_TRUE(r.at("AT+JOIN=1:0:10:8"));
      EXPECT_TRUE(r.d->wait_line(r.at_port, "+EVT:JOINED", sec(15)));
    }
    std::vector<UplinkRecord> ups = r.uplinks();
    EXPECT_GE(ups.size(), 1u);
    uint16_t last = first_nonce;
    for (const UplinkRecord& u : ups) {
      EXPECT_EQ(u.mtype, MType::kJoinRequest) << u.line();
      EXPECT_EQ(u.status, "ok") << u.line();
      EXPECT_GT(u.dev_nonce, last) << "a DevNonce sent again: " << u.line();
      last = u.dev_nonce;
    }
    expect_answers_with(r, {{"AT+NJM=?", "AT+NJM=1"},
                            {"AT+NJS=?", "AT+NJS=1"},
                            {"AT+DEVEUI=?", "AT+DEVEUI=0202020202020202"},
                            {"AT+APPKEY=?", "AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"}});
    if (testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(tally.cut, 0);
  EXPECT_GT(tally.not_reached, 0) << "a cut past the last operation is no cut";
  std::printf("%s OTAA join: %llu flash operations, %d cut points, %d cut, %d past the save\n",
              m.image, static_cast<unsigned long long>(ops), tally.points, tally.cut,
              tally.not_reached);
}

// A restart while a frame is on the air ends the frame there: the radio
// loses its supply with the chip. The network never takes the join request
// the module was sending, and the next join goes out with a nonce of its own.
TEST(PowerCut, ARestartEndsTheFrameOnTheAir) {
  CutRun r(otaa_entry(), {}, "");
  ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
  ASSERT_TRUE(r.at("AT+DEVEUI=0202020202020202"));
  ASSERT_TRUE(r.at("AT+APPEUI=0101010101010101"));
  ASSERT_TRUE(r.at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
  const size_t frames_before = r.w.frames().size();
  ASSERT_TRUE(r.at("AT+JOIN=1:0:10:8"));
  ASSERT_TRUE(r.w.run_until([&] { return r.w.frames().size() > frames_before; }, sec(2)));
  const sim::world::FrameRecord sent = r.w.frames().back();
  r.d->write(r.at_port, "ATZ\r\n");
  ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
  const systest::time_us restarted = r.w.now();
  ASSERT_LT(restarted, sent.frame.end_us) << "the restart came after the frame's end";
  r.w.run_for(sec(8));
  EXPECT_TRUE(r.uplinks().empty()) << r.uplinks().front().line();
  // The world heard the frame end early.
  bool cut = false;
  for (const sim::world::FrameRecord& f : r.w.frames())
    cut = cut || (f.frame.cut && f.frame.start_us == sent.frame.start_us &&
                  f.frame.end_us < sent.frame.end_us);
  EXPECT_TRUE(cut);
  ASSERT_TRUE(r.at("AT+JOIN=1:0:10:8"));
  ASSERT_TRUE(r.d->wait_line(r.at_port, "+EVT:JOINED", sec(15)));
  ASSERT_EQ(r.uplinks().size(), 1u);
  EXPECT_GT(r.uplinks()[0].dev_nonce, 1) << "the nonce of the cut request is not used again";
}

// The ABP module of the sweeps above, provisioned and with one uplink sent.
std::vector<uint8_t> provisioned_abp_flash(const Module& m, uint32_t* fcnt) {
  CutRun r(abp_entry(), {}, "", m);
  EXPECT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
  EXPECT_TRUE(r.at("AT+DEVADDR=26011234"));
  EXPECT_TRUE(r.at("AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"));
  EXPECT_TRUE(r.at("AT+APPSKEY=0F1E2D3C4B5A69788796A5B4C3D2E1F0"));
  EXPECT_TRUE(r.at("AT+NJM=0"));
  EXPECT_TRUE(r.at("AT+SEND=5:01"));
  EXPECT_TRUE(r.d->wait_line(r.at_port, "+EVT:TX_DONE", sec(10)));
  EXPECT_TRUE(r.d->quiet(r.at_port, sec(1)));
  EXPECT_EQ(r.uplinks().size(), 1u);
  *fcnt = r.uplinks().empty() ? 0 : r.uplinks()[0].fcnt;
  return r.d->flash();
}

// A settings write (AT+DR=3) and the factory copy (AT+FACTORY) of a
// provisioned ABP module, cut at each of their flash operations: the module
// stays the ABP module it was (never an unprovisioned OTAA one), the
// setting is the old or the new one, and its next uplinks carry counters the
// network has not seen. After AT+FACTORY the factory copy the module falls
// back to (ATR) is the old one (none: the defaults) or the new one.
void settings_sweep(const Module& m, const CopyOps& copy, bool factory_copies) {
  uint32_t first_fcnt = 0;
  const std::vector<uint8_t> base = provisioned_abp_flash(m, &first_fcnt);
  ASSERT_FALSE(testing::Test::HasFailure());
  struct Save {
    const char* command;
    const char* query;
    std::vector<std::string> held;  // old, new
  };
  const Save saves[] = {
      {"AT+DR=3", "AT+DR=?", {"AT+DR=0", "AT+DR=3"}},
      {"AT+FACTORY", nullptr, {}},  // judged by ATR below
  };
  for (const Save& save : saves) {
    if (save.query == nullptr && !factory_copies) continue;
    SCOPED_TRACE(save.command);
    auto run = [&](CutRun& r) {
      r.d->write(r.at_port, std::string(save.command) + "\r\n");
      r.w.run_for(sec(1));
    };
    const uint64_t ops = operations(m, abp_entry(), base, run);
    ASSERT_EQ(ops, 2 * copy.ops) << "the record's two copies";
    Tally tally;
    int old_held = 0, new_held = 0;
    for (const std::string& cut : cut_points(ops / copy.ops, copy)) {
      // Only cuts inside the save: one past it would fall in the uplink's.
      if (std::stoull(cut) >= 2 * copy.cuts) continue;
      SCOPED_TRACE("supply lost at flash operation " + cut);
      CutRun r(abp_entry(), base, cut, m);
      ASSERT_TRUE(r.d->wait_line(r.at_port, kBanner, sec(2)));
      ++tally.points;
      run(r);
      (r.restarted() ? tally.cut : tally.not_reached)++;
      r.d->take(r.at_port);
      expect_answers_with(r, {{"AT+NJM=?", "AT+NJM=0"},
                              {"AT+NJS=?", "AT+NJS=1"},
                              {"AT+DEVADDR=?", "AT+DEVADDR=26011234"},
                              {"AT+NWKSKEY=?", "AT+NWKSKEY=112233445566778899AABBCCDDEEFF00"}});
      if (save.query != nullptr) {
        r.d->write(r.at_port, std::string(save.query) + "\r\n");
        std::optional<std::string> held = r.d->next_line(r.at_port, sec(2));
        ASSERT_TRUE(held);
        EXPECT_TRUE(std::find(save.held.begin(), save.held.end(), *held) != save.held.end())
            << *held;
        (*held == save.held.front() ? old_held : new_held)++;
        EXPECT_TRUE(r.d->wait_line(r.at_port, "OK", sec(2)));
      }
      EXPECT_TRUE(r.at("AT+SEND=5:03"));
      EXPECT_TRUE(r.d->wait_line(r.at_port, "+EVT:TX_DONE", sec(10)));
      r.w.run_for(sec(1));
      for (const UplinkRecord& u : r.uplinks()) {
        EXPECT_EQ(u.status, "ok") << u.line();
        EXPECT_GT(u.fcnt, first_fcnt) << "a counter sent again: " << u.line();
      }
      if (std::string(save.command) == "AT+FACTORY") {
        // The factory copy is the module's own record or none at all.
        EXPECT_TRUE(r.at("ATR", kBanner));
        r.d->write(r.at_port, "AT+DEVADDR=?\r\n");
        std::optional<std::string> addr = r.d->next_line(r.at_port, sec(2));
        ASSERT_TRUE(addr);
        EXPECT_TRUE(*addr == "AT+DEVADDR=26011234" || *addr == "AT+DEVADDR=00000000") << *addr;
        (*addr == "AT+DEVADDR=26011234" ? new_held : old_held)++;
      }
      if (testing::Test::HasFatalFailure()) return;
    }
    EXPECT_EQ(tally.cut, tally.points);
    EXPECT_GT(old_held, 0);
    EXPECT_GT(new_held, 0);
    std::printf("%s %s: %llu flash operations, %d cut points, all cut; old %d, new %d\n", m.image,
                save.command, static_cast<unsigned long long>(ops), tally.points, old_held,
                new_held);
  }
}

// The record's two copies on a Brisola-T: per copy an erase, its 660 bytes
// as double words, the two double words of the trailer.
constexpr uint64_t kRecordCopyOps = 1 + (660 + 7) / 8 + 2;

// Tarnelka keeps the record and the MAC block in one page and writes them
// together, in two copies: per copy one page erase, the record, the bytes up
// to the MAC block and the MAC block (3324 bytes, padded to 3328) as words in
// program runs of 256 bytes, and the four words of the trailer in one more.
constexpr CopyOps kTarnelkaCopy{1 + 3328 / 4 + 4, 1 + (3328 + 255) / 256 + 1};

TEST(PowerCut, AbpUplinksNeverRepeatACounter) { abp_sweep(kBrisolaT, {kMacCopyOps, kMacCopyOps}); }
TEST(PowerCut, OtaaJoinsNeverRepeatADevNonce) { otaa_sweep(kBrisolaT, {kMacCopyOps, kMacCopyOps}); }
TEST(PowerCut, SettingsAndFactoryCopyWritesKeepTheSession) {
  settings_sweep(kBrisolaT, {kRecordCopyOps, kRecordCopyOps}, true);
}

// Tarnelka: one cut loses neither its settings nor its session.
TEST(PowerCut, TarnelkaAbpUplinksNeverRepeatACounter) { abp_sweep(kTarnelka, kTarnelkaCopy); }
TEST(PowerCut, TarnelkaOtaaJoinsNeverRepeatADevNonce) { otaa_sweep(kTarnelka, kTarnelkaCopy); }
TEST(PowerCut, TarnelkaSettingsWriteKeepsTheSession) {
  settings_sweep(kTarnelka, kTarnelkaCopy, false);
}

}  // namespace

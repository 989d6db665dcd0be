// Where the four STM32WLE5 images differ in their LoRaWAN and LoRa
// commands: the Brisola modules read a band strap that decides their
// default band, the bands they take and the point-to-point frequencies they
// take; QuenlarLP-SiP and Saffrond have no strap and are high-band modules
// that take every band; and only the Brisola modules have AT+SYMBOLTIMEOUT.
// Every other LoRa command is the same in all four.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
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

struct Module {
  const char* image;
  bool strap;           // reads the band strap PB12
  bool symbol_timeout;  // has AT+SYMBOLTIMEOUT
};
const Module kModules[] = {
    {"brisola-t", true, true},
    {"brisola-e", true, true},
    {"quenlarlp-sip", false, false},
    {"saffrond", false, false},
};

// The LoRa rows every LoRa image lists, in listing order (AT+SYMBOLTIMEOUT
// apart).
const char* const kLoRaRows[] = {
    "AT+APPEUI",
    "AT+APPKEY",
    "AT+APPSKEY",
    "AT+DEVADDR",
    "AT+DEVEUI",
    "AT+NETID",
    "AT+NWKSKEY",
    "AT+MCROOTKEY",
    "AT+CFM",
    "AT+CFS",
    "AT+JOIN",
    "AT+NJM",
    "AT+NJS",
    "AT+RECV",
    "AT+SEND",
    "AT+LPSEND",
    "AT+RETY",
    "AT+ADR",
    "AT+CLASS",
    "AT+DCS",
    "AT+DR",
    "AT+JN1DL",
    "AT+JN2DL",
    "AT+PNM",
    "AT+RX1DL",
    "AT+RX2DL",
    "AT+RX2DR",
    "AT+RX2FQ",
    "AT+TXP",
    "AT+LINKCHECK",
    "AT+TIMEREQ",
    "AT+LBT",
    "AT+LBTRSSI",
    "AT+LBTSCANTIME",
    "AT+RSSI",
    "AT+ARSSI",
    "AT+SNR",
    "AT+MASK",
    "AT+CHE",
    "AT+CHS",
    "AT+BAND",
    "AT+ADDMULC",
    "AT+RMVMULC",
    "AT+LSTMULC",
    "AT+TRSSI",
    "AT+TTONE",
    "AT+TTX",
    "AT+TRX",
    "AT+TCONF",
    "AT+TTH",
    "AT+TRTH",
    "AT+TOFF",
    "AT+CERTIF",
    "AT+CW",
    "AT+NWM",
    "AT+PFREQ",
    "AT+PSF",
    "AT+PBW",
    "AT+PCR",
    "AT+PPL",
    "AT+PTP",
    "AT+PSEND",
    "AT+PRECV",
    "AT+ENCRY",
    "AT+CAD",
    "AT+ENCKEY",
    "AT+CRYPIV",
    "AT+P2P",
    "AT+PBR",
    "AT+PFDEV",
    "AT+IQINVER",
    "AT+SYNCWORD",
    "AT+RFFREQUENCY",
    "AT+TXOUTPUTPOWER",
    "AT+BANDWIDTH",
    "AT+SPREADINGFACTOR",
    "AT+CODINGRATE",
    "AT+PREAMBLELENGTH",
    "AT+FIXLENGTHPAYLOAD",
};

class LoRaImages : public ::testing::Test {
 protected:
  systest::Device& start(const Module& m, int strap) {
    systest::DeviceOptions o;
    o.image = m.image;
    o.pins = {{"PB12", strap}};
    d_ = &w_.start(std::string(m.image) + std::to_string(strap), o);
    return *d_;
  }

  void network(RegionId region) {
    gw_.reset();
    ns_ = std::make_unique<NetworkServer>(region);
    gw_ = std::make_unique<Gateway>(*ns_, w_.master());
  }

  // One command and exactly its reply: the error word, "OK", or a query's
  // line and "OK".
  testing::AssertionResult at(const std::string& command, const std::string& reply = "OK") {
    d_->write(kAt, command + "\r\n");
    std::vector<std::string> lines = {reply};
    if (reply != "OK" && reply.rfind("AT_", 0) != 0) lines.push_back("OK");
    return d_->expect_lines(kAt, lines, sec(3));
  }

  // The row names of the help listing, in order.
  std::vector<std::string> listing() {
    d_->write(kAt, "AT?\r\n");
    std::vector<std::string> names;
    for (;;) {
      std::optional<std::string> line = d_->next_line(kAt, sec(2));
      if (!line) {
        ADD_FAILURE() << "the listing did not end";
        return names;
      }
      if (*line == "OK") return names;
      const size_t comma = line->find(',');
      if (line->rfind("AT", 0) == 0 && comma != std::string::npos && line->find(':') > comma) {
        names.push_back(line->substr(0, comma));
      }
    }
  }

  systest::World w_;
  std::unique_ptr<NetworkServer> ns_;
  std::unique_ptr<Gateway> gw_;
  systest::Device* d_ = nullptr;
};

// The rows of the help listing: the LoRa rows of every image in the same
// order, AT+SYMBOLTIMEOUT only where the image has it (a command the image
// lacks is not found when typed).
TEST_F(LoRaImages, LoRaRowsArePresentOrAbsentByImage) {
  std::map<std::string, std::vector<std::string>> lora_rows;
  for (const Module& m : kModules) {
    SCOPED_TRACE(m.image);
    start(m, 1);
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
    const std::vector<std::string> names = listing();
    // Every LoRa row, in this order.
    auto at_row = names.begin();
    for (const char* row : kLoRaRows) {
      at_row = std::find(at_row, names.end(), row);
      ASSERT_NE(at_row, names.end()) << row << " missing or out of order";
    }
    const auto symbol_timeout = std::find(names.begin(), names.end(), "AT+SYMBOLTIMEOUT");
    EXPECT_EQ(symbol_timeout != names.end(), m.symbol_timeout);
    if (m.symbol_timeout) {
      ASSERT_NE(symbol_timeout, names.end());
      EXPECT_EQ(*(symbol_timeout + 1), "AT+FIXLENGTHPAYLOAD");
    }
    // The LoRa part of the listing, from its first row to its last.
    auto first = std::find(names.begin(), names.end(), kLoRaRows[0]);
    auto last = std::find(names.begin(), names.end(), "AT+FIXLENGTHPAYLOAD");
    std::vector<std::string> part(first, last + 1);
    part.erase(std::remove(part.begin(), part.end(), "AT+SYMBOLTIMEOUT"), part.end());
    lora_rows[m.image] = part;

    ASSERT_TRUE(at("AT+NWM=0"));
    ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(5)));
    if (m.symbol_timeout) {
      EXPECT_TRUE(at("AT+SYMBOLTIMEOUT=7"));
      EXPECT_TRUE(at("AT+SYMBOLTIMEOUT=?", "AT+SYMBOLTIMEOUT=7"));
    } else {
      EXPECT_TRUE(at("AT+SYMBOLTIMEOUT=7", "AT_COMMAND_NOT_FOUND"));
      EXPECT_TRUE(at("AT+SYMBOLTIMEOUT=?", "AT_COMMAND_NOT_FOUND"));
    }
    d_->kill();
  }
  // Apart from AT+SYMBOLTIMEOUT the four list the same LoRa rows (class B
  // and every other row alike).
  for (const Module& m : kModules) {
    EXPECT_EQ(lora_rows[m.image], lora_rows["brisola-t"]) << m.image;
  }
}

// The band: a Brisola module starts on the band its strap gives (EU868 on a
// high-band module, CN470 on a low-band one) and takes only the bands of
// its hardware; QuenlarLP-SiP and Saffrond start on EU868 whatever PB12 is
// and take every band. The default band is the one the module joins in,
// from its first start.
TEST_F(LoRaImages, BandFollowsTheStrapOnlyWhereThereIsOne) {
  struct BandRow {
    const char* index;  // AT+BAND
    bool high;          // a high-band Brisola takes it
    bool low;           // a low-band Brisola takes it
  };
  const BandRow rows[] = {
      {"0", false, true},   // EU433
      {"1", false, true},   // CN470
      {"4", true, false},   // EU868
      {"5", true, false},   // US915
      {"10", true, false},  // AS923-3
  };
  for (const Module& m : kModules) {
    for (int strap : {0, 1}) {
      SCOPED_TRACE(std::string(m.image) + " PB12=" + std::to_string(strap));
      const bool high = !m.strap || strap == 1;
      start(m, strap);
      ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
      const std::string home = high ? "4" : "1";
      ASSERT_TRUE(at("AT+BAND=?", "AT+BAND=" + home));
      // The stored data rate 0 is below CN470's lowest; that band's default
      // takes its place.
      ASSERT_TRUE(at("AT+DR=?", high ? "AT+DR=0" : "AT+DR=1"));

      network(high ? RegionId::kEU868 : RegionId::kCN470_20A);
      DeviceEntry e;
      e.name = d_->name();
      e.dev_eui = 0x0202020202020202ull;
      e.join_eui = 0x0101010101010101ull;
      e.app_key = kAppKey;
      ns_->add_device(e);
      ASSERT_TRUE(at("AT+DEVEUI=0202020202020202"));
      ASSERT_TRUE(at("AT+APPEUI=0101010101010101"));
      ASSERT_TRUE(at("AT+APPKEY=2B7E151628AED2A6ABF7158809CF4F3C"));
      ASSERT_TRUE(at("AT+JOIN=1:0:10:8"));
      ASSERT_TRUE(d_->wait_line(kAt, "+EVT:JOINED", sec(60)));
      ASSERT_FALSE(ns_->uplinks().empty());
      const uint32_t f = ns_->uplinks().front().meta.freq;
      if (high) {
        EXPECT_TRUE(f >= 868000000u && f <= 868600000u) << f;
      } else {
        EXPECT_TRUE(f >= 470000000u && f <= 510000000u) << f;
      }
      ASSERT_TRUE(d_->quiet(kAt, sec(2)));

      // The bands of the other hardware are refused and change nothing.
      for (const BandRow& r : rows) {
        const bool taken = !m.strap || (high ? r.high : r.low);
        if (taken) continue;
        EXPECT_TRUE(at(std::string("AT+BAND=") + r.index, "AT_UNSUPPORTED_BAND")) << r.index;
        EXPECT_TRUE(at("AT+BAND=?", "AT+BAND=" + home));
      }
      for (const BandRow& r : rows) {
        const bool taken = !m.strap || (high ? r.high : r.low);
        if (!taken) continue;
        EXPECT_TRUE(at(std::string("AT+BAND=") + r.index)) << r.index;
        EXPECT_TRUE(at("AT+BAND=?", std::string("AT+BAND=") + r.index));
      }
      d_->kill();
    }
  }
}

// Point-to-point frequencies: a Brisola module takes only those of its
// hardware's band (above 600 MHz on a high-band module, up to 600 MHz on a
// low-band one); the two without a strap take the radio's whole range.
TEST_F(LoRaImages, PointToPointFrequenciesFollowTheStrap) {
  struct FreqRow {
    uint32_t hz;
    bool high;  // a high-band Brisola takes it
    bool low;   // a low-band Brisola takes it
  };
  const FreqRow rows[] = {
      {433000000, false, true},
      {600000000, false, true},
      {600000001, true, false},
      {868000000, true, false},
  };
  for (const Module& m : kModules) {
    for (int strap : {0, 1}) {
      SCOPED_TRACE(std::string(m.image) + " PB12=" + std::to_string(strap));
      const bool high = !m.strap || strap == 1;
      start(m, strap);
      ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRaWAN.", sec(2)));
      ASSERT_TRUE(at("AT+NWM=0"));
      ASSERT_TRUE(d_->wait_line(kAt, "Current Work Mode: LoRa P2P.", sec(5)));
      std::string stored = high ? "868000000" : "470000000";
      ASSERT_TRUE(at("AT+PFREQ=?", "AT+PFREQ=" + stored));
      for (const FreqRow& r : rows) {
        const std::string hz = std::to_string(r.hz);
        SCOPED_TRACE(hz);
        const bool taken = !m.strap || (high ? r.high : r.low);
        EXPECT_TRUE(at("AT+PFREQ=" + hz, taken ? "OK" : "AT_PARAM_ERROR"));
        if (taken) stored = hz;
        EXPECT_TRUE(at("AT+PFREQ=?", "AT+PFREQ=" + stored));
      }
      d_->kill();
    }
  }
}

}  // namespace

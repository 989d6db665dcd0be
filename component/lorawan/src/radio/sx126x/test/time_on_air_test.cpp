// Time on air: Radio.TimeOnAir (whole ms, rounded up) and the length of the
// frame the driver puts on the air (us) against the chip data sheet's
// formulas, written here in their own form:
//   LoRa: Nsymbol = Npreamble + 4.25 (6.25 for SF5/SF6) + 8
//                   + ceil(max(8 PL + 16 CRC - 4 SF + 8 (SF > 6) + 20 H, 0) / (4 (SF - 2 DE))) x (CR + 4)
//         T = Nsymbol x 2^SF / BW
//   FSK:  T = (preamble + sync + length byte + payload + CRC bits) / bit rate
#include <cmath>

#include "radio_env.h"

namespace radio_test {
namespace {

struct Bw {
  uint8_t code;
  uint64_t exact_num, exact_den;  // the chip's filter: num / den Hz
  uint32_t driver_hz;             // as the driver counts it for TimeOnAir
};

const Bw kBandwidths[] = {
    {4, 125000, 1, 125000}, {5, 250000, 1, 250000}, {6, 500000, 1, 500000},
    {0, 15625, 2, 7812},    {8, 31250, 3, 10417},   {3, 62500, 1, 62500},
};

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Quarter symbols of a LoRa frame (exact, integer).
int64_t lora_quarter_symbols(int sf, int cr, int preamble, bool implicit, bool crc, bool ldro,
                             int len) {
  if ((sf == 5 || sf == 6) && preamble < 12) preamble = 12;
  const int64_t fixed_q =
      4 * preamble + (sf <= 6 ? 25 : 17) + 32;  // preamble + 4.25/6.25 + 8 symbols
  int64_t num = 8 * len + (crc ? 16 : 0) - 4 * sf + (sf > 6 ? 8 : 0) + (implicit ? 0 : 20);
  if (num < 0) num = 0;
  const int64_t den = 4 * (sf - (ldro ? 2 : 0));
  const int64_t payload_symbols = ((num + den - 1) / den) * (cr + 4);
  return fixed_q + 4 * payload_symbols;
}

bool driver_ldro(uint8_t code, int sf) {
  return (code == 4 && sf >= 11) || (code == 5 && sf == 12);
}

TEST_F(RadioTest, LoraTimeOnAirMatchesTheDataSheetForTheTable) {
  int checked = 0;
  for (const Bw& bw : kBandwidths) {
    for (int sf = 5; sf <= 12; ++sf) {
      for (int cr = 1; cr <= 4; ++cr) {
        for (bool implicit : {false, true}) {
          for (bool crc : {false, true}) {
            for (int len : {0, 1, 10, 51, 127, 222, 255}) {
              for (int preamble : {6, 8, 16}) {
                const int64_t q = lora_quarter_symbols(sf, cr, preamble, implicit, crc,
                                                       driver_ldro(bw.code, sf), len);
                // ms rounded up: q/4 x 2^SF / BW x 1000
                const uint32_t expect = static_cast<uint32_t>(ceil_div(
                    static_cast<uint64_t>(q) * (uint64_t{1} << sf) * 1000, 4ull * bw.driver_hz));
                EXPECT_EQ(Radio.TimeOnAir(MODEM_LORA, bw_index_of(bw.code), sf,
                                          static_cast<uint8_t>(cr), static_cast<uint16_t>(preamble),
                                          implicit, static_cast<uint8_t>(len), crc),
                          expect)
                    << "SF" << sf << " bw " << bw.driver_hz << " CR4/" << cr + 4 << " implicit "
                    << implicit << " crc " << crc << " len " << len << " preamble " << preamble;
                ++checked;
              }
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(checked, 6 * 8 * 4 * 2 * 2 * 7 * 3);
  // The worked example: SF7, 125 kHz, CR 4/5, preamble 8, explicit, 10 bytes, CRC: 42 ms.
  EXPECT_EQ(Radio.TimeOnAir(MODEM_LORA, 0, 7, 1, 8, false, 10, true), 42u);
  // Long P2P preambles at SF12 do not overflow.
  const int64_t long_q = lora_quarter_symbols(12, 1, 65535, false, false, true, 0);
  EXPECT_EQ(Radio.TimeOnAir(MODEM_LORA, 0, 12, 1, 65535, false, 0, false),
            ceil_div(static_cast<uint64_t>(long_q) * 4096 * 1000, 4ull * 125000));
  EXPECT_EQ(Radio.TimeOnAir(MODEM_LORA, 0, 13, 1, 8, false, 10, true), 0u)
      << "no such spreading factor";
}

TEST_F(RadioTest, FskTimeOnAirMatchesTheDataSheet) {
  for (uint32_t br : {600u, 4800u, 9600u, 50000u, 100000u, 250000u}) {
    for (bool fix : {false, true}) {
      for (bool crc : {false, true}) {
        for (int len : {0, 1, 64, 255}) {
          for (int preamble : {3, 5, 16}) {
            const uint64_t bits =
                8ull * preamble + (fix ? 0 : 8) + 24 + 8ull * len + (crc ? 16 : 0);
            const uint32_t expect = static_cast<uint32_t>(ceil_div(bits * 1000, br));
            EXPECT_EQ(Radio.TimeOnAir(MODEM_FSK, 0, br, 0, static_cast<uint16_t>(preamble), fix,
                                      static_cast<uint8_t>(len), crc),
                      expect)
                << br << " " << fix << " " << crc << " " << len << " " << preamble;
          }
        }
      }
    }
  }
  EXPECT_EQ(Radio.TimeOnAir(MODEM_FSK, 0, 50000, 0, 5, false, 10, true), 4u);
}

TEST_F(RadioTest, FramesOnTheAirLastTheirDataSheetTime) {
  // One frame per row; the air's frame length (us, rounded up) against the
  // formula with the chip's exact bandwidths.
  struct Row {
    int sf;
    const Bw* bw;
    int cr;
    bool implicit;
    bool crc;
    int len;
  };
  std::vector<Row> rows;
  int i = 0;
  for (const Bw& bw : kBandwidths) {
    for (int sf = 5; sf <= 12; ++sf) {
      for (int len : {0, 13, 255}) {
        rows.push_back({sf, &bw, 1 + (i % 4), (i % 3) == 0, (i % 2) == 0, len});
        ++i;
      }
    }
  }
  Bytes payload(255);
  for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(k);
  for (const Row& r : rows) {
    frames_.clear();
    log().clear();
    Radio.SetChannel(868100000);
    Radio.SetTxConfig(MODEM_LORA, 14, 0, bw_index_of(r.bw->code), r.sf, static_cast<uint8_t>(r.cr),
                      8, r.implicit, r.crc, false, 0, false, 4000000);
    Radio.Send(payload.data(), static_cast<uint8_t>(r.len));
    ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 4000000000ull));
    ASSERT_EQ(frames_.size(), 1u);
    const AirFrame& f = frames_[0];
    const int64_t q = lora_quarter_symbols(r.sf, r.cr, 8, r.implicit, r.crc,
                                           driver_ldro(r.bw->code, r.sf), r.len);
    const uint64_t expect_us =
        ceil_div(static_cast<uint64_t>(q) * (uint64_t{1} << r.sf) * r.bw->exact_den * 1000000,
                 4 * r.bw->exact_num);
    EXPECT_EQ(f.end_us - f.start_us, expect_us)
        << "SF" << r.sf << " bw " << r.bw->driver_hz << " CR " << r.cr << " implicit " << r.implicit
        << " len " << r.len;
    EXPECT_EQ(f.len, r.len);
    EXPECT_EQ(f.preamble_len, (r.sf <= 6) ? 12 : 8);
    // The TX done interrupt comes when the frame has left.
    EXPECT_GE(log().times[0], f.end_us);
  }

  // FSK: bits / the chip's exact bit rate (32 x 32 MHz / its register).
  for (uint32_t br : {4800u, 50000u, 100000u}) {
    for (int len : {0, 200}) {
      frames_.clear();
      log().clear();
      Radio.SetTxConfig(MODEM_FSK, 14, 25000, 50000, br, 0, 5, false, true, false, 0, false,
                        4000000);
      Radio.Send(payload.data(), static_cast<uint8_t>(len));
      ASSERT_TRUE(run_until([] { return log().count("TxDone") == 1; }, 10000000));
      const AirFrame& f = frames_.at(0);
      // One bit lasts (1024000000 / br, truncated as the chip's register) / 1024000000 s.
      const uint64_t reg = 1024000000ull / br;
      const uint64_t bits = 8ull * 5 + 24 + 8 + 8ull * len + 16;
      EXPECT_EQ(f.end_us - f.start_us, ceil_div(bits * reg * 1000000, 1024000000ull))
          << br << " " << len;
    }
  }
}

}  // namespace
}  // namespace radio_test

// Battery and supply voltage ("AT+BAT", "AT+SYSV") from set analogue
// inputs, on each STM32WLE5 image with its own battery formula:
//   Brisola-T, Saffrond  divider on PB3 (10 bits): raw / 1024 x 3.3 x 5 / 3
//   Brisola-E            PB3 against the calibration table
//   QuenlarLP-SiP        the internal reference read at 12 bits:
//                        1.27 / (raw / 4095) x 0.974 - 0.065
//   every image, supply  the MCU's battery channel (divided by 3 inside the
//                        MCU, multiplied by 3 again): raw x 3.3 / 1024
// The ADC runs at 10 bits with the 3.3 V reference mode from the start.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "commands.h"

namespace {

using namespace fdn;
using systest::Device;
using systest::DeviceOptions;
using systest::World;

constexpr double kRef = 3.3;         // reference of the 3.3 V mode
constexpr double kTolerance = 2e-6;  // "%f" keeps six decimals

// The calibration table of the Brisola-E board: (volts, ADC threshold).
const std::pair<double, uint32_t> kBattTable[] = {
    {3.0, 491}, {3.1, 492}, {3.2, 494}, {3.3, 495}, {3.4, 496}, {3.5, 504}, {3.6, 516},
    {3.7, 525}, {3.8, 534}, {3.9, 543}, {4.0, 551}, {4.1, 560}, {4.2, 567},
};

double table_volts(uint32_t raw) {
  for (const auto& [volts, threshold] : kBattTable)
    if (threshold > raw) return volts;
  return std::end(kBattTable)[-1].first;
}

double divider_volts(uint32_t raw) { return raw / 1024.0 * kRef * 5.0 / 3.0; }

double reference_volts(uint32_t raw) { return 1.27 / (raw / 4095.0) * 0.974 - 0.065; }

double supply_volts(uint32_t vbat_mv) {
  uint32_t raw = 3 * cmd::adc_code(vbat_mv / 3, 10);
  return raw * kRef / 1024.0;
}

struct Reading {
  std::string command;  // "AT+BAT" or "AT+SYSV"
  double volts;
};

// Starts `img` with the inputs and reads each command once, in order.
void expect_readings(const Image& img, const std::vector<std::pair<std::string, uint32_t>>& adcs,
                     const std::vector<Reading>& readings) {
  std::string inputs;
  for (auto& [channel, mv] : adcs) inputs += " " + channel + "=" + std::to_string(mv) + " mV";
  SCOPED_TRACE(std::string(img.name) + inputs);
  World w;
  DeviceOptions o;
  o.initial_flash = cmd::stored_defaults(img);
  o.adcs = adcs;
  Device& d = start_module(w, "m", img, o);
  for (const Reading& r : readings) {
    d.write(kAtPort, r.command + "=?\r\n");
    std::string reply = collect(d, kAtPort);
    double got = cmd::volts_of(reply, r.command);
    EXPECT_FALSE(std::isnan(got)) << printable(reply);
    EXPECT_NEAR(got, r.volts, kTolerance) << r.command << " answered " << printable(reply);
  }
}

TEST(Battery, DividerImagesScaleThePinReading) {
  // From 0 V to past the reference (the converter saturates at its top code).
  const uint32_t inputs[] = {0, 1, 825, 1650, 2000, 3299, 3300, 3600};
  for (const Image* img : {&kBrisolaT, &image_named("saffrond")}) {
    for (uint32_t mv : inputs) {
      expect_readings(
          *img, {{"PB3", mv}, {"VBAT", 3300}},
          {{"AT+BAT", divider_volts(cmd::adc_code(mv, 10))}, {"AT+SYSV", supply_volts(3300)}});
    }
  }
}

// The first row whose threshold is above the reading gives the voltage, the
// last row when none is: readings on and around every threshold.
TEST(Battery, BrisolaEReadsTheCalibrationTable) {
  std::vector<uint32_t> raws = {0, 1023};
  for (const auto& [volts, threshold] : kBattTable) {
    raws.push_back(threshold - 1);
    raws.push_back(threshold);
    raws.push_back(threshold + 1);
  }
  const Image& img = image_named("brisola-e");
  for (uint32_t raw : raws) {
    uint32_t mv = cmd::mv_for_code(raw, 10);
    ASSERT_EQ(cmd::adc_code(mv, 10), raw);
    expect_readings(img, {{"PB3", mv}}, {{"AT+BAT", table_volts(raw)}});
  }
}

// The battery is the supply: the internal reference, read at 12 bits, gives
// it. The converter goes back to 10 bits afterwards, as the supply reading
// that follows shows.
TEST(Battery, QuenlarLpSipReadsTheInternalReference) {
  const Image& img = image_named("quenlarlp-sip");
  for (uint32_t vrefint_mv : {1212u, 1000u, 1500u, 3300u}) {
    uint32_t raw = cmd::adc_code(vrefint_mv, 12);
    expect_readings(img, {{"VREFINT", vrefint_mv}, {"VBAT", 2400}, {"PB3", 3000}},
                    {{"AT+BAT", reference_volts(raw)},
                     {"AT+SYSV", supply_volts(2400)},
                     {"AT+BAT", reference_volts(raw)}});
  }
  // No reading of the reference at all: 0 V rather than a division by zero.
  expect_readings(img, {{"VREFINT", 0}}, {{"AT+BAT", 0.0}});
}

TEST(Battery, EveryImageReadsTheSupplyOnTheBatteryChannel) {
  for (const Image& img : kImages) {
    for (uint32_t vbat_mv : {0u, 1800u, 2999u, 3000u, 3300u, 3600u, 9900u, 12000u}) {
      expect_readings(img, {{"VBAT", vbat_mv}, {"VREFINT", 1212}},
                      {{"AT+SYSV", supply_volts(vbat_mv)}});
    }
  }
}

}  // namespace

// The battery and supply voltages that "AT+BAT=?" and "AT+SYSV=?" report on
// each STM32WLE5 image, from the analogue inputs the module is started with.
// The expected values follow the boards' documented formulas over an ideal
// converter: the nearest step of the input against 3.3 V.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "systest/world.h"

namespace {

using systest::Device;
using systest::World;

constexpr int kAtPort = 2;

double code(uint32_t millivolts, int bits) {
  double full = std::pow(2.0, bits);
  double c = std::floor(millivolts * full / 3300.0 + 0.5);
  return c > full - 1 ? full - 1 : c;
}

// A divider of 3 into the PB3 input, read at 10 bits against 3.3 V.
double divider_battery(uint32_t pb3_mv) { return code(pb3_mv, 10) / 1024.0 * 3.3 * 5.0 / 3.0; }

// The calibration table of the Brisola-E module: the voltage of the first
// row whose threshold is above the reading, else of the last row.
double table_battery(uint32_t pb3_mv) {
  const struct {
    double volts;
    double threshold;
  } rows[] = {{3.0, 491}, {3.1, 492}, {3.2, 494}, {3.3, 495}, {3.4, 496}, {3.5, 504}, {3.6, 516},
              {3.7, 525}, {3.8, 534}, {3.9, 543}, {4.0, 551}, {4.1, 560}, {4.2, 567}};
  double raw = code(pb3_mv, 10);
  for (const auto& r : rows) {
    if (r.threshold > raw) return r.volts;
  }
  return rows[12].volts;
}

// The internal reference read at 12 bits gives the supply of the module.
double vrefint_battery(uint32_t vrefint_mv) {
  return 1.27 / (code(vrefint_mv, 12) / 4095.0) * 0.974 - 0.065;
}

// The battery channel sees a third of the battery; the port reports three
// times the reading.
double supply(uint32_t vbat_mv) { return 3.0 * code(vbat_mv / 3, 10) * 3.3 / 1024.0; }

struct Case {
  const char* image;
  uint32_t pb3_mv, vrefint_mv, vbat_mv;
  std::function<double(const Case&)> battery;
};

// The number of a reply line "<command>=<number>".
bool reply_value(Device& d, const std::string& command, double* value) {
  d.write(kAtPort, command + "=?\r\n");
  std::optional<std::string> line = d.next_line(kAtPort);
  if (!line || line->rfind(command + "=", 0) != 0) {
    ADD_FAILURE() << command << " answered " << line.value_or("nothing");
    return false;
  }
  *value = std::stod(line->substr(command.size() + 1));
  EXPECT_TRUE(d.wait_line(kAtPort, "OK"));
  return true;
}

TEST(Battery, EachImageReportsItsBatteryAndSupplyFromTheInputs) {
  auto by_divider = [](const Case& c) { return divider_battery(c.pb3_mv); };
  auto by_table = [](const Case& c) { return table_battery(c.pb3_mv); };
  auto by_vrefint = [](const Case& c) { return vrefint_battery(c.vrefint_mv); };
  const Case cases[] = {
      {"brisola-t", 1650, 0, 3300, by_divider},  // raw 512: 2.75 V
      {"brisola-t", 2460, 0, 4200, by_divider},     {"saffrond", 1650, 0, 3000, by_divider},
      {"saffrond", 3300, 0, 3600, by_divider},  // a saturated input
      {"brisola-e", 1589, 0, 3300, by_table},   // raw 493: 3.2 V
      {"brisola-e", 1934, 0, 3300, by_table},   // raw 600: beyond the table, 4.2 V
      {"brisola-e", 0, 0, 3300, by_table},      // raw 0: 3.0 V
      {"quenlarlp-sip", 0, 1212, 3300, by_vrefint}, {"quenlarlp-sip", 0, 1450, 2700, by_vrefint},
  };
  World w;
  std::vector<Device*> devices;
  int n = 0;
  for (const Case& c : cases) {
    systest::DeviceOptions o;
    o.image = c.image;
    o.ports = {kAtPort};
    o.pins = {{"PB12", 1}};
    o.adcs = {{"PB3", c.pb3_mv}, {"VREFINT", c.vrefint_mv}, {"VBAT", c.vbat_mv}};
    devices.push_back(&w.start(std::string(c.image) + "-" + std::to_string(n++), o));
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    const Case& c = cases[i];
    Device& d = *devices[i];
    SCOPED_TRACE(d.name());
    ASSERT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
    double battery = 0, system = 0;
    // Twice: a reading leaves the converter as it found it.
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(reply_value(d, "AT+BAT", &battery));
      EXPECT_NEAR(battery, c.battery(c), 1e-5);
      ASSERT_TRUE(reply_value(d, "AT+SYSV", &system));
      EXPECT_NEAR(system, supply(c.vbat_mv), 1e-5);
    }
  }
}

}  // namespace

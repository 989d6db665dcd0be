// A chip declared by its profile and a model registered by itself, as a chip
// stand-in and a device model declare them: pin names and IRQ numbers are the
// chip's own, misuse stops the program, and the registry reaches the model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/host.h"
#include "sim/model.h"
#include "sim/sim.h"

SIM_CHIP(two_port_chip, [] {
  sim::ChipProfile c;
  c.name = "two-port test chip";
  c.irq_count = 48;
  for (int n = 0; n < 32; ++n) c.add_pin("P0." + std::to_string(n));
  for (int n = 0; n < 16; ++n) c.add_pin("P1." + std::to_string(n));
  c.analog = {"VDD"};
  return c;
}());

namespace {

uint32_t g_gain = 1;
int g_resets = 0;

bool set_gain(const char* v, std::string* error) {
  if (std::string(v).empty()) {
    *error = "--test-gain: empty";
    return false;
  }
  g_gain = static_cast<uint32_t>(std::stoul(v));
  return true;
}

}  // namespace

SIM_MODEL(test_sensor, {.name = "test-sensor",
                        .options = {{"--test-gain", "N", "gain of the test sensor.", set_gain}},
                        .on_reset = [] { ++g_resets; },
                        .save =
                            [](sim::StateOut& out) {
                              out.put(g_gain);
                              out.put_string("kept");
                            },
                        .start =
                            [](sim::StateIn* saved) {
                              if (saved) g_gain = saved->get<uint32_t>() + 1000;
                            }});

namespace {

std::vector<std::string> trace;

class Chip : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    trace.clear();
  }
  void TearDown() override { sim::host::reset_core(); }
};

TEST_F(Chip, PinsAndInterruptLinesAreTheChipsOwn) {
  EXPECT_EQ(sim::chip().name, "two-port test chip");
  EXPECT_EQ(sim::irq_count(), 48);
  EXPECT_EQ(sim::pin_count(), 48);
  EXPECT_EQ(sim::pin("P0.31"), 31);
  EXPECT_EQ(sim::pin("P1.3"), 35);
  EXPECT_EQ(sim::host::pin_name(35), "P1.3");
  uint16_t index;
  for (const char* not_a_pin : {"PB12", "P1.16", "P0.", "P0.31 ", ""})
    EXPECT_FALSE(sim::host::parse_pin(not_a_pin, &index)) << not_a_pin;
  sim::pin_set_input(sim::pin("P1.15"), 1);
  EXPECT_EQ(sim::pin_input(47), 1);
  sim::analog_set_mv("VDD", 3000);
  sim::analog_set_mv("P0.2", 1200);  // a pin is an analogue input too
  EXPECT_EQ(sim::analog_mv("VDD"), 3000u);
  EXPECT_EQ(sim::analog_mv("P0.2"), 1200u);
}

// A line or pin the chip does not have is a mistake of the stand-in or the
// test: the program stops and says what the chip has.
TEST_F(Chip, MisuseStopsWithTheReason) {
  struct Case {
    const char* name;
    void (*misuse)();
    const char* says;
  };
  const Case cases[] = {
      {"irq past the count", [] { sim::irq_set_pending(48); }, "IRQs 0 to 47"},
      {"negative irq", [] { sim::irq_enable(-1, true); }, "irq_enable\\(-1\\)"},
      {"exception that is no configurable one", [] { sim::exception_set_pending(3); },
       "not a configurable exception"},
      {"unknown pin name", [] { sim::pin("PB12"); }, "no pin PB12 \\(pins: P0.0 P0.1 .* P1.15\\)"},
      {"pin index past the table", [] { sim::pin_output(48, 1); }, "has no pin 48"},
      {"unknown analogue input", [] { sim::analog_mv("VBAT"); }, "no analogue input VBAT"},
      {"serial port the chip lacks", [] { sim::uart_set_baud(sim::kMaxUart, 9600); },
       "serial port 4"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(c.misuse(), ::testing::ExitedWithCode(sim::kFatalExit), c.says) << c.name;
  }
}

// Exception numbers and IRQ numbers name different lines; between equal
// priorities the chip's lines are taken first, then the exceptions.
TEST_F(Chip, ExceptionsAreApartFromInterruptLines) {
  sim::irq_set_handler(15, [] { trace.push_back("irq15"); });
  sim::irq_set_handler(40, [] { trace.push_back("irq40"); });
  sim::exception_set_handler(sim::kSysTick, [] { trace.push_back("systick"); });
  sim::exception_set_handler(sim::kPendSv, [] { trace.push_back("pendsv"); });
  sim::irq_enable(15, true);
  sim::irq_enable(40, true);
  sim::exception_enable(sim::kSysTick, true);
  sim::exception_enable(sim::kPendSv, true);
  sim::irq_set_priority(40, 3);
  sim::exception_set_priority(sim::kSysTick, 3);
  sim::exception_set_priority(sim::kPendSv, 1);

  sim::exception_set_pending(sim::kSysTick);
  EXPECT_EQ(trace, (std::vector<std::string>{"systick"}));
  EXPECT_FALSE(sim::irq_pending(15));

  trace.clear();
  sim::set_primask(1);
  sim::exception_set_pending(sim::kSysTick);
  sim::irq_set_pending(40);
  sim::exception_set_pending(sim::kPendSv);
  EXPECT_TRUE(sim::exception_pending(sim::kSysTick));
  sim::set_primask(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"pendsv", "irq40", "systick"}));
}

TEST_F(Chip, AModelRegisteredByItselfIsReachedThroughTheRegistry) {
  const sim::Model* found = nullptr;
  for (const sim::Model& m : sim::models())
    if (std::string(m.name) == "test-sensor") found = &m;
  ASSERT_NE(found, nullptr);
  ASSERT_EQ(found->options.size(), 1u);
  std::string error;
  EXPECT_TRUE(found->options[0].set("7", &error));
  EXPECT_FALSE(found->options[0].set("", &error));
  EXPECT_EQ(error, "--test-gain: empty");

  int before = g_resets;
  sim::models_reset();
  EXPECT_EQ(g_resets, before + 1);

  sim::StateOut out;
  found->save(out);
  sim::StateIn in(out.bytes().data(), out.bytes().size());
  found->start(&in);
  EXPECT_EQ(g_gain, 1007u);
  EXPECT_EQ(in.get_string(), "kept");
  EXPECT_TRUE(in.ok());
  in.get<uint32_t>();  // past the end
  EXPECT_FALSE(in.ok());
}

}  // namespace

// The Apollo3 port's SPI master, I2C master, ADC, pads and PWM on the
// simulated chip, judged by what the chip's peripherals were given: the
// IOM clocks of the frequency buckets (effective at the next bring-up), the
// ADC channel each pad is wired to (the data sheet's single-ended inputs),
// pads the chip does not have, and the CTIMER output of each PWM duty.
#include <gtest/gtest.h>

#include <functional>

#include "apollo3_port.h"
#include "apollo3_sim.h"
#include "rtos_sim.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "udrv_powersave.h"
#include "udrv_spimst.h"
#include "udrv_twimst.h"

// What the drivers reach beyond themselves, inert.
volatile bool udrv_powersave_in_sleep;
volatile bool udrv_powersave_early_wakeup;
volatile bool is_mcu_sleeping;
void uhal_mcu_wake_up(void) {}
void apollo3_drain_while_sleeping(void) {}
void uhal_sys_board_critical_section_begin(uint32_t *mask) {
  *mask = __get_PRIMASK();
  __disable_irq();
}
void uhal_sys_board_critical_section_end(uint32_t *mask) { __set_PRIMASK(*mask); }
void assert_callback(uint32_t, const char *, uint32_t) { std::abort(); }
int32_t udrv_system_event_produce(udrv_system_event_t *) { return 0; }

namespace {

std::function<void()> g_body;

void body_task(void *) {
  g_body();
  vTaskEndScheduler();
}

// Runs `body` in a task on a fresh chip and kernel.
void on_chip(std::function<void()> body) {
  rtos_sim::reset();
  sim::host::reset_core();
  apollo3sim::reset_platform();
  apollo3sim::set_isr(ADC_IRQn, am_adc_isr);
  apollo3sim::set_isr(IOMSTR2_IRQn, am_iomaster2_isr);
  g_body = std::move(body);
  xTaskCreate(body_task, "test", 1024, nullptr, 1, nullptr);
  vTaskStartScheduler();
  rtos_sim::reset();
  sim::host::reset_core();
}

// ------------------------------------------------------------------ SPI ---
// A clock takes the bucket at or above it (above 4 MHz: 8 MHz), on the IOM
// of either port, once the port is next brought up: by opening it again or
// by the sleep's suspend and resume.
TEST(Apollo3Spi, AClockTakesItsBucketAtTheNextBringUp) {
  const struct {
    uint32_t asked, iom;
  } buckets[] = {
      {1, 125000},        {125000, 125000},   {125001, 250000},    {250000, 250000},
      {250001, 500000},   {500000, 500000},   {500001, 1000000},   {1000000, 1000000},
      {1000001, 2000000}, {1500000, 2000000}, {2000000, 2000000},  {2000001, 4000000},
      {4000000, 4000000}, {4000001, 8000000}, {24000000, 8000000},
  };
  on_chip([&] {
    for (udrv_spimst_port port : {UDRV_SPIMST_0, UDRV_SPIMST_1}) {
      const int iom = port;  // port 0 is IOM0, port 1 IOM1
      SCOPED_TRACE(iom);
      spimst_driver.SPIMST_INIT(port);
      EXPECT_EQ(apollo3sim::iom_state(iom).clock_hz, 4000000u) << "the default clock";
      for (const auto &b : buckets) {
        SCOPED_TRACE(b.asked);
        spimst_driver.SPIMST_SETUP_FREQ(port, b.asked);
        uint32_t const before = apollo3sim::iom_state(iom).clock_hz;
        spimst_driver.SPIMST_DEINIT(port);
        spimst_driver.SPIMST_INIT(port);
        EXPECT_EQ(apollo3sim::iom_state(iom).clock_hz, b.iom);
        // Set again to the other end of the range: nothing changes until
        // the sleep's suspend and resume bring the port up again.
        spimst_driver.SPIMST_SETUP_FREQ(port, before);
        EXPECT_EQ(apollo3sim::iom_state(iom).clock_hz, b.iom);
        spimst_driver.SPIMST_SUSPEND();
        EXPECT_FALSE(apollo3sim::iom_state(iom).powered);
        spimst_driver.SPIMST_RESUME();
        EXPECT_EQ(apollo3sim::iom_state(iom).clock_hz, before);
        spimst_driver.SPIMST_SETUP_FREQ(port, b.asked);
        spimst_driver.SPIMST_DEINIT(port);
        spimst_driver.SPIMST_INIT(port);
      }
      spimst_driver.SPIMST_DEINIT(port);
      EXPECT_FALSE(apollo3sim::iom_state(iom).initialised);
    }
  });
}

// ------------------------------------------------------------------ I2C ---
TEST(Apollo3I2c, AClockTakesItsBucketAtTheNextInitialisation) {
  const struct {
    uint32_t asked, iom;
  } buckets[] = {
      {1, 100000},      {100000, 100000}, {100001, 250000},  {250000, 250000},
      {250001, 400000}, {400000, 400000}, {1000000, 400000},
  };
  on_chip([&] {
    constexpr int kIom = 2;
    twimst_driver.TWIMST_INIT(UDRV_TWIMST_0);
    EXPECT_EQ(apollo3sim::iom_state(kIom).clock_hz, 400000u) << "the default clock";
    for (const auto &b : buckets) {
      SCOPED_TRACE(b.asked);
      uint32_t const before = apollo3sim::iom_state(kIom).clock_hz;
      twimst_driver.TWIMST_SETUP_FREQ(UDRV_TWIMST_0, b.asked);
      EXPECT_EQ(apollo3sim::iom_state(kIom).clock_hz, before) << "not before the next opening";
      twimst_driver.TWIMST_DEINIT(UDRV_TWIMST_0);
      twimst_driver.TWIMST_INIT(UDRV_TWIMST_0);
      EXPECT_EQ(apollo3sim::iom_state(kIom).clock_hz, b.iom);
      EXPECT_EQ(apollo3sim::iom_state(kIom).mode, AM_HAL_IOM_I2C_MODE);
    }
    // The ports without hardware refuse transfers.
    uint8_t byte = 0;
    EXPECT_EQ(twimst_driver.TWIMST_WRITE(UDRV_TWIMST_1, 0x44, &byte, 1, true), -4);
    EXPECT_EQ(twimst_driver.TWIMST_READ(UDRV_TWIMST_1, 0x44, &byte, 1), -4);
    twimst_driver.TWIMST_DEINIT(UDRV_TWIMST_0);
  });
}

// ------------------------------------------------------------------ ADC ---
// Each pad is read on its own channel: a different voltage on each input
// tells a wrong wiring. 10 bits against the 2.0 V reference by default,
// 12 bits against 1.5 V when asked.
TEST(Apollo3Adc, EachPadReadsItsOwnInputAndOtherPadsAreRefused) {
  const struct {
    uint32_t pad;
    uint32_t mv;
  } pads[] = {// the data sheet's single-ended inputs 9, 8, 3, 4 and 5
              {12, 100},
              {13, 300},
              {31, 500},
              {32, 700},
              {33, 900}};
  on_chip([&] {
    for (const auto &p : pads) sim::analog_set_mv(("PAD" + std::to_string(p.pad)).c_str(), p.mv);
    // Inputs no supported pad reads, set to tell a wrong channel.
    for (const char *other : {"PAD11", "PAD16", "PAD29", "PAD34", "PAD35"})
      sim::analog_set_mv(other, 1234);
    for (const auto &p : pads) {
      SCOPED_TRACE(p.pad);
      int16_t value = -1;
      ASSERT_EQ(uhal_adc_read(p.pad, &value), 0);
      EXPECT_EQ(value, static_cast<int16_t>((p.mv * 1023 + 1000) / 2000));
      EXPECT_FALSE(apollo3sim::adc_state().powered) << "off again after the conversion";
    }
    uhal_adc_set_resolution_any(UDRV_ADC_RESOLUTION_12BIT);
    uhal_adc_set_mode(UDRV_ADC_MODE_1_5);
    int16_t value = -1;
    ASSERT_EQ(uhal_adc_read(33, &value), 0);
    EXPECT_EQ(value, static_cast<int16_t>((900 * 4095 + 750) / 1500));
    uhal_adc_set_resolution_any(UDRV_ADC_RESOLUTION_10BIT);
    uhal_adc_set_mode(UDRV_ADC_MODE_DEFAULT);

    uint32_t const conversions = apollo3sim::adc_state().conversions;
    for (uint32_t pad : {0u, 11u, 14u, 16u, 29u, 34u, 49u, 50u, 255u}) {
      SCOPED_TRACE(pad);
      value = 77;
      EXPECT_EQ(uhal_adc_read(pad, &value), -UDRV_WRONG_ARG);
      EXPECT_EQ(value, 77);
      EXPECT_FALSE(apollo3sim::adc_state().initialised) << "the ADC is not touched";
    }
    EXPECT_EQ(apollo3sim::adc_state().conversions, conversions);
  });
}

// ----------------------------------------------------------------- pads ---
// Pads 0 to 49 exist; any other pad number changes no pad and no interrupt:
// levels read 255, an interrupt handler is refused with -3.
TEST(Apollo3Gpio, PadsFromFiftyUpTouchNothing) {
  on_chip([] {
    uint32_t words[APOLLO3_PAD_COUNT];
    for (int pad = 0; pad < APOLLO3_PAD_COUNT; ++pad) words[pad] = apollo3sim::pad_config(pad);
    uint64_t const enabled = apollo3sim::gpio_int_enabled();
    for (uint32_t pad : {50u, 51u, 63u, 64u, 255u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(pad);
      uhal_gpio_init(pad, GPIO_DIR_OUT, GPIO_PULL_UP, GPIO_LOGIC_HIGH);
      uhal_gpio_set_dir(pad, GPIO_DIR_IN);
      uhal_gpio_set_pull(pad, GPIO_PULL_NONE);
      uhal_gpio_set_logic(pad, GPIO_LOGIC_LOW);
      uhal_gpio_intc_trigger_mode(pad, GPIO_INTC_RISING_EDGE);
      uhal_gpio_intc_clear(pad);
      uhal_gpio_pin_suspend(pad);
      EXPECT_EQ(static_cast<int>(uhal_gpio_get_logic(pad)), 255);
      EXPECT_EQ(uhal_gpio_register_isr(pad, [](uint32_t) {}), -UDRV_WRONG_ARG);
    }
    for (int pad = 0; pad < APOLLO3_PAD_COUNT; ++pad)
      EXPECT_EQ(apollo3sim::pad_config(pad), words[pad]) << "pad " << pad;
    EXPECT_EQ(apollo3sim::gpio_int_enabled(), enabled);
  });
}

// ------------------------------------------------------------------ PWM ---
// Pad 12 is driven by CTIMER 0 segment A, pad 19 by CTIMER 1 segment B
// (the chip's output table); pad 0 by none; pads 26 and 37 only by CTIMER
// 3, the RTC's alarm.
struct PwmFixture : testing::Test {
  void SetUp() override {
    for (auto &s : uhal_pwm_status) s = {};
    pwm_resolution = UDRV_PWM_RESOLUTION_8BIT;
  }
  static void set_port(udrv_pwm_port port, uint32_t pin) {
    uhal_pwm_status[port] = {};
    uhal_pwm_status[port].pin = pin;
    uhal_pwm_status[port].freq_hz = 1000;
  }
};

TEST_F(PwmFixture, DutiesOfEachResolutionAndTheRefusedOnes) {
  const struct {
    UDRV_PWM_RESOLUTION resolution;
    uint32_t period;
  } resolutions[] = {{UDRV_PWM_RESOLUTION_8BIT, 256},
                     {UDRV_PWM_RESOLUTION_10BIT, 1024},
                     {UDRV_PWM_RESOLUTION_12BIT, 4096},
                     {UDRV_PWM_RESOLUTION_14BIT, 16384}};
  on_chip([&] {
    set_port(UDRV_PWM_1, 12);
    for (const auto &r : resolutions) {
      SCOPED_TRACE(r.period);
      pwm_resolution = r.resolution;
      // The whole period: the pad high, the counter stopped.
      ASSERT_EQ(uhal_pwm_set_duty(UDRV_PWM_1, r.period), 0);
      apollo3sim::CtimerSegment seg = apollo3sim::ctimer_segment(0, false);
      EXPECT_EQ(seg.output_mode, AM_HAL_CTIMER_OUTPUT_FORCE1);
      EXPECT_EQ(seg.output_pad, 12u);
      EXPECT_FALSE(seg.running);
      EXPECT_EQ(sim::pin_output_level(12), 1);
      // 0: the pad low.
      ASSERT_EQ(uhal_pwm_set_duty(UDRV_PWM_1, 0), 0);
      EXPECT_EQ(apollo3sim::ctimer_segment(0, false).output_mode, AM_HAL_CTIMER_OUTPUT_FORCE0);
      EXPECT_EQ(sim::pin_output_level(12), 0);
      // Between: a repeating PWM at 12 MHz with the period and the duty, on
      // the segment's compare and its auxiliary compare.
      ASSERT_EQ(uhal_pwm_set_duty(UDRV_PWM_1, r.period / 4), 0);
      seg = apollo3sim::ctimer_segment(0, false);
      EXPECT_TRUE(seg.running);
      EXPECT_EQ(seg.config & AM_HAL_CTIMER_CLK_MASK, AM_HAL_CTIMER_HFRC_12MHZ);
      EXPECT_EQ(seg.config & AM_HAL_CTIMER_FN_MASK, AM_HAL_CTIMER_FN_PWM_REPEAT);
      EXPECT_EQ(seg.output_mode, AM_HAL_CTIMER_OUTPUT_NORMAL);
      EXPECT_EQ(seg.compare0, r.period);
      EXPECT_EQ(seg.compare1, r.period / 4);
      EXPECT_EQ(seg.aux_compare0, r.period);
      EXPECT_EQ(seg.aux_compare1, r.period / 4);
      // Above the period: refused, the output as it was.
      EXPECT_EQ(uhal_pwm_set_duty(UDRV_PWM_1, r.period + 1), -UDRV_WRONG_ARG);
      EXPECT_EQ(uhal_pwm_status[UDRV_PWM_1].duty, r.period / 4);
      EXPECT_TRUE(apollo3sim::ctimer_segment(0, false).running);
      EXPECT_EQ(apollo3sim::ctimer_segment(0, false).compare1, r.period / 4);
    }
    // A resolution the port does not know.
    pwm_resolution = static_cast<UDRV_PWM_RESOLUTION>(4);
    EXPECT_EQ(uhal_pwm_set_duty(UDRV_PWM_1, 1), -UDRV_INTERNAL_ERR);
    pwm_resolution = UDRV_PWM_RESOLUTION_8BIT;
    // Pads no usable timer segment drives, and a port that does not exist.
    for (uint32_t pin : {0u, 11u, 26u, 37u, 50u}) {
      SCOPED_TRACE(pin);
      set_port(UDRV_PWM_2, pin);
      EXPECT_EQ(uhal_pwm_set_duty(UDRV_PWM_2, 100), -UDRV_INTERNAL_ERR);
    }
    EXPECT_EQ(apollo3sim::ctimer_segment(3, false).output_pad, 0xFFu) << "the RTC's timer";
    EXPECT_EQ(uhal_pwm_set_duty(UDRV_PWM_MAX, 100), -UDRV_WRONG_ARG);
  });
}

// The sleep stops a running port (its pad low, its pad parked, the segment
// cleared) and the wake-up runs it again with its duty; ports that are not
// set up are left alone.
TEST_F(PwmFixture, SuspendStopsARunningPortAndResumeRunsItWithItsDuty) {
  on_chip([] {
    set_port(UDRV_PWM_0, 19);  // CTIMER 1 segment B
    uhal_pwm_status[UDRV_PWM_0].initialized = true;
    uhal_pwm_status[UDRV_PWM_0].enabled = true;
    set_port(UDRV_PWM_2, 22);  // CTIMER 2 segment A, not set up
    ASSERT_EQ(uhal_pwm_set_duty(UDRV_PWM_0, 100), 0);
    ASSERT_TRUE(apollo3sim::ctimer_segment(1, true).running);
    uint32_t const pad22 = apollo3sim::pad_config(22);

    uhal_pwm_suspend();
    apollo3sim::CtimerSegment seg = apollo3sim::ctimer_segment(1, true);
    EXPECT_FALSE(seg.running);
    EXPECT_EQ(seg.output_mode, AM_HAL_CTIMER_OUTPUT_FORCE0);
    EXPECT_EQ(sim::pin_output_level(19), 0);
    EXPECT_EQ(apollo3sim::pad_config(19), APOLLO3_PAD_PARKED);
    EXPECT_EQ(apollo3sim::pad_config(22), pad22);

    uhal_pwm_resume();
    seg = apollo3sim::ctimer_segment(1, true);
    EXPECT_TRUE(seg.running);
    EXPECT_EQ(seg.output_mode, AM_HAL_CTIMER_OUTPUT_NORMAL);
    EXPECT_EQ(seg.compare1, 100u);
    EXPECT_EQ(uhal_pwm_status[UDRV_PWM_0].duty, 100u);
    EXPECT_FALSE(apollo3sim::ctimer_segment(2, false).running);
  });
}

}  // namespace

// Pins, pin interrupts, ADC, PWM, SPI and I2C of the STM32WLE5 port on the
// simulated chip, with the image's own dispatcher.
#include <cmath>
#include <string>
#include <vector>

#include "port_fixture.h"
#include "qiv_board.h"
#include "uhal_peripherals.h"
#include "udrv_powersave.h"

namespace {

constexpr uint32_t pin_no(char port, int line) {
  return 16u * static_cast<uint32_t>(port - 'A') + line;
}
uint16_t sim_pin(uint32_t pin) { return static_cast<uint16_t>(((pin / 16) << 4) | (pin % 16)); }
GPIO_TypeDef* port_regs(uint32_t pin) { return &stm32_gpio_ports[pin / 16]; }
uint32_t field(uint32_t reg, uint32_t pin, int width) {
  return (reg >> (width * (pin % 16))) & ((1u << width) - 1);
}
uint32_t moder(uint32_t pin) { return field(port_regs(pin)->MODER, pin, 2); }
uint32_t pupdr(uint32_t pin) { return field(port_regs(pin)->PUPDR, pin, 2); }
uint32_t ospeedr(uint32_t pin) { return field(port_regs(pin)->OSPEEDR, pin, 2); }
uint32_t otyper(uint32_t pin) { return field(port_regs(pin)->OTYPER, pin, 1); }
uint32_t afr(uint32_t pin) {
  return (port_regs(pin)->AFR[(pin % 16) / 8] >> (4 * (pin % 8))) & 0xFu;
}

// What pin handlers were called with, and from where.
std::vector<uint32_t> g_calls;
bool g_called_in_isr;
void record_a(uint32_t line) {
  g_calls.push_back(line);
  g_called_in_isr |= sim::in_isr();
}
void record_b(uint32_t line) { g_calls.push_back(100 + line); }

class Peripheral : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    // RAM starts again: the drivers' state as after a reset.
    for (auto& h : sg_gpio_isr) h = nullptr;
    for (auto& g : gpio) g = {};
    for (auto& s : gpio_status) s = {};
    uhal_gpio_wakeup_mode = GPIO_INTC_RISING_FALLING_EDGE;
    adc_enable_pin = 0;
    uhal_adc_resolution = UDRV_ADC_RESOLUTION_10BIT;
    adc_resolution = ADC_RESOLUTION_10B;
    hadc = {};
    for (auto& s : uhal_pwm_status) s = {};
    pwm_resolution = UDRV_PWM_RESOLUTION_8BIT;
    uhal_pwm_period = 256;
    htim1 = {};
    htim2 = {};
    for (auto& o : uhal_spimst_open) o = false;
    hspi1 = {};
    hdma_spi1_tx = {};
    hdma_spi1_rx = {};
    for (auto& o : uhal_twimst_open) o = false;
    uhal_twimst_timing = 0;
    hi2c2 = {};
    udrv_powersave_in_sleep = false;
    udrv_powersave_early_wakeup = false;
    sim::irq_set_handler(stm32sim::sim_irq(I2C2_EV_IRQn), I2C2_EV_IRQHandler);
    sim::irq_set_handler(stm32sim::sim_irq(I2C2_ER_IRQn), I2C2_ER_IRQHandler);
    g_calls.clear();
    g_called_in_isr = false;
  }

  void edge(uint32_t pin, int level) {
    sim::pin_set_input(sim_pin(pin), level);
    run_for(100);
  }
  void dispatch() { udrv_system_event_consume(); }
};

// ------------------------------------------------------- pin interrupts ---
TEST_F(Peripheral, PinsOfOneLineShareTheFirstHandlerRegistered) {
  const uint32_t pa3 = pin_no('A', 3), pb3 = pin_no('B', 3);
  EXPECT_EQ(uhal_gpio_register_isr(pa3, record_a), 0);
  EXPECT_EQ(uhal_gpio_register_isr(pb3, record_b), -UDRV_OCCUPIED);
  EXPECT_EQ(uhal_gpio_register_isr(pb3, record_a), 0) << "the same handler again";
  for (uint32_t pin : {pa3, pb3}) {
    SCOPED_TRACE(pin);
    g_calls.clear();
    uhal_gpio_intc_trigger_mode(pin, GPIO_INTC_RISING_EDGE);
    edge(pin, 1);
    EXPECT_TRUE(g_calls.empty()) << "the handler waits for the dispatcher";
    dispatch();
    EXPECT_EQ(g_calls, std::vector<uint32_t>{3});
    edge(pin, 0);
  }
  EXPECT_FALSE(g_called_in_isr);
}

TEST_F(Peripheral, TriggerModesChooseTheEdges) {
  struct Case {
    uint8_t mode;
    bool rising, falling;
  };
  const Case cases[] = {
      {GPIO_INTC_HIGH_LEVEL, true, false},
      {GPIO_INTC_RISING_EDGE, true, false},
      {GPIO_INTC_LOW_LEVEL, false, true},
      {GPIO_INTC_FALLING_EDGE, false, true},
      {GPIO_INTC_RISING_FALLING_EDGE, true, true},
      {0, true, true},
      {9, true, true},
  };
  // A line with a vector of its own and one of each shared vector.
  const uint32_t pins[] = {pin_no('A', 0), pin_no('B', 5), pin_no('C', 12)};
  for (uint32_t pin : pins) {
    const IRQn_Type irq =
        pin % 16 == 0 ? EXTI0_IRQn : (pin % 16 <= 9 ? EXTI9_5_IRQn : EXTI15_10_IRQn);
    ASSERT_EQ(uhal_gpio_register_isr(pin, record_a), 0);
    for (const Case& c : cases) {
      SCOPED_TRACE("pin " + std::to_string(pin) + " mode " + std::to_string(c.mode));
      uhal_gpio_set_pull(pin, GPIO_PULL_UP);
      uhal_gpio_intc_trigger_mode(pin, static_cast<gpio_intc_trigger_mode_t>(c.mode));
      EXPECT_EQ(moder(pin), 0u) << "an input";
      EXPECT_EQ(pupdr(pin), GPIO_PULLUP) << "the pull-up stays";
      EXPECT_EQ(ospeedr(pin), GPIO_SPEED_FREQ_HIGH);
      EXPECT_TRUE(sim::irq_enabled(stm32sim::sim_irq(irq)));
      g_calls.clear();
      edge(pin, 1);
      dispatch();
      EXPECT_EQ(g_calls.size(), c.rising ? 1u : 0u) << "rising";
      g_calls.clear();
      edge(pin, 0);
      dispatch();
      EXPECT_EQ(g_calls.size(), c.falling ? 1u : 0u) << "falling";
    }
  }
}

TEST_F(Peripheral, PendingLinesOfTheSharedVectorPostOneEventEachLowestFirst) {
  const uint32_t pins[] = {pin_no('A', 9), pin_no('B', 5), pin_no('A', 7)};
  for (uint32_t pin : pins) {
    ASSERT_EQ(uhal_gpio_register_isr(pin, record_a), 0);
    uhal_gpio_intc_trigger_mode(pin, GPIO_INTC_RISING_EDGE);
  }
  __disable_irq();
  for (uint32_t pin : pins) edge(pin, 1);
  __enable_irq();
  run_for(100);
  dispatch();
  EXPECT_EQ(g_calls, (std::vector<uint32_t>{5, 7, 9}));
}

TEST_F(Peripheral, APinInterruptEndsSleepAndTwoEdgesRunTheHandlerTwice) {
  const uint32_t pin = pin_no('B', 14);
  ASSERT_EQ(uhal_gpio_register_isr(pin, record_a), 0);
  uhal_gpio_intc_trigger_mode(pin, GPIO_INTC_RISING_FALLING_EDGE);
  udrv_powersave_in_sleep = true;
  edge(pin, 1);
  EXPECT_FALSE(udrv_powersave_in_sleep);
  edge(pin, 0);
  EXPECT_TRUE(g_calls.empty());
  dispatch();
  EXPECT_EQ(g_calls, (std::vector<uint32_t>{14, 14}));
  EXPECT_FALSE(g_called_in_isr);
}

TEST_F(Peripheral, PinsBeyondTheChipAreLeftAlone) {
  const uint32_t before = stm32_gpio_ports[0].MODER;
  uhal_gpio_intc_trigger_mode(48, GPIO_INTC_RISING_EDGE);
  uhal_gpio_intc_trigger_mode(255, GPIO_INTC_RISING_EDGE);
  EXPECT_EQ(stm32_gpio_ports[0].MODER, before);
  EXPECT_EQ(uhal_gpio_register_isr(48, record_a), -UDRV_WRONG_ARG);
  EXPECT_EQ(sg_gpio_isr[0], nullptr);
}

TEST_F(Peripheral, SleepKeepsPinsAndAWakeUpPinEndsItEarly) {
  const uint32_t out = pin_no('A', 4), in = pin_no('B', 4), wake = pin_no('A', 6),
                 irq_pin = pin_no('B', 3);
  uhal_gpio_init(out, GPIO_DIR_OUT, GPIO_PULL_NONE, GPIO_LOGIC_HIGH);
  uhal_gpio_init(in, GPIO_DIR_IN, GPIO_PULL_DOWN, GPIO_LOGIC_LOW);
  uhal_gpio_init(wake, GPIO_DIR_IN, GPIO_PULL_UP, GPIO_LOGIC_LOW);
  ASSERT_EQ(uhal_gpio_register_isr(irq_pin, record_b), 0);
  uhal_gpio_intc_trigger_mode(irq_pin, GPIO_INTC_RISING_EDGE);
  gpio_status[wake].wakeup_source = true;

  uhal_gpio_suspend();
  EXPECT_EQ(sg_gpio_isr[wake % 16], gpio_wakeup_handler);
  edge(wake, 1);
  dispatch();
  EXPECT_TRUE(udrv_powersave_early_wakeup);
  // Whatever happened to the pins meanwhile, resume sets them up again.
  HAL_GPIO_DeInit(GPIOA, GPIO_PIN_4);
  HAL_GPIO_DeInit(GPIOB, GPIO_PIN_4);
  uhal_gpio_resume();

  EXPECT_EQ(moder(out), 1u);
  EXPECT_EQ(sim::pin_output_level(sim_pin(out)), 1);
  EXPECT_EQ(moder(in), 0u);
  EXPECT_EQ(pupdr(in), GPIO_PULLDOWN);
  EXPECT_EQ(moder(wake), 0u);
  EXPECT_EQ(pupdr(wake), GPIO_PULLUP);
  EXPECT_EQ(sg_gpio_isr[wake % 16], nullptr) << "the wake-up line is free again";
  udrv_powersave_early_wakeup = false;
  edge(wake, 0);
  dispatch();
  EXPECT_FALSE(udrv_powersave_early_wakeup);
  // The interrupt pin went through sleep untouched.
  edge(irq_pin, 1);
  dispatch();
  EXPECT_EQ(g_calls, std::vector<uint32_t>{103});
}

TEST_F(Peripheral, TheBandStrapReadsPB12AndLeavesItInItsResetState) {
  const uint32_t pb12 = pin_no('B', 12);
  for (int level : {1, 0, 1}) {
    sim::pin_set_input(sim_pin(pb12), level);
    run_for(10);
    EXPECT_EQ(BoardGetHardwareFreq(), level);
    EXPECT_EQ(moder(pb12), 3u) << "analogue, as after reset";
    EXPECT_EQ(pupdr(pb12), 0u);
  }
  EXPECT_TRUE(stm32sim::clock_gate("GPIOB"));
}

// ------------------------------------------------------------------- ADC ---
// The code of an ideal converter: the nearest step against 3.3 V.
int16_t ideal_code(uint32_t millivolts, int bits) {
  double full = std::pow(2.0, bits);
  double code = std::floor(millivolts * full / 3300.0 + 0.5);
  return static_cast<int16_t>(code > full - 1 ? full - 1 : code);
}

struct AdcInput {
  uint32_t pin;
  const char* input;
  bool battery;  // read through the chip's divider by 3, reported times 3
};
const AdcInput kAdcInputs[] = {
    {19, "PB3", false},  {20, "PB4", false},         {18, "PB2", false},      {10, "PA10", false},
    {15, "PA15", false}, {253, "TEMPSENSOR", false}, {254, "VREFINT", false}, {255, "VBAT", true},
};

TEST_F(Peripheral, EachInputIsReadAtTenBitsAndReleasedAfterwards) {
  EXPECT_EQ(uhal_adc_get_resolution(), UDRV_ADC_RESOLUTION_10BIT);
  EXPECT_EQ(uhal_adc_get_mode(), UDRV_ADC_MODE_3_3);
  for (const AdcInput& in : kAdcInputs) {
    for (uint32_t mv : {0u, 1000u, 1650u, 3300u, 4200u}) {
      SCOPED_TRACE(std::string(in.input) + " " + std::to_string(mv) + " mV");
      sim::analog_set_mv(in.input, mv);
      int16_t value = -1;
      ASSERT_EQ(uhal_adc_read(in.pin, &value), 0);
      int16_t want =
          in.battery ? static_cast<int16_t>(3 * ideal_code(mv / 3, 10)) : ideal_code(mv, 10);
      EXPECT_EQ(value, want);
      const stm32sim::AdcState st = stm32sim::adc_state();
      EXPECT_TRUE(st.last.calibrated);
      EXPECT_EQ(st.last.resolution_bits, 10);
      EXPECT_EQ(st.last.sampling_time, ADC_SAMPLETIME_79CYCLES_5);
      EXPECT_EQ(st.last.clock_prescaler, ADC_CLOCK_SYNC_PCLK_DIV4);
      EXPECT_FALSE(st.initialised) << "the converter is released";
      EXPECT_FALSE(stm32sim::clock_gate("ADC"));
      EXPECT_EQ(adc_enable_pin, 0u);
      if (in.pin < 48) {
        EXPECT_EQ(moder(in.pin), 3u);
      }
    }
  }
}

TEST_F(Peripheral, TheAnaloguePinsGetTheirPortClock) {
  struct Case {
    uint32_t pin;
    const char* clock;
  };
  for (const Case& c : {Case{19, "GPIOB"}, Case{10, "GPIOA"}, Case{18, "GPIOB"}}) {
    stm32_rcc_clock_gate(c.clock, 0);
    int16_t value;
    ASSERT_EQ(uhal_adc_read(c.pin, &value), 0);
    EXPECT_TRUE(stm32sim::clock_gate(c.clock)) << c.pin;
  }
}

TEST_F(Peripheral, PinsWithoutAChannelAreRefused) {
  sim::analog_set_mv("PB3", 1650);
  for (uint32_t pin : {0u, 11u, 12u, 17u, 21u, 47u, 48u, 252u, 256u}) {
    int16_t value = 77;
    EXPECT_EQ(uhal_adc_read(pin, &value), -UDRV_NACK) << pin;
    EXPECT_EQ(value, 77) << pin;
  }
  EXPECT_EQ(uhal_adc_read(19, nullptr), -UDRV_WRONG_ARG);
  EXPECT_EQ(stm32sim::adc_state().conversions, 0u);
}

TEST_F(Peripheral, AConversionThatNeverEndsIsAFailure) {
  stm32sim::adc_stall(true);
  int16_t value = 77;
  EXPECT_EQ(uhal_adc_read(19, &value), -UDRV_INTERNAL_ERR);
  EXPECT_EQ(value, 77);
  EXPECT_FALSE(stm32sim::adc_state().initialised);
  EXPECT_EQ(adc_enable_pin, 0u);
  stm32sim::adc_stall(false);
  sim::analog_set_mv("PB3", 1650);
  EXPECT_EQ(uhal_adc_read(19, &value), 0);
  EXPECT_EQ(value, ideal_code(1650, 10));
}

// ------------------------------------------------------------------- PWM ---
void open_pwm(udrv_pwm_port port, uint32_t pin, uint32_t freq_hz) {
  uhal_pwm_status[port] = {true, false, freq_hz, 0, pin, 0};
}

TEST_F(Peripheral, TheDutyStaysBelowThePeriodOfTheResolution) {
  struct Case {
    UDRV_PWM_RESOLUTION resolution;
    uint32_t period;
  };
  const Case cases[] = {{UDRV_PWM_RESOLUTION_8BIT, 256},
                        {UDRV_PWM_RESOLUTION_10BIT, 1024},
                        {UDRV_PWM_RESOLUTION_12BIT, 4096},
                        {UDRV_PWM_RESOLUTION_14BIT, 16384}};
  const uint32_t freq = 1000;
  open_pwm(UDRV_PWM_0, 0, freq);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.period);
    pwm_resolution = c.resolution;
    EXPECT_EQ(uhal_pwm_set_duty(UDRV_PWM_0, c.period), -UDRV_WRONG_ARG);
    ASSERT_EQ(uhal_pwm_set_duty(UDRV_PWM_0, c.period - 1), 0);
    EXPECT_EQ(uhal_pwm_period, c.period);
    const stm32sim::TimState t = stm32sim::tim_state(2);
    EXPECT_EQ(t.period, c.period - 1);
    EXPECT_EQ(t.prescaler, SystemCoreClock / (freq * c.period) - 1);
    EXPECT_EQ(t.counter_mode, TIM_COUNTERMODE_UP);
    EXPECT_EQ(t.auto_reload_preload, TIM_AUTORELOAD_PRELOAD_DISABLE);
    EXPECT_EQ(t.master_trigger, TIM_TRGO_RESET);
    EXPECT_EQ(t.break_state, TIM_BREAK_DISABLE);
    EXPECT_EQ(t.channels[0].mode, TIM_OCMODE_PWM1);
    EXPECT_EQ(t.channels[0].pulse, c.period - 1);
    EXPECT_TRUE(t.channels[0].running);
    EXPECT_EQ(uhal_pwm_status[0].duty, c.period - 1);
    // A refused duty leaves the output running as it was.
    EXPECT_EQ(uhal_pwm_set_duty(UDRV_PWM_0, c.period + 1), -UDRV_WRONG_ARG);
    EXPECT_TRUE(stm32sim::tim_state(2).channels[0].running);
    EXPECT_EQ(stm32sim::tim_state(2).channels[0].pulse, c.period - 1);
  }
}

TEST_F(Peripheral, EachPwmPinHasItsTimerChannel) {
  struct Case {
    uint32_t pin;
    int timer;
    int channel;  // 0 for channel 1
  };
  const Case cases[] = {{0, 2, 0}, {15, 2, 0}, {1, 2, 1}, {8, 1, 3}, {9, 1, 1}, {10, 1, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pin);
    stm32sim::reset_platform();
    htim1 = {};
    htim2 = {};
    open_pwm(UDRV_PWM_1, c.pin, 2000);
    ASSERT_EQ(uhal_pwm_set_duty(UDRV_PWM_1, 100), 0);
    const stm32sim::TimState t = stm32sim::tim_state(c.timer);
    EXPECT_TRUE(t.channels[c.channel].running);
    EXPECT_EQ(t.channels[c.channel].pulse, 100u);
    EXPECT_TRUE(stm32sim::clock_gate(c.timer == 1 ? "TIM1" : "TIM2"));
    EXPECT_FALSE(stm32sim::tim_state(3 - c.timer).initialised);
    EXPECT_EQ(moder(c.pin), 2u);
    EXPECT_EQ(afr(c.pin), 1u);
    EXPECT_EQ(otyper(c.pin), 0u);
    EXPECT_EQ(pupdr(c.pin), GPIO_PULLUP);
    EXPECT_EQ(ospeedr(c.pin), GPIO_SPEED_FREQ_VERY_HIGH);
  }
}

TEST_F(Peripheral, APwmPortTheTimersCannotServeIsRefused) {
  struct Case {
    const char* what;
    uint8_t port;
    uint32_t pin, freq;
    uint8_t resolution;
    int32_t want;
  };
  const Case cases[] = {
      {"unknown resolution", 0, 0, 1000, 4, -UDRV_INTERNAL_ERR},
      {"port beyond the table", 3, 0, 1000, 0, -UDRV_WRONG_ARG},
      {"no frequency", 0, 0, 0, 0, -UDRV_WRONG_ARG},
      {"pin without a timer channel", 0, 2, 1000, 0, -UDRV_WRONG_ARG},
      {"faster than the core clock can count", 0, 0, 200000, 0, -UDRV_WRONG_ARG},
      {"slower than the prescaler can divide", 0, 0, 1, 0, -UDRV_WRONG_ARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.port < UDRV_PWM_MAX) open_pwm(static_cast<udrv_pwm_port>(c.port), c.pin, c.freq);
    pwm_resolution = static_cast<UDRV_PWM_RESOLUTION>(c.resolution);
    EXPECT_EQ(uhal_pwm_set_duty(static_cast<udrv_pwm_port>(c.port), 10), c.want);
    EXPECT_EQ(stm32sim::tim_state(1).inits + stm32sim::tim_state(2).inits, 0u);
  }
}

TEST_F(Peripheral, ResumeSetsTheOpenPwmPortsUpAgain) {
  open_pwm(UDRV_PWM_0, 9, 500);   // TIM1 channel 2, set up only
  open_pwm(UDRV_PWM_2, 1, 1000);  // TIM2 channel 2, running
  uhal_pwm_status[UDRV_PWM_2].enabled = true;
  uhal_pwm_status[UDRV_PWM_2].duty = 77;
  uhal_pwm_suspend();
  uhal_pwm_resume();
  const stm32sim::TimState t1 = stm32sim::tim_state(1), t2 = stm32sim::tim_state(2);
  EXPECT_TRUE(t1.initialised);
  EXPECT_EQ(t1.prescaler, SystemCoreClock / (500 * 256) - 1);
  EXPECT_FALSE(t1.channels[1].running);
  EXPECT_TRUE(t2.channels[1].running);
  EXPECT_EQ(t2.channels[1].pulse, 77u);
  EXPECT_EQ(t2.prescaler, SystemCoreClock / (1000 * 256) - 1);
}

// ------------------------------------------------------------------- SPI ---
TEST_F(Peripheral, ResumeSetsSpi1UpWhenAPortIsOpen) {
  uhal_spimst_suspend();
  uhal_spimst_resume();
  EXPECT_EQ(stm32sim::spi1_state().inits, 0u);
  uhal_spimst_open[UDRV_SPIMST_3] = true;
  uhal_spimst_resume();
  const stm32sim::SpiState s = stm32sim::spi1_state();
  EXPECT_TRUE(s.initialised);
  EXPECT_EQ(s.mode, SPI_MODE_MASTER);
  EXPECT_EQ(s.direction, SPI_DIRECTION_2LINES);
  EXPECT_EQ(s.data_size, SPI_DATASIZE_8BIT);
  EXPECT_EQ(s.clock_polarity, SPI_POLARITY_LOW);
  EXPECT_EQ(s.clock_phase, SPI_PHASE_1EDGE);
  EXPECT_EQ(s.nss, SPI_NSS_SOFT);
  EXPECT_EQ(s.baud_rate_prescaler, SPI_BAUDRATEPRESCALER_32);
  EXPECT_EQ(s.first_bit, SPI_FIRSTBIT_MSB);
  EXPECT_EQ(s.crc, SPI_CRCCALCULATION_DISABLE);
  for (int line : {5, 6, 7}) {
    const uint32_t pin = pin_no('A', line);
    EXPECT_EQ(moder(pin), 2u) << line;
    EXPECT_EQ(afr(pin), 5u) << line;
    EXPECT_EQ(pupdr(pin), line == 7 ? GPIO_PULLDOWN : GPIO_NOPULL) << line;
  }
  EXPECT_EQ(hdma_spi1_tx.Instance, DMA1_Channel3);
  EXPECT_EQ(hdma_spi1_tx.Init.Request, DMA_REQUEST_SPI1_TX);
  EXPECT_EQ(hdma_spi1_tx.Init.Direction, DMA_MEMORY_TO_PERIPH);
  EXPECT_EQ(hdma_spi1_tx.Init.Priority, DMA_PRIORITY_LOW);
  EXPECT_EQ(hdma_spi1_rx.Instance, DMA1_Channel2);
  EXPECT_EQ(hdma_spi1_rx.Init.Request, DMA_REQUEST_SPI1_RX);
  EXPECT_EQ(hdma_spi1_rx.Init.Direction, DMA_PERIPH_TO_MEMORY);
  EXPECT_EQ(hdma_spi1_rx.Init.Priority, DMA_PRIORITY_MEDIUM);
  EXPECT_EQ(hspi1.hdmatx, &hdma_spi1_tx);
  EXPECT_EQ(hspi1.hdmarx, &hdma_spi1_rx);
  EXPECT_TRUE(sim::irq_enabled(stm32sim::sim_irq(DMA1_Channel2_IRQn)));
  EXPECT_TRUE(sim::irq_enabled(stm32sim::sim_irq(DMA1_Channel3_IRQn)));
}

// ------------------------------------------------------------------- I2C ---
struct Slave : stm32sim::I2cSlave {
  std::vector<std::string> seen;
  std::vector<uint8_t> to_read;
  size_t next = 0;
  bool refuse_bytes = false;
  bool start(bool read) override {
    seen.push_back(read ? "R" : "W");
    return true;
  }
  bool write(uint8_t b) override {
    seen.push_back(std::to_string(b));
    return !refuse_bytes;
  }
  uint8_t read() override { return next < to_read.size() ? to_read[next++] : 0xFF; }
  void stop() override { seen.push_back("P"); }
};

TEST_F(Peripheral, TheBusSpeedSelectsTheTiming) {
  struct Case {
    uint32_t hz, timing;
  };
  const Case cases[] = {{1, 0x10300ADB},      {100000, 0x10300ADB}, {100001, 0x00700D9F},
                        {250000, 0x00700D9F}, {250001, 0x0070085C}, {400000, 0x0070085C},
                        {1000000, 0x0070085C}};
  for (const Case& c : cases) {
    uhal_twimst_setup_freq(UDRV_TWIMST_0, c.hz);
    EXPECT_EQ(uhal_twimst_timing, c.timing) << c.hz;
  }
  EXPECT_FALSE(stm32sim::i2c2_state().initialised) << "a closed bus stays closed";
  // On an open bus the new timing applies at once.
  uhal_twimst_init(UDRV_TWIMST_0);
  for (const Case& c : cases) {
    uint32_t inits = stm32sim::i2c2_state().inits;
    uhal_twimst_setup_freq(UDRV_TWIMST_0, c.hz);
    EXPECT_EQ(stm32sim::i2c2_state().timing, c.timing) << c.hz;
    EXPECT_EQ(stm32sim::i2c2_state().inits, inits + 1);
  }
}

TEST_F(Peripheral, OpeningAPortSetsI2C2Up) {
  uhal_twimst_init(UDRV_TWIMST_1);
  EXPECT_TRUE(uhal_twimst_open[UDRV_TWIMST_1]);
  const stm32sim::I2cState s = stm32sim::i2c2_state();
  EXPECT_TRUE(s.initialised);
  EXPECT_EQ(s.timing, UHAL_TWIMST_TIMING_DEFAULT);
  EXPECT_EQ(s.own_address, 0u);
  EXPECT_FALSE(s.general_call);
  EXPECT_TRUE(s.clock_stretching);
  EXPECT_TRUE(s.analog_filter);
  EXPECT_EQ(s.digital_filter, 0u);
  EXPECT_TRUE(s.fast_mode_plus);
  EXPECT_TRUE(stm32sim::clock_gate("I2C2"));
  for (int line : {11, 12}) {
    const uint32_t pin = pin_no('A', line);
    EXPECT_EQ(moder(pin), 2u) << line;
    EXPECT_EQ(otyper(pin), 1u) << line;
    EXPECT_EQ(pupdr(pin), GPIO_PULLUP) << line;
    EXPECT_EQ(afr(pin), 4u) << line;
  }
  EXPECT_TRUE(sim::irq_enabled(stm32sim::sim_irq(I2C2_EV_IRQn)));
  EXPECT_TRUE(sim::irq_enabled(stm32sim::sim_irq(I2C2_ER_IRQn)));
}

TEST_F(Peripheral, TransfersThroughTheDriverLayer) {
  Slave sensor;
  sensor.to_read = {0x12, 0x34};
  stm32sim::i2c_attach(0x44, &sensor);
  udrv_twimst_init(UDRV_TWIMST_2);
  const uint8_t cmd[] = {0x2C, 0x06};
  EXPECT_EQ(udrv_twimst_write(UDRV_TWIMST_2, 0x44, cmd, 2, true), 0);
  EXPECT_EQ(sensor.seen, (std::vector<std::string>{"W", "44", "6", "P"}));
  sensor.seen.clear();
  const uint8_t reg = 0xE0;
  EXPECT_EQ(udrv_twimst_write(UDRV_TWIMST_2, 0x44, &reg, 1, false), 0);
  uint8_t got[2] = {};
  EXPECT_EQ(udrv_twimst_read(UDRV_TWIMST_2, 0x44, got, 2), 0);
  EXPECT_EQ(sensor.seen, (std::vector<std::string>{"W", "224", "R", "P"})) << "a repeated start";
  EXPECT_EQ(std::vector<uint8_t>(got, got + 2), sensor.to_read);
  EXPECT_EQ(stm32sim::i2c2_state().last_address, 0x44u);
}

TEST_F(Peripheral, TransfersThatFail) {
  Slave picky;
  picky.refuse_bytes = true;
  stm32sim::i2c_attach(0x50, &picky);
  const uint8_t data[] = {1, 2};
  uint8_t buf[2];
  EXPECT_EQ(uhal_twimst_write(UDRV_TWIMST_0, 0x50, data, 2, true), -UDRV_NACK)
      << "before the bus is set up";
  EXPECT_TRUE(picky.seen.empty());
  uhal_twimst_init(UDRV_TWIMST_0);
  struct Case {
    const char* what;
    bool read;
    uint8_t address;
    bool buffer;
    int32_t want;
  };
  const Case cases[] = {
      {"write to an absent address", false, 0x51, true, -UDRV_NACK},
      {"read from an absent address", true, 0x51, true, -UDRV_NACK},
      {"a refused byte", false, 0x50, true, -UDRV_NACK},
      {"an address beyond 7 bits", false, 0xD0, true, -UDRV_WRONG_ARG},
      {"no buffer to write", false, 0x50, false, -UDRV_WRONG_ARG},
      {"no buffer to read into", true, 0x50, false, -UDRV_WRONG_ARG},
  };
  for (const Case& c : cases) {
    int32_t got =
        c.read ? uhal_twimst_read(UDRV_TWIMST_0, c.address, c.buffer ? buf : nullptr, 2)
               : uhal_twimst_write(UDRV_TWIMST_0, c.address, c.buffer ? data : nullptr, 2, true);
    EXPECT_EQ(got, c.want) << c.what;
  }
  EXPECT_EQ(picky.seen, (std::vector<std::string>{"W", "1", "P"}));
  // The bus works again after each failure.
  picky.refuse_bytes = false;
  EXPECT_EQ(uhal_twimst_write(UDRV_TWIMST_0, 0x50, data, 2, true), 0);
}

TEST_F(Peripheral, TheBusStaysOpenWhileAnyPortUsesIt) {
  uhal_twimst_init(UDRV_TWIMST_0);
  uhal_twimst_init(UDRV_TWIMST_3);
  EXPECT_EQ(uhal_twimst_deinit(UDRV_TWIMST_0), 0);
  EXPECT_TRUE(stm32sim::i2c2_state().initialised);
  EXPECT_EQ(uhal_twimst_deinit(UDRV_TWIMST_3), 0);
  EXPECT_FALSE(stm32sim::i2c2_state().initialised);
  EXPECT_FALSE(stm32sim::clock_gate("I2C2"));
  EXPECT_EQ(moder(pin_no('A', 11)), 3u);
  // Sleep leaves a closed bus closed and sets an open one up again.
  uhal_twimst_suspend();
  uhal_twimst_resume();
  EXPECT_FALSE(stm32sim::i2c2_state().initialised);
  uhal_twimst_timing = UHAL_TWIMST_TIMING_100K;
  uhal_twimst_open[UDRV_TWIMST_2] = true;
  uhal_twimst_resume();
  EXPECT_TRUE(stm32sim::i2c2_state().initialised);
  EXPECT_EQ(stm32sim::i2c2_state().timing, UHAL_TWIMST_TIMING_100K);
}

}  // namespace

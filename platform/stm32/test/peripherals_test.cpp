// The STM32WL stand-ins of the ADC, the timers, the I2C bus and the EXTI
// lines, on the simulated chip.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/sim.h"
#include "stm32_sim.h"
#include "stm32wl_hal.h"

namespace {

class Peripherals : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    stm32sim::reset_platform();
    HAL_Init();
  }
  void TearDown() override { sim::host::reset_core(); }
};

// ------------------------------------------------------------------ ADC ---
ADC_HandleTypeDef adc_at(uint32_t resolution) {
  ADC_HandleTypeDef h = {};
  h.Instance = ADC;
  h.Init.Resolution = resolution;
  h.Init.ClockPrescaler = ADC_CLOCK_SYNC_PCLK_DIV4;
  h.Init.SamplingTimeCommon1 = ADC_SAMPLETIME_79CYCLES_5;
  return h;
}

HAL_StatusTypeDef convert(ADC_HandleTypeDef& h, uint32_t channel, uint32_t* value) {
  ADC_ChannelConfTypeDef c = {channel, ADC_REGULAR_RANK_1, ADC_SAMPLINGTIME_COMMON_1};
  if (HAL_ADC_Init(&h) != HAL_OK || HAL_ADCEx_Calibration_Start(&h) != HAL_OK ||
      HAL_ADC_ConfigChannel(&h, &c) != HAL_OK || HAL_ADC_Start(&h) != HAL_OK)
    return HAL_ERROR;
  HAL_StatusTypeDef st = HAL_ADC_PollForConversion(&h, 10);
  if (st == HAL_OK) *value = HAL_ADC_GetValue(&h);
  HAL_ADC_Stop(&h);
  return st;
}

TEST_F(Peripherals, AConversionIsTheNearestStepOfTheInputAgainstTheReference) {
  struct Res {
    uint32_t setting;
    int bits;
  };
  const Res resolutions[] = {{ADC_RESOLUTION_6B, 6},
                             {ADC_RESOLUTION_8B, 8},
                             {ADC_RESOLUTION_10B, 10},
                             {ADC_RESOLUTION_12B, 12}};
  struct In {
    const char* name;
    uint32_t channel;
    uint32_t divider;  // the chip's divider in front of the converter
  };
  const In inputs[] = {{"PB3", ADC_CHANNEL_2, 1},
                       {"PB4", ADC_CHANNEL_3, 1},
                       {"PB2", ADC_CHANNEL_4, 1},
                       {"PA10", ADC_CHANNEL_6, 1},
                       {"PA15", ADC_CHANNEL_11, 1},
                       {"VREFINT", ADC_CHANNEL_VREFINT, 1},
                       {"TEMPSENSOR", ADC_CHANNEL_TEMPSENSOR, 1},
                       {"VBAT", ADC_CHANNEL_VBAT, 3}};
  const uint32_t millivolts[] = {0, 1, 1212, 1650, 3299, 3300, 5000};
  for (const Res& r : resolutions) {
    for (const In& in : inputs) {
      for (uint32_t mv : millivolts) {
        SCOPED_TRACE(std::string(in.name) + " at " + std::to_string(mv) + " mV, " +
                     std::to_string(r.bits) + " bits");
        sim::analog_set_mv(in.name, mv);
        double full = std::pow(2.0, r.bits);
        double at_input = static_cast<double>(mv / in.divider);
        double want = std::floor(at_input * full / 3300.0 + 0.5);
        if (want > full - 1) want = full - 1;
        ADC_HandleTypeDef h = adc_at(r.setting);
        uint32_t got = ~0u;
        ASSERT_EQ(convert(h, in.channel, &got), HAL_OK);
        EXPECT_EQ(got, static_cast<uint32_t>(want));
        EXPECT_EQ(stm32sim::adc_state().last.resolution_bits, r.bits);
        EXPECT_EQ(stm32sim::adc_state().last.channel, static_cast<int>(in.channel));
        EXPECT_TRUE(stm32sim::adc_state().last.calibrated);
      }
    }
  }
}

TEST_F(Peripherals, TheConverterRefusesWhatItCannotDo) {
  ADC_HandleTypeDef h = adc_at(ADC_RESOLUTION_12B);
  EXPECT_EQ(HAL_ADC_Start(&h), HAL_ERROR) << "not initialised";
  ASSERT_EQ(HAL_ADC_Init(&h), HAL_OK);
  EXPECT_EQ(HAL_ADC_Start(&h), HAL_ERROR) << "no channel";
  ADC_ChannelConfTypeDef none = {ADC_CHANNEL_9, ADC_REGULAR_RANK_1, ADC_SAMPLINGTIME_COMMON_1};
  EXPECT_EQ(HAL_ADC_ConfigChannel(&h, &none), HAL_ERROR) << "no input on that channel";
  ADC_HandleTypeDef odd = adc_at(0x7);
  EXPECT_EQ(HAL_ADC_Init(&odd), HAL_ERROR);
}

TEST_F(Peripherals, AStalledConverterTimesOutAfterTheWait) {
  stm32sim::adc_stall(true);
  ADC_HandleTypeDef h = adc_at(ADC_RESOLUTION_10B);
  sim::time_us before = sim::now();
  uint32_t value = 77;
  EXPECT_EQ(convert(h, ADC_CHANNEL_2, &value), HAL_TIMEOUT);
  EXPECT_EQ(value, 77u);
  EXPECT_GE(sim::now() - before, 10000u);
  stm32sim::adc_stall(false);
  EXPECT_EQ(convert(h, ADC_CHANNEL_2, &value), HAL_OK);
}

// --------------------------------------------------------------- timers ---
TEST_F(Peripherals, ATimerHoldsOnlyWhatItsRegistersCan) {
  struct Case {
    TIM_TypeDef* tim;
    uint32_t prescaler, period;
    HAL_StatusTypeDef want;
  };
  const Case cases[] = {
      {TIM1, 0xFFFF, 0xFFFF, HAL_OK},  {TIM1, 0x10000, 255, HAL_ERROR},
      {TIM1, 0, 0x10000, HAL_ERROR},   {TIM2, 0, 0x10000, HAL_OK},
      {TIM2, 0x10000, 255, HAL_ERROR},
  };
  TIM_HandleTypeDef idle = {};
  idle.Instance = TIM2;
  EXPECT_EQ(HAL_TIM_PWM_Start(&idle, TIM_CHANNEL_1), HAL_ERROR) << "not initialised";
  for (const Case& c : cases) {
    TIM_HandleTypeDef h = {};
    h.Instance = c.tim;
    h.Init.Prescaler = c.prescaler;
    h.Init.Period = c.period;
    EXPECT_EQ(HAL_TIM_PWM_Init(&h), c.want)
        << c.tim->index << " " << c.prescaler << " " << c.period;
  }
}

// ------------------------------------------------------------------ I2C ---
// A slave that records the bus conditions it sees and answers reads from a
// list.
struct Recorder : stm32sim::I2cSlave {
  std::vector<std::string> seen;
  std::vector<uint8_t> to_read;
  size_t next = 0;
  int nack_after_bytes = -1;  // refuse the byte after this many
  int written = 0;
  bool start(bool read) override {
    seen.push_back(read ? "R" : "W");
    return true;
  }
  bool write(uint8_t b) override {
    seen.push_back(std::to_string(b));
    return nack_after_bytes < 0 || written++ < nack_after_bytes;
  }
  uint8_t read() override { return next < to_read.size() ? to_read[next++] : 0xFF; }
  void stop() override { seen.push_back("P"); }
};

I2C_HandleTypeDef g_i2c;

class I2cBus : public Peripherals {
 protected:
  void SetUp() override {
    Peripherals::SetUp();
    g_i2c = {};
    g_i2c.Instance = I2C2;
    g_i2c.Init.Timing = 0x10300ADB;
    g_i2c.Init.AddressingMode = I2C_ADDRESSINGMODE_7BIT;
    sim::irq_set_handler(stm32sim::sim_irq(I2C2_EV_IRQn), [] { HAL_I2C_EV_IRQHandler(&g_i2c); });
    sim::irq_set_handler(stm32sim::sim_irq(I2C2_ER_IRQn), [] { HAL_I2C_ER_IRQHandler(&g_i2c); });
    HAL_NVIC_EnableIRQ(I2C2_EV_IRQn);
    HAL_NVIC_EnableIRQ(I2C2_ER_IRQn);
    ASSERT_EQ(HAL_I2C_Init(&g_i2c), HAL_OK);
  }
  // Runs a transfer to its end: the error code.
  uint32_t transfer(bool read, uint8_t address, uint8_t* data, uint16_t size, uint32_t options) {
    HAL_StatusTypeDef st =
        read ? HAL_I2C_Master_Seq_Receive_IT(&g_i2c, static_cast<uint16_t>(address << 1), data,
                                             size, options)
             : HAL_I2C_Master_Seq_Transmit_IT(&g_i2c, static_cast<uint16_t>(address << 1), data,
                                              size, options);
    EXPECT_EQ(st, HAL_OK);
    while (HAL_I2C_GetState(&g_i2c) != HAL_I2C_STATE_READY) __WFI();
    return HAL_I2C_GetError(&g_i2c);
  }
};

TEST_F(I2cBus, OnlyAnAttachedSlaveAcknowledgesItsAddress) {
  Recorder at_0x44;
  stm32sim::i2c_attach(0x44, &at_0x44);
  uint8_t data[] = {0x10, 0x20};
  EXPECT_EQ(transfer(false, 0x45, data, 2, I2C_FIRST_AND_LAST_FRAME), HAL_I2C_ERROR_AF);
  EXPECT_TRUE(at_0x44.seen.empty());
  EXPECT_EQ(transfer(false, 0x44, data, 2, I2C_FIRST_AND_LAST_FRAME), HAL_I2C_ERROR_NONE);
  EXPECT_EQ(at_0x44.seen, (std::vector<std::string>{"W", "16", "32", "P"}));
  stm32sim::i2c_attach(0x44, nullptr);
  EXPECT_EQ(transfer(false, 0x44, data, 2, I2C_FIRST_AND_LAST_FRAME), HAL_I2C_ERROR_AF);
}

TEST_F(I2cBus, ARefusedByteEndsTheTransferWithAStop) {
  Recorder slave;
  slave.nack_after_bytes = 1;
  stm32sim::i2c_attach(0x20, &slave);
  uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(transfer(false, 0x20, data, 3, I2C_FIRST_AND_LAST_FRAME), HAL_I2C_ERROR_AF);
  EXPECT_EQ(slave.seen, (std::vector<std::string>{"W", "1", "2", "P"}));
}

TEST_F(I2cBus, AWriteWithoutStopIsFollowedByARepeatedStart) {
  Recorder slave;
  slave.to_read = {0xA5, 0x5A, 0x33};
  stm32sim::i2c_attach(0x68, &slave);
  uint8_t reg = 0x75;
  ASSERT_EQ(transfer(false, 0x68, &reg, 1, I2C_FIRST_FRAME), HAL_I2C_ERROR_NONE);
  uint8_t got[3] = {};
  ASSERT_EQ(transfer(true, 0x68, got, 3, I2C_FIRST_AND_LAST_FRAME), HAL_I2C_ERROR_NONE);
  EXPECT_EQ(slave.seen, (std::vector<std::string>{"W", "117", "R", "P"}));
  EXPECT_EQ(std::vector<uint8_t>(got, got + 3), slave.to_read);
}

TEST_F(I2cBus, ATransferNeedsAReadyPeripheral) {
  Recorder slave;
  stm32sim::i2c_attach(0x10, &slave);
  uint8_t b = 0;
  ASSERT_EQ(HAL_I2C_Master_Seq_Transmit_IT(&g_i2c, 0x20, &b, 1, I2C_FIRST_AND_LAST_FRAME), HAL_OK);
  EXPECT_EQ(HAL_I2C_Master_Seq_Transmit_IT(&g_i2c, 0x20, &b, 1, I2C_FIRST_AND_LAST_FRAME),
            HAL_BUSY);
  EXPECT_EQ(HAL_I2C_Master_Seq_Receive_IT(&g_i2c, 0x20, nullptr, 1, I2C_FIRST_AND_LAST_FRAME),
            HAL_BUSY);
  ASSERT_EQ(HAL_I2C_DeInit(&g_i2c), HAL_OK);
  EXPECT_EQ(slave.seen, (std::vector<std::string>{}))
      << "a transfer cut by the de-initialisation never reached the slave";
  EXPECT_EQ(HAL_I2C_Master_Seq_Transmit_IT(&g_i2c, 0x20, &b, 1, I2C_FIRST_AND_LAST_FRAME),
            HAL_BUSY);
  ASSERT_EQ(HAL_I2C_Init(&g_i2c), HAL_OK);
  EXPECT_EQ(HAL_I2C_Master_Seq_Transmit_IT(&g_i2c, 0x20, nullptr, 1, I2C_FIRST_AND_LAST_FRAME),
            HAL_ERROR);
}

TEST_F(I2cBus, AFasterTimingMovesTheBytesSooner) {
  Recorder slave;
  stm32sim::i2c_attach(0x30, &slave);
  uint8_t data[16] = {};
  std::vector<sim::time_us> took;
  for (uint32_t timing : {0x10300ADBu, 0x00700D9Fu, 0x0070085Cu}) {
    ASSERT_EQ(HAL_I2C_DeInit(&g_i2c), HAL_OK);
    g_i2c.Init.Timing = timing;
    ASSERT_EQ(HAL_I2C_Init(&g_i2c), HAL_OK);
    sim::time_us start = sim::now();
    ASSERT_EQ(transfer(false, 0x30, data, sizeof data, I2C_FIRST_AND_LAST_FRAME),
              HAL_I2C_ERROR_NONE);
    took.push_back(sim::now() - start);
  }
  EXPECT_GT(took[0], took[1]);
  EXPECT_GT(took[1], took[2]);
  EXPECT_GT(took[2], 0u);
}

// ----------------------------------------------------------------- EXTI ---
TEST_F(Peripherals, AnEdgeLineKeepsItsSourceUntilThePinIsReleased) {
  const uint16_t pa3 = sim::pin_id('A', 3);
  static int calls;
  calls = 0;
  sim::irq_set_handler(stm32sim::sim_irq(EXTI3_IRQn), [] {
    HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_3);
    ++calls;
  });
  HAL_NVIC_EnableIRQ(EXTI3_IRQn);
  GPIO_InitTypeDef it = {GPIO_PIN_3, GPIO_MODE_IT_RISING, GPIO_NOPULL, GPIO_SPEED_FREQ_HIGH, 0};
  HAL_GPIO_Init(GPIOA, &it);
  auto edge = [&](int level) {
    sim::pin_set_input(pa3, level);
    sim::run_until(sim::now() + 100);
  };
  edge(1);
  EXPECT_EQ(calls, 1);
  edge(0);
  EXPECT_EQ(calls, 1) << "a falling edge on a rising trigger";
  GPIO_InitTypeDef plain = {GPIO_PIN_3, GPIO_MODE_INPUT, GPIO_PULLUP, GPIO_SPEED_FREQ_LOW, 0};
  HAL_GPIO_Init(GPIOA, &plain);
  edge(1);
  EXPECT_EQ(calls, 2) << "a plain input set-up leaves the line as it is";
  edge(0);
  HAL_GPIO_Init(GPIOB, &it);
  edge(1);
  EXPECT_EQ(calls, 2) << "the line now listens to PB3";
  HAL_GPIO_Init(GPIOA, &it);
  HAL_GPIO_DeInit(GPIOA, GPIO_PIN_3);
  edge(0);
  edge(1);
  EXPECT_EQ(calls, 2) << "a released pin raises nothing";
}

}  // namespace

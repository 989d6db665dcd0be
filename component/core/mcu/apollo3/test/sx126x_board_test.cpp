// The SX1262 board glue of the Tarnelka board over recorded driver-layer
// pins and SPI: each command is one window of pad 11 (NSS) low with its
// bytes exchanged one at a time, BUSY (pad 16) is awaited after every
// access but the set-sleep command, and pins the board does not have read
// 0 without reaching the driver layer. The expected frames are the SX126x
// command formats of its datasheet.
#include <gtest/gtest.h>

#include <vector>

#include "board.h"
#include "gpio-board.h"
#include "rtc-board.h"
#include "sx126x-board.h"
#include "udrv_gpio.h"
#include "udrv_rtc.h"
#include "udrv_spimst.h"
#include "udrv_system.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Recorder {
  bool nss_low = false;
  std::vector<Bytes> windows;  // the bytes of each NSS-low window
  uint8_t miso = 0;            // the byte every exchange returns
  int busy_reads = 0;
  int pin_calls = 0;  // calls for pads other than the radio's
  uint32_t counter = 0;
} rec;

}  // namespace

// ---- the driver layer as the glue sees it ----
void udrv_gpio_set_logic(uint32_t pin, gpio_logic_t logic) {
  if (pin == 11) {
    rec.nss_low = logic == GPIO_LOGIC_LOW;
    if (rec.nss_low) rec.windows.emplace_back();
  } else if (pin > 18) {
    ++rec.pin_calls;
  }
}
gpio_logic_t udrv_gpio_get_logic(uint32_t pin) {
  if (pin == 16) ++rec.busy_reads;
  if (pin > 18) ++rec.pin_calls;
  return GPIO_LOGIC_LOW;
}
void udrv_gpio_set_dir(uint32_t pin, gpio_dir_t) {
  if (pin > 18) ++rec.pin_calls;
}
void udrv_gpio_set_pull(uint32_t pin, gpio_pull_t) {
  if (pin > 18) ++rec.pin_calls;
}
void udrv_gpio_intc_trigger_mode(uint32_t, gpio_intc_trigger_mode_t) {}
int32_t udrv_gpio_register_isr(uint32_t, gpio_isr_func) { return 0; }
void udrv_spimst_init(udrv_spimst_port) {}
int8_t udrv_spimst_trx(udrv_spimst_port port, uint8_t const *out, uint32_t out_len, uint8_t *in,
                       uint32_t in_len, uint32_t csn) {
  EXPECT_EQ(port, UDRV_SPIMST_1);
  EXPECT_EQ(out_len, 1u);
  EXPECT_EQ(in_len, 1u);
  EXPECT_EQ(csn, 0u);
  EXPECT_TRUE(rec.nss_low) << "a byte outside an NSS window";
  if (!rec.windows.empty()) rec.windows.back().push_back(out[0]);
  in[0] = rec.miso;
  return 0;
}
void udrv_delay_ms(uint32_t) {}
int32_t udrv_rtc_init(RtcID_E, rtc_handler) { return 0; }
uint64_t udrv_rtc_get_counter(RtcID_E) { return rec.counter; }
uint64_t udrv_rtc_tick2ms(uint64_t t) { return t; }
uint64_t udrv_rtc_ms2tick(uint64_t m) { return m; }
int32_t udrv_rtc_set_alarm(RtcID_E, uint64_t, void *) { return 0; }
int32_t udrv_rtc_cancel_alarm(RtcID_E) { return 0; }
uint64_t udrv_rtc_get_elapsed_time(RtcID_E, uint64_t) { return 0; }
uint64_t udrv_rtc_get_timestamp(RtcID_E) { return 0; }
uint32_t uhal_rtc_get_counter_calculation_overflow(RtcID_E) { return rec.counter; }
int32_t udrv_system_event_produce(udrv_system_event_t *) { return 0; }
void uhal_sys_board_critical_section_begin(uint32_t *) {}
void uhal_sys_board_critical_section_end(uint32_t *) {}
void uhal_sys_reboot(void) {}
uint32_t service_nvm_get_delta_sec_from_nvm(void) { return 0; }
uint32_t service_nvm_get_delta_subsec_from_nvm(void) { return 0; }
int32_t service_nvm_set_delta_sec_to_nvm(uint32_t) { return 0; }
int32_t service_nvm_set_delta_subsec_to_nvm(uint32_t) { return 0; }
// ---- the radio driver and the timer list the glue calls ----
void SX126xCheckDeviceReady(void) {}
void SX126xSetDio3AsTcxoCtrl(RadioTcxoCtrlVoltage_t, uint32_t) {}
void SX126xSetDio2AsRfSwitchCtrl(uint8_t) {}
void SX126xSetTxParams(int8_t, RadioRampTimes_t) {}
void TimerIrqHandler(void) {}

namespace {

class Sx126xBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    rec = Recorder{};
    BoardInitMcu();
    rec.windows.clear();
    rec.busy_reads = 0;
  }
};

TEST_F(Sx126xBoard, EachAccessIsOneNssWindowOfItsCommandFrame) {
  uint8_t two[2] = {0xAA, 0xBB};
  uint8_t got[2] = {};
  rec.miso = 0x5A;
  SX126xReadRegisters(0x0740, got, 2);
  SX126xWriteRegisters(0x08E7, two, 2);
  SX126xWriteBuffer(0x10, two, 2);
  SX126xReadBuffer(0x20, got, 2);
  SX126xWriteCommand(RADIO_SET_STANDBY, two, 1);
  uint8_t status = SX126xReadCommand(RADIO_GET_STATUS, got, 0);
  SX126xWakeup();
  const std::vector<Bytes> want = {
      {0x1D, 0x07, 0x40, 0x00, 0x00, 0x00},
      {0x0D, 0x08, 0xE7, 0xAA, 0xBB},
      {0x0E, 0x10, 0xAA, 0xBB},
      {0x1E, 0x20, 0x00, 0x00, 0x00},
      {0x80, 0xAA},
      {0xC0, 0x00},
      {0xC0, 0x00},
  };
  EXPECT_EQ(rec.windows, want);
  EXPECT_EQ(got[0], 0x5A);
  EXPECT_EQ(status, 0x5A);
  EXPECT_FALSE(rec.nss_low);
  // BUSY is read after each of the seven accesses.
  EXPECT_EQ(rec.busy_reads, 7);
  EXPECT_EQ(SX126xGetOperatingMode(), MODE_STDBY_RC);
}

TEST_F(Sx126xBoard, TheSetSleepCommandDoesNotWaitOnBusy) {
  uint8_t config = 0x04;
  SX126xWriteCommand(RADIO_SET_SLEEP, &config, 1);
  EXPECT_EQ(rec.windows, (std::vector<Bytes>{{0x84, 0x04}}));
  EXPECT_EQ(rec.busy_reads, 0);
}

TEST_F(Sx126xBoard, PinsTheBoardDoesNotHaveReadZero) {
  for (PinNames pin : {static_cast<PinNames>(50), IOE_0, NC}) {
    Gpio_t obj{};
    GpioMcuInit(&obj, pin, PIN_INPUT, PIN_PUSH_PULL, PIN_PULL_UP, 0);
    GpioMcuWrite(&obj, 1);
    EXPECT_EQ(GpioMcuRead(&obj), 0u) << static_cast<int>(pin);
  }
  EXPECT_EQ(rec.pin_calls, 0);
}

TEST_F(Sx126xBoard, ATimerContextAfterACounterWrapComesOnceWithTheWrapAdded) {
  rec.counter = 0xFFFFFF00u;
  EXPECT_EQ(RtcSetTimerContext(), 0xFFFFFF00u);
  rec.counter = 0x100;
  EXPECT_EQ(RtcSetTimerContext(), 0xFFu);  // 0x100 + 0xFFFFFFFF, mod 2^32
  EXPECT_EQ(RtcGetTimerContext(), 0x100u);
  rec.counter = 0x200;
  EXPECT_EQ(RtcSetTimerContext(), 0x200u);
}

}  // namespace

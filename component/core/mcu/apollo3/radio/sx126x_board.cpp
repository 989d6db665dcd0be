// The board interface of the SX1262 on the Tarnelka module: its pins, the
// command framing over SPI master port 1 (IOM1), the board basics, the RTC
// the timer list runs on (the port's STIMER counter and CTIMER alarm) and
// the GPIO layer behind the radio driver's pin objects.
#include <string.h>

#include "apollo3_port.h"
#include "board.h"
#include "gpio-board.h"
#include "rtc-board.h"
#include "service_nvm.h"
#include "spi.h"
#include "sx126x-board.h"
#include "udrv_delay.h"
#include "udrv_gpio.h"
#include "udrv_rtc.h"
#include "udrv_spimst.h"

namespace {

constexpr PinNames kNss = P11;
constexpr PinNames kReset = P17;
constexpr PinNames kBusy = P16;
constexpr PinNames kDio1 = P15;
constexpr PinNames kAntPower = P18;
constexpr uint8_t kOpcodeSetSleep = 0x84;
constexpr uint8_t kOpcodeGetStatus = 0xC0;
constexpr uint8_t kOpcodeWriteRegister = 0x0D;
constexpr uint8_t kOpcodeReadRegister = 0x1D;
constexpr uint8_t kOpcodeWriteBuffer = 0x0E;
constexpr uint8_t kOpcodeReadBuffer = 0x1E;

Gpio_t nss_pin, reset_pin, busy_pin, dio1_pin, ant_pin;
Spi_t radio_spi;
RadioOperatingModes_t operating_mode;
bool mcu_initialized;
bool rtc_initialized;
uint32_t rtc_timer_context;

// The pin objects whose interrupt is attached, by pad.
Gpio_t *irq_pins[APOLLO3_PAD_COUNT];

// Pins 48 and above belong to an IO expander this board does not have.
bool is_pad(PinNames pin) { return pin >= P0 && pin <= P47; }

// The radio's interrupt, run from the GPIO event in the draining task. On
// this image the radio's interrupt processing runs from the main loop's
// pass or the LoRaWAN event; while the loop task sleeps there is no pass,
// so the event is posted here too and the same drain processes the radio.
udrv_system_event_t radio_event = {UDRV_SYS_EVT_OP_LORAWAN, nullptr};

void pin_irq(uint32_t pad) {
  Gpio_t *obj = pad < APOLLO3_PAD_COUNT ? irq_pins[pad] : nullptr;
  if (obj == nullptr || obj->IrqHandler == nullptr) {
    return;
  }
  obj->IrqHandler(reinterpret_cast<void *>(static_cast<uintptr_t>(pad)));
  if (obj == &dio1_pin) {
    udrv_system_event_produce(&radio_event);
  }
}

void exchange(uint8_t byte) { SpiInOut(&radio_spi, byte); }

}  // namespace

// ------------------------------------------------------ radio interface ---
void SX126xIoInit(void) {
  GpioInit(&nss_pin, kNss, PIN_OUTPUT, PIN_PUSH_PULL, PIN_NO_PULL, 1);
  GpioInit(&reset_pin, kReset, PIN_OUTPUT, PIN_PUSH_PULL, PIN_NO_PULL, 1);
  GpioInit(&busy_pin, kBusy, PIN_INPUT, PIN_PUSH_PULL, PIN_NO_PULL, 0);
  GpioInit(&dio1_pin, kDio1, PIN_INPUT, PIN_PUSH_PULL, PIN_NO_PULL, 0);
  GpioInit(&ant_pin, kAntPower, PIN_OUTPUT, PIN_PUSH_PULL, PIN_NO_PULL, 1);
}

void SX126xIoIrqInit(DioIrqHandler dioIrq) {
  GpioSetInterrupt(&dio1_pin, IRQ_RISING_EDGE, IRQ_HIGH_PRIORITY, dioIrq);
}

void SX126xIoTcxoInit(void) { SX126xSetDio3AsTcxoCtrl(TCXO_CTRL_1_7V, 640); }

uint32_t SX126xGetBoardTcxoWakeupTime(void) { return 10; }

void SX126xIoRfSwitchInit(void) { SX126xSetDio2AsRfSwitchCtrl(true); }

RadioOperatingModes_t SX126xGetOperatingMode(void) { return operating_mode; }

void SX126xSetOperatingMode(RadioOperatingModes_t mode) { operating_mode = mode; }

void SX126xReset(void) {
  DelayMsMcu(10);
  GpioWrite(&reset_pin, 0);
  DelayMsMcu(20);
  GpioWrite(&reset_pin, 1);
  DelayMsMcu(10);
}

// BUSY falls once the radio has taken the command (each read of the pad
// lets time move).
void SX126xWaitOnBusy(void) {
  while (GpioRead(&busy_pin) == 1) {
  }
}

void SX126xWakeup(void) {
  GpioWrite(&nss_pin, 0);
  exchange(kOpcodeGetStatus);
  exchange(0x00);
  GpioWrite(&nss_pin, 1);
  SX126xWaitOnBusy();
  SX126xSetOperatingMode(MODE_STDBY_RC);
}

void SX126xWriteCommand(RadioCommands_t opcode, uint8_t *buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&nss_pin, 0);
  exchange(static_cast<uint8_t>(opcode));
  for (uint16_t i = 0; i < size; ++i) {
    exchange(buffer[i]);
  }
  GpioWrite(&nss_pin, 1);
  if (static_cast<uint8_t>(opcode) != kOpcodeSetSleep) {
    SX126xWaitOnBusy();
  }
}

uint8_t SX126xReadCommand(RadioCommands_t opcode, uint8_t *buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&nss_pin, 0);
  exchange(static_cast<uint8_t>(opcode));
  uint8_t status = static_cast<uint8_t>(SpiInOut(&radio_spi, 0x00));
  for (uint16_t i = 0; i < size; ++i) {
    buffer[i] = static_cast<uint8_t>(SpiInOut(&radio_spi, 0x00));
  }
  GpioWrite(&nss_pin, 1);
  SX126xWaitOnBusy();
  return status;
}

void SX126xWriteRegisters(uint16_t address, uint8_t *buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&nss_pin, 0);
  exchange(kOpcodeWriteRegister);
  exchange(static_cast<uint8_t>(address >> 8));
  exchange(static_cast<uint8_t>(address));
  for (uint16_t i = 0; i < size; ++i) {
    exchange(buffer[i]);
  }
  GpioWrite(&nss_pin, 1);
  SX126xWaitOnBusy();
}

void SX126xWriteRegister(uint16_t address, uint8_t value) {
  SX126xWriteRegisters(address, &value, 1);
}

void SX126xReadRegisters(uint16_t address, uint8_t *buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&nss_pin, 0);
  exchange(kOpcodeReadRegister);
  exchange(static_cast<uint8_t>(address >> 8));
  exchange(static_cast<uint8_t>(address));
  exchange(0x00);
  for (uint16_t i = 0; i < size; ++i) {
    buffer[i] = static_cast<uint8_t>(SpiInOut(&radio_spi, 0x00));
  }
  GpioWrite(&nss_pin, 1);
  SX126xWaitOnBusy();
}

uint8_t SX126xReadRegister(uint16_t address) {
  uint8_t value = 0;
  SX126xReadRegisters(address, &value, 1);
  return value;
}

void SX126xWriteBuffer(uint8_t offset, uint8_t *buffer, uint8_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&nss_pin, 0);
  exchange(kOpcodeWriteBuffer);
  exchange(offset);
  for (uint16_t i = 0; i < size; ++i) {
    exchange(buffer[i]);
  }
  GpioWrite(&nss_pin, 1);
  SX126xWaitOnBusy();
}

void SX126xReadBuffer(uint8_t offset, uint8_t *buffer, uint8_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&nss_pin, 0);
  exchange(kOpcodeReadBuffer);
  exchange(offset);
  exchange(0x00);
  for (uint16_t i = 0; i < size; ++i) {
    buffer[i] = static_cast<uint8_t>(SpiInOut(&radio_spi, 0x00));
  }
  GpioWrite(&nss_pin, 1);
  SX126xWaitOnBusy();
}

void SX126xSetRfTxPower(int8_t power) { SX126xSetTxParams(power, RADIO_RAMP_40_US); }

uint8_t SX126xGetDeviceId(void) { return SX1262; }

void SX126xAntSwOn(void) {}

void SX126xAntSwOff(void) {}

uint32_t SX126xGetDio1PinState(void) { return GpioRead(&dio1_pin); }

// --------------------------------------------------------- board basics ---
void BoardInitMcu(void) {
  if (!mcu_initialized) {
    RtcInit();
  }
  SpiInit(&radio_spi, SPI_2, P10, P9, P8, NC);
  SX126xIoInit();
  mcu_initialized = true;
}

void BoardResetMcu(void) { uhal_sys_reboot(); }

void BoardCriticalSectionBegin(uint32_t *mask) { uhal_sys_board_critical_section_begin(mask); }

void BoardCriticalSectionEnd(uint32_t *mask) { uhal_sys_board_critical_section_end(mask); }

void DelayMsMcu(uint32_t ms) { udrv_delay_ms(ms); }

void SpiInit(Spi_t *obj, SpiId_t spiId, PinNames mosi, PinNames miso, PinNames sclk, PinNames nss) {
  (void)mosi;
  (void)miso;
  (void)sclk;
  (void)nss;
  obj->SpiId = spiId;
  udrv_spimst_init(UDRV_SPIMST_1);
}

void SpiDeInit(Spi_t *obj) { (void)obj; }

// One byte on SPI master port 1, naming pad 0 as the chip-select pad.
uint16_t SpiInOut(Spi_t *obj, uint16_t outData) {
  (void)obj;
  uint8_t out = static_cast<uint8_t>(outData);
  uint8_t in = 0;
  udrv_spimst_trx(UDRV_SPIMST_1, &out, 1, &in, 1, 0);
  return in;
}

// ------------------------------------------------------------------ RTC ---
void RtcInit(void) {
  if (rtc_initialized) {
    return;
  }
  udrv_rtc_init(UDRV_RTC_2, [](void *) { TimerIrqHandler(); });
  rtc_initialized = true;
}

// After a counter wrap the new context is returned once as counter +
// 0xFFFFFFFF (mod 2^32), the wrap arithmetic the port uses throughout.
uint32_t RtcSetTimerContext(void) {
  uint32_t const counter = static_cast<uint32_t>(udrv_rtc_get_counter(UDRV_RTC_2));
  uint32_t const previous = rtc_timer_context;
  rtc_timer_context = counter;
  return apollo3_timer_context(counter, previous);
}

uint32_t RtcGetTimerContext(void) { return rtc_timer_context; }

uint32_t RtcGetMinimumTimeout(void) { return 10; }

uint32_t RtcMs2Tick(TimerTime_t milliseconds) {
  return static_cast<uint32_t>(udrv_rtc_ms2tick(milliseconds));
}

TimerTime_t RtcTick2Ms(uint32_t tick) { return static_cast<TimerTime_t>(udrv_rtc_tick2ms(tick)); }

void RtcSetAlarm(uint32_t timeout) {
  udrv_rtc_cancel_alarm(UDRV_RTC_2);
  udrv_rtc_set_alarm(UDRV_RTC_2, timeout, &rtc_timer_context);
}

void RtcStopAlarm(void) { udrv_rtc_cancel_alarm(UDRV_RTC_2); }

uint32_t RtcGetTimerValue(void) { return uhal_rtc_get_counter_calculation_overflow(UDRV_RTC_2); }

uint32_t RtcGetTimerElapsedTime(void) {
  return static_cast<uint32_t>(udrv_rtc_get_elapsed_time(UDRV_RTC_2, rtc_timer_context));
}

uint32_t RtcGetCalendarTime(uint16_t *milliseconds) {
  uint64_t const ms = udrv_rtc_get_timestamp(UDRV_RTC_2);
  *milliseconds = static_cast<uint16_t>(ms % 1000);
  return static_cast<uint32_t>(ms / 1000);
}

// The two backup words live in the configuration record.
void RtcBkupWrite(uint32_t data0, uint32_t data1) {
  service_nvm_set_delta_sec_to_nvm(data0);
  service_nvm_set_delta_subsec_to_nvm(data1);
}

void RtcBkupRead(uint32_t *data0, uint32_t *data1) {
  *data0 = service_nvm_get_delta_sec_from_nvm();
  *data1 = service_nvm_get_delta_subsec_from_nvm();
}

TimerTime_t RtcTempCompensation(TimerTime_t period, float temperature) {
  (void)temperature;
  return period;
}

// ------------------------------------------------------------ GPIO layer --
void GpioMcuInit(Gpio_t *obj, PinNames pin, PinModes mode, PinConfigs config, PinTypes type,
                 uint32_t value) {
  (void)config;
  obj->pin = pin;
  if (!is_pad(pin)) {
    return;
  }
  uint32_t const pad = static_cast<uint32_t>(pin);
  if (mode == PIN_INPUT) {
    gpio_pull_t pull = GPIO_PULL_NONE;
    if (type == PIN_PULL_UP) {
      pull = GPIO_PULL_UP;
    } else if (type == PIN_PULL_DOWN) {
      pull = GPIO_PULL_DOWN;
    }
    obj->pull = type;
    udrv_gpio_set_pull(pad, pull);
    udrv_gpio_set_dir(pad, GPIO_DIR_IN);
  } else if (mode == PIN_OUTPUT) {
    udrv_gpio_set_dir(pad, GPIO_DIR_OUT);
    udrv_gpio_set_logic(pad, value != 0 ? GPIO_LOGIC_HIGH : GPIO_LOGIC_LOW);
  }
}

void GpioMcuSetInterrupt(Gpio_t *obj, IrqModes irqMode, IrqPriorities irqPriority,
                         GpioIrqHandler *irqHandler) {
  (void)irqPriority;
  if (irqHandler == nullptr || !is_pad(obj->pin)) {
    return;
  }
  obj->IrqHandler = irqHandler;
  gpio_intc_trigger_mode_t mode;
  switch (irqMode) {
    case IRQ_RISING_EDGE:
      mode = GPIO_INTC_RISING_EDGE;
      break;
    case IRQ_FALLING_EDGE:
      mode = GPIO_INTC_FALLING_EDGE;
      break;
    case IRQ_RISING_FALLING_EDGE:
      mode = GPIO_INTC_RISING_FALLING_EDGE;
      break;
    default:
      return;
  }
  uint32_t const pad = static_cast<uint32_t>(obj->pin);
  irq_pins[pad] = obj;
  udrv_gpio_intc_trigger_mode(pad, mode);
  udrv_gpio_register_isr(pad, pin_irq);
}

void GpioMcuWrite(Gpio_t *obj, uint32_t value) {
  if (!is_pad(obj->pin)) {
    return;
  }
  udrv_gpio_set_logic(static_cast<uint32_t>(obj->pin),
                      value != 0 ? GPIO_LOGIC_HIGH : GPIO_LOGIC_LOW);
}

uint32_t GpioMcuRead(Gpio_t *obj) {
  if (!is_pad(obj->pin)) {
    return 0;
  }
  return udrv_gpio_get_logic(static_cast<uint32_t>(obj->pin)) == GPIO_LOGIC_HIGH ? 1 : 0;
}

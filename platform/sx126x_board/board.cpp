// Host board layer of the SX126x radio: pins, SPI, command framing, RTC with
// one alarm, critical section and delays, on the simulated chip. It has the
// shape of the module's own board glue (pads 8-11 SPI and NSS, 15 DIO1,
// 16 BUSY, 17 NRESET, 18 antenna power; TCXO on DIO3 at 1.7 V with a 10 ms
// start-up; DIO2 drives the RF switch).
#include <algorithm>
#include <memory>

#include "board.h"
#include "gpio-board.h"
#include "rtc-board.h"
#include "sim/sim.h"
#include "spi.h"
#include "sx126x-board.h"
#include "sx126x.h"
#include "sx126x_board_host.h"
#include "timer.h"

namespace {

constexpr PinNames kPadNss = P11;
constexpr PinNames kPadReset = P17;
constexpr PinNames kPadBusy = P16;
constexpr PinNames kPadDio1 = P15;
constexpr PinNames kPadAntPower = P18;
constexpr int kPads = 48;

constexpr uint32_t kTcxoTimeout = 640;  // 15.625 us units: 10 ms
constexpr uint32_t kTcxoWakeupMs = 10;
constexpr uint32_t kMinimumTimeoutTicks = 10;
constexpr uint64_t kRtcHz = 32768;

struct PadState {
  bool output = false;
  int level = 0;
  IrqModes irq_mode = NO_IRQ;
  Gpio_t* obj = nullptr;
  GpioIrqHandler* handler = nullptr;
  bool pending = false;
};

struct Board {
  sim::Sx126x::Config config{};
  std::unique_ptr<sim::Sx126x> chip;
  PadState pads[kPads];
  bool rtc_initialized = false;
  bool mcu_initialized = false;
  uint32_t context = 0;        // the counter value alarms are relative to
  uint64_t context_ticks = 0;  // the same, not wrapped
  sim::EventId alarm = 0;
  uint32_t busy_timeouts = 0;
  uint64_t busy_wait_steps = 0;
  RadioOperatingModes_t mode = MODE_STDBY_RC;
  Gpio_t ant_power{};
};

Board& board() {
  static Board* b = new Board;
  return *b;
}

uint16_t sim_pin(int pad) { return sim::pin_id(static_cast<char>('A' + pad / 16), pad % 16); }

bool real_pad(PinNames pin) { return pin >= 0 && pin < kPads; }

uint64_t rtc_ticks() { return sim::now() * kRtcHz / 1000000u; }

void gpio_isr() {
  for (int pad = 0; pad < kPads; ++pad) {
    PadState& p = board().pads[pad];
    if (!p.pending) continue;
    p.pending = false;
    if (p.handler != nullptr) p.handler(p.obj != nullptr ? p.obj->Context : nullptr);
  }
}

void edge(int pad, int level) {
  PadState& p = board().pads[pad];
  const int old = p.level;
  p.level = level;
  if (p.handler == nullptr || old == level) return;
  const bool rising = level == 1;
  const bool wanted = (p.irq_mode == IRQ_RISING_FALLING_EDGE) ||
                      (p.irq_mode == IRQ_RISING_EDGE && rising) ||
                      (p.irq_mode == IRQ_FALLING_EDGE && !rising);
  if (!wanted) return;
  p.pending = true;
  sim::irq_set_pending(sx126x_board::kGpioIrq);
}

void on_dio1(void*, int level) { edge(kPadDio1, level); }

void on_sim_pin_edge(void*, uint16_t pin, int level) {
  for (int pad = 0; pad < kPads; ++pad) {
    if (sim_pin(pad) == pin && pad != kPadDio1 && pad != kPadBusy) edge(pad, level);
  }
}

void enable_gpio_irq() {
  sim::irq_set_handler(sx126x_board::kGpioIrq, &gpio_isr);
  sim::irq_enable(sx126x_board::kGpioIrq, true);
}

void rtc_isr() { TimerIrqHandler(); }

void on_alarm(void*, uint32_t) {
  board().alarm = 0;
  sim::irq_set_pending(sx126x_board::kRtcIrq);
}

// Bus time of a transaction: the bytes were clocked with interrupts held off
// (one NSS window is atomic for the radio), and the time is charged at once.
void spend_bus_time(uint32_t bytes) {
  const uint32_t primask = sim::get_primask();
  sim::set_primask(1);
  sim::cpu_spend_quiet((uint64_t{bytes} * sx126x_board::kSpiByteNs + 999) / 1000);
  sim::set_primask(primask);
}

uint8_t xfer(uint8_t out) { return static_cast<uint8_t>(SpiInOut(&SX126x.Spi, out)); }

}  // namespace

// ------------------------------------------------------------ host knobs --

namespace sx126x_board {

void configure(const sim::Sx126x::Config& config) {
  Board& b = board();
  b.chip.reset();
  b.config = config;
}

sim::Sx126x& chip() {
  Board& b = board();
  if (!b.chip) {
    if (b.config.device_id == 1 && b.config.rng_seed == 0) {
      // Default identity: the simulated MCU's unique id.
      b.config.rng_seed =
          (uint64_t{sim::unique_id(0)} << 32) ^ sim::unique_id(1) ^ sim::unique_id(2);
    }
    b.chip = std::make_unique<sim::Sx126x>(b.config);
    b.chip->set_dio1_hook(&on_dio1, nullptr);
  }
  return *b.chip;
}

void reset() {
  Board& b = board();
  if (b.alarm != 0) sim::cancel(b.alarm);
  b.chip.reset();
  b = Board{};
  b.config = sim::Sx126x::Config{};
}

uint32_t busy_timeouts() { return board().busy_timeouts; }

uint64_t busy_wait_steps() { return board().busy_wait_steps; }

}  // namespace sx126x_board

// ------------------------------------------------------- board basics --

void BoardInitMcu(void) {
  Board& b = board();
  if (!b.mcu_initialized) {
    RtcInit();
  }
  SpiInit(&SX126x.Spi, SPI_1, P10, P9, P8, NC);
  SX126xIoInit();
  b.mcu_initialized = true;
}

void BoardResetMcu(void) { sim::system_reset(); }

void BoardCriticalSectionBegin(uint32_t* mask) {
  *mask = sim::get_primask();
  sim::set_primask(1);
}

void BoardCriticalSectionEnd(uint32_t* mask) { sim::set_primask(*mask); }

void DelayMsMcu(uint32_t ms) { sim::cpu_spend(uint64_t{ms} * 1000); }

// ------------------------------------------------------------------ SPI --

void SpiInit(Spi_t* obj, SpiId_t spiId, PinNames mosi, PinNames miso, PinNames sclk, PinNames nss) {
  obj->SpiId = spiId;
  obj->Mosi.pin = mosi;
  obj->Miso.pin = miso;
  obj->Sclk.pin = sclk;
  // NSS is driven by the radio layer itself (pad 11).
  obj->Nss.pin = (nss == NC) ? kPadNss : nss;
  sx126x_board::chip();
}

void SpiDeInit(Spi_t* obj) { (void)obj; }

uint16_t SpiInOut(Spi_t* obj, uint16_t outData) {
  (void)obj;
  return sx126x_board::chip().spi_transfer(static_cast<uint8_t>(outData & 0xFF));
}

// ----------------------------------------------------------------- GPIO --

void GpioMcuInit(Gpio_t* obj, PinNames pin, PinModes mode, PinConfigs config, PinTypes type,
                 uint32_t value) {
  (void)config;
  obj->pin = pin;
  if (!real_pad(pin)) return;
  obj->pinIndex = static_cast<uint16_t>(pin);
  PadState& p = board().pads[pin];
  if (mode == PIN_INPUT) {
    obj->pull = type;
    p.output = false;
  } else if (mode == PIN_OUTPUT) {
    p.output = true;
    GpioMcuWrite(obj, value);
  }
}

void GpioMcuSetInterrupt(Gpio_t* obj, IrqModes irqMode, IrqPriorities irqPriority,
                         GpioIrqHandler* irqHandler) {
  (void)irqPriority;
  if (irqHandler == nullptr || !real_pad(obj->pin)) return;
  if (irqMode != IRQ_RISING_EDGE && irqMode != IRQ_FALLING_EDGE &&
      irqMode != IRQ_RISING_FALLING_EDGE)
    return;
  obj->IrqHandler = irqHandler;
  PadState& p = board().pads[obj->pin];
  p.obj = obj;
  p.handler = irqHandler;
  p.irq_mode = irqMode;
  p.level = static_cast<int>(GpioMcuRead(obj));
  if (obj->pin != kPadDio1) sim::pin_set_edge_handler(&on_sim_pin_edge, nullptr);
  enable_gpio_irq();
}

void GpioMcuWrite(Gpio_t* obj, uint32_t value) {
  if (!real_pad(obj->pin)) return;
  const int level = value != 0 ? 1 : 0;
  board().pads[obj->pin].level = level;
  if (obj->pin == kPadNss) {
    sx126x_board::chip().set_nss(level);
  } else if (obj->pin == kPadReset) {
    sx126x_board::chip().set_nreset(level);
  }
  sim::pin_output(sim_pin(obj->pin), level);
}

uint32_t GpioMcuRead(Gpio_t* obj) {
  if (!real_pad(obj->pin)) return 0;
  if (obj->pin == kPadBusy) return static_cast<uint32_t>(sx126x_board::chip().busy());
  if (obj->pin == kPadDio1) return static_cast<uint32_t>(sx126x_board::chip().dio1());
  const PadState& p = board().pads[obj->pin];
  return static_cast<uint32_t>(p.output ? p.level : sim::pin_input(sim_pin(obj->pin)));
}

// ------------------------------------------------- radio board interface --

void SX126xIoInit(void) {
  GpioInit(&SX126x.Spi.Nss, kPadNss, PIN_OUTPUT, PIN_PUSH_PULL, PIN_NO_PULL, 1);
  GpioInit(&SX126x.Reset, kPadReset, PIN_OUTPUT, PIN_PUSH_PULL, PIN_NO_PULL, 1);
  GpioInit(&SX126x.BUSY, kPadBusy, PIN_INPUT, PIN_PUSH_PULL, PIN_NO_PULL, 0);
  GpioInit(&SX126x.DIO1, kPadDio1, PIN_INPUT, PIN_PUSH_PULL, PIN_NO_PULL, 0);
  GpioInit(&board().ant_power, kPadAntPower, PIN_OUTPUT, PIN_PUSH_PULL, PIN_NO_PULL, 1);
}

void SX126xIoIrqInit(DioIrqHandler dioIrq) {
  GpioSetInterrupt(&SX126x.DIO1, IRQ_RISING_EDGE, IRQ_HIGH_PRIORITY, dioIrq);
}

void SX126xIoTcxoInit(void) { SX126xSetDio3AsTcxoCtrl(TCXO_CTRL_1_7V, kTcxoTimeout); }

uint32_t SX126xGetBoardTcxoWakeupTime(void) { return kTcxoWakeupMs; }

void SX126xIoRfSwitchInit(void) { SX126xSetDio2AsRfSwitchCtrl(true); }

RadioOperatingModes_t SX126xGetOperatingMode(void) { return board().mode; }

void SX126xSetOperatingMode(RadioOperatingModes_t mode) { board().mode = mode; }

void SX126xReset(void) {
  DelayMsMcu(10);
  GpioWrite(&SX126x.Reset, 0);
  DelayMsMcu(20);
  GpioWrite(&SX126x.Reset, 1);
  DelayMsMcu(10);
}

void SX126xWaitOnBusy(void) {
  // The MCU sleeps until BUSY falls: one move of time to the edge the chip
  // has scheduled, not a poll.
  const sim::time_us start = sim::now();
  const sim::time_us limit = start + sx126x_board::kBusyLimitUs;
  while (GpioRead(&SX126x.BUSY) == 1) {
    if (sim::now() >= limit) {
      ++board().busy_timeouts;
      sim::log("sx126x board: radio BUSY stuck high for %llu us, giving up",
               static_cast<unsigned long long>(sim::now() - start));
      return;
    }
    const sim::time_us edge = std::min(sx126x_board::chip().busy_falls_at(), limit);
    ++board().busy_wait_steps;
    sim::cpu_spend_quiet(edge > sim::now() ? edge - sim::now() : 0);
  }
}

void SX126xWakeup(void) {
  GpioWrite(&SX126x.Spi.Nss, 0);
  xfer(RADIO_GET_STATUS);
  xfer(0x00);
  GpioWrite(&SX126x.Spi.Nss, 1);
  spend_bus_time(2);
  SX126xWaitOnBusy();
  SX126xSetOperatingMode(MODE_STDBY_RC);
}

void SX126xWriteCommand(RadioCommands_t command, uint8_t* buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&SX126x.Spi.Nss, 0);
  xfer(static_cast<uint8_t>(command));
  for (uint16_t i = 0; i < size; i++) xfer(buffer[i]);
  GpioWrite(&SX126x.Spi.Nss, 1);
  spend_bus_time(1u + size);
  if (command != RADIO_SET_SLEEP) SX126xWaitOnBusy();
}

uint8_t SX126xReadCommand(RadioCommands_t command, uint8_t* buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&SX126x.Spi.Nss, 0);
  xfer(static_cast<uint8_t>(command));
  const uint8_t status = xfer(0x00);
  for (uint16_t i = 0; i < size; i++) buffer[i] = xfer(0x00);
  GpioWrite(&SX126x.Spi.Nss, 1);
  spend_bus_time(2u + size);
  SX126xWaitOnBusy();
  return status;
}

void SX126xWriteRegisters(uint16_t address, uint8_t* buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&SX126x.Spi.Nss, 0);
  xfer(RADIO_WRITE_REGISTER);
  xfer(static_cast<uint8_t>((address & 0xFF00) >> 8));
  xfer(static_cast<uint8_t>(address & 0x00FF));
  for (uint16_t i = 0; i < size; i++) xfer(buffer[i]);
  GpioWrite(&SX126x.Spi.Nss, 1);
  spend_bus_time(3u + size);
  SX126xWaitOnBusy();
}

void SX126xWriteRegister(uint16_t address, uint8_t value) {
  SX126xWriteRegisters(address, &value, 1);
}

void SX126xReadRegisters(uint16_t address, uint8_t* buffer, uint16_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&SX126x.Spi.Nss, 0);
  xfer(RADIO_READ_REGISTER);
  xfer(static_cast<uint8_t>((address & 0xFF00) >> 8));
  xfer(static_cast<uint8_t>(address & 0x00FF));
  xfer(0);
  for (uint16_t i = 0; i < size; i++) buffer[i] = xfer(0);
  GpioWrite(&SX126x.Spi.Nss, 1);
  spend_bus_time(4u + size);
  SX126xWaitOnBusy();
}

uint8_t SX126xReadRegister(uint16_t address) {
  uint8_t data = 0;
  SX126xReadRegisters(address, &data, 1);
  return data;
}

void SX126xWriteBuffer(uint8_t offset, uint8_t* buffer, uint8_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&SX126x.Spi.Nss, 0);
  xfer(RADIO_WRITE_BUFFER);
  xfer(offset);
  for (uint16_t i = 0; i < size; i++) xfer(buffer[i]);
  GpioWrite(&SX126x.Spi.Nss, 1);
  spend_bus_time(2u + size);
  SX126xWaitOnBusy();
}

void SX126xReadBuffer(uint8_t offset, uint8_t* buffer, uint8_t size) {
  SX126xCheckDeviceReady();
  GpioWrite(&SX126x.Spi.Nss, 0);
  xfer(RADIO_READ_BUFFER);
  xfer(offset);
  xfer(0);
  for (uint16_t i = 0; i < size; i++) buffer[i] = xfer(0);
  GpioWrite(&SX126x.Spi.Nss, 1);
  spend_bus_time(3u + size);
  SX126xWaitOnBusy();
}

void SX126xSetRfTxPower(int8_t power) { SX126xSetTxParams(power, RADIO_RAMP_40_US); }

uint8_t SX126xGetDeviceId(void) { return sx126x_board::chip().variant(); }

void SX126xAntSwOn(void) {}

void SX126xAntSwOff(void) {}

uint32_t SX126xGetDio1PinState(void) { return GpioRead(&SX126x.DIO1); }

// ------------------------------------------------------------------ RTC --

void RtcInit(void) {
  Board& b = board();
  if (b.rtc_initialized) return;
  sim::irq_set_handler(sx126x_board::kRtcIrq, &rtc_isr);
  sim::irq_enable(sx126x_board::kRtcIrq, true);
  b.context_ticks = rtc_ticks();
  b.context = static_cast<uint32_t>(b.context_ticks);
  b.rtc_initialized = true;
}

uint32_t RtcSetTimerContext(void) {
  Board& b = board();
  b.context_ticks = rtc_ticks();
  b.context = static_cast<uint32_t>(b.context_ticks);
  return b.context;
}

uint32_t RtcGetTimerContext(void) { return board().context; }

uint32_t RtcGetMinimumTimeout(void) { return kMinimumTimeoutTicks; }

uint32_t RtcMs2Tick(TimerTime_t milliseconds) {
  // Exact integer conversion, saturated: a duration too long for the counter
  // is the longest one.
  const uint64_t ticks = uint64_t{milliseconds} * kRtcHz / 1000u;
  return ticks > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(ticks);
}

TimerTime_t RtcTick2Ms(uint32_t tick) {
  return static_cast<TimerTime_t>(uint64_t{tick} * 1000u / kRtcHz);
}

void RtcSetAlarm(uint32_t timeout) {
  Board& b = board();
  RtcStopAlarm();
  const uint64_t at_tick = b.context_ticks + timeout;
  const sim::time_us at = (at_tick * 1000000u + kRtcHz - 1) / kRtcHz;
  b.alarm = sim::schedule(at, &on_alarm, nullptr);
}

void RtcStopAlarm(void) {
  Board& b = board();
  if (b.alarm != 0) {
    sim::cancel(b.alarm);
    b.alarm = 0;
  }
  sim::irq_clear_pending(sx126x_board::kRtcIrq);
}

uint32_t RtcGetTimerValue(void) { return static_cast<uint32_t>(rtc_ticks()); }

uint32_t RtcGetTimerElapsedTime(void) {
  return static_cast<uint32_t>(rtc_ticks()) - board().context;
}

uint32_t RtcGetCalendarTime(uint16_t* milliseconds) {
  const uint64_t ms = sim::now() / 1000u;
  *milliseconds = static_cast<uint16_t>(ms % 1000u);
  return static_cast<uint32_t>(ms / 1000u);
}

void RtcBkupWrite(uint32_t data0, uint32_t data1) {
  sim::retained_write(sx126x_board::kBkupSecondsWord, data0);
  sim::retained_write(sx126x_board::kBkupSubSecondsWord, data1);
}

void RtcBkupRead(uint32_t* data0, uint32_t* data1) {
  *data0 = sim::retained_read(sx126x_board::kBkupSecondsWord);
  *data1 = sim::retained_read(sx126x_board::kBkupSubSecondsWord);
}

TimerTime_t RtcTempCompensation(TimerTime_t period, float temperature) {
  (void)temperature;
  return period;
}

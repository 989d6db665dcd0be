// I2C2 master on the simulated I2C bus 2 (sim/i2c_bus.h): the targets on it
// are the board's, attached by address; this is the controller only.
#include "internal.h"
#include "sim/i2c_bus.h"
#include "sim/model.h"

extern "C" {
I2C_TypeDef stm32_i2c2 = {2};
}

namespace stm32sim {
namespace detail {
namespace {

enum Step : uint32_t { kAddress, kByte };

// The board's bus that I2C2 drives.
constexpr int kBus = 2;

struct Bus {
  I2cState state;
  // The transfer in progress.
  I2C_HandleTypeDef* handle = nullptr;
  I2cSlave* target = nullptr;  // the slave addressed last, until a stop
  bool read = false;
  bool stop_at_end = true;
  sim::EventId event = 0;
  // A transfer ended without a stop: the bus stays taken and the next start
  // is a repeated start.
  bool held = false;
  bool done_pending = false;
  bool error_pending = false;
};

Bus& bus() {
  static Bus b;
  return b;
}

// One SCL period in ns: (SCLL + 1 + SCLH + 1) kernel clocks, prescaled.
uint64_t scl_period_ns(uint32_t timing) {
  uint64_t presc = ((timing >> 28) & 0xFu) + 1;
  uint64_t sclh = ((timing >> 8) & 0xFFu) + 1;
  uint64_t scll = (timing & 0xFFu) + 1;
  uint64_t clock = HAL_RCC_GetPCLK1Freq();
  return clock ? (scll + sclh) * presc * 1000000000ull / clock : 10000;
}

sim::time_us bits_time(uint32_t bits) {
  uint64_t ns = scl_period_ns(bus().state.timing) * bits;
  return (ns + 999) / 1000;
}

bool ends_with_stop(uint32_t options) {
  return options == I2C_FIRST_AND_LAST_FRAME || options == I2C_LAST_FRAME ||
         options == I2C_OTHER_AND_LAST_FRAME;
}

void raise_event() { sim::irq_set_pending(sim_irq(I2C2_EV_IRQn)); }
void raise_error() { sim::irq_set_pending(sim_irq(I2C2_ER_IRQn)); }

void step(void*, uint32_t kind);

void schedule_step(Step kind, uint32_t bits) {
  Bus& b = bus();
  b.event = sim::schedule(sim::now() + bits_time(bits), step, nullptr, kind);
}

// A missing acknowledge: the master sends a stop and reports it.
void not_acknowledged() {
  Bus& b = bus();
  if (b.target) b.target->stop();
  b.target = nullptr;
  b.held = false;
  b.handle->ErrorCode |= HAL_I2C_ERROR_AF;
  b.error_pending = true;
  raise_error();
}

void finish() {
  Bus& b = bus();
  if (b.stop_at_end) {
    b.target->stop();
    b.target = nullptr;
    b.held = false;
  } else {
    b.held = true;
  }
  b.done_pending = true;
  raise_event();
}

void step(void*, uint32_t kind) {
  Bus& b = bus();
  b.event = 0;
  I2C_HandleTypeDef* h = b.handle;
  if (!h) return;
  if (kind == kAddress) {
    // The slave with the address answers the (repeated) start.
    I2cSlave* addressed = sim::i2c_target(kBus, b.state.last_address);
    if (!addressed || !addressed->start(b.read)) {
      not_acknowledged();
      return;
    }
    b.target = addressed;
  } else {
    if (b.read) {
      h->pBuffPtr[h->XferSize - h->XferCount] = b.target->read();
    } else if (!b.target->write(h->pBuffPtr[h->XferSize - h->XferCount])) {
      --h->XferCount;
      not_acknowledged();
      return;
    }
    --h->XferCount;
  }
  if (h->XferCount == 0) {
    finish();
    return;
  }
  schedule_step(kByte, 9);
}

HAL_StatusTypeDef start(I2C_HandleTypeDef* h, uint16_t address, uint8_t* data, uint16_t size,
                        uint32_t options, bool read) {
  Bus& b = bus();
  if (!h || h->Instance != I2C2) return HAL_ERROR;
  if (h->State != HAL_I2C_STATE_READY || !b.state.initialised) return HAL_BUSY;
  if (size > 0 && !data) return HAL_ERROR;
  b.handle = h;
  b.read = read;
  b.stop_at_end = ends_with_stop(options);
  b.state.last_address = static_cast<uint8_t>((address >> 1) & 0x7F);
  ++b.state.transfers;
  h->pBuffPtr = data;
  h->XferSize = size;
  h->XferCount = size;
  h->XferOptions = options;
  h->ErrorCode = HAL_I2C_ERROR_NONE;
  h->State = read ? HAL_I2C_STATE_BUSY_RX : HAL_I2C_STATE_BUSY_TX;
  // Start condition, then the address byte and its acknowledge.
  schedule_step(kAddress, 10);
  return HAL_OK;
}

void end_transfer() {
  Bus& b = bus();
  if (b.event) sim::cancel(b.event);
  b.event = 0;
  if (b.target) b.target->stop();
  b.target = nullptr;
  b.held = false;
  b.handle = nullptr;
  b.done_pending = b.error_pending = false;
}

}  // namespace

void i2c_peripheral_reset() {
  end_transfer();
  bus().state = I2cState{};
}

void i2c_reset() { i2c_peripheral_reset(); }

}  // namespace detail

using namespace detail;

void i2c_attach(uint8_t address, I2cSlave* slave) { sim::i2c_attach(kBus, address, slave); }

I2cState i2c2_state() {
  I2cState s = bus().state;
  s.scl_hz = s.initialised ? static_cast<uint32_t>(1000000000ull / scl_period_ns(s.timing)) : 0;
  return s;
}

}  // namespace stm32sim

using namespace stm32sim;
using namespace stm32sim::detail;

extern "C" {

__weak void HAL_I2C_MspInit(I2C_HandleTypeDef*) {}
__weak void HAL_I2C_MspDeInit(I2C_HandleTypeDef*) {}
__weak void HAL_I2C_MasterTxCpltCallback(I2C_HandleTypeDef*) {}
__weak void HAL_I2C_MasterRxCpltCallback(I2C_HandleTypeDef*) {}
__weak void HAL_I2C_ErrorCallback(I2C_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_I2C_Init(I2C_HandleTypeDef* hi2c) {
  if (!hi2c || hi2c->Instance != I2C2 || hi2c->Init.AddressingMode != I2C_ADDRESSINGMODE_7BIT)
    return HAL_ERROR;
  if (hi2c->State == HAL_I2C_STATE_RESET) {
    hi2c->Lock = HAL_UNLOCKED;
    HAL_I2C_MspInit(hi2c);
  }
  end_transfer();
  I2cState& s = bus().state;
  s.initialised = true;
  s.timing = hi2c->Init.Timing;
  s.own_address = hi2c->Init.OwnAddress1;
  s.general_call = hi2c->Init.GeneralCallMode != I2C_GENERALCALL_DISABLE;
  s.clock_stretching = hi2c->Init.NoStretchMode == I2C_NOSTRETCH_DISABLE;
  ++s.inits;
  hi2c->ErrorCode = HAL_I2C_ERROR_NONE;
  hi2c->State = HAL_I2C_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_I2C_DeInit(I2C_HandleTypeDef* hi2c) {
  if (!hi2c || hi2c->Instance != I2C2) return HAL_ERROR;
  end_transfer();
  I2cState& s = bus().state;
  s.initialised = false;
  HAL_I2C_MspDeInit(hi2c);
  hi2c->ErrorCode = HAL_I2C_ERROR_NONE;
  hi2c->State = HAL_I2C_STATE_RESET;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_I2CEx_ConfigAnalogFilter(I2C_HandleTypeDef* hi2c, uint32_t analog_filter) {
  if (!hi2c || hi2c->Instance != I2C2) return HAL_ERROR;
  if (hi2c->State != HAL_I2C_STATE_READY) return HAL_BUSY;
  bus().state.analog_filter = analog_filter == I2C_ANALOGFILTER_ENABLE;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_I2CEx_ConfigDigitalFilter(I2C_HandleTypeDef* hi2c, uint32_t digital_filter) {
  if (!hi2c || hi2c->Instance != I2C2 || digital_filter > 15) return HAL_ERROR;
  if (hi2c->State != HAL_I2C_STATE_READY) return HAL_BUSY;
  bus().state.digital_filter = digital_filter;
  return HAL_OK;
}

void HAL_I2CEx_EnableFastModePlus(uint32_t config) {
  if (config & I2C_FASTMODEPLUS_I2C2) bus().state.fast_mode_plus = true;
}

void HAL_I2CEx_DisableFastModePlus(uint32_t config) {
  if (config & I2C_FASTMODEPLUS_I2C2) bus().state.fast_mode_plus = false;
}

HAL_StatusTypeDef HAL_I2C_Master_Seq_Transmit_IT(I2C_HandleTypeDef* hi2c, uint16_t address,
                                                 uint8_t* data, uint16_t size, uint32_t options) {
  return start(hi2c, address, data, size, options, false);
}

HAL_StatusTypeDef HAL_I2C_Master_Seq_Receive_IT(I2C_HandleTypeDef* hi2c, uint16_t address,
                                                uint8_t* data, uint16_t size, uint32_t options) {
  return start(hi2c, address, data, size, options, true);
}

HAL_I2C_StateTypeDef HAL_I2C_GetState(I2C_HandleTypeDef* hi2c) {
  return hi2c ? hi2c->State : HAL_I2C_STATE_RESET;
}

uint32_t HAL_I2C_GetError(I2C_HandleTypeDef* hi2c) { return hi2c ? hi2c->ErrorCode : 0; }

void HAL_I2C_EV_IRQHandler(I2C_HandleTypeDef* hi2c) {
  Bus& b = bus();
  if (!hi2c || b.handle != hi2c || !b.done_pending) return;
  b.done_pending = false;
  bool read = hi2c->State == HAL_I2C_STATE_BUSY_RX;
  hi2c->State = HAL_I2C_STATE_READY;
  if (read) {
    HAL_I2C_MasterRxCpltCallback(hi2c);
  } else {
    HAL_I2C_MasterTxCpltCallback(hi2c);
  }
}

void HAL_I2C_ER_IRQHandler(I2C_HandleTypeDef* hi2c) {
  Bus& b = bus();
  if (!hi2c || b.handle != hi2c || !b.error_pending) return;
  b.error_pending = false;
  hi2c->State = HAL_I2C_STATE_READY;
  HAL_I2C_ErrorCallback(hi2c);
}

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_i2c, {.name = "stm32.i2c", .on_reset = stm32sim::detail::i2c_reset});

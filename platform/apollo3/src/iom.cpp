// IO masters of the simulated Apollo3 and the board's devices on them: IOM0
// and IOM1 as SPI masters (IOM1 carries the SX1262, whose NSS, NRESET, BUSY
// and DIO1 are pads 11, 17, 16 and 15), IOM2 as the I2C master of the
// board's I2C bus (sim bus 2, targets attached as data).
#include <memory>

#include "internal.h"
#include "sim/i2c_bus.h"
#include "sim/model.h"
#include "sim/spi_bus.h"

namespace apollo3sim {
namespace detail {
namespace {

constexpr int kModules = 6;
constexpr int kI2cBus = 2;  // the board's I2C bus, on IOM2

struct Iom {
  int module = 0;
  IomState st{};
  uint32_t int_status = 0;
  sim::I2cTarget* held = nullptr;  // an I2C transfer that kept the bus
};

Iom* ioms() {
  static Iom m[kModules];
  return m;
}

Iom* from_handle(void* handle) {
  for (int m = 0; m < kModules; ++m)
    if (handle == &ioms()[m] && ioms()[m].st.initialised) return &ioms()[m];
  return nullptr;
}

uint8_t reverse(uint8_t b) {
  b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// ------------------------------------------------------------ the radio --
constexpr int kPadNss = 11;
constexpr int kPadDio1 = 15;
constexpr int kPadBusy = 16;
constexpr int kPadNreset = 17;

struct Radio {
  sim::Sx126x::Config config{};
  std::unique_ptr<sim::Sx126x> chip;
};

Radio& rad() {
  static Radio* r = new Radio;  // the air medium may outlive statics
  return *r;
}

void on_dio1(void*, int) { pad_source_changed(kPadDio1); }

int busy_level() { return radio().busy(); }
sim::time_us busy_next() { return radio().busy_falls_at(); }
int dio1_level() { return radio().dio1(); }
sim::time_us no_change() { return sim::kNever; }

const PadSource kBusySource{busy_level, busy_next};
const PadSource kDio1Source{dio1_level, no_change};

void on_pad_output(int pad, int level) {
  if (pad == kPadNss) radio().set_nss(level);
  if (pad == kPadNreset) radio().set_nreset(level);
}

void iom_reset() {
  for (int m = 0; m < kModules; ++m) {
    ioms()[m] = Iom{};
    ioms()[m].module = m;
  }
  rad().chip.reset();
  static bool watching = false;
  if (!watching) pad_watch_output(on_pad_output);
  watching = true;
  pad_set_source(kPadBusy, &kBusySource);
  pad_set_source(kPadDio1, &kDio1Source);
}

void charge(const Iom& m, uint32_t bits) {
  const uint32_t hz = m.st.clock_hz ? m.st.clock_hz : 1000000;
  sim::cpu_spend_quiet((uint64_t{bits} * 1000000u + hz - 1) / hz);
  thread_point();
}

uint8_t spi_byte(Iom& m, uint8_t out) {
  const uint8_t wire = m.st.lsb_first ? reverse(out) : out;
  uint8_t in = 0xFF;
  if (m.module == 1) {
    in = radio_spi_byte(wire);
  } else if (sim::SpiTarget* t = sim::spi_target(m.module, 0)) {
    in = t->transfer(wire);
  }
  return m.st.lsb_first ? reverse(in) : in;
}

uint32_t spi_transfer(Iom& m, am_hal_iom_transfer_t* t, bool duplex) {
  const uint8_t* tx = reinterpret_cast<const uint8_t*>(t->pui32TxBuffer);
  uint8_t* rx = reinterpret_cast<uint8_t*>(t->pui32RxBuffer);
  const bool sending = duplex || t->eDirection == AM_HAL_IOM_TX;
  const bool receiving = duplex || t->eDirection == AM_HAL_IOM_RX;
  if ((sending && !tx && t->ui32NumBytes) || (receiving && !rx && t->ui32NumBytes))
    return AM_HAL_STATUS_INVALID_ARG;
  sim::SpiTarget* other = m.module == 1 ? nullptr : sim::spi_target(m.module, 0);
  if (other) other->select(true);
  for (uint32_t i = 0; i < t->ui32InstrLen; ++i)
    spi_byte(m, static_cast<uint8_t>(t->ui32Instr >> (8 * (t->ui32InstrLen - 1 - i))));
  for (uint32_t i = 0; i < t->ui32NumBytes; ++i) {
    const uint8_t in = spi_byte(m, sending ? tx[i] : 0xFF);
    if (receiving) rx[i] = in;
  }
  if (other) other->select(false);
  ++m.st.transfers;
  charge(m, (t->ui32InstrLen + t->ui32NumBytes) * 8);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t i2c_transfer(Iom& m, am_hal_iom_transfer_t* t) {
  const bool read = t->eDirection == AM_HAL_IOM_RX;
  uint8_t* data = reinterpret_cast<uint8_t*>(read ? t->pui32RxBuffer : t->pui32TxBuffer);
  if (!data && t->ui32NumBytes) return AM_HAL_STATUS_INVALID_ARG;
  ++m.st.transfers;
  sim::I2cTarget* target =
      m.module == kI2cBus
          ? sim::i2c_target(kI2cBus, static_cast<uint8_t>(t->uPeerInfo.ui32I2CDevAddr))
          : nullptr;
  const uint32_t bytes = t->ui32InstrLen + t->ui32NumBytes;
  charge(m, (bytes + 1) * 9);
  if (m.held && m.held != target) {
    m.held->stop();
    m.held = nullptr;
  }
  auto fail = [&](sim::I2cTarget* tg) {
    if (tg) tg->stop();
    m.held = nullptr;
    m.int_status |= AM_HAL_IOM_INT_NAK;
    return AM_HAL_IOM_ERR_I2C_NAK;
  };
  if (!target) return fail(nullptr);
  if (t->ui32InstrLen) {
    if (!target->start(false)) return fail(target);
    for (uint32_t i = 0; i < t->ui32InstrLen; ++i) {
      if (!target->write(static_cast<uint8_t>(t->ui32Instr >> (8 * (t->ui32InstrLen - 1 - i)))))
        return fail(target);
    }
  }
  if (!target->start(read)) return fail(target);
  for (uint32_t i = 0; i < t->ui32NumBytes; ++i) {
    if (read) {
      data[i] = target->read();
    } else if (!target->write(data[i])) {
      return fail(target);
    }
  }
  if (t->bContinue) {
    m.held = target;
  } else {
    target->stop();
    m.held = nullptr;
  }
  m.int_status |= AM_HAL_IOM_INT_CMDCMP;
  return AM_HAL_STATUS_SUCCESS;
}

}  // namespace

uint8_t radio_spi_byte(uint8_t mosi) { return radio().spi_transfer(mosi); }

}  // namespace detail

IomState iom_state(int module) {
  return module >= 0 && module < detail::kModules ? detail::ioms()[module].st : IomState{};
}

void radio_configure(const sim::Sx126x::Config& config) {
  detail::rad().chip.reset();
  detail::rad().config = config;
}

sim::Sx126x& radio() {
  detail::Radio& r = detail::rad();
  if (!r.chip) {
    sim::Sx126x::Config c = r.config;
    c.variant = 2;
    if (c.rng_seed == 0)
      c.rng_seed = (uint64_t{sim::unique_id(0)} << 32) ^ sim::unique_id(1) ^ sim::unique_id(2);
    r.chip = std::make_unique<sim::Sx126x>(c);
    r.chip->set_dio1_hook(&detail::on_dio1, nullptr);
    // The lines as the MCU drives them now.
    r.chip->set_nreset(sim::pin_output_level(detail::kPadNreset));
    r.chip->set_nss(sim::pin_output_level(detail::kPadNss));
  }
  return *r.chip;
}

}  // namespace apollo3sim

SIM_MODEL(apollo3_iom, {.name = "apollo3.iom", .on_reset = apollo3sim::detail::iom_reset});

using namespace apollo3sim;
using namespace apollo3sim::detail;

extern "C" {

uint32_t am_hal_iom_initialize(uint32_t module, void** handle) {
  if (module >= static_cast<uint32_t>(kModules) || !handle) return AM_HAL_STATUS_OUT_OF_RANGE;
  Iom& m = ioms()[module];
  if (m.st.initialised) return AM_HAL_STATUS_IN_USE;
  m.st.initialised = true;
  *handle = &m;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_uninitialize(void* handle) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  if (m->st.enabled) return AM_HAL_STATUS_IN_USE;
  if (m->held) m->held->stop();
  const uint32_t transfers = m->st.transfers;
  m->st = IomState{};
  m->st.transfers = transfers;
  m->held = nullptr;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_power_ctrl(void* handle, am_hal_sysctrl_power_state_e state, bool) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  m->st.powered = state == AM_HAL_SYSCTRL_WAKE;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_configure(void* handle, const am_hal_iom_config_t* config) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!config || !m->st.powered) return AM_HAL_STATUS_INVALID_OPERATION;
  const bool i2c = config->eInterfaceMode == AM_HAL_IOM_I2C_MODE;
  if (config->ui32ClockFreq == 0 || config->ui32ClockFreq > (i2c ? 1000000u : 48000000u))
    return AM_HAL_STATUS_INVALID_ARG;
  m->st.mode = config->eInterfaceMode;
  m->st.clock_hz = config->ui32ClockFreq;
  m->st.spi_mode = config->eSpiMode;
  m->st.nb_buffer_words = config->pNBTxnBuf ? config->ui32NBTxnBufLength : 0;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_enable(void* handle) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!m->st.powered) return AM_HAL_STATUS_INVALID_OPERATION;
  m->st.enabled = true;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_disable(void* handle) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  m->st.enabled = false;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_interrupt_enable(void* handle, uint32_t mask) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  m->st.int_enable |= mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_interrupt_disable(void* handle, uint32_t mask) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  m->st.int_enable &= ~mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_interrupt_clear(void* handle, uint32_t mask) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  m->int_status &= ~mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_interrupt_status_get(void* handle, bool enabled_only, uint32_t* status) {
  Iom* m = from_handle(handle);
  if (!m || !status) return AM_HAL_STATUS_INVALID_HANDLE;
  *status = enabled_only ? m->int_status & m->st.int_enable : m->int_status;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_interrupt_service(void* handle, uint32_t status) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  m->int_status &= ~status;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_spi_lsb_first(void* handle, bool lsb_first) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  m->st.lsb_first = lsb_first;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_iom_blocking_transfer(void* handle, am_hal_iom_transfer_t* transfer) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!transfer || transfer->ui32InstrLen > 3) return AM_HAL_STATUS_INVALID_ARG;
  if (!m->st.enabled) return AM_HAL_STATUS_INVALID_OPERATION;
  if (m->st.mode == AM_HAL_IOM_I2C_MODE) return i2c_transfer(*m, transfer);
  if (transfer->eDirection == AM_HAL_IOM_FULLDUPLEX) return AM_HAL_STATUS_INVALID_ARG;
  return spi_transfer(*m, transfer, false);
}

uint32_t am_hal_iom_spi_blocking_fullduplex(void* handle, am_hal_iom_transfer_t* transfer) {
  Iom* m = from_handle(handle);
  if (!m) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!transfer || transfer->ui32InstrLen > 3) return AM_HAL_STATUS_INVALID_ARG;
  if (!m->st.enabled || m->st.mode != AM_HAL_IOM_SPI_MODE) return AM_HAL_STATUS_INVALID_OPERATION;
  return spi_transfer(*m, transfer, true);
}

}  // extern "C"

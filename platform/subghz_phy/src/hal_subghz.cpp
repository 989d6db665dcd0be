// SUBGHZ HAL stand-in over the SX126x chip model.
#include <algorithm>
#include <memory>

#include "sim/sim.h"
#include "stm32wl_hal_subghz.h"
#include "subghz_phy_sim.h"

namespace {

constexpr sim::time_us kBusyLimitUs = 100000;

struct State {
  sim::Sx126x::Config config{};
  std::unique_ptr<sim::Sx126x> radio;
  bool reset_held = false;
};

State& state() {
  static State* s = new State;
  return *s;
}

void on_radio_line(void*, int level) {
  if (level) sim::irq_set_pending(SUBGHZ_Radio_IRQn);
}

// Bytes clocked with interrupts held off, the bus time charged at once.
void spend(uint32_t bytes) {
  const uint32_t primask = sim::get_primask();
  sim::set_primask(1);
  sim::cpu_spend_quiet((uint64_t{bytes} * subghz_sim::kSpiByteNs + 999) / 1000);
  sim::set_primask(primask);
}

uint64_t g_busy_wait_steps = 0;

// The MCU waits for the radio's busy flag to fall: one move of time to the
// edge the radio has scheduled, not a poll.
HAL_StatusTypeDef wait_busy() {
  sim::Sx126x& r = subghz_sim::radio();
  const sim::time_us limit = sim::now() + kBusyLimitUs;
  while (r.busy()) {
    if (sim::now() >= limit) return HAL_TIMEOUT;
    const sim::time_us edge = std::min(r.busy_falls_at(), limit);
    ++g_busy_wait_steps;
    sim::cpu_spend_quiet(edge > sim::now() ? edge - sim::now() : 0);
  }
  return HAL_OK;
}

// A sleeping radio is woken by a pulse of its chip select.
HAL_StatusTypeDef ready(SUBGHZ_HandleTypeDef* h) {
  if (h == nullptr || h->State == HAL_SUBGHZ_STATE_RESET) return HAL_ERROR;
  if (h->DeepSleep) {
    sim::Sx126x& r = subghz_sim::radio();
    r.set_nss(0);
    r.set_nss(1);
    h->DeepSleep = 0;
  }
  return wait_busy();
}

struct Window {
  Window() { subghz_sim::radio().set_nss(0); }
  ~Window() { subghz_sim::radio().set_nss(1); }
  uint8_t x(uint8_t b) {
    ++n;
    return subghz_sim::radio().spi_transfer(b);
  }
  uint32_t n = 0;
};

}  // namespace

namespace subghz_sim {

void configure(const sim::Sx126x::Config& config) {
  state().radio.reset();
  state().config = config;
}

sim::Sx126x& radio() {
  State& s = state();
  if (!s.radio) {
    sim::Sx126x::Config c = s.config;
    c.variant = 2;
    if (c.rng_seed == 0)
      c.rng_seed = (uint64_t{sim::unique_id(0)} << 32) ^ sim::unique_id(1) ^ sim::unique_id(2);
    s.radio = std::make_unique<sim::Sx126x>(c);
    s.radio->set_dio1_hook(&on_radio_line, nullptr);
  }
  return *s.radio;
}

void reset() {
  state().radio.reset();
  state().config = sim::Sx126x::Config{};
}

uint64_t busy_wait_steps() { return g_busy_wait_steps; }

}  // namespace subghz_sim

void LL_RCC_RF_EnableReset(void) {
  state().reset_held = true;
  subghz_sim::radio().set_nreset(0);
}

void LL_RCC_RF_DisableReset(void) {
  state().reset_held = false;
  subghz_sim::radio().set_nreset(1);
}

// The reset flag; the boot that follows shows as the radio's busy flag.
uint32_t LL_RCC_IsRFUnderReset(void) { return state().reset_held ? 1u : 0u; }

__attribute__((weak)) void HAL_SUBGHZ_MspInit(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_MspDeInit(SUBGHZ_HandleTypeDef*) {}

HAL_StatusTypeDef HAL_SUBGHZ_Init(SUBGHZ_HandleTypeDef* h) {
  if (h == nullptr) return HAL_ERROR;
  if (h->State == HAL_SUBGHZ_STATE_RESET) HAL_SUBGHZ_MspInit(h);
  subghz_sim::radio();
  h->DeepSleep = 0;
  h->ErrorCode = 0;
  h->State = HAL_SUBGHZ_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_SUBGHZ_DeInit(SUBGHZ_HandleTypeDef* h) {
  if (h == nullptr) return HAL_ERROR;
  HAL_SUBGHZ_MspDeInit(h);
  h->State = HAL_SUBGHZ_STATE_RESET;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_SUBGHZ_ExecSetCmd(SUBGHZ_HandleTypeDef* h, SUBGHZ_RadioSetCmd_t command,
                                        uint8_t* buf, uint16_t size) {
  HAL_StatusTypeDef st = ready(h);
  if (st != HAL_OK) return st;
  uint32_t n;
  {
    Window w;
    w.x(command);
    for (uint16_t i = 0; i < size; ++i) w.x(buf[i]);
    n = w.n;
  }
  spend(n);
  if (command == 0x84) {  // the radio sleeps until woken
    h->DeepSleep = 1;
    return HAL_OK;
  }
  return wait_busy();
}

HAL_StatusTypeDef HAL_SUBGHZ_ExecGetCmd(SUBGHZ_HandleTypeDef* h, SUBGHZ_RadioGetCmd_t command,
                                        uint8_t* buf, uint16_t size) {
  HAL_StatusTypeDef st = ready(h);
  if (st != HAL_OK) return st;
  uint32_t n;
  {
    Window w;
    w.x(command);
    w.x(0);  // status
    for (uint16_t i = 0; i < size; ++i) buf[i] = w.x(0);
    n = w.n;
  }
  spend(n);
  return wait_busy();
}

HAL_StatusTypeDef HAL_SUBGHZ_WriteRegisters(SUBGHZ_HandleTypeDef* h, uint16_t address, uint8_t* buf,
                                            uint16_t size) {
  HAL_StatusTypeDef st = ready(h);
  if (st != HAL_OK) return st;
  uint32_t n;
  {
    Window w;
    w.x(0x0D);
    w.x(static_cast<uint8_t>(address >> 8));
    w.x(static_cast<uint8_t>(address));
    for (uint16_t i = 0; i < size; ++i) w.x(buf[i]);
    n = w.n;
  }
  spend(n);
  return wait_busy();
}

HAL_StatusTypeDef HAL_SUBGHZ_ReadRegisters(SUBGHZ_HandleTypeDef* h, uint16_t address, uint8_t* buf,
                                           uint16_t size) {
  HAL_StatusTypeDef st = ready(h);
  if (st != HAL_OK) return st;
  uint32_t n;
  {
    Window w;
    w.x(0x1D);
    w.x(static_cast<uint8_t>(address >> 8));
    w.x(static_cast<uint8_t>(address));
    w.x(0);
    for (uint16_t i = 0; i < size; ++i) buf[i] = w.x(0);
    n = w.n;
  }
  spend(n);
  return wait_busy();
}

HAL_StatusTypeDef HAL_SUBGHZ_WriteRegister(SUBGHZ_HandleTypeDef* h, uint16_t address,
                                           uint8_t value) {
  return HAL_SUBGHZ_WriteRegisters(h, address, &value, 1);
}

HAL_StatusTypeDef HAL_SUBGHZ_ReadRegister(SUBGHZ_HandleTypeDef* h, uint16_t address,
                                          uint8_t* value) {
  return HAL_SUBGHZ_ReadRegisters(h, address, value, 1);
}

HAL_StatusTypeDef HAL_SUBGHZ_WriteBuffer(SUBGHZ_HandleTypeDef* h, uint8_t offset, uint8_t* buf,
                                         uint16_t size) {
  HAL_StatusTypeDef st = ready(h);
  if (st != HAL_OK) return st;
  uint32_t n;
  {
    Window w;
    w.x(0x0E);
    w.x(offset);
    for (uint16_t i = 0; i < size; ++i) w.x(buf[i]);
    n = w.n;
  }
  spend(n);
  return wait_busy();
}

HAL_StatusTypeDef HAL_SUBGHZ_ReadBuffer(SUBGHZ_HandleTypeDef* h, uint8_t offset, uint8_t* buf,
                                        uint16_t size) {
  HAL_StatusTypeDef st = ready(h);
  if (st != HAL_OK) return st;
  uint32_t n;
  {
    Window w;
    w.x(0x1E);
    w.x(offset);
    w.x(0);
    for (uint16_t i = 0; i < size; ++i) buf[i] = w.x(0);
    n = w.n;
  }
  spend(n);
  return wait_busy();
}

void HAL_SUBGHZ_IRQHandler(SUBGHZ_HandleTypeDef* h) {
  uint8_t st[2] = {0, 0};
  if (HAL_SUBGHZ_ExecGetCmd(h, 0x12, st, 2) != HAL_OK) return;
  const uint16_t irq = static_cast<uint16_t>(st[0] << 8 | st[1]);
  HAL_SUBGHZ_ExecSetCmd(h, 0x02, st, 2);
  if (irq & 0x0001) HAL_SUBGHZ_TxCpltCallback(h);
  if ((irq & 0x0002) && !(irq & 0x0040)) HAL_SUBGHZ_RxCpltCallback(h);
  if (irq & 0x0004) HAL_SUBGHZ_PreambleDetectedCallback(h);
  if (irq & 0x0008) HAL_SUBGHZ_SyncWordValidCallback(h);
  if (irq & 0x0010) HAL_SUBGHZ_HeaderValidCallback(h);
  if (irq & 0x0020) HAL_SUBGHZ_HeaderErrorCallback(h);
  if (irq & 0x0040) HAL_SUBGHZ_CRCErrorCallback(h);
  if (irq & 0x0080) {
    HAL_SUBGHZ_CADStatusCallback(h,
                                 (irq & 0x0100) ? HAL_SUBGHZ_CAD_DETECTED : HAL_SUBGHZ_CAD_CLEAR);
  }
  if (irq & 0x0200) HAL_SUBGHZ_RxTxTimeoutCallback(h);
  // The line is a level: what arrived after the status was read keeps it up.
  if (subghz_sim::radio().dio1()) sim::irq_set_pending(SUBGHZ_Radio_IRQn);
}

__attribute__((weak)) void HAL_SUBGHZ_TxCpltCallback(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_RxCpltCallback(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_PreambleDetectedCallback(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_SyncWordValidCallback(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_HeaderValidCallback(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_HeaderErrorCallback(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_CRCErrorCallback(SUBGHZ_HandleTypeDef*) {}
__attribute__((weak)) void HAL_SUBGHZ_CADStatusCallback(SUBGHZ_HandleTypeDef*,
                                                        HAL_SUBGHZ_CadStatusTypeDef) {}
__attribute__((weak)) void HAL_SUBGHZ_RxTxTimeoutCallback(SUBGHZ_HandleTypeDef*) {}

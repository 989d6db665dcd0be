// Reset and clock control, power controller, EXTI mask: recorded settings,
// the backup-domain reset and the stop modes.
#include <map>
#include <string>

#include "internal.h"
#include "sim/model.h"

extern "C" {
RCC_TypeDef stm32_rcc = {};
}

namespace stm32sim {
namespace detail {
namespace {

struct Rcc {
  std::map<std::string, bool> gates;
  uint32_t lpuart1_source = RCC_LPUART1CLKSOURCE_PCLK1;
  uint32_t usart1_source = RCC_USART1CLKSOURCE_PCLK2;
  uint32_t lse_drive = RCC_LSEDRIVE_LOW;
  uint32_t voltage_scale = PWR_REGULATOR_VOLTAGE_SCALE1;
  uint32_t sysclk_source = RCC_SYSCLKSOURCE_MSI;
  uint32_t exti_imr1 = 0;
  int stop_level = 0;
  std::vector<SleepEntry> sleeps;
};

Rcc& rcc() {
  static Rcc r;
  return r;
}

constexpr size_t kMaxSleepLog = 1u << 20;
// Retained word holding the backup-domain bits of RCC_BDCR (the RTC clock
// enable), which an MCU reset keeps and a backup-domain reset clears.
constexpr int kBdcrWord = 30;

void enter_low_power(int level) {
  Rcc& r = rcc();
  SleepEntry e{sim::now(), 0, level};
  // The core stops; the interrupt that wakes it is taken only after the core
  // runs again (and only when PRIMASK allows).
  uint32_t primask = sim::get_primask();
  sim::set_primask(1);
  if (level > 0) {
    r.stop_level = level;
    tick_stop_changed();
  }
  sim::wait_for_interrupt();
  if (level > 0) {
    r.stop_level = 0;
    // Waking from stop, the system runs on the wake-up clock until the
    // firmware sets the clocks up again.
    r.sysclk_source = RCC_SYSCLKSOURCE_HSI;
    tick_stop_changed();
  }
  e.woke = sim::now();
  if (r.sleeps.size() < kMaxSleepLog) r.sleeps.push_back(e);
  sim::set_primask(primask);
}

}  // namespace

int current_stop_level() { return rcc().stop_level; }
bool exti_line_unmasked(int line) { return (rcc().exti_imr1 >> line) & 1u; }

void rcc_reset() {
  rcc() = Rcc{};
  stm32_rcc = RCC_TypeDef{};
  stm32_rcc.BDCR = sim::retained_read(kBdcrWord) & RCC_BDCR_RTCEN;
  if (stm32_rcc.BDCR & RCC_BDCR_RTCEN) rcc().gates["RTC"] = true;
}

}  // namespace detail

using namespace detail;

const std::vector<SleepEntry>& sleep_log() { return rcc().sleeps; }
void clear_sleep_log() { rcc().sleeps.clear(); }
int stop_level() { return rcc().stop_level; }
uint32_t lpuart1_clock_source() { return rcc().lpuart1_source; }
uint32_t usart1_clock_source() { return rcc().usart1_source; }
bool clock_gate(const char* name) {
  auto it = rcc().gates.find(name);
  return it != rcc().gates.end() && it->second;
}
uint32_t exti_mask() { return rcc().exti_imr1; }

}  // namespace stm32sim

using namespace stm32sim::detail;

extern "C" {

HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef* osc) { return osc ? HAL_OK : HAL_ERROR; }

HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef* clk, uint32_t flash_latency) {
  if (!clk || flash_latency > FLASH_LATENCY_2) return HAL_ERROR;
  if (clk->ClockType & RCC_CLOCKTYPE_SYSCLK) rcc().sysclk_source = clk->SYSCLKSource;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef* periph) {
  if (!periph) return HAL_ERROR;
  if (periph->PeriphClockSelection & RCC_PERIPHCLK_LPUART1)
    rcc().lpuart1_source = periph->Lpuart1ClockSelection;
  if (periph->PeriphClockSelection & RCC_PERIPHCLK_USART1)
    rcc().usart1_source = periph->Usart1ClockSelection;
  return HAL_OK;
}

void HAL_RCCEx_WakeUpStopCLKConfig(uint32_t) {}
uint32_t HAL_RCC_GetSysClockFreq(void) { return SystemCoreClock; }
uint32_t HAL_RCC_GetHCLKFreq(void) { return SystemCoreClock; }
uint32_t HAL_RCC_GetPCLK1Freq(void) { return SystemCoreClock; }
uint32_t HAL_RCC_GetPCLK2Freq(void) { return SystemCoreClock; }

void stm32_rcc_clock_gate(const char* name, int on) {
  rcc().gates[name] = on != 0;
  if (std::string(name) == "RTC") {
    if (on) {
      stm32_rcc.BDCR |= RCC_BDCR_RTCEN;
    } else {
      stm32_rcc.BDCR &= ~RCC_BDCR_RTCEN;
    }
    sim::retained_write(kBdcrWord, stm32_rcc.BDCR & RCC_BDCR_RTCEN);
  }
}
void stm32_rcc_lse_drive(uint32_t drive) { rcc().lse_drive = drive; }

void stm32_rcc_backup_reset(int force) {
  if (force) {
    stm32_rcc.BDCR = RCC_BDCR_BDRST;
    rcc().gates["RTC"] = false;
    sim::retained_clear_all();
    rtc_backup_domain_reset();
  } else {
    stm32_rcc.BDCR &= ~RCC_BDCR_BDRST;
  }
}

void HAL_PWR_EnableBkUpAccess(void) {}
void HAL_PWR_DisableBkUpAccess(void) {}
HAL_StatusTypeDef HAL_PWREx_ControlVoltageScaling(uint32_t voltage_scaling) {
  rcc().voltage_scale = voltage_scaling;
  return HAL_OK;
}
void stm32_pwr_voltage_scaling(uint32_t scale) { rcc().voltage_scale = scale; }

void HAL_PWREx_EnterSTOP0Mode(uint8_t) { enter_low_power(1); }
void HAL_PWREx_EnterSTOP1Mode(uint32_t, uint8_t) { enter_low_power(1); }
void HAL_PWREx_EnterSTOP2Mode(uint8_t) { enter_low_power(2); }
void HAL_PWR_EnterSTOPMode(uint32_t, uint8_t) { enter_low_power(1); }
void HAL_PWR_EnterSLEEPMode(uint32_t, uint8_t) { enter_low_power(0); }

void LL_EXTI_EnableIT_0_31(uint32_t lines) { rcc().exti_imr1 |= lines; }
void LL_EXTI_DisableIT_0_31(uint32_t lines) { rcc().exti_imr1 &= ~lines; }
uint32_t LL_EXTI_IsEnabledIT_0_31(uint32_t lines) {
  return (rcc().exti_imr1 & lines) == lines ? 1 : 0;
}
void LL_PWR_ClearFlag_C1STOP_C1STB(void) {}

}  // extern "C"

// The peripheral back to its power-on state on reset_platform().
SIM_MODEL(stm32_rcc, {.name = "stm32.rcc", .on_reset = stm32sim::detail::rcc_reset});

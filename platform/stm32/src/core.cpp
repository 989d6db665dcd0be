// Cortex-M core, NVIC, SysTick and the HAL core of the simulated STM32WLE5.
#include <cstring>
#include <string>

#include "internal.h"
#include "sim/chip.h"
#include "sim/model.h"

#pragma weak g_vector_table

extern "C" {
uint32_t SystemCoreClock = 48000000U;
SCB_Type stm32_scb = {0x410FC241U, 0, 0, 0, 0, 0};
}

namespace stm32sim {
namespace detail {
namespace {

struct Core {
  uint32_t msp = 0;
  bool event_flag = false;
  uint32_t priority_group = 0;
  // SysTick
  bool systick_enabled = false;
  bool systick_int = false;
  uint8_t systick_priority = 15;
  sim::EventId systick_event = 0;
  uint32_t uw_tick = 0;         // HAL_IncTick counts
  sim::time_us counted_us = 0;  // tick time before `counting_since`
  sim::time_us counting_since = sim::kNever;
  sim::time_us last_tick_read = sim::kNever;
};

Core& core() {
  static Core c;
  return c;
}

bool tick_counting() {
  const Core& c = core();
  return c.systick_enabled && c.systick_int && current_stop_level() == 0;
}

sim::time_us tick_time_us() {
  const Core& c = core();
  sim::time_us t = c.counted_us;
  if (c.counting_since != sim::kNever) t += sim::now() - c.counting_since;
  return t;
}

void systick_event(void*, uint32_t) {
  if (current_stop_level() == 0) sim::exception_set_pending(sim::kSysTick);
}

// Starts or stops the tick's time base after a change of its enables.
void systick_update() {
  Core& c = core();
  bool counting = tick_counting();
  if (!counting && c.counting_since != sim::kNever) {
    c.counted_us += sim::now() - c.counting_since;
    c.counting_since = sim::kNever;
  } else if (counting && c.counting_since == sim::kNever) {
    c.counting_since = sim::now();
  }
  if (periodic_systick()) {
    if (counting && !c.systick_event) {
      c.systick_event = sim::schedule_periodic(sim::now() + 1000, 1000, systick_event, nullptr, 0);
    } else if (!counting && c.systick_event) {
      sim::cancel(c.systick_event);
      c.systick_event = 0;
    }
  }
}

sim::time_us us_to_next_tick() {
  if (periodic_systick() || !tick_counting()) return 1000 - sim::now() % 1000;
  return 1000 - tick_time_us() % 1000;
}

// CMSIS numbers below 0 are the core's exceptions (exception = 16 + number);
// the others are the chip's interrupt lines.
bool is_exception(IRQn_Type irqn) { return irqn < 0; }
int exception_of(IRQn_Type irqn) { return 16 + irqn; }

void core_reset() {
  Core& c = core();
  if (c.systick_event) sim::cancel(c.systick_event);
  c = Core{};
  stm32_scb.VTOR = 0;
  SystemCoreClock = 48000000U;
}

}  // namespace

void tick_stop_changed() { systick_update(); }

uint32_t tick_ms() {
  const Core& c = core();
  if (periodic_systick()) return c.uw_tick;
  return static_cast<uint32_t>(tick_time_us() / 1000) + c.uw_tick;
}

}  // namespace detail

using namespace detail;

// The STM32WLE5 as the simulated core sees it: its peripheral interrupt
// vectors, GPIO ports A to C (pin index port * 16 + line, as sim::pin_id
// gives) and the ADC's internal channels.
SIM_CHIP(stm32wle5, [] {
  sim::ChipProfile c;
  c.name = "STM32WLE5";
  c.irq_count = STM32_IRQ_COUNT;
  for (char port : {'A', 'B', 'C'}) {
    for (int line = 0; line < 16; ++line)
      c.set_pin(sim::pin_id(port, line), std::string("P") + port + std::to_string(line));
  }
  c.analog = {"TEMPSENSOR", "VREFINT", "VBAT"};
  return c;
}());

SIM_MODEL(stm32_core, {.name = "stm32.core", .on_reset = detail::core_reset});

int sim_irq(int irqn) {
  if (irqn < 0)
    sim::fatal("sim_irq(%d): a core exception, not an interrupt line of the chip", irqn);
  return irqn;
}

__attribute__((weak)) bool periodic_systick() { return false; }

uint32_t msp() { return core().msp; }
uint32_t vtor() { return stm32_scb.VTOR; }

void install_vectors() {
  const stm32_vector_t* volatile table = g_vector_table;  // weak: absent in unit tests
  if (!table) return;
  for (int n = 0; n < STM32_IRQ_COUNT; ++n) sim::irq_set_handler(n, table[16 + n]);
  for (int exc : {sim::kSysTick, sim::kPendSv, sim::kSvCall, sim::kDebugMonitor})
    sim::exception_set_handler(exc, table[exc]);
}

void reset_platform() { sim::models_reset(); }

}  // namespace stm32sim

using namespace stm32sim;
using namespace stm32sim::detail;

extern "C" {

// ---------------------------------------------------------------- PRIMASK --
uint32_t __get_PRIMASK(void) { return sim::get_primask(); }
void __set_PRIMASK(uint32_t primask) { sim::set_primask(primask & 1u); }
void __disable_irq(void) { sim::set_primask(1); }
void __enable_irq(void) { sim::set_primask(0); }

// ------------------------------------------------------------- wait/hints --
void __WFI(void) { sim::wait_for_interrupt(); }
void __WFE(void) {
  if (core().event_flag) {
    core().event_flag = false;
    return;
  }
  sim::wait_for_interrupt();
}
void __SEV(void) { core().event_flag = true; }
void __NOP(void) {}
void __DSB(void) {}
void __ISB(void) {}
void __DMB(void) {}
void __BKPT(uint32_t) { sim::halt(); }

// ------------------------------------------------------------ stack/reset --
uint32_t __get_IPSR(void) { return sim::in_isr() ? 1u : 0u; }

uint32_t __get_MSP(void) { return core().msp; }

void __set_MSP(uint32_t top_of_main_stack) {
  core().msp = top_of_main_stack;
  const sim::FlashGeometry& g = sim::flash_geometry();
  if (g.size == 0 || kAppAreaBase < g.base || kAppAreaBase + 8 > g.base + g.size) return;
  uint32_t area_sp;
  std::memcpy(&area_sp, sim::flash_data() + (kAppAreaBase - g.base), sizeof area_sp);
  if (area_sp != top_of_main_stack) return;
  // The stack pointer of the application area is loaded: this is the jump
  // into the application. Start the program the area holds.
  if (const char* name = app_in_flash(kAppAreaBase)) sim::start_image(name);
  sim::log("jump into an application area that holds no runnable image: the core faults");
  sim::halt();
}

// ------------------------------------------------------------------- NVIC --
void NVIC_EnableIRQ(IRQn_Type irqn) {
  if (is_exception(irqn))
    sim::exception_enable(exception_of(irqn), true);
  else
    sim::irq_enable(irqn, true);
}
void NVIC_DisableIRQ(IRQn_Type irqn) {
  if (is_exception(irqn))
    sim::exception_enable(exception_of(irqn), false);
  else
    sim::irq_enable(irqn, false);
}
uint32_t NVIC_GetEnableIRQ(IRQn_Type irqn) {
  return (is_exception(irqn) ? sim::exception_enabled(exception_of(irqn)) : sim::irq_enabled(irqn))
             ? 1
             : 0;
}
void NVIC_SetPendingIRQ(IRQn_Type irqn) {
  if (is_exception(irqn))
    sim::exception_set_pending(exception_of(irqn));
  else
    sim::irq_set_pending(irqn);
}
void NVIC_ClearPendingIRQ(IRQn_Type irqn) {
  if (is_exception(irqn))
    sim::exception_clear_pending(exception_of(irqn));
  else
    sim::irq_clear_pending(irqn);
}
uint32_t NVIC_GetPendingIRQ(IRQn_Type irqn) {
  return (is_exception(irqn) ? sim::exception_pending(exception_of(irqn)) : sim::irq_pending(irqn))
             ? 1
             : 0;
}
void NVIC_SetPriority(IRQn_Type irqn, uint32_t priority) {
  uint8_t p = static_cast<uint8_t>(priority & 15);
  if (irqn == SysTick_IRQn) core().systick_priority = p;
  if (is_exception(irqn))
    sim::exception_set_priority(exception_of(irqn), p);
  else
    sim::irq_set_priority(irqn, p);
}
uint32_t NVIC_GetPriority(IRQn_Type irqn) {
  return irqn == SysTick_IRQn ? core().systick_priority : 0;
}
void NVIC_SetPriorityGrouping(uint32_t group) { core().priority_group = group & 7; }
uint32_t NVIC_GetPriorityGrouping(void) { return core().priority_group; }
void NVIC_SystemReset(void) { sim::system_reset(); }

// ---------------------------------------------------------------- SysTick --
uint32_t SysTick_Config(uint32_t ticks) {
  if (ticks == 0 || ticks - 1 > 0xFFFFFFu) return 1;
  Core& c = core();
  c.systick_enabled = true;
  c.systick_int = true;
  NVIC_SetPriority(SysTick_IRQn, 15);
  sim::exception_enable(sim::kSysTick, true);
  systick_update();
  return 0;
}

void SystemInit(void) {}
void SystemCoreClockUpdate(void) {}

// ---------------------------------------------------------------- HAL core --
__weak void HAL_MspInit(void) {}
__weak void HAL_MspDeInit(void) {}

HAL_StatusTypeDef HAL_Init(void) {
  HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);
  if (HAL_InitTick(TICK_INT_PRIORITY) != HAL_OK) return HAL_ERROR;
  HAL_MspInit();
  return HAL_OK;
}

HAL_StatusTypeDef HAL_DeInit(void) {
  // Every peripheral goes through its reset; the SysTick is a core part and
  // keeps running.
  stm32sim::detail::uart_reset();
  stm32sim::detail::dma_reset();
  stm32sim::detail::adc_reset();
  stm32sim::detail::tim_reset();
  stm32sim::detail::spi_reset();
  stm32sim::detail::i2c_peripheral_reset();
  HAL_MspDeInit();
  return HAL_OK;
}

HAL_StatusTypeDef HAL_InitTick(uint32_t tick_priority) {
  if (SysTick_Config(SystemCoreClock / 1000U) != 0) return HAL_ERROR;
  NVIC_SetPriority(SysTick_IRQn, tick_priority);
  return HAL_OK;
}

void HAL_IncTick(void) { core().uw_tick += 1; }

uint32_t HAL_GetTick(void) {
  Core& c = core();
  // A loop that only polls the tick must see it move: a read with no time
  // passed since the previous one waits for the next millisecond.
  if (c.last_tick_read == sim::now()) sim::cpu_spend(us_to_next_tick());
  c.last_tick_read = sim::now();
  return tick_ms();
}

uint32_t HAL_GetTickPrio(void) { return core().systick_priority; }
HAL_TickFreqTypeDef HAL_GetTickFreq(void) { return HAL_TICK_FREQ_1KHZ; }

void HAL_SuspendTick(void) {
  core().systick_int = false;
  systick_update();
}

void HAL_ResumeTick(void) {
  core().systick_int = true;
  systick_update();
}

void HAL_Delay(uint32_t delay) {
  if (delay == HAL_MAX_DELAY) {
    for (;;) sim::wait_for_interrupt();
  }
  sim::cpu_spend(static_cast<sim::time_us>(delay) * 1000 + us_to_next_tick());
}

uint32_t HAL_GetUIDw0(void) { return sim::unique_id(0); }
uint32_t HAL_GetUIDw1(void) { return sim::unique_id(1); }
uint32_t HAL_GetUIDw2(void) { return sim::unique_id(2); }

void HAL_NVIC_SetPriorityGrouping(uint32_t priority_group) {
  NVIC_SetPriorityGrouping(priority_group);
}
void HAL_NVIC_SetPriority(IRQn_Type irqn, uint32_t preempt_priority, uint32_t) {
  NVIC_SetPriority(irqn, preempt_priority);
}
void HAL_NVIC_EnableIRQ(IRQn_Type irqn) { NVIC_EnableIRQ(irqn); }
void HAL_NVIC_DisableIRQ(IRQn_Type irqn) { NVIC_DisableIRQ(irqn); }
void HAL_NVIC_SystemReset(void) { NVIC_SystemReset(); }
void HAL_NVIC_SetPendingIRQ(IRQn_Type irqn) { NVIC_SetPendingIRQ(irqn); }
void HAL_NVIC_ClearPendingIRQ(IRQn_Type irqn) { NVIC_ClearPendingIRQ(irqn); }
uint32_t HAL_NVIC_GetPendingIRQ(IRQn_Type irqn) { return NVIC_GetPendingIRQ(irqn); }
uint32_t HAL_SYSTICK_Config(uint32_t ticks_numb) { return SysTick_Config(ticks_numb); }

}  // extern "C"

namespace stm32sim {

const char* app_in_flash(uint32_t base) {
  static std::string name;
  const sim::FlashGeometry& g = sim::flash_geometry();
  if (g.size == 0 || base < g.base || base >= g.base + g.size) return nullptr;
  size_t offset = base - g.base;
  name = app_file_program(sim::flash_data() + offset, g.size - offset);
  return name.empty() ? nullptr : name.c_str();
}

}  // namespace stm32sim

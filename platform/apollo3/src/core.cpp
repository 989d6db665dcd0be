// Cortex-M4F core, NVIC, system and power calls, delays and the chip profile
// of the simulated Apollo3.
#include <array>
#include <string>
#include <utility>

#include "am_util.h"
#include "internal.h"
#include "sim/chip.h"
#include "sim/host.h"
#include "sim/model.h"

#pragma weak g_am_pfnVectors

extern "C" {
SCB_Type am3_scb = {0x410FC241u, 0, 0, 0, 0, 0, 0};
const am_hal_cachectrl_config_t am_hal_cachectrl_defaults = {true, 0, 0};
}

namespace apollo3sim {
namespace detail {
namespace {

using IsrFn = void (*)();

struct Core {
  uint32_t msp = 0;
  bool event_flag = false;
  uint32_t priority_group = 0;
  std::array<IsrFn, AM3_IRQ_COUNT> isr{};
  std::array<uint8_t, AM3_IRQ_COUNT> priority{};
  ThreadHook hook = nullptr;
  WfiLimitHook wfi_limit = nullptr;
};

Core& core() {
  static Core c;
  return c;
}

// Interrupt entry as the core does it: the active exception number is in
// ICSR while the handler runs (nested entries restore the outer one).
template <int N>
void entry() {
  const uint32_t outer = am3_scb.ICSR & SCB_ICSR_VECTACTIVE_Msk;
  am3_scb.ICSR = (am3_scb.ICSR & ~SCB_ICSR_VECTACTIVE_Msk) | static_cast<uint32_t>(16 + N);
  IsrFn fn = core().isr[N];
  if (fn) {
    fn();
  } else {
    sim::log("interrupt %d taken without a handler: the default handler loops", N);
    sim::halt();
  }
  am3_scb.ICSR = (am3_scb.ICSR & ~SCB_ICSR_VECTACTIVE_Msk) | outer;
}

template <size_t... I>
constexpr std::array<IsrFn, sizeof...(I)> make_entries(std::index_sequence<I...>) {
  return {&entry<static_cast<int>(I)>...};
}
constexpr auto kEntries = make_entries(std::make_index_sequence<AM3_IRQ_COUNT>{});

void core_reset() {
  Core& c = core();
  ThreadHook hook = c.hook;
  WfiLimitHook wfi_limit = c.wfi_limit;
  c = Core{};
  c.hook = hook;
  c.wfi_limit = wfi_limit;
  for (int n = 0; n < AM3_IRQ_COUNT; ++n) sim::irq_set_handler(n, kEntries[static_cast<size_t>(n)]);
  am3_scb = SCB_Type{0x410FC241u, 0, 0, 0, 0, 0, 0};
}

bool is_exception(IRQn_Type irqn) { return irqn < 0; }
int exception_of(IRQn_Type irqn) { return 16 + irqn; }
// Exceptions the simulated core can pend and mask (others are fixed).
bool configurable(int exc) {
  return exc >= 4 && exc <= 15 && !(exc >= 7 && exc <= 10) && exc != 13;
}

}  // namespace

void install_vector_table() {
  am_vector_t const* volatile table = g_am_pfnVectors;  // weak: absent in unit tests
  if (!table) return;
  for (int n = 0; n < AM3_IRQ_COUNT; ++n) core().isr[static_cast<size_t>(n)] = table[16 + n];
}

bool poll_wait(sim::time_us deadline) {
  if (sim::now() >= deadline) return false;
  sim::wait_for_change(deadline);
  thread_point();
  return true;
}

void busy_wait_us(sim::time_us us) {
  // Only the time this task runs counts (the loop counts its own cycles):
  // what higher tasks take while it is switched out comes on top.
  while (us > 0) {
    const sim::time_us from = sim::now();
    sim::wait_for_change(from + us);
    const sim::time_us ran = sim::now() - from;
    us = ran >= us ? 0 : us - ran;
    thread_point();
  }
}

}  // namespace detail

using namespace detail;

// The Apollo3 as the simulated core sees it: 32 interrupt lines, pads 0-49
// named "PAD<n>" at index n, and the ADC's internal inputs.
SIM_CHIP(apollo3, [] {
  sim::ChipProfile c;
  c.name = "Apollo3";
  c.irq_count = AM3_IRQ_COUNT;
  for (int pad = 0; pad < AM_HAL_GPIO_MAX_PADS; ++pad) c.add_pin("PAD" + std::to_string(pad));
  c.analog = {"BATT", "TEMP"};
  return c;
}());

SIM_MODEL(apollo3_core, {.name = "apollo3.core", .on_reset = detail::core_reset});

void reset_platform() { sim::models_reset(); }

void install_vectors() { install_vector_table(); }

void set_isr(int irq, void (*handler)(void)) {
  if (irq < 0 || irq >= AM3_IRQ_COUNT) sim::fatal("set_isr(%d): the Apollo3 has IRQs 0 to 31", irq);
  core().isr[static_cast<size_t>(irq)] = handler;
  sim::irq_set_handler(irq, kEntries[static_cast<size_t>(irq)]);
}

void set_thread_hook(ThreadHook hook) { core().hook = hook; }
void set_wfi_limit_hook(WfiLimitHook hook) { core().wfi_limit = hook; }

void thread_point() {
  ThreadHook hook = core().hook;
  if (!hook || sim::in_isr() || sim::get_primask() || sim::get_basepri()) return;
  hook();
}

uint8_t basepri() { return sim::get_basepri(); }

uint8_t irq_priority(int irq) {
  return irq >= 0 && irq < AM3_IRQ_COUNT ? core().priority[static_cast<size_t>(irq)] : 0;
}

bool halted() { return sim::host::halted(); }
uint32_t vtor() { return am3_scb.VTOR; }
uint32_t msp() { return core().msp; }

}  // namespace apollo3sim

using namespace apollo3sim;
using namespace apollo3sim::detail;

extern "C" {

// ---------------------------------------------------------- PRIMASK etc. --
uint32_t __get_PRIMASK(void) { return sim::get_primask(); }
void __set_PRIMASK(uint32_t primask) {
  sim::set_primask(primask & 1u);
  thread_point();
}
void __disable_irq(void) { sim::set_primask(1); }
void __enable_irq(void) {
  sim::set_primask(0);
  thread_point();
}
uint32_t __get_BASEPRI(void) { return sim::get_basepri(); }
void __set_BASEPRI(uint32_t basepri) {
  sim::set_basepri(static_cast<uint8_t>(basepri & 0xE0u));
  thread_point();
}
void __set_BASEPRI_MAX(uint32_t basepri) {
  const uint8_t v = static_cast<uint8_t>(basepri & 0xE0u);
  const uint8_t cur = sim::get_basepri();
  if (v != 0 && (cur == 0 || v < cur)) sim::set_basepri(v);
}

void __WFI(void) {
  WfiLimitHook limit = core().wfi_limit;
  const sim::time_us until = limit && !sim::in_isr() ? limit() : sim::kNever;
  if (until == sim::kNever)
    sim::wait_for_interrupt();
  else if (until > sim::now())
    sim::wait_for_change(until);
  else
    sim::cpu_spend(0);
  thread_point();
}
void __WFE(void) {
  if (core().event_flag) {
    core().event_flag = false;
    return;
  }
  __WFI();
}
void __SEV(void) { core().event_flag = true; }
void __NOP(void) {}
void __DSB(void) {}
void __ISB(void) {}
void __DMB(void) {}
void __BKPT(uint32_t value) {
  sim::log("breakpoint %u: the core stops", static_cast<unsigned>(value));
  sim::halt();
}
uint32_t __get_MSP(void) { return core().msp; }
void __set_MSP(uint32_t top_of_main_stack) { core().msp = top_of_main_stack; }

// ------------------------------------------------------------------ NVIC --
void NVIC_EnableIRQ(IRQn_Type irqn) {
  if (is_exception(irqn)) {
    if (configurable(exception_of(irqn))) sim::exception_enable(exception_of(irqn), true);
  } else {
    sim::irq_enable(irqn, true);
  }
  thread_point();
}
void NVIC_DisableIRQ(IRQn_Type irqn) {
  if (is_exception(irqn)) {
    if (configurable(exception_of(irqn))) sim::exception_enable(exception_of(irqn), false);
  } else {
    sim::irq_enable(irqn, false);
  }
}
uint32_t NVIC_GetEnableIRQ(IRQn_Type irqn) {
  if (is_exception(irqn))
    return configurable(exception_of(irqn)) && sim::exception_enabled(exception_of(irqn)) ? 1 : 0;
  return sim::irq_enabled(irqn) ? 1 : 0;
}
void NVIC_SetPendingIRQ(IRQn_Type irqn) {
  if (is_exception(irqn)) {
    if (configurable(exception_of(irqn))) sim::exception_set_pending(exception_of(irqn));
  } else {
    sim::irq_set_pending(irqn);
  }
  thread_point();
}
void NVIC_ClearPendingIRQ(IRQn_Type irqn) {
  if (is_exception(irqn)) {
    if (configurable(exception_of(irqn))) sim::exception_clear_pending(exception_of(irqn));
  } else {
    sim::irq_clear_pending(irqn);
  }
}
uint32_t NVIC_GetPendingIRQ(IRQn_Type irqn) {
  if (is_exception(irqn))
    return configurable(exception_of(irqn)) && sim::exception_pending(exception_of(irqn)) ? 1 : 0;
  return sim::irq_pending(irqn) ? 1 : 0;
}
void NVIC_SetPriority(IRQn_Type irqn, uint32_t priority) {
  const uint8_t byte = level_byte(priority);
  if (is_exception(irqn)) {
    if (configurable(exception_of(irqn))) sim::exception_set_priority(exception_of(irqn), byte);
    return;
  }
  sim::irq_set_priority(irqn, byte);
  core().priority[static_cast<size_t>(irqn)] = byte;
}
uint32_t NVIC_GetPriority(IRQn_Type irqn) {
  if (is_exception(irqn) || irqn >= AM3_IRQ_COUNT) return 0;
  return core().priority[static_cast<size_t>(irqn)] >> 5;
}
void NVIC_SetPriorityGrouping(uint32_t group) { core().priority_group = group & 7; }
uint32_t NVIC_GetPriorityGrouping(void) { return core().priority_group; }
void NVIC_SystemReset(void) { sim::system_reset(); }

// ----------------------------------------------------- system and power --
uint32_t am_hal_clkgen_control(uint32_t control, void*) {
  return control <= AM_HAL_CLKGEN_CONTROL_XTAL_STOP ? AM_HAL_STATUS_SUCCESS
                                                    : AM_HAL_STATUS_INVALID_ARG;
}
uint32_t am_hal_cachectrl_config(const am_hal_cachectrl_config_t* config) {
  return config ? AM_HAL_STATUS_SUCCESS : AM_HAL_STATUS_INVALID_ARG;
}
uint32_t am_hal_cachectrl_enable(void) { return AM_HAL_STATUS_SUCCESS; }
void am_hal_sysctrl_fpu_enable(void) { am3_scb.CPACR |= 0xFu << 20; }
void am_hal_sysctrl_fpu_stacking_enable(bool) {}
uint32_t am_hal_pwrctrl_low_power_init(void) { return AM_HAL_STATUS_SUCCESS; }
void am_hal_rtc_osc_disable(void) {}

void am_hal_sysctrl_sleep(bool deep) {
  if (deep)
    am3_scb.SCR |= SCB_SCR_SLEEPDEEP_Msk;
  else
    am3_scb.SCR &= ~SCB_SCR_SLEEPDEEP_Msk;
  __WFI();
}

uint32_t am_hal_interrupt_master_enable(void) {
  const uint32_t was = sim::get_primask();
  __enable_irq();
  return was;
}
uint32_t am_hal_interrupt_master_disable(void) {
  const uint32_t was = sim::get_primask();
  __disable_irq();
  return was;
}
void am_hal_interrupt_master_set(uint32_t primask) { __set_PRIMASK(primask); }

uint32_t am_hal_reset_control(uint32_t control, void*) {
  if (control != AM_HAL_RESET_CONTROL_SWPOR && control != AM_HAL_RESET_CONTROL_SWPOI)
    return AM_HAL_STATUS_INVALID_ARG;
  sim::log("software %s reset", control == AM_HAL_RESET_CONTROL_SWPOI ? "POI" : "POR");
  sim::system_reset();
}

// ---------------------------------------------------------------- delays --
void am_util_delay_us(uint32_t us) { busy_wait_us(us); }
void am_util_delay_ms(uint32_t ms) { busy_wait_us(uint64_t{ms} * 1000u); }
void am_util_delay_cycles(uint32_t cycles) { busy_wait_us((uint64_t{cycles} + 47u) / 48u); }

}  // extern "C"

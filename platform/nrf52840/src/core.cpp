// Cortex-M4F core, POWER and CLOCK of the simulated nRF52840, and the
// protocol stack's supervisor calls that are not BLE.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "app_error.h"
#include "internal.h"
#include "nrf52840_sim.h"
#include "nrf_delay.h"
#include "nrf_drv_clock.h"
#include "nrf_drv_power.h"
#include "nrf_gpio.h"
#include "nrf_log.h"
#include "nrf_soc.h"
#include "sim/chip.h"
#include "sim/model.h"

namespace nrfsim::detail {
extern uint32_t g_raised, g_evt_seen;
namespace {

constexpr int kGpregretWord = 0;  // the retained word that holds GPREGRET

struct Core {
  bool event_flag = false;
  uint32_t fpscr = 0;
  bool hfclk_running = false;
  bool lfclk_running = false;
  bool clock_driver = false;
  uint32_t prigroup = 0;
};

Core& core() {
  static Core c;
  return c;
}

struct SocObserver {
  nrf_sdh_soc_evt_handler_t handler;
  void* context;
};

std::vector<SocObserver>& soc_observers() {
  static std::vector<SocObserver> v;
  return v;
}

std::vector<uint32_t>& soc_pending() {
  static std::vector<uint32_t> v;
  return v;
}

void (*g_ble_dispatch)() = nullptr;

// The stack's event interrupt: SoC events to every observer, then the BLE
// events.
void soc_isr() {
  std::vector<uint32_t> events;
  events.swap(soc_pending());
  for (uint32_t e : events) {
    for (const SocObserver& o : soc_observers()) o.handler(e, o.context);
  }
  if (g_ble_dispatch) g_ble_dispatch();
}

bool g_rtt_log = false;

void core_reset() {
  core() = Core{};
  g_raised = g_evt_seen = 0;
  soc_pending().clear();
  nrf_power.DCDCEN = 0;
  nrf_clock.EVENTS_HFCLKSTARTED = 0;
  nrf_clock.EVENTS_LFCLKSTARTED = 0;
  nrf_clock.LFCLKSRC = 0;
  for (auto* p : {&nrf_p0, &nrf_p1}) {
    for (uint32_t& c : p->PIN_CNF) c = 2;  // input, buffer disconnected
  }
  install_isr(SWI2_EGU2_IRQn, soc_isr, 6);
}

bool set_rtt_log(const char* v, std::string* error) {
  std::string s = v;
  if (s != "0" && s != "1") {
    *error = "--rtt-log: 0 or 1";
    return false;
  }
  g_rtt_log = s == "1";
  return true;
}

struct InjectedFailure {
  std::string call;
  uint32_t nth = 0;
  uint32_t calls = 0;
};
InjectedFailure& injected() {
  static InjectedFailure f;
  return f;
}

bool set_fail_call(const char* v, std::string* error) {
  std::string s = v;
  size_t at = s.find('@');
  InjectedFailure f;
  f.call = s.substr(0, at);
  f.nth = 1;
  if (at != std::string::npos) {
    const std::string n = s.substr(at + 1);
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(n) == 0) {
      *error = "--fail-call: CALL[@N], N from 1";
      return false;
    }
    f.nth = static_cast<uint32_t>(std::stoul(n));
  }
  if (f.call.empty()) {
    *error = "--fail-call: CALL[@N], N from 1";
    return false;
  }
  injected() = f;
  return true;
}

void aircr_write(uint32_t v) {
  if ((v >> 16) != 0x5FA) return;
  core().prigroup = (v >> 8) & 7;
  if (v & SCB_AIRCR_SYSRESETREQ_Msk) sim::system_reset();
}
uint32_t aircr_read() { return 0xFA050000u | (core().prigroup << 8); }

uint32_t gpregret_read() { return sim::retained_read(kGpregretWord) & 0xFF; }
void gpregret_write(uint32_t v) { sim::retained_write(kGpregretWord, v & 0xFF); }
uint32_t usbregstatus_read() { return usb_vbus() ? 1u : 0u; }
void read_only_write(uint32_t) {}
uint32_t task_read() { return 0; }
void hfclk_start(uint32_t v) {
  if (v) {
    core().hfclk_running = true;
    nrf_clock.EVENTS_HFCLKSTARTED = 1;
  }
}
void lfclk_start(uint32_t v) {
  if (v) {
    core().lfclk_running = true;
    nrf_clock.EVENTS_LFCLKSTARTED = 1;
  }
}

}  // namespace

uint32_t g_raised = 0;    // interrupts raised since start
uint32_t g_evt_seen = 0;  // ... as sd_app_evt_wait last saw them

void raise(IRQn_Type irqn) {
  g_raised++;
  sim::irq_set_pending(irqn);
}

void install_isr(IRQn_Type irqn, sim::IsrFn fn, uint8_t priority) {
  sim::irq_set_handler(irqn, fn);
  sim::irq_set_priority(irqn, priority);
  sim::irq_enable(irqn, true);
}

uint16_t pin_index(uint32_t pin) {
  if (pin >= NRF_GPIO_PIN_COUNT) sim::fatal("GPIO pin number %u: the chip has pins 0 to 47", pin);
  return static_cast<uint16_t>(pin);
}

void soc_event(uint32_t evt_id) {
  soc_pending().push_back(evt_id);
  raise(SWI2_EGU2_IRQn);
}

bool injected_failure(const char* call) {
  InjectedFailure& f = injected();
  // Only the device's first run: the reset a failure leads to starts clean.
  if (f.call != call || sim::reset_count() != 0) return false;
  if (++f.calls != f.nth) return false;
  sim::log("%s fails (call %u, as asked)", call, static_cast<unsigned>(f.calls));
  return true;
}

}  // namespace nrfsim::detail

using namespace nrfsim::detail;

// P0.00 to P0.31 are pins 0 to 31, P1.00 to P1.15 pins 32 to 47; the ADC's
// supply input is VDD.
SIM_CHIP(nrf52840, [] {
  sim::ChipProfile c;
  c.name = "nRF52840";
  c.irq_count = NRF52840_IRQ_COUNT;
  for (int n = 0; n < 48; ++n) {
    char name[8];
    std::snprintf(name, sizeof name, "P%d.%02d", n / 32, n % 32);
    c.add_pin(name);
  }
  c.analog = {"VDD"};
  return c;
}());

SIM_MODEL(nrf52840_core,
          {.name = "nrf52840.core",
           .options = {{"--rtt-log", "0|1", "write the firmware's log lines to the simulator log.",
                        set_rtt_log},
                       {"--fail-call", "CALL[@N]",
                        "make the N-th call (default 1) of the driver call CALL fail in the\n"
                        "device's first run (nrfx_gpiote_init, nrf_drv_twi_init, nrf_drv_twi_tx,\n"
                        "nrf_drv_twi_rx, nrf_drv_uart_init).",
                        set_fail_call}},
           .on_reset = core_reset});

SCB_Type nrf_scb = {0x410FC241u, {aircr_write, aircr_read}};
NRF_POWER_Type nrf_power = {
    0, {read_only_write, usbregstatus_read}, {gpregret_write, gpregret_read}};
NRF_CLOCK_Type nrf_clock = {{hfclk_start, task_read}, {lfclk_start, task_read}, 0, 0, 0};
NRF_PERIPHERAL_POWER_Type nrf_uarte0_power = {1}, nrf_uarte1_power = {1}, nrf_spi0_power = {1},
                          nrf_spi1_power = {1}, nrf_spi2_power = {1};
NRF_GPIO_Type nrf_p0, nrf_p1;
NRF_FICR_Type nrf_ficr = {{{read_only_write, [] { return sim::unique_id(0); }},
                           {read_only_write, [] { return sim::unique_id(1); }}},
                          {{read_only_write, [] { return sim::unique_id(2); }},
                           {read_only_write, [] { return sim::unique_id(1) | 0xC000u; }}}};

namespace nrfsim {
void reset_platform() { sim::models_reset(); }
void set_ble_event_source(void (*dispatch)()) { g_ble_dispatch = dispatch; }
void raise_stack_event() { raise(SWI2_EGU2_IRQn); }
uint32_t gpregret() { return gpregret_read(); }
void fail_call(const std::string& call, uint32_t nth) {
  injected() = InjectedFailure{call, nth, 0};
}
}  // namespace nrfsim

// ------------------------------------------------------------------- core --
namespace {
bool is_exception(IRQn_Type irqn) { return irqn < 0; }
int exception_of(IRQn_Type irqn) { return 16 + irqn; }
}  // namespace

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
void NVIC_SetPriority(IRQn_Type irqn, uint32_t priority) {
  uint8_t p = static_cast<uint8_t>(priority & 7);
  if (is_exception(irqn))
    sim::exception_set_priority(exception_of(irqn), p);
  else
    sim::irq_set_priority(irqn, p);
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
void NVIC_SystemReset(void) { sim::system_reset(); }

uint32_t __get_PRIMASK(void) { return sim::get_primask(); }
void __set_PRIMASK(uint32_t primask) { sim::set_primask(primask & 1u); }
void __disable_irq(void) { sim::set_primask(1); }
void __enable_irq(void) { sim::set_primask(0); }
void __WFI(void) { sim::wait_for_interrupt(); }
void __WFE(void) {
  if (core().event_flag) {
    core().event_flag = false;
    return;
  }
  sim::wait_for_interrupt();
}
void __SEV(void) { core().event_flag = true; }
void __DSB(void) {}
void __ISB(void) {}
void __NOP(void) {}
uint32_t __get_FPSCR(void) { return core().fpscr; }
void __set_FPSCR(uint32_t fpscr) { core().fpscr = fpscr; }
void SystemInit(void) {}

// ------------------------------------------------------------ supervisor --
uint32_t sd_power_gpregret_set(uint32_t, uint32_t msk) {
  gpregret_write(gpregret_read() | msk);
  return NRF_SUCCESS;
}
uint32_t sd_power_gpregret_clr(uint32_t, uint32_t msk) {
  gpregret_write(gpregret_read() & ~msk);
  return NRF_SUCCESS;
}
uint32_t sd_power_gpregret_get(uint32_t, uint32_t* p) {
  if (!p) return NRF_ERROR_NULL;
  *p = gpregret_read();
  return NRF_SUCCESS;
}
// Returns at once when an interrupt has come since the last call, else
// sleeps until one comes.
uint32_t sd_app_evt_wait(void) {
  if (g_raised == g_evt_seen) sim::wait_for_interrupt();
  g_evt_seen = g_raised;
  return NRF_SUCCESS;
}
uint32_t sd_nvic_critical_region_enter(uint8_t* p_is_nested) {
  *p_is_nested = static_cast<uint8_t>(sim::get_primask());
  sim::set_primask(1);
  return NRF_SUCCESS;
}
uint32_t sd_nvic_critical_region_exit(uint8_t is_nested) {
  if (!is_nested) sim::set_primask(0);
  return NRF_SUCCESS;
}
uint32_t sd_softdevice_is_enabled(uint8_t* p) {
  *p = 0;
  return NRF_SUCCESS;
}

nrf_sdh_soc_observer_registrar::nrf_sdh_soc_observer_registrar(nrf_sdh_soc_evt_handler_t handler,
                                                               void* context) {
  soc_observers().push_back({handler, context});
}

// ---------------------------------------------------------------- delays --
void nrf_delay_ms(uint32_t ms) { sim::cpu_spend(static_cast<sim::time_us>(ms) * 1000); }
void nrf_delay_us(uint32_t us) { sim::cpu_spend(us); }

// ---------------------------------------------------------------- clocks --
ret_code_t nrf_drv_clock_init(void) {
  if (core().clock_driver) return NRF_ERROR_MODULE_ALREADY_INITIALIZED;
  core().clock_driver = true;
  return NRF_SUCCESS;
}
void nrf_drv_clock_hfclk_request(nrf_drv_clock_handler_item_t*) { core().hfclk_running = true; }
void nrf_drv_clock_hfclk_release(void) { core().hfclk_running = false; }
bool nrf_drv_clock_hfclk_is_running(void) { return core().hfclk_running; }
void nrf_drv_clock_lfclk_request(nrf_drv_clock_handler_item_t*) { core().lfclk_running = true; }
bool nrf_drv_clock_lfclk_is_running(void) { return core().lfclk_running; }
void nrf_drv_power_usbevt_uninit(void) {}
void nrf_drv_power_uninit(void) {}

// ------------------------------------------------------------------- log --
ret_code_t nrf_log_init(nrf_log_timestamp_func_t, uint32_t) { return NRF_SUCCESS; }
void nrf_log_default_backends_init(void) {}
void nrf_log_panic(void) {}
bool nrf_log_frontend_dequeue(void) { return false; }
void nrf_log_frontend_std(int severity, const char* fmt, ...) {
  if (!g_rtt_log) return;
  char text[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  static const char* const kLevel[] = {"", "error", "warning", "info", "debug"};
  sim::log("<%s> %s", kLevel[severity >= 1 && severity <= 4 ? severity : 0], text);
}
void nrf_log_frontend_hexdump(int, const void*, uint32_t) {}

const char* nrf_strerror_get(ret_code_t code) {
  switch (code) {
    case NRF_SUCCESS:
      return "NRF_SUCCESS";
    case NRF_ERROR_INVALID_ADDR:
      return "NRF_ERROR_INVALID_ADDR";
    case NRF_ERROR_INVALID_LENGTH:
      return "NRF_ERROR_INVALID_LENGTH";
    case NRF_ERROR_INVALID_STATE:
      return "NRF_ERROR_INVALID_STATE";
    case NRF_ERROR_NO_MEM:
      return "NRF_ERROR_NO_MEM";
    case NRF_ERROR_NULL:
      return "NRF_ERROR_NULL";
    case NRF_ERROR_BUSY:
      return "NRF_ERROR_BUSY";
    default:
      return "Unknown error code";
  }
}

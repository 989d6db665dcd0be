// The ADC of the simulated Apollo3: single conversions of slot 0 on a
// software trigger, the value from the analogue input of the slot's channel
// (sim::analog_mv of the pad, "BATT" or "TEMP") against the reference.
#include <deque>

#include "internal.h"
#include "sim/model.h"

namespace apollo3sim {
namespace detail {
namespace {

constexpr sim::time_us kConversionUs = 10;

struct Adc {
  AdcState st{};
  am_hal_adc_config_t config{};
  am_hal_adc_slot_config_t slot[8]{};
  uint32_t int_enable = 0;
  uint32_t int_status = 0;
  std::deque<am_hal_adc_sample_t> fifo;
  sim::EventId event = 0;
};

Adc& adc() {
  static Adc a;
  return a;
}

Adc* from_handle(void* handle) {
  return handle == &adc() && adc().st.initialised ? &adc() : nullptr;
}

// The analogue input a channel reads; nullptr for a channel without one.
const char* channel_input(int channel) {
  static const char* const se[] = {"PAD16", "PAD29", "PAD11", "PAD31", "PAD32",
                                   "PAD33", "PAD34", "PAD35", "PAD13", "PAD12"};
  if (channel >= 0 && channel <= 9) return se[channel];
  if (channel == AM_HAL_ADC_SLOT_CHSEL_BATT) return "BATT";
  if (channel == AM_HAL_ADC_SLOT_CHSEL_TEMP) return "TEMP";
  return nullptr;
}

int precision_bits(am_hal_adc_slot_prec_e p) {
  switch (p) {
    case AM_HAL_ADC_SLOT_14BIT:
      return 14;
    case AM_HAL_ADC_SLOT_12BIT:
      return 12;
    case AM_HAL_ADC_SLOT_10BIT:
      return 10;
    default:
      return 8;
  }
}

uint32_t convert(const am_hal_adc_slot_config_t& s) {
  const char* input = channel_input(s.eChannel);
  const uint32_t mv = input ? sim::analog_mv(input) : 0;
  const uint32_t ref = (adc().config.eReference == AM_HAL_ADC_REFSEL_INT_1P5 ||
                        adc().config.eReference == AM_HAL_ADC_REFSEL_EXT_1P5)
                           ? 1500
                           : 2000;
  const uint32_t full = (1u << precision_bits(s.ePrecisionMode)) - 1;
  const uint64_t v = (uint64_t{mv} * full + ref / 2) / ref;
  return static_cast<uint32_t>(v > full ? full : v);
}

void done_event(void*, uint32_t) {
  Adc& a = adc();
  a.event = 0;
  if (!a.st.enabled || !a.st.powered) return;
  for (uint32_t n = 0; n < 8; ++n) {
    if (!a.slot[n].bEnabled) continue;
    a.fifo.push_back({convert(a.slot[n]), n});
    ++a.st.conversions;
  }
  a.int_status |= AM_HAL_ADC_INT_CNVCMP | AM_HAL_ADC_INT_SCNCMP;
  if (a.int_status & a.int_enable) sim::irq_set_pending(ADC_IRQn);
  sim::signal_change();
}

void adc_reset() {
  if (adc().event) sim::cancel(adc().event);
  adc() = Adc{};
}

}  // namespace
}  // namespace detail

AdcState adc_state() {
  AdcState s = detail::adc().st;
  s.reference = detail::adc().config.eReference;
  s.precision = detail::adc().slot[0].ePrecisionMode;
  s.channel = detail::adc().slot[0].bEnabled ? detail::adc().slot[0].eChannel : -1;
  return s;
}

}  // namespace apollo3sim

SIM_MODEL(apollo3_adc, {.name = "apollo3.adc", .on_reset = apollo3sim::detail::adc_reset});

using namespace apollo3sim;
using namespace apollo3sim::detail;

extern "C" {

uint32_t am_hal_adc_initialize(uint32_t module, void** handle) {
  if (module != 0 || !handle) return AM_HAL_STATUS_OUT_OF_RANGE;
  if (adc().st.initialised) return AM_HAL_STATUS_IN_USE;
  adc().st.initialised = true;
  *handle = &adc();
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_deinitialize(void* handle) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  const uint32_t conversions = a->st.conversions;
  adc_reset();
  adc().st.conversions = conversions;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_power_control(void* handle, am_hal_sysctrl_power_state_e state, bool) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  a->st.powered = state == AM_HAL_SYSCTRL_WAKE;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_configure(void* handle, const am_hal_adc_config_t* config) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!config) return AM_HAL_STATUS_INVALID_ARG;
  a->config = *config;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_configure_slot(void* handle, uint32_t slot,
                                   const am_hal_adc_slot_config_t* config) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  if (slot >= 8 || !config) return AM_HAL_STATUS_INVALID_ARG;
  a->slot[slot] = *config;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_enable(void* handle) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!a->st.powered) return AM_HAL_STATUS_INVALID_OPERATION;
  a->st.enabled = true;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_disable(void* handle) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  a->st.enabled = false;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_sw_trigger(void* handle) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  if (!a->st.enabled) return AM_HAL_STATUS_INVALID_OPERATION;
  if (!a->event) a->event = sim::schedule(sim::now() + kConversionUs, done_event, nullptr);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_interrupt_enable(void* handle, uint32_t mask) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  a->int_enable |= mask;
  if (a->int_status & a->int_enable) sim::irq_set_pending(ADC_IRQn);
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_interrupt_disable(void* handle, uint32_t mask) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  a->int_enable &= ~mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_interrupt_status(void* handle, uint32_t* status, bool enabled_only) {
  Adc* a = from_handle(handle);
  if (!a || !status) return AM_HAL_STATUS_INVALID_HANDLE;
  *status = enabled_only ? a->int_status & a->int_enable : a->int_status;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_interrupt_clear(void* handle, uint32_t mask) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  a->int_status &= ~mask;
  return AM_HAL_STATUS_SUCCESS;
}

uint32_t am_hal_adc_samples_read(void* handle, bool, uint32_t* in, uint32_t* count,
                                 am_hal_adc_sample_t* samples) {
  Adc* a = from_handle(handle);
  if (!a) return AM_HAL_STATUS_INVALID_HANDLE;
  if (in || !count || !samples) return AM_HAL_STATUS_INVALID_ARG;
  uint32_t n = 0;
  while (n < *count && !a->fifo.empty()) {
    samples[n++] = a->fifo.front();
    a->fifo.pop_front();
  }
  *count = n;
  return AM_HAL_STATUS_SUCCESS;
}

}  // extern "C"

// TWI master instances 0 and 1 on the simulated I2C buses 0 and 1. A
// transfer runs at once, as the bus would run it: start, address, bytes,
// and a stop unless the caller holds the bus for a repeated start. With an
// event handler the handler gets the end of the transfer before the call
// returns (the transfer's interrupt, taken at once).
#include <cstring>

#include "internal.h"
#include "nrf_drv_twi.h"
#include "sim/i2c_bus.h"

namespace {

constexpr int kInstances = 2;

struct Twi {
  bool initialised = false;
  bool enabled = false;
  nrf_drv_twi_evt_handler_t handler = nullptr;
  void* context = nullptr;
  sim::I2cTarget* held = nullptr;  // a write without stop holds the bus
  uint8_t held_address = 0;
};
Twi twi[kInstances];

Twi* instance(nrf_drv_twi_t const* p) {
  return (p != nullptr && p->inst_idx < kInstances) ? &twi[p->inst_idx] : nullptr;
}

void release(Twi& t) {
  if (t.held != nullptr) {
    t.held->stop();
    t.held = nullptr;
  }
}

ret_code_t finish(Twi& t, nrf_drv_twi_evt_type_t type) {
  if (t.handler != nullptr) {
    nrf_drv_twi_evt_t evt = {type};
    t.handler(&evt, t.context);
    return NRF_SUCCESS;
  }
  switch (type) {
    case NRF_DRV_TWI_EVT_ADDRESS_NACK:
      return NRF_ERROR_DRV_TWI_ERR_ANACK;
    case NRF_DRV_TWI_EVT_DATA_NACK:
      return NRF_ERROR_DRV_TWI_ERR_DNACK;
    default:
      return NRF_SUCCESS;
  }
}

// Start (or repeated start) to the address; the target, or nullptr when no
// one acknowledged (the bus is then released).
sim::I2cTarget* address(Twi& t, int bus, uint8_t addr, bool read) {
  sim::I2cTarget* target = sim::i2c_target(bus, addr);
  if (t.held != nullptr && t.held != target) release(t);
  t.held = nullptr;
  if (target == nullptr || !target->start(read)) {
    if (target != nullptr) target->stop();
    return nullptr;
  }
  return target;
}

}  // namespace

ret_code_t nrf_drv_twi_init(nrf_drv_twi_t const* p_instance, nrf_drv_twi_config_t const*,
                            nrf_drv_twi_evt_handler_t event_handler, void* p_context) {
  Twi* t = instance(p_instance);
  if (t == nullptr) return NRF_ERROR_INVALID_PARAM;
  if (t->initialised) return NRF_ERROR_INVALID_STATE;
  if (nrfsim::detail::injected_failure("nrf_drv_twi_init")) return NRF_ERROR_INTERNAL;
  *t = Twi{};
  t->initialised = true;
  t->handler = event_handler;
  t->context = p_context;
  return NRF_SUCCESS;
}

void nrf_drv_twi_uninit(nrf_drv_twi_t const* p_instance) {
  if (Twi* t = instance(p_instance)) {
    release(*t);
    *t = Twi{};
  }
}

void nrf_drv_twi_enable(nrf_drv_twi_t const* p_instance) {
  if (Twi* t = instance(p_instance); t != nullptr && t->initialised) t->enabled = true;
}

void nrf_drv_twi_disable(nrf_drv_twi_t const* p_instance) {
  if (Twi* t = instance(p_instance)) {
    release(*t);
    t->enabled = false;
  }
}

ret_code_t nrf_drv_twi_tx(nrf_drv_twi_t const* p_instance, uint8_t addr, uint8_t const* p_data,
                          uint8_t length, bool no_stop) {
  Twi* t = instance(p_instance);
  if (t == nullptr || !t->enabled) return NRF_ERROR_INVALID_STATE;
  if (nrfsim::detail::injected_failure("nrf_drv_twi_tx")) return NRF_ERROR_INTERNAL;
  sim::I2cTarget* target = address(*t, p_instance->inst_idx, addr, false);
  if (target == nullptr) return finish(*t, NRF_DRV_TWI_EVT_ADDRESS_NACK);
  for (uint8_t i = 0; i < length; i++) {
    if (!target->write(p_data[i])) {
      target->stop();
      return finish(*t, NRF_DRV_TWI_EVT_DATA_NACK);
    }
  }
  if (no_stop) {
    t->held = target;
    t->held_address = addr;
  } else {
    target->stop();
  }
  return finish(*t, NRF_DRV_TWI_EVT_DONE);
}

ret_code_t nrf_drv_twi_rx(nrf_drv_twi_t const* p_instance, uint8_t addr, uint8_t* p_data,
                          uint8_t length) {
  Twi* t = instance(p_instance);
  if (t == nullptr || !t->enabled) return NRF_ERROR_INVALID_STATE;
  if (nrfsim::detail::injected_failure("nrf_drv_twi_rx")) return NRF_ERROR_INTERNAL;
  sim::I2cTarget* target = address(*t, p_instance->inst_idx, addr, true);
  if (target == nullptr) return finish(*t, NRF_DRV_TWI_EVT_ADDRESS_NACK);
  for (uint8_t i = 0; i < length; i++) p_data[i] = target->read();
  target->stop();
  return finish(*t, NRF_DRV_TWI_EVT_DONE);
}

bool nrf_drv_twi_is_busy(nrf_drv_twi_t const*) { return false; }

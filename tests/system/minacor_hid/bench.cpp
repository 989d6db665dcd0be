// The bench of the HID and custom service tests: see bench.h.
#include "bench.h"

#include <algorithm>
#include <cstring>

#include "app_error.h"
#include "app_timer.h"
#include "ble_advertising.h"
#include "bsp_sim.h"
#include "nrf52840_ble_sim.h"
#include "nrf52840_sim.h"
#include "nrf_sdh.h"
#include "nrf_sdh_ble.h"
#include "peer_manager.h"
#include "sim/air_medium.h"
#include "sim/host.h"
#include "uhal_ble_nrf.h"
#include "udrv_ble.h"

namespace hidtest {
namespace {

const char kName[] = "ZEM.HIDTEST";

}  // namespace

void Bench::SetUp() {
  sim::host::reset_core();
  sim::air::Medium::instance().reset();
  nrfsim::reset_platform();
  nrfsim::bsp_reset();
  reset_registration();
  ble_parameter = uhal_ble_parameter{0, "", 3, 480, 0, 30, "", 2};
  uhal_is_advertising = false;
  phone_radio_ = std::make_unique<ble::SimRadio>(2);
  phone_ = std::make_unique<ble::Central>(*phone_radio_, kPhoneAddress);
  phone_->set_runner([](sim::time_us deadline, const std::function<bool()>& done) {
    for (;;) {
      if (done()) return true;
      if (sim::now() >= deadline) return false;
      sim::run_until(std::min(deadline, sim::now() + 500));
    }
  });
}

void Bench::TearDown() {
  phone_.reset();
  phone_radio_.reset();
  reset_registration();
  sim::air::Medium::instance().reset();
  sim::host::reset_core();
}

void Bench::start_stack(uint8_t mode) {
  ble_current_service = static_cast<drv_ble_service_mode>(mode);
  ble_parameter.service_mode = mode;
  ASSERT_EQ(app_timer_init(), NRF_SUCCESS);
  ASSERT_EQ(nrf_sdh_enable_request(), NRF_SUCCESS);
  uint32_t ram_start = 0;
  ASSERT_EQ(nrf_sdh_ble_default_cfg_set(APP_BLE_CONN_CFG_TAG, &ram_start), NRF_SUCCESS);
  ASSERT_EQ(nrf_sdh_ble_enable(&ram_start), NRF_SUCCESS);
  ble_gap_conn_sec_mode_t open;
  BLE_GAP_CONN_SEC_MODE_SET_OPEN(&open);
  ASSERT_EQ(
      sd_ble_gap_device_name_set(&open, reinterpret_cast<const uint8_t*>(kName), sizeof(kName) - 1),
      NRF_SUCCESS);
  ASSERT_EQ(pm_init(), NRF_SUCCESS);
}

void Bench::start_hid() {
  ASSERT_NO_FATAL_FAILURE(start_stack(DRV_BLE_HID_MODE));
  register_hid();
  ASSERT_EQ(uhal_ble_hid_advertising_start(), NRF_SUCCESS);
  uhal_is_advertising = true;
}

void Bench::start_custom(uint16_t service_uuid, const std::vector<CustomChar>& chars) {
  ASSERT_NO_FATAL_FAILURE(start_stack(DRV_BLE_CUS_MODE));
  register_custom(service_uuid, chars);
  ASSERT_EQ(start_custom_advertising(), NRF_SUCCESS);
}

bool Bench::wait(const std::function<bool()>& done, sim::time_us timeout) {
  return phone_->wait(done, timeout);
}

void Bench::run_for(sim::time_us t) {
  const sim::time_us end = sim::now() + t;
  phone_->wait([] { return false; }, t);
  if (sim::now() < end) sim::run_until(end);
}

ble::Address Bench::module_address() const { return nrfsim::ble::link_layer().address(); }

bool Bench::connect() {
  if (!phone_->connect(module_address())) return false;
  if (!wait([&] { return phone_->connected(); })) return false;
  return finish(phone_->discover());
}

bool Bench::disconnect() {
  if (!phone_->disconnect()) return false;
  return wait([&] { return !phone_->connected(); });
}

bool Bench::finish(uint32_t id, sim::time_us timeout) {
  return wait([&] { return phone_->done(id); }, timeout);
}

const ble::Central::Characteristic* Bench::find(uint16_t uuid, uint8_t with_property) const {
  const Bytes want = ble::uuid16(uuid);
  for (const auto& c : phone_->characteristics()) {
    if (c.uuid == want && (c.properties & with_property) == with_property) return &c;
  }
  return nullptr;
}

std::vector<Bytes> Bench::notified(uint16_t handle) {
  std::vector<Bytes> out;
  for (const auto& n : phone_->notifications()) {
    if (n.handle == handle) out.push_back(n.value);
  }
  return out;
}

}  // namespace hidtest

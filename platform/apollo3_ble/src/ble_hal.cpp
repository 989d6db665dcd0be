// The BLE interface stand-in: see am_hal_ble.h.
#include "am_hal_ble.h"

#include <algorithm>
#include <cstring>

#include "apollo3_cmsis.h"
#include "ble_host.h"
#include "sim/sim.h"

volatile am_hal_ble_regs_t BLEIFn;
void* BLE = const_cast<am_hal_ble_regs_t*>(&BLEIFn);

namespace {

// A request of the BLE core that has not interrupted yet, because its
// enable was clear.
bool request_waiting;

// Anything the stack has to do (an event of the link layer, a message, a
// timer) is signalled on the BLE interrupt line, as the controller's
// interface does, when its enable is set; the stack task itself waits on
// the kernel.
void pend_ble_irq() {
  if ((BLEIFn.INTEN.value & AM_HAL_BLE_INT_BLECIRQ) == 0) {
    request_waiting = true;
    return;
  }
  request_waiting = false;
  sim::irq_set_pending(BLE_IRQn);
}
void no_idle_wait(uint64_t) {}
// The HCI driver's boot enables the interface's interrupts.
void boot_interface() { BLEIFn.INTEN = BLEIFn.INTEN | AM_HAL_BLE_INT_BLECIRQ; }

struct Wiring {
  Wiring() {
    ble_host::set_wake(pend_ble_irq);
    ble_host::set_idle_wait(no_idle_wait);
    ble_host::set_boot(boot_interface);
  }
} wiring;

void update_status() {
  if (ble_host::HciTransport::reply_ready())
    BLEIFn.BSTATUS = BLEIFn.BSTATUS | AM_HAL_BLE_BSTATUS_BLEIRQ;
  else
    BLEIFn.BSTATUS = BLEIFn.BSTATUS & ~AM_HAL_BLE_BSTATUS_BLEIRQ;
}

}  // namespace

void am_hal_ble_inten_written(void) {
  if ((BLEIFn.INTEN.value & AM_HAL_BLE_INT_BLECIRQ) != 0 && request_waiting) pend_ble_irq();
}

uint32_t am_hal_ble_wakeup_set(void*, uint32_t) { return 0; }
uint32_t am_hal_ble_sleep_set(void*, bool) { return 0; }

uint32_t am_hal_ble_blocking_hci_write(void*, uint8_t, uint32_t* data, uint32_t bytes) {
  uint8_t buf[256];
  const uint32_t n = std::min<uint32_t>(bytes, sizeof buf);
  std::memcpy(buf, data, n);
  const bool ok = ble_host::HciTransport::write(buf, n);
  update_status();
  return ok ? 0 : 1;
}

uint32_t am_hal_ble_blocking_hci_read(void*, uint32_t* data, uint32_t* bytes) {
  uint8_t buf[256];
  const size_t n = ble_host::HciTransport::read(buf, sizeof buf);
  std::memcpy(data, buf, n);
  if (bytes) *bytes = static_cast<uint32_t>(n);
  update_status();
  return n ? 0 : AM_HAL_BLE_NO_HCI_RESPONSE;
}

uint32_t WsfTimerNextExpiration(bool* running) {
  const uint64_t due = ble_host::next_due_us();
  if (due == ~uint64_t{0}) {
    if (running) *running = false;
    return 0;
  }
  if (running) *running = true;
  const uint64_t now = sim::now();
  return due <= now ? 0 : static_cast<uint32_t>((due - now + 999) / 1000);
}

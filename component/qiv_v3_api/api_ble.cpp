// api.ble and api.nfc: each verb forwards to the BLE driver, the serial
// driver of the BLE or NFC port, or the port's BLE operations.
#include <string.h>

#include "api_objects.h"
#include "fund_text.h"
#include "service_nvm.h"
#include "udrv_serial.h"
#ifdef SUPPORT_BLE
#include "udrv_ble.h"
#endif
#include "udrv_ble_port.h"

#ifdef SUPPORT_BLE
namespace {

constexpr uint8_t kMacTextLen = 12;
constexpr uint8_t kNameMax = 29;

bool ok(int32_t result) { return result == 0; }

}  // namespace

// ------------------------------------------------------------------ uart --

int32_t ZEMBle::ZEMBleUart::start(uint8_t adv_time) {
#if UDRV_BLE_PORT_EXTRAS
  if (ble_current_service != DRV_BLE_UART_MODE) {
    udrv_ble_switch_service_mode(DRV_BLE_UART_MODE);
  }
#else
  udrv_ble_stop();
  udrv_ble_services_start();
#endif
  return udrv_ble_advertising_start(adv_time);
}

bool ZEMBle::ZEMBleUart::stop() {
  udrv_ble_stop();
  return true;
}

int32_t ZEMBle::ZEMBleUart::available() { return udrv_serial_read_available(SERIAL_BLE0); }

int32_t ZEMBle::ZEMBleUart::read(uint8_t *buffer, uint32_t length) {
  if (buffer == nullptr) {
    return -UDRV_WRONG_ARG;
  }
  const int32_t n = udrv_serial_read(SERIAL_BLE0, buffer, length);
  if (n > 0) {
    readCount += static_cast<uint32_t>(n);
  }
  return n;
}

int32_t ZEMBle::ZEMBleUart::write(const uint8_t *data, uint32_t length) {
  if (data == nullptr || length == 0) {
    return -UDRV_WRONG_ARG;
  }
  return udrv_serial_write(SERIAL_BLE0, data, length);
}

bool ZEMBle::ZEMBleUart::setPIN(const char *pin) {
#if UDRV_BLE_PORT_EXTRAS
  return ok(uhal_ble_set_pairing_key(pin));
#else
  (void)pin;
  return false;
#endif
}

bool ZEMBle::ZEMBleUart::setPermission(uint8_t level) {
#if UDRV_BLE_PORT_PERMISSION
  return ok(uhal_ble_set_permission(level));
#elif UDRV_BLE_PORT_EXTRAS
  return level == 2;
#else
  (void)level;
  return false;
#endif
}

// -------------------------------------------------------------- settings --

void ZEMBle::ZEMBleSettings::blemode(ZEM_BLE_SERVICE_MODE mode) {
  udrv_ble_switch_service_mode(static_cast<drv_ble_service_mode>(mode));
}

bool ZEMBle::ZEMBleSettings::txPower::set(int8_t dbm) {
#if UDRV_BLE_PORT_EXTRAS
  if (!ok(uhal_ble_set_tx_power(dbm))) {
    return false;
  }
  value = dbm;
  return true;
#else
  (void)dbm;
  return false;
#endif
}

bool ZEMBle::ZEMBleSettings::advertiseInterval::set(uint32_t interval) {
#if UDRV_BLE_PORT_EXTRAS
  if (!ok(uhal_ble_set_adv_interval(interval))) {
    return false;
  }
  value = interval;
  return true;
#else
  (void)interval;
  return false;
#endif
}

bool ZEMBle::ZEMBleSettings::broadcastName::set(const char *name) {
  const size_t n = name != nullptr ? fund_strnlen(name, kNameMax + 1) : 0;
  if (n == 0 || n > kNameMax) {
    return false;
  }
  if (!ok(udrv_ble_set_device_name(name, static_cast<uint8_t>(n)))) {
    return false;
  }
  memset(value, 0, sizeof(value));
  memcpy(value, name, n);
  return true;
}

// ------------------------------------------------------------- advertise --

bool ZEMBle::ZEMBleAdvertise::start(uint8_t adv_time) {
  return udrv_ble_advertising_start(adv_time) == 0;
}

bool ZEMBle::ZEMBleAdvertise::stop() { return ok(uhal_advertising_stop(0)); }

bool ZEMBle::ZEMBleAdvertise::status() {
#if UDRV_BLE_PORT_EXTRAS
  return uhal_is_advertising != 0;
#else
  return false;
#endif
}

// ------------------------------------------------------------------- mac --

const char *ZEMBle::ZEMBleMac::get() {
  memset(devmac, 0, sizeof(devmac));
  memset(twomac, 0, sizeof(twomac));
#if UDRV_BLE_PORT_EXTRAS
  uint8_t address[6];
  uhal_ble_get_macaddress(address);
  static const char hex[] = "0123456789ABCDEF";
  for (int i = 0; i < 6; ++i) {
    const uint8_t b = address[5 - i];
    devmac[2 * i] = hex[b >> 4];
    devmac[2 * i + 1] = hex[b & 0x0F];
  }
#else
  // The address this module applies at start-up: the stored one.
  char stored[kMacTextLen + 1] = {};
  if (service_nvm_get_ble_mac_from_nvm(reinterpret_cast<uint8_t *>(stored), kMacTextLen) != 0) {
    return devmac;
  }
  for (uint8_t i = 0; i < kMacTextLen; ++i) {
    const char c = stored[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
      return devmac;
    }
  }
  memcpy(devmac, stored, kMacTextLen);
#endif
  // The two digits of the least significant byte.
  memcpy(twomac, devmac + 10, 2);
  return devmac;
}

bool ZEMBle::ZEMBleMac::set(const char *text) { return ok(udrv_ble_set_macaddress(text)); }

// ---------------------------------------------------------------- beacon --

bool ZEMBle::ZEMBleBeacon::custom::set(const uint8_t *data, uint8_t length) {
  if (data == nullptr || length == 0 || length > sizeof(payload)) {
    return false;
  }
#if UDRV_BLE_PORT_EXTRAS
  if (!ok(uhal_ble_set_beacon_data(data, length))) {
    return false;
  }
  memset(payload, 0, sizeof(payload));
  memcpy(payload, data, length);
  return true;
#else
  return false;
#endif
}

bool ZEMBle::ZEMBleBeacon::ibeacon::set(const uint8_t beacon_uuid[16], uint16_t beacon_major,
                                        uint16_t beacon_minor, int8_t measured_power) {
  if (beacon_uuid == nullptr) {
    return false;
  }
#if UDRV_BLE_PORT_EXTRAS
  // Major and minor go out most significant byte first.
  const uint8_t ma[2] = {static_cast<uint8_t>(beacon_major >> 8),
                         static_cast<uint8_t>(beacon_major)};
  const uint8_t mi[2] = {static_cast<uint8_t>(beacon_minor >> 8),
                         static_cast<uint8_t>(beacon_minor)};
  if (!ok(uhal_ble_set_ibeacon(beacon_uuid, ma, mi, measured_power))) {
    return false;
  }
  memcpy(uuid, beacon_uuid, sizeof(uuid));
  memcpy(major, ma, sizeof(major));
  memcpy(minor, mi, sizeof(minor));
  power = measured_power;
  return true;
#else
  (void)beacon_major;
  (void)beacon_minor;
  (void)measured_power;
  return false;
#endif
}

// ---------------------------------------------------------------- custom --

bool ZEMBle::ZEMBleCustom::init(const uint8_t base_uuid[16], const uint16_t *char_uuids,
                                uint8_t count, ZEMBleCustomCallback callback) {
#if UDRV_BLE_PORT_CUSTOM_SERVICE
  if (!ok(uhal_cus_service_init(base_uuid, char_uuids, count))) {
    return false;
  }
  CUS_NOTIFY_HANDLER = callback;
  return true;
#else
  (void)base_uuid;
  (void)char_uuids;
  (void)count;
  (void)callback;
  return false;
#endif
}

bool ZEMBle::ZEMBleCustom::start(uint8_t adv_time) {
#if UDRV_BLE_PORT_CUSTOM_AT_MODE_ENTRY
  // The port builds the service when the stack enters the mode: without
  // one asked for there is nothing to start, and one asked for since the
  // last entry needs the mode entered again.
  const uint8_t state = uhal_cus_service_state();
  if (state == UHAL_CUS_SERVICE_NONE) {
    return false;
  }
  if (ble_current_service != DRV_BLE_CUS_MODE || state != UHAL_CUS_SERVICE_ON_STACK) {
    udrv_ble_switch_service_mode(DRV_BLE_CUS_MODE);
  }
  return ok(udrv_ble_advertising_start(adv_time));
#elif UDRV_BLE_PORT_CUSTOM_SERVICE
  if (ble_current_service != DRV_BLE_CUS_MODE) {
    udrv_ble_switch_service_mode(DRV_BLE_CUS_MODE);
  }
  return ok(udrv_ble_advertising_start(adv_time));
#else
  (void)adv_time;
  return false;
#endif
}

// --------------------------------------------------------------- scanner --

bool ZEMBle::ZEMBleScanner::start(uint16_t timeout) {
#if UDRV_BLE_PORT_EXTRAS
  return ok(uhal_ble_scan_start(timeout));
#else
  (void)timeout;
  return false;
#endif
}

bool ZEMBle::ZEMBleScanner::stop() {
#if UDRV_BLE_PORT_EXTRAS
  return ok(uhal_ble_scan_stop());
#else
  return false;
#endif
}

bool ZEMBle::ZEMBleScanner::setInterval(uint16_t interval, uint16_t window) {
#if UDRV_BLE_PORT_EXTRAS
  return ok(uhal_ble_scan_set_interval(interval, window));
#else
  (void)interval;
  (void)window;
  return false;
#endif
}

bool ZEMBle::ZEMBleScanner::setScannerCallback(ZEMBleScanCallback callback) {
#if UDRV_BLE_PORT_EXTRAS
  SCAN_DATA_HANDLER = callback;
  return true;
#else
  (void)callback;
  return false;
#endif
}

// ------------------------------------------------------------------- hid --

bool ZEMBle::ZEMBleHid::start(uint8_t adv_time) {
#if UDRV_BLE_PORT_HID_MODE
  if (ble_current_service != DRV_BLE_HID_MODE) {
    udrv_ble_switch_service_mode(DRV_BLE_HID_MODE);
  }
  return ok(udrv_ble_advertising_start(adv_time));
#else
  (void)adv_time;
  return false;
#endif
}

// The keys go to the keyboard's ring of patterns.
bool ZEMBle::ZEMBleHid::sendkey(const uint8_t *keys, uint8_t length) {
#if UDRV_BLE_PORT_HID_MODE
  return uhal_ble_hid_type_keys(keys, length);
#else
  (void)keys;
  (void)length;
  return false;
#endif
}

bool ZEMBle::ZEMBleHid::setKeyboardCallback(void (*callback)(uint8_t leds)) {
#if UDRV_BLE_PORT_HID_MODE
  uhal_ble_hid_set_led_handler(callback);
  return true;
#else
  (void)callback;
  return false;
#endif
}

// ------------------------------------------------------------------- ble --

bool ZEMBle::stop() {
  udrv_ble_stop();
  return true;
}

bool ZEMBle::registerCallback(ZEM_BLE_EVENT event, void (*callback)(void)) {
#if UDRV_BLE_PORT_EXTRAS
  switch (event) {
    case ZEM_BLE_CONNECTED:
      CONNECT_HANDLER = callback;
      return true;
    case ZEM_BLE_DISCONNECTED:
      DISCONNECT_HANDLER = callback;
      return true;
    default:
      return false;
  }
#else
  (void)event;
  (void)callback;
  return false;
#endif
}
#endif

// ------------------------------------------------------------------- nfc --

#ifdef SUPPORT_NFC
bool ZEMNfc::init() {
  udrv_serial_init(SERIAL_NFC, 0, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                   SERIAL_TWO_WIRE_NORMAL_MODE);
  return true;
}

int32_t ZEMNfc::send(const uint8_t *data, uint32_t length) {
  if (data == nullptr || length == 0) {
    return -UDRV_WRONG_ARG;
  }
  return udrv_serial_write(SERIAL_NFC, data, length);
}

bool ZEMNfc::close() {
  if (serial_nfc_driver.SERIAL_DEINIT == nullptr) {
    return false;
  }
  serial_nfc_driver.SERIAL_DEINIT(SERIAL_NFC);
  return true;
}
#endif

// What a connected phone may write to the Apollo3 BLE serial service, and
// what the module answers through it: writes of any length and content into
// the receive buffer and the custom-mode escape recogniser, the reads of the
// port's consumer (the password line of a locked port), and replies of any
// length notified in pieces of the negotiated MTU, with the MTU changing and
// the notifications turned off and on between them.
//
// The service and the driver layer's serial code are the firmware's; the host
// stack, the stored settings and the event queue are fakes. Checked on every
// input, besides memory and undefined behaviour:
// - the consumer reads exactly the bytes written, in order, less those that
//   did not fit the buffer (each write keeps the part that fits);
// - the escape to the bootloader or to AT mode is taken only in custom mode
//   and only right after "AT+BOOT" or "AT+ATM" (any case) and a line end;
// - a reply reaches the phone whole and in order, in notifications of at
//   most the MTU's payload, while notifications are on.
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "apollo3_port.h"
#include "ble_internal.h"
#include "service_nvm.h"
#include "udrv_dfu.h"
#include "udrv_powersave.h"
#include "udrv_serial.h"
#include "udrv_system.h"

namespace {

void require(bool ok) {
  if (!ok) {
    abort();
  }
}

struct Fake {
  SERVICE_MODE_TYPE mode = SERVICE_MODE_TYPE_CLI;
  SERIAL_WLOCK_STATE lock = SERIAL_WLOCK_OPEN;
  std::string passwd = "12345678";
  std::string fed;  // bytes the escape recogniser saw, in order
  int dfu = 0, fallback_events = 0, ble_events = 0;
  std::string notified;
  std::vector<uint16_t> mtu_plan;  // the MTU payload after each notification
  size_t next_mtu = 0;
};
Fake *g;

// Places in `fed` from `from` on where `command` and a line end have just
// been seen (any case).
int escapes_ending_after(size_t from, char const *command) {
  size_t const n = strlen(command);
  int count = 0;
  for (size_t end = from; end < g->fed.size(); ++end) {
    char const last = g->fed[end];
    if ((last != '\r' && last != '\n') || end < n) {
      continue;
    }
    bool match = true;
    for (size_t i = 0; match && i < n; ++i) {
      match = toupper(static_cast<unsigned char>(g->fed[end - n + i])) == command[i];
    }
    count += match ? 1 : 0;
  }
  return count;
}

}  // namespace

// ---- stored settings ----
SERVICE_MODE_TYPE service_nvm_get_mode_type_from_nvm(SERIAL_PORT) { return g->mode; }
SERIAL_WLOCK_STATE service_nvm_get_lock_status_from_nvm(SERIAL_PORT) { return g->lock; }
int32_t service_nvm_set_lock_status_to_nvm(SERIAL_PORT, SERIAL_WLOCK_STATE s) {
  g->lock = s;
  return 0;
}
int32_t service_nvm_get_serial_passwd_from_nvm(char *buff, uint32_t len) {
  uint32_t const n =
      static_cast<uint32_t>(g->passwd.size()) < len ? static_cast<uint32_t>(g->passwd.size()) : len;
  memcpy(buff, g->passwd.data(), n);
  return static_cast<int32_t>(n);
}
int32_t service_nvm_set_serial_passwd_to_nvm(char const *buff, uint32_t len) {
  g->passwd.assign(buff, len);
  return 0;
}

// ---- the rest of the system ----
void udrv_enter_dfu(void) {
  require(g->mode == SERVICE_MODE_TYPE_CUSTOM);
  ++g->dfu;
}
int32_t udrv_system_event_produce(udrv_system_event_t *event) {
  if (event->request == UDRV_SYS_EVT_OP_SERIAL_FALLBACK) {
    require(g->mode == SERVICE_MODE_TYPE_CUSTOM);
    ++g->fallback_events;
  } else {
    require(event->request == UDRV_SYS_EVT_OP_SERIAL_BLE);
    ++g->ble_events;
  }
  return 0;
}
void udrv_system_critical_section_begin(uint32_t *mask) { *mask = 0; }
void udrv_system_critical_section_end(uint32_t *) {}
void uhal_mcu_consume_event(void) {}
volatile bool udrv_powersave_in_sleep;
bool isInISR(void) { return false; }
void rtt_log_general_print(int, const char *, const char *, int, const char *, ...) {}
bool uhal_uart_baudrate_supported(uint32_t) { return true; }
void uhal_uart_suspend(void) {}
void uhal_uart_resume(void) {}
udrv_serial_api serial_uart_driver = {};

void AttsHandleValueNtf(dmConnId_t connId, uint16_t handle, uint16_t valueLen, uint8_t *pValue) {
  require(connId != DM_CONN_ID_NONE && handle == NUS_TX_HDL);
  require(valueLen <= att_mtu);
  g->notified.append(reinterpret_cast<char const *>(pValue), valueLen);
  // An MTU exchange may end while a reply is under way; within a connection
  // the MTU only grows (it is exchanged once).
  if (g->next_mtu < g->mtu_plan.size()) {
    uint16_t const next = g->mtu_plan[g->next_mtu++];
    if (next > att_mtu) {
      att_mtu = next;
    }
  }
}
// No confirmation semaphore here: a notification is taken as confirmed.
BaseType_t xQueueSemaphoreTake(QueueHandle_t, TickType_t) { return pdTRUE; }
BaseType_t xQueueReceiveFromISR(QueueHandle_t, void *, BaseType_t *) { return pdTRUE; }
void vPortYieldFromISR(BaseType_t) {}
void AttsAddGroup(attsGroup_t *) {}
uint8_t AttsSetAttr(uint16_t, uint16_t, uint8_t *) { return 0; }

namespace {

// The escape recogniser sees what the service hands it: a copy of each
// write's bytes kept in order (the fallback handler is the firmware's).
struct Input {
  uint8_t const *p;
  size_t n;
  bool empty() const { return n == 0; }
  uint8_t byte() {
    if (n == 0) {
      return 0;
    }
    --n;
    return *p++;
  }
};

uint16_t mtu_payload(uint8_t b) { return static_cast<uint16_t>(20 + b % 225); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Fake fake;
  g = &fake;
  att_mtu = ATT_MTU_DEFAULT_PAYLOAD;
  uhal_nus_main_init(1);
  ble_rx_queue_clear();
  udrv_serial_init(SERIAL_BLE0, 115200, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE,
                   SERIAL_TWO_WIRE_NORMAL_MODE);
  udrv_serial_lock();
  udrv_serial_unlock();
  // The escape recogniser back to its start (any byte of no escape does it).
  fake.mode = SERVICE_MODE_TYPE_CUSTOM;
  serial_fallback_handler(SERIAL_BLE0, 'x');
  fake.mode = SERVICE_MODE_TYPE_CLI;
  uint8_t conn = 1;
  uhal_nus_main_start(conn, BLE_MODULE_NUS_TX_CCC_IDX);
  bool notifying = true;

  Input in{data, size};
  std::deque<uint8_t> expected;  // written, not yet read
  size_t held = 0;               // bytes in the service's buffer

  for (int ops = 0; !in.empty() && ops < 512; ++ops) {
    uint8_t const op = in.byte();
    switch (op % 6) {
      case 0:
      case 1: {  // a write of the phone
        size_t k = in.byte();
        if (op & 0x80) {
          k |= (in.byte() & 1u) << 8;
        }
        std::vector<uint8_t> w(k);
        for (size_t i = 0; i < k; ++i) {
          w[i] = in.byte();
        }
        size_t const room = 256 - held;
        size_t const kept = k < room ? k : room;
        // The recogniser sees the bytes kept, in custom mode.
        size_t const fed_before = g->fed.size();
        if (g->mode == SERVICE_MODE_TYPE_CUSTOM) {
          g->fed.append(reinterpret_cast<char const *>(w.data()), kept);
        }
        int const dfu_before = g->dfu, fallback_before = g->fallback_events;
        uhal_nus_main_write_cback(conn, NUS_RX_HDL, 0, 0, static_cast<uint16_t>(w.size()), w.data(),
                                  nullptr);
        require(g->dfu - dfu_before <= escapes_ending_after(fed_before, "AT+BOOT"));
        require(g->fallback_events - fallback_before <= escapes_ending_after(fed_before, "AT+ATM"));
        expected.insert(expected.end(), w.begin(), w.begin() + static_cast<long>(kept));
        held += kept;
        break;
      }
      case 2: {  // the consumer reads
        uint8_t buf[300];
        uint32_t const want = 1 + in.byte();
        int32_t const avail = udrv_serial_read_available(SERIAL_BLE0);
        require(avail == static_cast<int32_t>(held));
        int32_t const got = udrv_serial_read(SERIAL_BLE0, buf, want);
        require(got >= 0 && static_cast<uint32_t>(got) <= want);
        require(static_cast<size_t>(got) == (held < want ? held : want));
        for (int32_t i = 0; i < got; ++i) {
          require(buf[i] == expected.front());
          expected.pop_front();
          if (g->lock != SERIAL_WLOCK_OPEN) {
            udrv_serial_wlock_handler(SERIAL_BLE0, buf[i]);
          }
        }
        held -= static_cast<size_t>(got);
        break;
      }
      case 3: {  // a reply of the module
        size_t const k = in.byte() * 3u;
        std::string text(k, '\0');
        for (size_t i = 0; i < k; ++i) {
          text[i] = static_cast<char>('a' + i % 26);
        }
        fake.mtu_plan.clear();
        fake.next_mtu = 0;
        for (int i = in.byte() % 4; i > 0; --i) {
          fake.mtu_plan.push_back(mtu_payload(in.byte()));
        }
        fake.notified.clear();
        std::vector<uint8_t> exact(text.begin(), text.end());
        int32_t const rc = uhal_nus_write(exact.data(), static_cast<uint16_t>(exact.size()));
        if (notifying) {
          require(rc == 0 && fake.notified == text);
        } else {
          require(fake.notified.empty());
        }
        break;
      }
      case 4: {  // the MTU, the notifications, the connection
        uint8_t const what = in.byte();
        if (what % 3 == 0) {
          uint16_t const next = mtu_payload(in.byte());
          if (next > att_mtu) {
            att_mtu = next;
          }
        } else if (what % 3 == 1) {
          if (notifying) {
            uhal_nus_main_stop(conn);
          } else {
            uhal_nus_main_start(conn, BLE_MODULE_NUS_TX_CCC_IDX);
          }
          notifying = !notifying;
        } else {
          uhal_nus_main_conn_close(conn);
          conn = static_cast<uint8_t>(1 + in.byte() % 3);
          uhal_nus_main_start(conn, BLE_MODULE_NUS_TX_CCC_IDX);
          notifying = true;
          att_mtu = ATT_MTU_DEFAULT_PAYLOAD;
        }
        break;
      }
      default: {  // the port's mode and lock change
        uint8_t const what = in.byte();
        g->mode = (what & 1) ? SERVICE_MODE_TYPE_CUSTOM : SERVICE_MODE_TYPE_CLI;
        if (what & 2) {
          udrv_serial_lock();
        } else if (what & 4) {
          udrv_serial_unlock();
        }
        break;
      }
    }
  }
  g = nullptr;
  return 0;
}

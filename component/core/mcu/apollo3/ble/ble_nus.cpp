// The BLE serial port SERIAL_BLE0: the serial GATT service a peer writes AT
// commands to and receives the replies from as notifications, the receive
// buffer behind it and the serial operation table of the port.
#include <string.h>

#include "apollo3_port.h"
#include "ble_internal.h"
#include "udrv_powersave.h"
#include "udrv_serial.h"
#include "udrv_system.h"

volatile uint16_t att_mtu = ATT_MTU_DEFAULT_PAYLOAD;
SemaphoreHandle_t nus_notify_semaphore;

namespace {

FUND_CIRCULAR_QUEUE_INIT(uint8_t, BLE_rxq, 256);

constexpr uint8_t kConnSlots = 3;
constexpr uint16_t kValueMax = 512;

struct NusConn {
  dmConnId_t connId;
  bool bleModuleToSend;
};

struct NusMainCb {
  uint32_t reserved;
  NusConn conn[kConnSlots];
  wsfHandlerId_t appHandlerId;
};
NusMainCb svcNUSMainCb;

udrv_system_event_t qiv_ble_event = {UDRV_SYS_EVT_OP_SERIAL_BLE, nullptr};

// Service, RX and TX UUIDs, least significant byte first.
const uint8_t uuid_primary[2] = {0x00, 0x28};
const uint8_t uuid_char[2] = {0x03, 0x28};
const uint8_t uuid_ccc[2] = {0x02, 0x29};
uint8_t nus_svc_uuid[16] = {0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5, 0xA9, 0xE0,
                            0x93, 0xF3, 0xA3, 0xB5, 0x01, 0x00, 0x40, 0x6E};
const uint8_t nus_rx_uuid[16] = {0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5, 0xA9, 0xE0,
                                 0x93, 0xF3, 0xA3, 0xB5, 0x02, 0x00, 0x40, 0x6E};
const uint8_t nus_tx_uuid[16] = {0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5, 0xA9, 0xE0,
                                 0x93, 0xF3, 0xA3, 0xB5, 0x03, 0x00, 0x40, 0x6E};

uint16_t svc_len = sizeof nus_svc_uuid;
uint8_t rx_decl[19] = {0x0C,
                       static_cast<uint8_t>(NUS_RX_HDL),
                       static_cast<uint8_t>(NUS_RX_HDL >> 8),
                       0x9E,
                       0xCA,
                       0xDC,
                       0x24,
                       0x0E,
                       0xE5,
                       0xA9,
                       0xE0,
                       0x93,
                       0xF3,
                       0xA3,
                       0xB5,
                       0x02,
                       0x00,
                       0x40,
                       0x6E};
uint16_t rx_decl_len = sizeof rx_decl;
uint8_t rx_value[kValueMax];
uint16_t rx_value_len = 0;
uint8_t tx_decl[19] = {0x10,
                       static_cast<uint8_t>(NUS_TX_HDL),
                       static_cast<uint8_t>(NUS_TX_HDL >> 8),
                       0x9E,
                       0xCA,
                       0xDC,
                       0x24,
                       0x0E,
                       0xE5,
                       0xA9,
                       0xE0,
                       0x93,
                       0xF3,
                       0xA3,
                       0xB5,
                       0x03,
                       0x00,
                       0x40,
                       0x6E};
uint16_t tx_decl_len = sizeof tx_decl;
uint8_t tx_value[kValueMax];
uint16_t tx_value_len = 0;
uint8_t tx_ccc[2] = {0, 0};
uint16_t tx_ccc_len = sizeof tx_ccc;

attsAttr_t nus_attrs[] = {
    {uuid_primary, nus_svc_uuid, &svc_len, sizeof nus_svc_uuid, 0, ATTS_PERMIT_READ},
    {uuid_char, rx_decl, &rx_decl_len, sizeof rx_decl, 0, ATTS_PERMIT_READ},
    {nus_rx_uuid, rx_value, &rx_value_len, kValueMax,
     ATTS_SET_UUID_128 | ATTS_SET_WRITE_CBACK | ATTS_SET_VARIABLE_LEN, ATTS_PERMIT_WRITE},
    {uuid_char, tx_decl, &tx_decl_len, sizeof tx_decl, 0, ATTS_PERMIT_READ},
    {nus_tx_uuid, tx_value, &tx_value_len, kValueMax, ATTS_SET_UUID_128 | ATTS_SET_VARIABLE_LEN,
     ATTS_PERMIT_READ | ATTS_PERMIT_WRITE},
    {uuid_ccc, tx_ccc, &tx_ccc_len, sizeof tx_ccc, ATTS_SET_CCC,
     ATTS_PERMIT_READ | ATTS_PERMIT_WRITE},
};

attsGroup_t nus_group = {nullptr, nus_attrs, nullptr, nullptr, NUS_START_HDL, NUS_END_HDL};

NusConn *slot_of(dmConnId_t connId) {
  if (connId == DM_CONN_ID_NONE || connId > kConnSlots) {
    return nullptr;
  }
  return &svcNUSMainCb.conn[connId - 1];
}

NusConn *find_next2send() {
  for (NusConn &c : svcNUSMainCb.conn) {
    if (c.connId != DM_CONN_ID_NONE && c.bleModuleToSend) {
      return &c;
    }
  }
  return nullptr;
}

int32_t send_data(uint16_t handle, uint8_t const *buf, uint16_t len) {
  NusConn *c = find_next2send();
  if (c == nullptr) {
    return -1;
  }
  AttsHandleValueNtf(c->connId, handle, len, const_cast<uint8_t *>(buf));
  return 0;
}

// Waits for the confirmation of the notification just queued; a missing one
// does not stop the write.
void wait_notify_confirmation() {
  if (nus_notify_semaphore == nullptr) {
    return;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    xSemaphoreTakeFromISR(nus_notify_semaphore, &woken);
    portYIELD_FROM_ISR(woken);
    return;
  }
  xSemaphoreTake(nus_notify_semaphore, 3 * BLE_CONN_INTERVAL_MAX);
}

}  // namespace

fund_circular_queue_t *const ble_rx_queue = &BLE_rxq;

void ble_rx_queue_clear(void) {
  uint8_t sink[32];
  while (fund_circular_queue_out(&BLE_rxq, sink, sizeof sink) != 0) {
  }
}

void uhal_nus_main_init(wsfHandlerId_t handlerId) {
  memset(&svcNUSMainCb, 0, sizeof svcNUSMainCb);
  svcNUSMainCb.appHandlerId = handlerId;
}

void uhal_nus_main_start(dmConnId_t connId, uint8_t) {
  NusConn *c = slot_of(connId);
  if (c != nullptr) {
    c->connId = connId;
    c->bleModuleToSend = true;
  }
}

void uhal_nus_main_stop(dmConnId_t connId) {
  NusConn *c = slot_of(connId);
  if (c != nullptr) {
    c->connId = DM_CONN_ID_NONE;
    c->bleModuleToSend = false;
  }
}

void uhal_nus_main_conn_close(dmConnId_t connId) { uhal_nus_main_stop(connId); }

void uhal_nus_main_proc_msg(wsfMsgHdr_t *pMsg) {
  if (pMsg->event == DM_CONN_OPEN_IND) {
    APOLLO3_TRACE("NUS connection open %u", static_cast<unsigned>(pMsg->param));
  } else if (pMsg->event == DM_CONN_UPDATE_IND) {
    APOLLO3_TRACE("NUS connection update %u", static_cast<unsigned>(pMsg->param));
  }
}

void UhalNUSAddGroup(void) { AttsAddGroup(&nus_group); }

void UhalNUSCbackRegister(attsReadCback_t readCback, attsWriteCback_t writeCback) {
  nus_group.readCback = readCback;
  nus_group.writeCback = writeCback;
}

uint8_t uhal_nus_main_read_cback(dmConnId_t, uint16_t handle, uint8_t, uint16_t,
                                 attsAttr_t *pAttr) {
  AttsSetAttr(handle, *pAttr->pLen, pAttr->pValue);
  return ATT_SUCCESS;
}

uint8_t uhal_nus_main_write_cback(dmConnId_t, uint16_t, uint8_t, uint16_t, uint16_t len,
                                  uint8_t *pValue, attsAttr_t *) {
  uhal_nus_data_handler(pValue, len);
  return ATT_SUCCESS;
}

void uhal_nus_data_handler(uint8_t const *p_data, uint16_t length) {
  udrv_powersave_in_sleep = false;
  uint32_t const room = fund_circular_queue_available_get(&BLE_rxq);
  uint32_t kept = length;
  if (length > room) {
    APOLLO3_TRACE("%u available is less than %u received!", static_cast<unsigned>(room),
                  static_cast<unsigned>(length));
    kept = room;
  }
  for (uint32_t i = 0; i < kept; ++i) {
    serial_fallback_handler(SERIAL_BLE0, p_data[i]);
  }
  if (kept != 0) {
    fund_circular_queue_in(&BLE_rxq, p_data, kept);
  }
  udrv_system_event_produce(&qiv_ble_event);
  uhal_mcu_consume_event();
}

int32_t uhal_nus_write(uint8_t const *pdata, uint16_t length) {
  uint16_t const chunk = att_mtu;
  uint16_t left = length;
  uint16_t pos = 0;
  do {
    uint16_t const n = left <= chunk ? left : chunk;
    if (send_data(NUS_TX_HDL, pdata + pos, n) != 0) {
      if (left == 0) {
        break;
      }
      APOLLO3_TRACE("sending failed. (%u)", static_cast<unsigned>(left));
      return -UDRV_INTERNAL_ERR;
    }
    pos = static_cast<uint16_t>(pos + n);
    left = static_cast<uint16_t>(left - n);
    wait_notify_confirmation();
  } while (left > 0);
  APOLLO3_TRACE("sending completed. (%u)", static_cast<unsigned>(length));
  return 0;
}

namespace {

void ble_serial_init(SERIAL_PORT, uint32_t, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E, SERIAL_PARITY_E,
                     SERIAL_WIRE_MODE_E) {}
void ble_serial_deinit(SERIAL_PORT) {}
int32_t ble_serial_write(SERIAL_PORT, uint8_t const *buffer, uint32_t count, uint32_t) {
  return uhal_nus_write(buffer, static_cast<uint16_t>(count));
}
int32_t ble_serial_read(SERIAL_PORT, uint8_t *buffer, uint32_t count, uint32_t) {
  return static_cast<int32_t>(fund_circular_queue_out(&BLE_rxq, buffer, count));
}
int32_t ble_serial_peek(SERIAL_PORT) { return -UDRV_INTERNAL_ERR; }
void ble_serial_flush(SERIAL_PORT, uint32_t) {}
int32_t ble_serial_available(SERIAL_PORT) {
  return static_cast<int32_t>(fund_circular_queue_utilization_get(&BLE_rxq));
}

}  // namespace

udrv_serial_api serial_ble_driver = {
    ble_serial_init, ble_serial_deinit, ble_serial_write,     ble_serial_read,
    ble_serial_peek, ble_serial_flush,  ble_serial_available, nullptr};

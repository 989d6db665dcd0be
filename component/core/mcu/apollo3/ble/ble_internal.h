// Shared state of the Apollo3 BLE glue: the module handler and connection
// handling (ble_module.cpp) and the serial service (ble_nus.cpp). The
// operations it offers beyond the driver contract are in udrv_ble_port.h
// (the scan report hook runs in the scanner task).
#pragma once

#include <stdint.h>

#include "FreeRTOS.h"
#include "ble_host.h"
#include "fund_circular_queue.h"
#include "semphr.h"
#include "udrv_ble_port.h"

// Handles of the serial service.
constexpr uint16_t NUS_START_HDL = 0x0700;
constexpr uint16_t NUS_RX_HDL = 0x0702;
constexpr uint16_t NUS_TX_HDL = 0x0704;
constexpr uint16_t NUS_TX_CCC_HDL = 0x0705;
constexpr uint16_t NUS_END_HDL = 0x0705;

// Entries of the module's client characteristic configuration table.
enum : uint8_t {
  BLE_MODULE_GATT_SC_CCC_IDX = 0,
  BLE_MODULE_NUS_TX_CCC_IDX = 1,
  BLE_MODULE_AMOTA_TX_CCC_IDX = 2,
  BLE_MODULE_CCC_COUNT = 10,
};

// The longest connection interval of the connection-parameter set (units of
// 1.25 ms); a notification waits at most three of them for its confirmation.
constexpr uint16_t BLE_CONN_INTERVAL_MAX = 60;

// Payload bytes per notification: the negotiated ATT MTU less 3.
extern volatile uint16_t att_mtu;
constexpr uint16_t ATT_MTU_DEFAULT_PAYLOAD = 20;
extern fund_circular_queue_t *const ble_rx_queue;
extern SemaphoreHandle_t nus_notify_semaphore;

void uhal_nus_main_init(wsfHandlerId_t handlerId);
void uhal_nus_main_start(dmConnId_t connId, uint8_t cccIdx);
void uhal_nus_main_stop(dmConnId_t connId);
void uhal_nus_main_conn_close(dmConnId_t connId);
void uhal_nus_main_proc_msg(wsfMsgHdr_t *pMsg);
void UhalNUSAddGroup(void);
void UhalNUSCbackRegister(attsReadCback_t readCback, attsWriteCback_t writeCback);
uint8_t uhal_nus_main_read_cback(dmConnId_t connId, uint16_t handle, uint8_t operation,
                                 uint16_t offset, attsAttr_t *pAttr);
uint8_t uhal_nus_main_write_cback(dmConnId_t connId, uint16_t handle, uint8_t operation,
                                  uint16_t offset, uint16_t len, uint8_t *pValue,
                                  attsAttr_t *pAttr);
void uhal_nus_data_handler(uint8_t const *p_data, uint16_t length);
int32_t uhal_nus_write(uint8_t const *pdata, uint16_t length);
void ble_rx_queue_clear(void);

// The custom service's bookkeeping.
constexpr uint8_t BLE_MODULE_CUS_CCC_FIRST = 3;
constexpr uint8_t BLE_MODULE_CUS_CHAR_MAX = 7;
void uhal_cus_main_init(wsfHandlerId_t handlerId);
void uhal_cus_main_start(dmConnId_t connId, uint8_t index);
void uhal_cus_main_stop(dmConnId_t connId);
void uhal_cus_main_conn_close(dmConnId_t connId);
void uhal_cus_main_proc_msg(wsfMsgHdr_t *pMsg);
void uhal_cus_control_notify(dmConnId_t connId, uint8_t index, uint16_t value);
extern attsCccSet_t bleModuleCccSet[BLE_MODULE_CCC_COUNT];
extern uint8_t uhal_cus_base_uuid[16];
// Calls a hook, with the peripherals resumed around it while the loop task
// sleeps.
void ble_call_hook_awake(void (*call)(void *), void *arg);
uint32_t uhal_ble_hci_write(char const *raw_data, uint8_t len);
int32_t uhal_ble_hci_read(uint8_t *recv, uint32_t *recv_bytes);
void uhal_ble_set_dtm_txpower(int tx_power);

// The firmware-update service.
constexpr uint16_t AMOTA_START_HDL = 0x0820;
constexpr uint16_t AMOTA_TX_HDL = 0x0824;
constexpr uint16_t AMOTA_END_HDL = 0x0825;
constexpr uint8_t BLE_MODULE_AMOTA_RESET_TIMER_IND = 193;
constexpr uint8_t BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND = 194;
void amotas_init(wsfHandlerId_t handlerId);
void SvcAmotasCbackRegister(attsReadCback_t readCback, attsWriteCback_t writeCback);
void SvcAmotasAddGroup(void);
void amotas_start(dmConnId_t connId, uint8_t resetTimerEvt, uint8_t disconnectTimerEvt,
                  uint8_t cccIdx);
void amotas_stop(dmConnId_t connId);
void amotas_conn_close(dmConnId_t connId);
void amotas_proc_msg(wsfMsgHdr_t *pMsg);
uint8_t amotas_write_cback(dmConnId_t connId, uint16_t handle, uint8_t operation, uint16_t offset,
                           uint16_t len, uint8_t *pValue, attsAttr_t *pAttr);

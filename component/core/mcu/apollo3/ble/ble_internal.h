// Shared state of the Apollo3 BLE glue: the module handler and connection
// handling (ble_module.cpp) and the serial service (ble_nus.cpp).
#pragma once

#include <stdint.h>

#include "FreeRTOS.h"
#include "ble_host.h"
#include "fund_circular_queue.h"
#include "semphr.h"

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

// Operations of the port's BLE beyond the driver layer's contract (the user
// API declares the same ones).
int32_t uhal_advertising_stop(uint8_t temp_processing);
extern volatile int uhal_is_advertising;
extern volatile int uhal_is_connected;
extern volatile int uhal_is_scanning;

// Optional hooks: called only when set.
// Every scan report with data: RSSI, advertiser's address (least significant
// byte first), data and its length; runs in the scanner task.
extern void (*SCAN_DATA_HANDLER)(int8_t rssi, uint8_t const *peer_addr, uint8_t const *data,
                                 uint8_t length);
extern void (*CONNECT_HANDLER)(void);
extern void (*DISCONNECT_HANDLER)(void);
// A custom characteristic's notifications switched: its UUID and, when
// switched on, its 20-byte value (null when switched off).
extern void (*CUS_NOTIFY_HANDLER)(uint16_t uuid, uint8_t const *value);

// Scanning with the scan configuration; timeout_s 0: until stopped. -7 when
// the controller is busy (advertising or connected) or already scanning.
int32_t uhal_ble_scan_start(uint16_t timeout_s);
int32_t uhal_ble_scan_stop(void);
// Scan interval and window in units of 0.625 ms (4 to 16384, window not
// above the interval); taking effect at the next start. -3 otherwise.
int32_t uhal_ble_scan_set_interval(uint16_t interval, uint16_t window);
// Settings of the advertising and the connection.
int32_t uhal_ble_set_tx_power(int8_t dbm);
int32_t uhal_ble_set_adv_interval(uint32_t interval);
int32_t uhal_ble_set_pairing_key(char const *key);
// The beacon mode's frame: iBeacon fields, or advertising data of its own.
int32_t uhal_ble_set_ibeacon(uint8_t const uuid[16], uint8_t const major[2], uint8_t const minor[2],
                             int8_t power);
int32_t uhal_ble_set_beacon_data(uint8_t const *data, uint8_t length);
// The custom service: a 128-bit base UUID and up to seven characteristics of
// 20 bytes (read, write, notify), each with a 16-bit UUID.
int32_t uhal_cus_service_init(uint8_t const base_uuid[16], uint16_t const *char_uuids,
                              uint8_t count);

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

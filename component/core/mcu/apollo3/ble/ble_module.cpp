// BLE of the Apollo3 image: the host stack task, the module's event handler,
// connections and pairing, advertising in the service modes, the device name
// and address, and the raw HCI access of the direct test mode. The serial
// service that carries AT traffic is ble_nus.cpp.
#include <stdio.h>
#include <string.h>

#include "am_hal_ble.h"
#include "apollo3_port.h"
#include "ble_internal.h"
#include "fund_text.h"
#include "queue.h"
#include "service_nvm.h"
#include "task.h"
#include "udrv_ble.h"
#include "udrv_serial.h"

typedef struct {
  int8_t txpower;
  char custom_dev_name[30];
  uint8_t adv_mode;
  uint32_t adv_interval;
  uint8_t service_mode;
  uint8_t adv_timeout;
  uint8_t pairing_key[7];
  uint8_t permission;
} uhal_ble_parameter;

uhal_ble_parameter ble_parameter = {0, {0}, 3, 1600, DRV_BLE_UART_MODE, 30, {0}, 2};
volatile int uhal_is_advertising;
volatile int uhal_is_connected;
volatile int uhal_is_scanning;

void (*SCAN_DATA_HANDLER)(int8_t rssi, uint8_t const *peer_addr, uint8_t const *data,
                          uint8_t length);
void (*CONNECT_HANDLER)(void);
void (*DISCONNECT_HANDLER)(void);
void (*CUS_NOTIFY_HANDLER)(uint16_t uuid, uint8_t const *value);
uint8_t uhal_cus_base_uuid[16];
attsCccSet_t bleModuleCccSet[BLE_MODULE_CCC_COUNT] = {
    {GATT_SC_CH_CCC_HDL, 2, 0},
    {NUS_TX_CCC_HDL, 1, 0},
    {0x0825, 1, 0},
};

namespace {

constexpr uint8_t APP_ADV_TIMEOUT_LIMITED_MAX = 180;
constexpr TickType_t kConfirmWait = 1000;
constexpr uint16_t kBeaconMinInterval = 100;

SemaphoreHandle_t adv_start_semaphore;
SemaphoreHandle_t adv_stop_semaphore;
SemaphoreHandle_t conn_stop_semaphore;
SemaphoreHandle_t scan_start_semaphore;
SemaphoreHandle_t scan_stop_semaphore;
SemaphoreHandle_t module_init_semaphore;
// Given by the BLE interrupt: the stack has work.
SemaphoreHandle_t radio_wake_semaphore;
QueueHandle_t Scanner_Queue;
SemaphoreHandle_t Scanner_Semaphore;
bool stack_started;
dmConnId_t current_conn_id = DM_CONN_ID_NONE;
uint32_t ble_wake_lock_count;

wsfHandlerId_t module_handler_id;

// The advertising time limit runs on a timer of the module handler rather
// than as the host's advertising duration: that one counts 16-bit
// milliseconds, which cut the longest limit (180 s) to about 49 s.
constexpr uint8_t BLE_MODULE_ADV_TIMEOUT_IND = 195;
wsfTimer_t adv_limit_timer;
uint32_t adv_limit_ms;  // of the running advertising; 0: no limit

void start_adv_limit() {
  WsfTimerStop(&adv_limit_timer);
  if (adv_limit_ms != 0) {
    adv_limit_timer.handlerId = module_handler_id;
    adv_limit_timer.msg.event = BLE_MODULE_ADV_TIMEOUT_IND;
    WsfTimerStartMs(&adv_limit_timer, adv_limit_ms);
  }
}

constexpr uint8_t BLE_MODULE_SCAN_TIMEOUT_IND = 196;
wsfTimer_t scan_limit_timer;

// Advertising and scan-response data.
uint8_t adv_data[31];
uint8_t adv_data_size;
uint8_t scan_data[31];
uint8_t scan_data_size;

const uint8_t uart_adv[21] = {0x02, 0x01, 0x06, 0x11, 0x07, 0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5,
                              0xA9, 0xE0, 0x93, 0xF3, 0xA3, 0xB5, 0x01, 0x00, 0x40, 0x6E};
// A scan report as the scanner task gets it.
struct scanner_data_t {
  uint8_t adv_data[31];
  uint8_t adv_length;
  int8_t rssi;
  uint8_t mac_addr[6];
};
static_assert(sizeof(scanner_data_t) == 39, "scan record of 39 bytes");
constexpr TickType_t kScannerQueueWait = 10;

// The beacon's advertising data when a program gave its own (0: the
// iBeacon frame).
uint8_t beacon_custom_data[31];
uint8_t beacon_custom_size;

struct frame_iBEACON_t {
  uint8_t uuid[16];
  uint8_t major[2];
  uint8_t minor[2];
  uint8_t rssi;
};
frame_iBEACON_t frame_iBEACON;

// Configuration records handed to the host stack.
appAdvCfg_t adv_conf = {{0, 0, 0}, {0, 0, 0}};
appSlaveCfg_t slave_conf = {1};
appSecCfg_t security_conf = {0x01, 0x02, 0x03, true, true};
smpCfg_t security_parameters = {3000, SMP_IO_NO_IN_NO_OUT, 7, 16, 3, 0};
appUpdateCfg_t connparam_conf = {0, 16, BLE_CONN_INTERVAL_MAX, 0, 400, 5};
appMasterCfg_t scanner_conf = {160, 160, 0, 1, 1};

constexpr uint16_t kBufMemWords = 736;
uint32_t ble_buf_memory[kBufMemWords];
wsfBufPoolDesc_t ble_buf_pools[] = {{16, 8}, {32, 4}, {64, 6}, {280, 8}};

uint8_t localIrk[16] = {0x4F, 0x1A, 0x7C, 0x22, 0xD9, 0x03, 0x6E, 0xB8,
                        0x51, 0xE4, 0x0C, 0x97, 0x3A, 0x2D, 0xF6, 0x80};

bool take(SemaphoreHandle_t sem, TickType_t ticks) {
  if (sem == nullptr) {
    return false;
  }
  if (isInISR()) {
    BaseType_t woken = pdFALSE;
    BaseType_t const got = xSemaphoreTakeFromISR(sem, &woken);
    portYIELD_FROM_ISR(woken);
    return got == pdPASS;
  }
  return xSemaphoreTake(sem, ticks) == pdPASS;
}

void queue_console_line(const char *text) {
  uhal_uart_write_buffer(SERIAL_UART0, reinterpret_cast<uint8_t const *>(text),
                         static_cast<uint32_t>(strlen(text)), 0);
}

// ---- host-stack callbacks: each event becomes a message to the handler ----
void send_copy(void const *evt, uint16_t len) {
  void *msg = WsfMsgAlloc(len);
  if (msg != nullptr) {
    memcpy(msg, evt, len);
    WsfMsgSend(module_handler_id, msg);
  }
}
void bleModuleDmCback(dmEvt_t *pDmEvt) {
  if (pDmEvt->hdr.event != DM_SCAN_REPORT_IND) {
    send_copy(pDmEvt, sizeof(dmEvt_t));
    return;
  }
  // A report's data lives only during the callback: it travels behind the
  // event in the same message.
  uint8_t const len = pDmEvt->scanReport.pData != nullptr ? pDmEvt->scanReport.len : 0;
  uint8_t *msg = static_cast<uint8_t *>(WsfMsgAlloc(static_cast<uint16_t>(sizeof(dmEvt_t) + len)));
  if (msg == nullptr) {
    return;
  }
  memcpy(msg, pDmEvt, sizeof(dmEvt_t));
  dmEvt_t *copy = reinterpret_cast<dmEvt_t *>(msg);
  copy->scanReport.len = len;
  copy->scanReport.pData = msg + sizeof(dmEvt_t);
  if (len != 0) {
    memcpy(msg + sizeof(dmEvt_t), pDmEvt->scanReport.pData, len);
  }
  WsfMsgSend(module_handler_id, msg);
}
void bleModuleAttCback(attEvt_t *pEvt) { send_copy(pEvt, sizeof(attEvt_t)); }
void bleModuleCccCback(attsCccEvt_t *pEvt) { send_copy(pEvt, sizeof(attsCccEvt_t)); }
void TxPowerCtrlDmCback(dmEvt_t *pDmEvt) {
  APOLLO3_TRACE("vendor DM event %u", static_cast<unsigned>(pDmEvt->hdr.event));
}

void stop_advertising_now() {
  WsfTimerStop(&adv_limit_timer);
  if (uhal_is_advertising) {
    xSemaphoreTake(adv_stop_semaphore, 0);
    AppAdvStop();
    take(adv_stop_semaphore, kConfirmWait);
  } else {
    AppAdvStop();
  }
}

void call_connection_hook(void *arg) {
  void (*hook)(void) = *static_cast<void (**)(void)>(arg);
  if (hook != nullptr) {
    hook();
  }
}

void queue_scan_report(dmEvt_t const *evt) {
  if (SCAN_DATA_HANDLER == nullptr || evt->scanReport.len == 0) {
    return;
  }
  scanner_data_t record = {};
  record.adv_length = evt->scanReport.len > sizeof record.adv_data
                          ? static_cast<uint8_t>(sizeof record.adv_data)
                          : evt->scanReport.len;
  memcpy(record.adv_data, evt->scanReport.pData, record.adv_length);
  record.rssi = evt->scanReport.rssi;
  memcpy(record.mac_addr, evt->scanReport.addr, sizeof record.mac_addr);
  if (xQueueSend(Scanner_Queue, &record, kScannerQueueWait) != pdPASS) {
    APOLLO3_TRACE("Scanner queue error!!!");
  }
  xSemaphoreGive(Scanner_Semaphore);
}

void set_security_for_connection() {
  // Security level 2: bonding, the peer's IRK, our LTK and IRK.
  if (ble_parameter.permission == 2) {
    security_conf.auth = DM_AUTH_BOND_FLAG;
    security_conf.iKeyDist = DM_KEY_DIST_IRK;
    security_conf.rKeyDist = DM_KEY_DIST_LTK | DM_KEY_DIST_IRK;
    security_conf.oob = true;
    security_conf.initiateSec = true;
    security_parameters.ioCap = SMP_IO_NO_IN_NO_OUT;
  }
}

void connection_open(dmEvt_t *evt) {
  dmConnId_t const connId = static_cast<dmConnId_t>(evt->hdr.param);
  current_conn_id = connId;
  APOLLO3_TRACE("(NUS) Connected.");
  set_security_for_connection();
  ble_rx_queue_clear();
  uhal_nus_main_proc_msg(&evt->hdr);
  uhal_nus_main_start(connId, BLE_MODULE_NUS_TX_CCC_IDX);
  uhal_cus_main_proc_msg(&evt->hdr);
  amotas_start(connId, BLE_MODULE_AMOTA_RESET_TIMER_IND, BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND,
               BLE_MODULE_AMOTA_TX_CCC_IDX);
  for (uint8_t i = 0; i < BLE_MODULE_CUS_CHAR_MAX; ++i) {
    if (bleModuleCccSet[BLE_MODULE_CUS_CCC_FIRST + i].handle != 0) {
      uhal_cus_main_start(connId, i);
    }
  }
  xSemaphoreGive(adv_stop_semaphore);
  xSemaphoreGive(adv_start_semaphore);
  WsfTimerStop(&adv_limit_timer);
  uhal_is_advertising = 0;
  uhal_is_connected = 1;
  AppHandleNumericComparison(evt);
  AppSlaveSecurityReq(connId);
  queue_console_line("Connected.\r\n");
  ble_call_hook_awake(call_connection_hook, &CONNECT_HANDLER);
}

void connection_close(dmEvt_t *evt) {
  dmConnId_t const connId = static_cast<dmConnId_t>(evt->hdr.param);
  xSemaphoreGive(conn_stop_semaphore);
  APOLLO3_TRACE(">>> Connection closed reason 0x%x <<<",
                static_cast<unsigned>(evt->connClose.reason));
  ble_rx_queue_clear();
  uhal_nus_main_conn_close(connId);
  amotas_conn_close(connId);
  uhal_cus_main_conn_close(connId);
  att_mtu = ATT_MTU_DEFAULT_PAYLOAD;
  // The framework advertises again, with the whole time limit once more.
  start_adv_limit();
  uhal_is_advertising = 1;
  uhal_is_connected = 0;
  queue_console_line("Disconnected.\r\n");
  ble_call_hook_awake(call_connection_hook, &DISCONNECT_HANDLER);
}

// The passkey: the decimal value of pairing_key, 24 bits, little-endian.
void answer_passkey(dmEvt_t *evt) {
  uint32_t key = 0;
  for (uint8_t c : ble_parameter.pairing_key) {
    if (c < '0' || c > '9') {
      break;
    }
    key = key * 10 + static_cast<uint32_t>(c - '0');
  }
  key &= 0xFFFFFF;
  uint8_t rsp[3] = {static_cast<uint8_t>(key), static_cast<uint8_t>(key >> 8),
                    static_cast<uint8_t>(key >> 16)};
  DmSecAuthRsp(static_cast<dmConnId_t>(evt->hdr.param), sizeof rsp, rsp);
}

void bleModuleHandler(wsfEventMask_t, wsfMsgHdr_t *pMsg) {
  if (pMsg == nullptr) {
    return;
  }
  uint8_t const event = pMsg->event;
  if (event >= ATT_CBACK_START && event <= ATT_CBACK_END) {
    AppServerProcAttMsg(pMsg);
  } else if (event >= DM_CBACK_START && event <= DM_CBACK_END) {
    AppSlaveProcDmMsg(reinterpret_cast<dmEvt_t *>(pMsg));
    AppSlaveSecProcDmMsg(reinterpret_cast<dmEvt_t *>(pMsg));
  }
  dmEvt_t *dm = reinterpret_cast<dmEvt_t *>(pMsg);
  switch (event) {
    case ATTS_HANDLE_VALUE_CNF:
      if (reinterpret_cast<attEvt_t *>(pMsg)->handle == NUS_TX_HDL) {
        xSemaphoreGive(nus_notify_semaphore);
      }
      break;
    case ATTS_CCC_STATE_IND: {
      attsCccEvt_t *ccc = reinterpret_cast<attsCccEvt_t *>(pMsg);
      dmConnId_t const connId = static_cast<dmConnId_t>(ccc->hdr.param);
      if (ccc->idx == BLE_MODULE_NUS_TX_CCC_IDX) {
        if (ccc->value == 1) {
          uhal_nus_main_start(connId, BLE_MODULE_NUS_TX_CCC_IDX);
        } else {
          uhal_nus_main_stop(connId);
        }
      } else if (ccc->idx == BLE_MODULE_AMOTA_TX_CCC_IDX) {
        if (ccc->value == 1) {
          amotas_start(connId, BLE_MODULE_AMOTA_RESET_TIMER_IND,
                       BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND, BLE_MODULE_AMOTA_TX_CCC_IDX);
        } else {
          amotas_stop(connId);
        }
      } else if (ccc->idx >= BLE_MODULE_CUS_CCC_FIRST && ccc->idx < BLE_MODULE_CCC_COUNT) {
        uhal_cus_control_notify(connId, static_cast<uint8_t>(ccc->idx - BLE_MODULE_CUS_CCC_FIRST),
                                ccc->value);
      }
      break;
    }
    case ATT_MTU_UPDATE_IND: {
      uint16_t const mtu = reinterpret_cast<attEvt_t *>(pMsg)->mtu;
      att_mtu = static_cast<uint16_t>(mtu > 3 ? mtu - 3 : ATT_MTU_DEFAULT_PAYLOAD);
      APOLLO3_TRACE("Negotiated MTU %d", static_cast<int>(mtu));
      break;
    }
    case DM_RESET_CMPL_IND:
      APOLLO3_TRACE("BLE Module Setup!");
      AttsCalculateDbHash();
      DmSecGenerateEccKeyReq();
      xSemaphoreGive(module_init_semaphore);
      break;
    case DM_ADV_START_IND:
      uhal_is_advertising = 1;
      xSemaphoreGive(adv_start_semaphore);
      break;
    case DM_ADV_STOP_IND:
      uhal_is_advertising = 0;
      xSemaphoreGive(adv_stop_semaphore);
      break;
    case DM_SCAN_START_IND:
      uhal_is_scanning = pMsg->status == 0 ? 1 : 0;
      xSemaphoreGive(scan_start_semaphore);
      break;
    case DM_SCAN_REPORT_IND:
      queue_scan_report(dm);
      break;
    case DM_SCAN_STOP_IND:
      uhal_is_scanning = 0;
      xSemaphoreGive(scan_stop_semaphore);
      break;
    case DM_CONN_OPEN_IND:
      connection_open(dm);
      break;
    case DM_CONN_CLOSE_IND:
      connection_close(dm);
      break;
    case DM_CONN_UPDATE_IND:
      uhal_nus_main_proc_msg(pMsg);
      break;
    case DM_SEC_PAIR_CMPL_IND:
      APOLLO3_TRACE("Pair completed.");
      DmSecGenerateEccKeyReq();
      break;
    case DM_SEC_PAIR_FAIL_IND:
      APOLLO3_TRACE("Pair failed.");
      DmSecGenerateEccKeyReq();
      AppConnClose(static_cast<dmConnId_t>(pMsg->param));
      break;
    case DM_SEC_ENCRYPT_IND:
      APOLLO3_TRACE("Pair encrypt.");
      break;
    case DM_SEC_ENCRYPT_FAIL_IND:
      APOLLO3_TRACE("Pair encrypt failed.");
      AppConnClose(static_cast<dmConnId_t>(pMsg->param));
      break;
    case DM_SEC_AUTH_REQ_IND:
      answer_passkey(dm);
      break;
    case DM_SEC_ECC_KEY_IND:
      DmSecSetEccKey(&dm->eccMsg.data.key);
      break;
    case DM_SEC_COMPARE_IND:
      AppHandleNumericComparison(dm);
      break;
    case BLE_MODULE_AMOTA_RESET_TIMER_IND:
    case BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND:
      amotas_proc_msg(pMsg);
      break;
    case BLE_MODULE_SCAN_TIMEOUT_IND:
      AppScanStop();
      break;
    case BLE_MODULE_ADV_TIMEOUT_IND:
      if (!uhal_is_connected) {
        AppAdvStop();
      }
      break;
    default:
      break;
  }
  if (event >= DM_CBACK_START && event <= DM_CBACK_END) {
    AppUiAction(event);
  }
}

void bleModuleHandlerInit(wsfHandlerId_t handlerId) {
  module_handler_id = handlerId;
  pAppAdvCfg = &adv_conf;
  pAppSlaveCfg = &slave_conf;
  pAppSecCfg = &security_conf;
  pSmpCfg = &security_parameters;
  pAppUpdateCfg = &connparam_conf;
  pAppMasterCfg = &scanner_conf;
  AppMasterInit();
  AppSlaveInit();
  AppServerInit();
  AppDiscInit();
  uhal_nus_main_init(handlerId);
  amotas_init(handlerId);
  uhal_cus_main_init(handlerId);
  DmSecSetLocalIrk(localIrk);
}

void exactle_stack_init() {
  WsfOsInit();
  WsfTimerInit();
  uint16_t const used =
      WsfBufInit(sizeof ble_buf_memory, reinterpret_cast<uint8_t *>(ble_buf_memory),
                 sizeof ble_buf_pools / sizeof ble_buf_pools[0], ble_buf_pools);
  if (used == 0) {
    APOLLO3_TRACE("Memory pool is too small by %d", 0);
  }
  SecInit();
  SecAesInit();
  SecCmacInit();
  SecEccInit();
  HciHandlerInit(WsfOsSetNextHandler(HciHandler));
  DmDevVsInit(0);
  DmAdvInit();
  DmScanInit();
  DmConnInit();
  DmConnSlaveInit();
  DmSecInit();
  DmSecLescInit();
  DmPrivInit();
  DmHandlerInit(WsfOsSetNextHandler(DmHandler));
  L2cSlaveHandlerInit(WsfOsSetNextHandler(L2cSlaveHandler));
  L2cInit();
  L2cSlaveInit();
  AttHandlerInit(WsfOsSetNextHandler(AttHandler));
  AttsInit();
  AttsIndInit();
  AttcInit();
  SmpHandlerInit(WsfOsSetNextHandler(SmpHandler));
  SmprInit();
  SmprScInit();
  HciSetMaxRxAclLen(251);
  AppHandlerInit(WsfOsSetNextHandler(AppHandler));
  HciDrvHandlerInit(WsfOsSetNextHandler(HciDrvHandler));
  bleModuleHandlerInit(WsfOsSetNextHandler(bleModuleHandler));
}

void bleModuleStart() {
  DmRegister(TxPowerCtrlDmCback);
  DmRegister(bleModuleDmCback);
  DmConnRegister(DM_CLIENT_ID_APP, bleModuleDmCback);
  AttRegister(bleModuleAttCback);
  AttConnRegister(bleModuleDmCback);
  AttsCccRegister(BLE_MODULE_CCC_COUNT, bleModuleCccSet, bleModuleCccCback);
  SvcCoreGattCbackRegister(nullptr, nullptr);
  SvcCoreSetDevName(reinterpret_cast<uint8_t const *>(ble_parameter.custom_dev_name),
                    sizeof ble_parameter.custom_dev_name);
  SvcCoreSetPPCP(connparam_conf.connIntervalMin, connparam_conf.connIntervalMax,
                 connparam_conf.connLatency, connparam_conf.supTimeout);
  SvcCoreAddGroup();
  UhalNUSCbackRegister(uhal_nus_main_read_cback, uhal_nus_main_write_cback);
  UhalNUSAddGroup();
  SvcAmotasCbackRegister(nullptr, amotas_write_cback);
  SvcAmotasAddGroup();
  DmDevReset();
}

void RadioTask(void *) {
  APOLLO3_TRACE("Starting wicentric trace:");
  HciDrvRadioBoot(true);
  exactle_stack_init();
  char mac[12];
  service_nvm_get_ble_mac_from_nvm(reinterpret_cast<uint8_t *>(mac), sizeof mac);
  static const char never_written[12] = {0};
  if (memcmp(mac, never_written, sizeof mac) != 0) {
    char text[13];
    memcpy(text, mac, sizeof mac);
    text[12] = '\0';
    uhal_ble_set_macaddress(text);
  }
  bleModuleStart();
  for (;;) {
    wsfOsDispatcher();
    bool running = false;
    uint32_t const ms = WsfTimerNextExpiration(&running);
    TickType_t wait = portMAX_DELAY;
    if (running) {
      // Kernel ticks are 1/1024 s.
      wait = static_cast<TickType_t>((static_cast<uint64_t>(ms) * 1024 + 999) / 1000);
    }
    if (wait != 0) {
      xSemaphoreTake(radio_wake_semaphore, wait);
    }
  }
}

void scanner_handler(void *) {
  for (;;) {
    xSemaphoreTake(Scanner_Semaphore, portMAX_DELAY);
    bool const wrap = uhal_mcu_sleep_status();
    if (wrap) {
      uhal_mcu_resume();
    }
    scanner_data_t record;
    while (xQueueReceive(Scanner_Queue, &record, 0) == pdPASS) {
      void (*hook)(int8_t, uint8_t const *, uint8_t const *, uint8_t) = SCAN_DATA_HANDLER;
      if (hook != nullptr) {
        hook(record.rssi, record.mac_addr, record.adv_data, record.adv_length);
      }
    }
    if (wrap) {
      uhal_mcu_suspend();
    }
  }
}

void build_advertising_data() {
  switch (ble_parameter.service_mode) {
    case DRV_BLE_UART_MODE:
      memcpy(adv_data, uart_adv, sizeof uart_adv);
      adv_data_size = sizeof uart_adv;
      AppSetAdvType(DM_ADV_CONN_UNDIRECT);
      break;
    case DRV_BLE_CUS_MODE:
      memcpy(adv_data, uart_adv, 5);
      memcpy(adv_data + 5, uhal_cus_base_uuid, sizeof uhal_cus_base_uuid);
      adv_data_size = 21;
      AppSetAdvType(DM_ADV_CONN_UNDIRECT);
      break;
    case DRV_BLE_BEACON_MODE: {
      static const uint8_t head[9] = {0x02, 0x01, 0x04, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
      if (beacon_custom_size != 0) {
        memcpy(adv_data, beacon_custom_data, beacon_custom_size);
        adv_data_size = beacon_custom_size;
      } else {
        memcpy(adv_data, head, sizeof head);
        memcpy(adv_data + sizeof head, &frame_iBEACON, sizeof frame_iBEACON);
        adv_data_size = static_cast<uint8_t>(sizeof head + sizeof frame_iBEACON);
      }
      AppSetAdvType(DM_ADV_NONCONN_UNDIRECT);
      break;
    }
    default:
      return;
  }
  AppAdvSetData(APP_ADV_DATA_DISCOVERABLE, adv_data_size, adv_data);
  AppAdvSetData(APP_SCAN_DATA_DISCOVERABLE, scan_data_size, scan_data);
  AppAdvSetData(APP_ADV_DATA_CONNECTABLE, adv_data_size, adv_data);
  AppAdvSetData(APP_SCAN_DATA_CONNECTABLE, scan_data_size, scan_data);
}

}  // namespace

void ble_call_hook_awake(void (*call)(void *), void *arg) {
  bool const wrap = uhal_mcu_sleep_status();
  if (wrap) {
    uhal_mcu_resume();
  }
  call(arg);
  if (wrap) {
    uhal_mcu_suspend();
  }
}

// The BLE interface's interrupt: the host's interrupt service, then the
// stack task is woken.
extern "C" void am_ble_isr(void) {
  HciDrvIntService();
  if (radio_wake_semaphore != nullptr) {
    BaseType_t woken = pdFALSE;
    xSemaphoreGiveFromISR(radio_wake_semaphore, &woken);
    portYIELD_FROM_ISR(woken);
  }
}

void uhal_ble_stack_init(void) {
  if (stack_started) {
    return;
  }
  stack_started = true;
  adv_start_semaphore = xSemaphoreCreateBinary();
  adv_stop_semaphore = xSemaphoreCreateBinary();
  conn_stop_semaphore = xSemaphoreCreateBinary();
  scan_start_semaphore = xSemaphoreCreateBinary();
  scan_stop_semaphore = xSemaphoreCreateBinary();
  nus_notify_semaphore = xSemaphoreCreateBinary();
  module_init_semaphore = xSemaphoreCreateBinary();
  radio_wake_semaphore = xSemaphoreCreateBinary();
  Scanner_Queue = xQueueCreate(10, 39);
  Scanner_Semaphore = xSemaphoreCreateBinary();
  xTaskCreate(scanner_handler, "Scanner_Handler", 256, nullptr, 2, nullptr);
  APOLLO3_TRACE("RadioTask: setup");
  NVIC_SetPriority(BLE_IRQn, 0x80 >> (8 - __NVIC_PRIO_BITS));
  NVIC_EnableIRQ(BLE_IRQn);
  xTaskCreate(RadioTask, "RadioTask", 512, nullptr, 3, nullptr);
}

void uhal_ble_apollo3_wait_ble_core(void) { xSemaphoreTake(module_init_semaphore, portMAX_DELAY); }

// Everything off: advertising, scanning and the connection.
void uhal_stop_ble(void) {
  stop_advertising_now();
  uhal_is_advertising = 0;
  uhal_ble_scan_stop();
  if (uhal_is_connected) {
    xSemaphoreTake(conn_stop_semaphore, 0);
    AppConnClose(current_conn_id);
    take(conn_stop_semaphore, kConfirmWait);
  }
  ble_rx_queue_clear();
}
void uhal_scan_init(uint8_t) {}
void uhal_gap_params_init(void) {}
void uhal_gatt_init(void) {}
void uhal_conn_params_init(void) {}
void uhal_nus_peer_manager_init(void) {}
void uhal_services_init(void) {}

void uhal_advertising_init(void) {
  stop_advertising_now();
  build_advertising_data();
}

void uhal_ble_switch_service_mode(uint8_t service_mode) {
  ble_parameter.service_mode = service_mode;
}

int32_t uhal_advertising_start(uint8_t time_out) {
  if (uhal_is_connected) {
    return -UDRV_INTERNAL_ERR;
  }
  if (time_out > APP_ADV_TIMEOUT_LIMITED_MAX) {
    APOLLO3_TRACE("Out of APP_ADV_TIMEOUT_LIMITED_MAX");
    return -UDRV_INTERNAL_ERR;
  }
  stop_advertising_now();
  if (ble_wake_lock_count != 0) {
    --ble_wake_lock_count;
  }
  memset(&adv_conf, 0, sizeof adv_conf);
  xSemaphoreTake(adv_start_semaphore, 0);
  switch (ble_parameter.service_mode) {
    case DRV_BLE_UART_MODE:
    case DRV_BLE_CUS_MODE:
      AppSetBondable(true);
      AppSetAdvType(DM_ADV_CONN_UNDIRECT);
      adv_conf.advInterval[0] = static_cast<uint16_t>(ble_parameter.adv_interval);
      adv_limit_ms = time_out * 1000u;
      AppAdvStart(APP_MODE_DISCOVERABLE);
      start_adv_limit();
      break;
    case DRV_BLE_BEACON_MODE: {
      uint32_t interval = ble_parameter.adv_interval;
      if (interval < kBeaconMinInterval) {
        interval = kBeaconMinInterval;
      }
      AppSetAdvType(DM_ADV_NONCONN_UNDIRECT);
      adv_conf.advInterval[0] = static_cast<uint16_t>(interval);
      adv_limit_ms = 0;
      AppAdvStart(APP_MODE_AUTO_INIT);
      break;
    }
    default:
      return 0;
  }
  // From a task the host's confirmation decides: a controller that refused
  // (busy scanning, say) must not be reported as advertising. An interrupt
  // cannot wait for it.
  if (!take(adv_start_semaphore, kConfirmWait) && !isInISR()) {
    WsfTimerStop(&adv_limit_timer);
    AppAdvStop();
    uhal_is_advertising = 0;
    return -UDRV_INTERNAL_ERR;
  }
  uhal_is_advertising = 1;
  return 0;
}

int32_t uhal_advertising_stop(uint8_t) {
  if (uhal_is_connected) {
    return -UDRV_INTERNAL_ERR;
  }
  stop_advertising_now();
  ble_rx_queue_clear();
  uhal_is_advertising = 0;
  return 0;
}

int32_t uhal_ble_set_device_name(char const *device_name, uint8_t device_name_length) {
  // The scan response holds the length and type bytes and 29 name bytes.
  if (device_name == nullptr || device_name_length > 29) {
    return -UDRV_WRONG_ARG;
  }
  scan_data[0] = static_cast<uint8_t>(device_name_length + 1);
  scan_data[1] = 0x09;
  memcpy(scan_data + 2, device_name, device_name_length);
  scan_data_size = static_cast<uint8_t>(device_name_length + 2);
  memset(ble_parameter.custom_dev_name, 0, sizeof ble_parameter.custom_dev_name);
  memcpy(ble_parameter.custom_dev_name, device_name, device_name_length);
  SvcCoreSetDevName(reinterpret_cast<uint8_t const *>(ble_parameter.custom_dev_name),
                    sizeof ble_parameter.custom_dev_name);
  if (uhal_is_advertising) {
    uhal_advertising_init();
    uhal_advertising_start(0);
  } else {
    build_advertising_data();
  }
  return 0;
}

int32_t uhal_ble_set_macaddress(char const *macaddr) {
  uint8_t addr[6];
  for (int i = 0; i < 6; ++i) {
    unsigned value = 0;
    char pair[3] = {macaddr[2 * i], macaddr[2 * i + 1], '\0'};
    if (sscanf(pair, "%2x", &value) != 1) {
      return UDRV_WRONG_ARG;
    }
    addr[5 - i] = static_cast<uint8_t>(value);
  }
  bool const was_advertising = uhal_is_advertising != 0;
  if (was_advertising) {
    stop_advertising_now();
  }
  HciVscSetCustom_BDAddr(addr);
  memcpy(hciCoreCb.bdAddr, addr, sizeof addr);
  xSemaphoreTake(module_init_semaphore, 0);
  hciCoreResetStart();
  if (was_advertising) {
    take(module_init_semaphore, kConfirmWait);
    uhal_advertising_start(ble_parameter.adv_timeout);
  }
  return 0;
}

// ---- raw HCI for the direct test mode ----
namespace {
uint32_t saved_ble_inten;
}

uint32_t uhal_ble_hci_write(char const *raw_data, uint8_t len) {
  uint32_t words[4] = {0};
  uint8_t *buf = reinterpret_cast<uint8_t *>(words);
  // At most 16 command bytes: longer text is cut.
  uint8_t const pairs = static_cast<uint8_t>((len / 2) > 16 ? 16 : len / 2);
  for (uint8_t i = 0; i < pairs; ++i) {
    unsigned value = 0;
    char pair[3] = {raw_data[2 * i], raw_data[2 * i + 1], '\0'};
    sscanf(pair, "%2x", &value);
    buf[i] = static_cast<uint8_t>(value);
  }
  am_hal_ble_wakeup_set(BLE, 1);
  saved_ble_inten = BLEIFn.INTEN;
  BLEIFn.INTEN = 0;
  uint32_t const status = am_hal_ble_blocking_hci_write(BLE, AM_HAL_BLE_RAW, words, 7);
  BLEIFn.BLEDBG = BLEIFn.BLEDBG | AM_HAL_BLE_BLEDBG_IOCLKON;
  return status;
}

int32_t uhal_ble_hci_read(uint8_t *recv, uint32_t *recv_bytes) {
  int tries = 0;
  while ((BLEIFn.BSTATUS & AM_HAL_BLE_BSTATUS_BLEIRQ) == 0) {
    if (++tries > 100) {
      return static_cast<int32_t>(AM_HAL_BLE_NO_HCI_RESPONSE);
    }
    vTaskDelay(1);
  }
  uint32_t words[64];
  uint32_t n = 0;
  if (am_hal_ble_blocking_hci_read(BLE, words, &n) != 0) {
    return -UDRV_INTERNAL_ERR;
  }
  memcpy(recv, words, n);
  *recv_bytes = n;
  BLEIFn.INTCLR = saved_ble_inten;
  BLEIFn.INTEN = saved_ble_inten;
  return 0;
}

void uhal_ble_set_dtm_txpower(int tx_power) {
  HciVscSetRfPowerLevelEx(static_cast<int8_t>(tx_power & 0xFF));
}

void uhal_ble_get_macaddress(uint8_t address[6]) { memcpy(address, hciCoreCb.bdAddr, 6); }

// ---- scanning ----
int32_t uhal_ble_scan_start(uint16_t timeout_s) {
  if (uhal_is_connected || uhal_is_advertising || uhal_is_scanning) {
    return -UDRV_INTERNAL_ERR;
  }
  // The time limit runs on the module's timer: the host's duration counts
  // 16-bit milliseconds.
  scanner_conf.scanDuration = 0;
  WsfTimerStop(&scan_limit_timer);
  xSemaphoreTake(scan_start_semaphore, 0);
  AppScanStart(scanner_conf.discMode, scanner_conf.scanType, scanner_conf.scanDuration);
  take(scan_start_semaphore, kConfirmWait);
  if (!uhal_is_scanning) {
    return -UDRV_INTERNAL_ERR;
  }
  if (timeout_s != 0) {
    scan_limit_timer.handlerId = module_handler_id;
    scan_limit_timer.msg.event = BLE_MODULE_SCAN_TIMEOUT_IND;
    WsfTimerStartMs(&scan_limit_timer, timeout_s * 1000u);
  }
  return 0;
}

int32_t uhal_ble_scan_stop(void) {
  WsfTimerStop(&scan_limit_timer);
  if (!uhal_is_scanning) {
    return 0;
  }
  xSemaphoreTake(scan_stop_semaphore, 0);
  AppScanStop();
  take(scan_stop_semaphore, kConfirmWait);
  uhal_is_scanning = 0;
  return 0;
}

int32_t uhal_ble_scan_set_interval(uint16_t interval, uint16_t window) {
  if (interval < 4 || interval > 16384 || window < 4 || window > interval) {
    return -UDRV_WRONG_ARG;
  }
  scanner_conf.scanInterval = interval;
  scanner_conf.scanWindow = window;
  return 0;
}

// ---- settings ----
int32_t uhal_ble_set_tx_power(int8_t dbm) {
  ble_parameter.txpower = dbm;
  HciVscSetRfPowerLevelEx(dbm);
  return 0;
}

// Units of 0.625 ms, 20 ms to 10.24 s; the next advertising start takes it
// (the beacon still at least 100).
int32_t uhal_ble_set_adv_interval(uint32_t interval) {
  if (interval < 32 || interval > 16384) {
    return -UDRV_WRONG_ARG;
  }
  ble_parameter.adv_interval = interval;
  return 0;
}

// One to six decimal digits.
int32_t uhal_ble_set_pairing_key(char const *key) {
  size_t const n = key != nullptr ? fund_strnlen(key, sizeof ble_parameter.pairing_key) : 0;
  if (n == 0 || n >= sizeof ble_parameter.pairing_key) {
    return -UDRV_WRONG_ARG;
  }
  for (size_t i = 0; i < n; ++i) {
    if (key[i] < '0' || key[i] > '9') {
      return -UDRV_WRONG_ARG;
    }
  }
  memset(ble_parameter.pairing_key, 0, sizeof ble_parameter.pairing_key);
  memcpy(ble_parameter.pairing_key, key, n);
  return 0;
}

// ---- beacon ----
namespace {
void beacon_data_changed() {
  if (ble_parameter.service_mode != DRV_BLE_BEACON_MODE) {
    return;
  }
  if (uhal_is_advertising) {
    build_advertising_data();
    uhal_advertising_start(0);
  } else {
    build_advertising_data();
  }
}
}  // namespace

int32_t uhal_ble_set_ibeacon(uint8_t const uuid[16], uint8_t const major[2], uint8_t const minor[2],
                             int8_t power) {
  memcpy(frame_iBEACON.uuid, uuid, sizeof frame_iBEACON.uuid);
  memcpy(frame_iBEACON.major, major, sizeof frame_iBEACON.major);
  memcpy(frame_iBEACON.minor, minor, sizeof frame_iBEACON.minor);
  frame_iBEACON.rssi = static_cast<uint8_t>(power);
  beacon_custom_size = 0;
  beacon_data_changed();
  return 0;
}

int32_t uhal_ble_set_beacon_data(uint8_t const *data, uint8_t length) {
  if (data == nullptr || length == 0 || length > sizeof beacon_custom_data) {
    return -UDRV_WRONG_ARG;
  }
  memcpy(beacon_custom_data, data, length);
  beacon_custom_size = length;
  beacon_data_changed();
  return 0;
}

// Stand-in for the BLE host stack that the Apollo3 BLE glue calls: the
// operating-system layer (handlers, messages, timers, buffer pools), the
// device manager (reset, advertising, connections, security), the attribute
// server, the application framework's advertising, slave and security
// handling, the GAP/GATT core service, and the HCI calls of the glue. Only
// the names and the behaviour the glue relies on; underneath is the
// simulated world's link layer (sim/ble), shared with other chips' stand-ins.
//
// Everything the stack reports (DM, ATT and CCC callbacks, messages to the
// registered handlers, timer expiries) runs inside wsfOsDispatcher(), in the
// task that calls it; the link layer's events are queued until then.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

// ------------------------------------------------------------------- OS ----
typedef uint8_t wsfHandlerId_t;
typedef uint16_t wsfEventMask_t;

typedef struct {
  uint16_t param;  // connection id for connection events
  uint8_t event;
  uint8_t status;
} wsfMsgHdr_t;

typedef void (*wsfEventHandler_t)(wsfEventMask_t event, wsfMsgHdr_t* pMsg);

typedef struct {
  wsfHandlerId_t handlerId;
  wsfMsgHdr_t msg;  // handed to the handler when the timer expires
  // The stand-in's own bookkeeping.
  uint64_t expiry_us;
  bool active;
} wsfTimer_t;

typedef struct {
  uint16_t len;
  uint8_t num;
} wsfBufPoolDesc_t;

void WsfOsInit(void);
wsfHandlerId_t WsfOsSetNextHandler(wsfEventHandler_t handler);
void WsfSetEvent(wsfHandlerId_t handlerId, wsfEventMask_t event);
void* WsfMsgAlloc(uint16_t len);
void WsfMsgFree(void* pMsg);
void WsfMsgSend(wsfHandlerId_t handlerId, void* pMsg);
void WsfTimerInit(void);
void WsfTimerStartMs(wsfTimer_t* pTimer, uint32_t ms);
void WsfTimerStop(wsfTimer_t* pTimer);
// Memory the pools need: each buffer's length times its count, plus 16
// bytes per pool; 0 (nothing set up) when that exceeds bufMemLen.
uint16_t WsfBufInit(uint16_t bufMemLen, uint8_t* pBufMem, uint8_t numPools,
                    wsfBufPoolDesc_t* pDesc);
// Runs everything pending (link-layer events, due timers, events and
// messages of the handlers); when nothing was pending, waits for something
// (see ble_host::set_idle_wait) and returns.
void wsfOsDispatcher(void);

// Security toolbox.
void SecInit(void);
void SecAesInit(void);
void SecCmacInit(void);
void SecEccInit(void);

// The stack's own handlers (given to WsfOsSetNextHandler) and their inits.
void HciHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void DmHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void L2cSlaveHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void L2cHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void AttHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void SmpHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void AppHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void HciDrvHandler(wsfEventMask_t event, wsfMsgHdr_t* pMsg);
void HciHandlerInit(wsfHandlerId_t handlerId);
void DmHandlerInit(wsfHandlerId_t handlerId);
void L2cSlaveHandlerInit(wsfHandlerId_t handlerId);
void L2cHandlerInit(wsfHandlerId_t handlerId);
void AttHandlerInit(wsfHandlerId_t handlerId);
void SmpHandlerInit(wsfHandlerId_t handlerId);
void AppHandlerInit(wsfHandlerId_t handlerId);
void HciDrvHandlerInit(wsfHandlerId_t handlerId);

// ------------------------------------------------------------------- HCI ---
typedef struct {
  uint8_t bdAddr[6];  // the controller's address, least significant byte first
} hciCoreCb_t;
extern hciCoreCb_t hciCoreCb;

uint32_t HciDrvRadioBoot(bool coldBoot);
void HciDrvIntService(void);
void HciSetMaxRxAclLen(uint16_t len);
// The address the controller takes at its next reset.
void HciVscSetCustom_BDAddr(uint8_t* bdAddr);
// Resets the controller: advertising stops, a connection ends
// (DM_CONN_CLOSE_IND with 0x16, the peer loses the link by its supervision
// timeout), the address of HciVscSetCustom_BDAddr takes effect;
// DM_RESET_CMPL_IND follows. DmDevReset does the same.
void hciCoreResetStart(void);
// Transmit power of the radio in dBm.
void HciVscSetRfPowerLevelEx(int8_t txPowerlevel);

// ----------------------------------------------------------- device manager -
typedef uint8_t dmConnId_t;
typedef uint8_t bdAddr_t[6];
constexpr dmConnId_t DM_CONN_ID_NONE = 0;
constexpr uint8_t DM_CLIENT_ID_APP = 4;

// Events of the DM callback (hdr.event); hdr.param is the connection id.
enum : uint8_t {
  DM_CBACK_START = 0x20,
  DM_RESET_CMPL_IND = DM_CBACK_START,
  DM_ADV_START_IND,
  DM_ADV_STOP_IND,
  DM_SCAN_START_IND,
  DM_SCAN_STOP_IND,
  DM_SCAN_REPORT_IND,
  DM_CONN_OPEN_IND,
  DM_CONN_CLOSE_IND,
  DM_CONN_UPDATE_IND,
  DM_SEC_PAIR_CMPL_IND,
  DM_SEC_PAIR_FAIL_IND,
  DM_SEC_ENCRYPT_IND,
  DM_SEC_ENCRYPT_FAIL_IND,
  DM_SEC_AUTH_REQ_IND,
  DM_SEC_ECC_KEY_IND,
  DM_SEC_COMPARE_IND,
  DM_HW_ERROR_IND,
  DM_VENDOR_SPEC_IND,
  DM_CBACK_END = DM_VENDOR_SPEC_IND,
};

typedef struct {
  uint8_t pubKey_x[32];
  uint8_t pubKey_y[32];
  uint8_t privKey[32];
} secEccKey_t;

typedef struct {
  wsfMsgHdr_t hdr;
  union {
    struct {
      uint16_t handle;
      uint8_t role;
      uint8_t addrType;
      bdAddr_t peerAddr;
      uint16_t connInterval;
      uint16_t connLatency;
      uint16_t supTimeout;
    } connOpen;
    struct {
      uint16_t handle;
      uint8_t reason;
    } connClose;
    struct {
      uint16_t connInterval;
      uint16_t connLatency;
      uint16_t supTimeout;
    } connUpdate;
    struct {
      uint8_t oob;
      uint8_t display;  // the passkey is shown here (else typed on the peer)
    } authReq;
    struct {
      uint8_t auth;
    } pairCmpl;
    struct {
      bool usingLtk;
    } encryptInd;
    struct {
      uint8_t eventType;
      uint8_t addrType;
      bdAddr_t addr;
      int8_t rssi;
      uint8_t len;
      uint8_t* pData;
    } scanReport;
    struct {
      union {
        secEccKey_t key;
      } data;
    } eccMsg;
    struct {
      uint32_t confirm;
    } cnfInd;
  };
} dmEvt_t;

typedef void (*dmCback_t)(dmEvt_t* pDmEvt);

// Authentication flags, key distribution bits, I/O capabilities.
constexpr uint8_t DM_AUTH_BOND_FLAG = 0x01;
constexpr uint8_t DM_AUTH_MITM_FLAG = 0x04;
constexpr uint8_t DM_AUTH_SC_FLAG = 0x08;
constexpr uint8_t DM_KEY_DIST_LTK = 0x01;
constexpr uint8_t DM_KEY_DIST_IRK = 0x02;
constexpr uint8_t SMP_IO_DISP_ONLY = 0x00;
constexpr uint8_t SMP_IO_DISP_YES_NO = 0x01;
constexpr uint8_t SMP_IO_KEY_ONLY = 0x02;
constexpr uint8_t SMP_IO_NO_IN_NO_OUT = 0x03;
constexpr uint8_t SMP_IO_KEY_DISP = 0x04;

// Advertising types.
constexpr uint8_t DM_ADV_CONN_UNDIRECT = 0;
constexpr uint8_t DM_ADV_SCAN_UNDIRECT = 2;
constexpr uint8_t DM_ADV_NONCONN_UNDIRECT = 3;

void DmRegister(dmCback_t cback);
// Connection events already reach the DmRegister callback; a client
// registered here is kept for completeness and not called a second time.
void DmConnRegister(uint8_t clientId, dmCback_t cback);
void DmDevReset(void);
void DmDevVsInit(uint8_t param);
void DmAdvInit(void);
void DmScanInit(void);
void DmConnInit(void);
void DmConnSlaveInit(void);
void DmSecInit(void);
void DmSecLescInit(void);
void DmPrivInit(void);
void DmSecSetLocalIrk(uint8_t* pIrk);
// Answers DM_SEC_AUTH_REQ_IND: the passkey as 3 bytes, little-endian
// (length 0: refused).
void DmSecAuthRsp(dmConnId_t connId, uint8_t authDataLen, uint8_t* pAuthData);
void DmSecGenerateEccKeyReq(void);
void DmSecSetEccKey(secEccKey_t* pKey);
void L2cInit(void);
void L2cSlaveInit(void);
void SmprInit(void);
void SmprScInit(void);

// ------------------------------------------------------- attribute server --
// Events of the ATT callback.
enum : uint8_t {
  ATT_CBACK_START = 0x02,
  ATTS_HANDLE_VALUE_CNF = 0x0F,  // a notification was sent (hdr.status 0), handle
  ATTS_CCC_STATE_IND = 0x10,     // a CCC changed (attsCccEvt_t)
  ATT_MTU_UPDATE_IND = 0x11,     // mtu
  ATT_CBACK_END = ATT_MTU_UPDATE_IND,
};

typedef struct {
  wsfMsgHdr_t hdr;
  uint8_t* pValue;
  uint16_t valueLen;
  uint16_t handle;
  uint8_t continuing;
  uint16_t mtu;
} attEvt_t;
typedef void (*attCback_t)(attEvt_t* pEvt);

typedef struct {
  uint16_t handle;
  uint16_t valueRange;  // notifications 1, indications 2, both 3
  uint8_t secLevel;
} attsCccSet_t;

typedef struct {
  wsfMsgHdr_t hdr;
  uint16_t handle;
  uint16_t value;
  uint8_t idx;
} attsCccEvt_t;
typedef void (*attsCccCback_t)(attsCccEvt_t* pEvt);

// Attribute settings and permissions.
constexpr uint8_t ATTS_SET_UUID_128 = 0x01;
constexpr uint8_t ATTS_SET_VARIABLE_LEN = 0x02;
constexpr uint8_t ATTS_SET_ALLOW_OFFSET = 0x04;
constexpr uint8_t ATTS_SET_CCC = 0x08;
constexpr uint8_t ATTS_SET_READ_CBACK = 0x10;
constexpr uint8_t ATTS_SET_WRITE_CBACK = 0x20;
constexpr uint8_t ATTS_PERMIT_READ = 0x01;
constexpr uint8_t ATTS_PERMIT_READ_ENC = 0x08;
constexpr uint8_t ATTS_PERMIT_WRITE = 0x10;
constexpr uint8_t ATTS_PERMIT_WRITE_ENC = 0x80;
// Operations handed to a write callback.
constexpr uint8_t ATT_PDU_WRITE_REQ = 0x12;
constexpr uint8_t ATT_PDU_WRITE_CMD = 0x52;
constexpr uint8_t ATT_PDU_READ_REQ = 0x0A;
constexpr uint8_t ATT_SUCCESS = 0x00;

typedef struct {
  const uint8_t* pUuid;  // 2 bytes, or 16 with ATTS_SET_UUID_128
  uint8_t* pValue;
  uint16_t* pLen;
  uint16_t maxLen;
  uint8_t settings;
  uint8_t permissions;
} attsAttr_t;

typedef uint8_t (*attsReadCback_t)(dmConnId_t connId, uint16_t handle, uint8_t operation,
                                   uint16_t offset, attsAttr_t* pAttr);
typedef uint8_t (*attsWriteCback_t)(dmConnId_t connId, uint16_t handle, uint8_t operation,
                                    uint16_t offset, uint16_t len, uint8_t* pValue,
                                    attsAttr_t* pAttr);

typedef struct attsGroup_tag {
  struct attsGroup_tag* pNext;
  attsAttr_t* pAttr;  // endHandle - startHandle + 1 attributes
  attsReadCback_t readCback;
  attsWriteCback_t writeCback;
  uint16_t startHandle;
  uint16_t endHandle;
} attsGroup_t;

void AttRegister(attCback_t cback);
void AttConnRegister(dmCback_t cback);
void AttsInit(void);
void AttsIndInit(void);
void AttcInit(void);
// The table stays the caller's: entries given a handle later count from
// then on (entries with handle 0 are unused).
void AttsCccRegister(uint8_t setLen, attsCccSet_t* pSet, attsCccCback_t cback);
// The CCC value of entry `idx` on a connection (0 when none).
uint16_t AttsCccGet(dmConnId_t connId, uint8_t idx);
void AttsAddGroup(attsGroup_t* pGroup);
void AttsRemoveGroup(uint16_t startHandle);
uint8_t AttsSetAttr(uint16_t handle, uint16_t valueLen, uint8_t* pValue);
uint8_t AttsGetAttr(uint16_t handle, uint16_t* pLen, uint8_t** pValue);
// Queues a notification; ATTS_HANDLE_VALUE_CNF follows once the peer's link
// layer has it whole.
void AttsHandleValueNtf(dmConnId_t connId, uint16_t handle, uint16_t valueLen, uint8_t* pValue);
void AttsCalculateDbHash(void);
uint16_t AttGetMtu(dmConnId_t connId);

// --------------------------------------------------- application framework -
typedef struct {
  uint16_t advDuration[3];  // ms; 0: no limit
  uint16_t advInterval[3];  // units of 0.625 ms; 0: set unused
} appAdvCfg_t;
typedef struct {
  uint8_t connMax;
} appSlaveCfg_t;
typedef struct {
  uint8_t auth;
  uint8_t iKeyDist;
  uint8_t rKeyDist;
  bool oob;
  bool initiateSec;
} appSecCfg_t;
typedef struct {
  uint16_t attemptTimeout;  // ms
  uint8_t ioCap;
  uint8_t minKeyLen;
  uint8_t maxKeyLen;
  uint8_t maxAttempts;
  uint8_t auth;
} smpCfg_t;
typedef struct {
  uint32_t idlePeriod;  // ms; 0: no update requested
  uint16_t connIntervalMin;
  uint16_t connIntervalMax;
  uint16_t connLatency;
  uint16_t supTimeout;
  uint8_t maxAttempts;
} appUpdateCfg_t;
typedef struct {
  uint16_t scanInterval;
  uint16_t scanWindow;
  uint16_t scanDuration;
  uint8_t discMode;
  uint8_t scanType;
} appMasterCfg_t;

extern appAdvCfg_t* pAppAdvCfg;
extern appSlaveCfg_t* pAppSlaveCfg;
extern appSecCfg_t* pAppSecCfg;
extern appUpdateCfg_t* pAppUpdateCfg;
extern appMasterCfg_t* pAppMasterCfg;
extern smpCfg_t* pSmpCfg;

// Data slots of AppAdvSetData and modes of AppAdvStart.
constexpr uint8_t APP_ADV_DATA_DISCOVERABLE = 0;
constexpr uint8_t APP_SCAN_DATA_DISCOVERABLE = 1;
constexpr uint8_t APP_ADV_DATA_CONNECTABLE = 2;
constexpr uint8_t APP_SCAN_DATA_CONNECTABLE = 3;
constexpr uint8_t APP_MODE_CONNECTABLE = 0;
constexpr uint8_t APP_MODE_DISCOVERABLE = 1;
constexpr uint8_t APP_MODE_AUTO_INIT = 2;
constexpr uint8_t APP_MODE_NONE = 0xFF;

void AppMasterInit(void);
void AppSlaveInit(void);
void AppServerInit(void);
void AppDiscInit(void);
// Scans with the interval of pAppMasterCfg, actively when scanType is not 0,
// for duration ms (0: until stopped): DM_SCAN_START_IND (status 0x0C when
// the controller is busy advertising or connected), a DM_SCAN_REPORT_IND per
// advertising packet or scan response heard (pData valid during the
// callback only), DM_SCAN_STOP_IND at the end.
void AppScanStart(uint8_t mode, uint8_t scanType, uint16_t duration);
void AppScanStop(void);
void AppAdvSetData(uint8_t location, uint8_t len, uint8_t* pData);
void AppSetAdvType(uint8_t advType);
// Advertises with the first set of pAppAdvCfg (then the next set, if it has
// an interval, when the first one's duration ends); DM_ADV_START_IND follows.
void AppAdvStart(uint8_t mode);
void AppAdvStop(void);
void AppSetBondable(bool bondable);
void AppSlaveSecurityReq(dmConnId_t connId);
void AppHandleNumericComparison(dmEvt_t* pEvt);
void AppConnClose(dmConnId_t connId);
void AppUiAction(uint8_t event);
// The framework's share of the module's events: the server's CCC handling,
// the slave's advertising after a disconnection, the slave's security.
void AppServerProcAttMsg(wsfMsgHdr_t* pMsg);
void AppSlaveProcDmMsg(dmEvt_t* pMsg);
void AppSlaveSecProcDmMsg(dmEvt_t* pMsg);

// ------------------------------------------------------ GAP/GATT core group -
// GAP service at 0x0001 (device name 0x0003, appearance 0x0005, preferred
// connection parameters 0x0007), GATT service at 0x0010 (service changed
// 0x0012 with its CCC at 0x0013).
constexpr uint16_t GAP_DN_HDL = 0x0003;
constexpr uint16_t GATT_SC_CH_CCC_HDL = 0x0013;
void SvcCoreGattCbackRegister(attsReadCback_t readCback, attsWriteCback_t writeCback);
void SvcCoreSetDevName(const uint8_t* pName, uint8_t len);
void SvcCoreSetPPCP(uint16_t minInterval, uint16_t maxInterval, uint16_t latency, uint16_t timeout);
void SvcCoreAddGroup(void);
void SvcCoreRemoveGroup(void);

#ifdef __cplusplus
}  // extern "C"
#endif

// ------------------------------------------------------------ the platform -
// What the simulated platform adds around the stack (tests, the chip's HAL
// stand-in for the raw HCI transport, the kernel stand-in).
namespace ble_host {

// Runs what is pending without waiting; true when something ran.
bool dispatch_pending();
// How wsfOsDispatcher waits when nothing is pending: until `deadline_us`
// (the next timer; ~0 for none) or until wake() is called. Default: the
// simulated chip's wait for a change. A kernel stand-in can plug a
// semaphore here.
using IdleWaitFn = void (*)(uint64_t deadline_us);
void set_idle_wait(IdleWaitFn fn);
// Called when the link layer queues an event for the dispatcher (from the
// simulated hardware). Default: the simulated chip's signal of a change.
using WakeFn = void (*)();
void set_wake(WakeFn fn);
// Called by HciDrvRadioBoot, where the HCI driver sets its interface up
// (the interrupt enables of the chip's BLE interface). Default: nothing.
using BootFn = void (*)();
void set_boot(BootFn fn);
// The earliest time something is due inside the stack (~0: nothing).
uint64_t next_due_us();
// Back to power-on state (tests; a chip reset starts a new program).
void reset();

// Tests: what the link layer hands the host about a connected peer, without
// the air (the events are queued as the link layer queues them and run by
// the dispatcher): the link opens, ACL data of the peer (LLID 1 a
// continuation, 2 a start), transmit buffers acknowledged, the link's
// encryption changed, the link closed.
namespace test_peer {
void connected();
void acl(uint8_t llid, const uint8_t* data, size_t len);
void completed(int n);
void encryption_changed(uint8_t status);
void disconnected(uint8_t reason);
}  // namespace test_peer

// The controller's raw HCI transport for the LE test commands (direct test
// mode): the chip's HAL stand-in hands it whole command packets (H4 type
// byte 0x01 first) and reads the events back (type byte 0x04 first).
// Answered: HCI Reset, LE Receiver Test, LE Transmitter Test, LE Test End
// (with the packet count), anything else with status 0x01.
class HciTransport {
 public:
  // False when the bytes are no command packet.
  static bool write(const uint8_t* data, size_t len);
  static bool reply_ready();
  // Copies the oldest reply (at most `max` bytes); its length, 0 when none.
  static size_t read(uint8_t* out, size_t max);
};

}  // namespace ble_host

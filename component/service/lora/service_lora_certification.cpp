// Certification mode and the compliance package on port 224. The test
// server sends its commands on port 224; the package executes them and
// prepares a reply, which the next periodic certification uplink carries
// instead of the usual single byte on port 2.
#include "service_lora_certification.h"

#include <string.h>

#include "board.h"
#include "service_lora.h"
#include "service_nvm.h"
#include "udrv_errno.h"
#include "udrv_serial.h"
#include "udrv_timer.h"

namespace {

enum : uint8_t {
  COMPLIANCE_PKG_VERSION_REQ = 0x00,
  COMPLIANCE_DUT_RESET_REQ = 0x01,
  COMPLIANCE_DUT_JOIN_REQ = 0x02,
  COMPLIANCE_SWITCH_CLASS_REQ = 0x03,
  COMPLIANCE_ADR_BIT_CHANGE_REQ = 0x04,
  COMPLIANCE_REGIONAL_DUTY_CYCLE_CTRL_REQ = 0x05,
  COMPLIANCE_TX_PERIODICITY_CHANGE_REQ = 0x06,
  COMPLIANCE_TX_FRAMES_CTRL_REQ = 0x07,
  COMPLIANCE_ECHO_PAYLOAD_REQ = 0x08,
  COMPLIANCE_RX_APP_CNT_REQ = 0x09,
  COMPLIANCE_RX_APP_CNT_RESET_REQ = 0x0A,
  COMPLIANCE_LINK_CHECK_REQ = 0x20,
  COMPLIANCE_DEVICE_TIME_REQ = 0x21,
  COMPLIANCE_PING_SLOT_INFO_REQ = 0x22,
  COMPLIANCE_BEACON_RX_STATUS_IND_CTRL = 0x40,
  COMPLIANCE_BEACON_RX_STATUS_IND = 0x41,
  COMPLIANCE_BEACON_CNT_REQ = 0x42,
  COMPLIANCE_BEACON_CNT_RESET_REQ = 0x43,
  COMPLIANCE_TX_CW_REQ = 0x7D,
  COMPLIANCE_DUT_FPORT_224_DISABLE_REQ = 0x7E,
  COMPLIANCE_DUT_VERSION_REQ = 0x7F,
};

constexpr uint8_t COMPLIANCE_ID = 6;
constexpr uint8_t COMPLIANCE_VERSION = 1;
constexpr uint8_t COMPLIANCE_PORT = 224;
constexpr uint32_t kCertificationPeriodMs = 5000;

typedef struct {
  bool IsBeaconRxOn;
  uint8_t PingSlotPeriodicity;
  uint16_t BeaconCnt;
  BeaconInfo_t Info;
} ClassBStatus_t;

typedef struct {
  bool Initialized;
  bool IsTxPending;
  TimerTime_t TxPendingTimestamp;
  uint8_t IsTxConfirmed;  // 0 unconfirmed, 1 confirmed
  uint8_t DataBufferMaxSize;
  uint8_t DataBufferSize;
  uint8_t *DataBuffer;
  uint16_t RxAppCnt;
  bool IsBeaconRxStatusIndOn;
  ClassBStatus_t ClassBStatus;
  bool IsResetCmdPending;
  bool IsClassReqCmdPending;
  DeviceClass_t NewClass;
} ComplianceTestState_t;

ComplianceTestState_t ComplianceTestState;
LmhpComplianceParams_t *ComplianceParams = nullptr;
LmhPackage_t *LmHandlerPackages[PKG_MAX_NUMBER] = {};

// The service's application buffer, which the package's replies are
// prepared in, and the certification uplink.
uint8_t AppDataBuffer[242];
uint8_t CertifiBuffer[242];
uint8_t CertifiLen = 0;

void LmhpComplianceInit(void *params, uint8_t *dataBuffer, uint8_t dataBufferMaxSize);
bool LmhpComplianceIsInitialized(void) { return ComplianceTestState.Initialized; }
bool LmhpComplianceIsTxPending(void) { return ComplianceTestState.IsTxPending; }
void LmhpComplianceProcess(void);
void LmhpComplianceOnMcpsIndication(McpsIndication_t *ind);
void LmhpComplianceOnMlmeConfirm(MlmeConfirm_t *c);
void LmhpComplianceOnMlmeIndication(MlmeIndication_t *ind);

LmhPackage_t CompliancePackage = {
    COMPLIANCE_PORT,
    LmhpComplianceInit,
    LmhpComplianceIsInitialized,
    LmhpComplianceIsTxPending,
    LmhpComplianceProcess,
    nullptr,
    LmhpComplianceOnMcpsIndication,
    LmhpComplianceOnMlmeConfirm,
    LmhpComplianceOnMlmeIndication,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void set_cert_port(bool on) {
  MibRequestConfirm_t mib{};
  mib.Type = MIB_IS_CERT_FPORT_ON;
  mib.Param.IsCertPortOn = on;
  LoRaMacMibSetRequestConfirm(&mib);
}

void join_if_needed(void) {
  if (service_lora_get_njm() == SERVICE_LORA_OTAA && !service_lora_get_njs()) {
    service_lora_join(1, -1, -1, -1);
  }
}

// Ends the periodic uplink and gives the duty-cycle enforcement back its
// stored setting: the test switched it off.
void stop_certification(void) {
  udrv_system_timer_stop(SYSTIMER_LCT);
  LoRaMacTestSetDutyCycleOn(service_nvm_get_dcs_from_nvm() != 0);
}

void put16(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void prepare_beacon_status(void) {
  ComplianceTestState_t &s = ComplianceTestState;
  if (s.DataBufferMaxSize < 23) {
    return;
  }
  const BeaconInfo_t &info = s.ClassBStatus.Info;
  uint8_t *b = s.DataBuffer;
  b[0] = COMPLIANCE_BEACON_RX_STATUS_IND;
  b[1] = s.ClassBStatus.IsBeaconRxOn ? 1 : 0;
  put16(&b[2], s.ClassBStatus.BeaconCnt);
  uint32_t freq = info.Frequency / 100;
  b[4] = static_cast<uint8_t>(freq);
  b[5] = static_cast<uint8_t>(freq >> 8);
  b[6] = static_cast<uint8_t>(freq >> 16);
  b[7] = info.Datarate;
  put16(&b[8], static_cast<uint16_t>(info.Rssi));
  b[10] = static_cast<uint8_t>(info.Snr);
  b[11] = info.Param;
  uint32_t secs = info.Time.Seconds;
  for (int i = 0; i < 4; ++i) {
    b[12 + i] = static_cast<uint8_t>(secs >> (8 * i));
  }
  b[16] = info.GwSpecific.InfoDesc;
  memcpy(&b[17], info.GwSpecific.Info, 6);
  s.DataBufferSize = 23;
  s.IsTxPending = true;
}

void LmhpComplianceInit(void *params, uint8_t *dataBuffer, uint8_t dataBufferMaxSize) {
  ComplianceTestState_t &s = ComplianceTestState;
  if (params != nullptr && dataBuffer != nullptr) {
    ComplianceParams = static_cast<LmhpComplianceParams_t *>(params);
    ComplianceParams->OnTxFrameCtrlChanged = OnTxFrameCtrlChanged;
    s.DataBuffer = dataBuffer;
    s.DataBufferMaxSize = dataBufferMaxSize;
    s.Initialized = true;
  } else {
    ComplianceParams = nullptr;
    s.Initialized = false;
  }
  s.RxAppCnt = 0;
  memset(&s.ClassBStatus, 0, sizeof s.ClassBStatus);
  s.IsTxPending = false;
  s.IsBeaconRxStatusIndOn = false;
  s.IsResetCmdPending = false;
  s.IsClassReqCmdPending = false;
}

void LmhpComplianceProcess(void) {
  ComplianceTestState_t &s = ComplianceTestState;
  if (s.IsClassReqCmdPending) {
    s.IsClassReqCmdPending = false;
    if (s.NewClass <= CLASS_C) {
      service_lora_set_class(static_cast<SERVICE_LORA_CLASS>(s.NewClass), false);
    }
  }
  if (s.IsResetCmdPending) {
    s.IsResetCmdPending = false;
    BoardResetMcu();
  }
}

void LmhpComplianceOnMcpsIndication(McpsIndication_t *ind) {
  ComplianceTestState_t &s = ComplianceTestState;
  if (!s.Initialized) {
    return;
  }
  if (ind->Port != 0 || ind->AckReceived) {
    s.RxAppCnt++;
  }
  if (ind->Port != COMPLIANCE_PORT || ind->RxData == 0 || ind->BufferSize == 0 ||
      ind->Buffer == nullptr) {
    return;
  }
  const uint8_t *in = ind->Buffer;
  const uint8_t size = ind->BufferSize;
  uint8_t *out = s.DataBuffer;
  s.DataBufferSize = 0;
  switch (in[0]) {
    case COMPLIANCE_PKG_VERSION_REQ:
      out[0] = COMPLIANCE_PKG_VERSION_REQ;
      out[1] = COMPLIANCE_ID;
      out[2] = COMPLIANCE_VERSION;
      s.DataBufferSize = 3;
      break;
    case COMPLIANCE_DUT_RESET_REQ:
      s.IsResetCmdPending = true;
      break;
    case COMPLIANCE_DUT_JOIN_REQ:
      // The bands with 64 or more channels join on every sub-band the
      // test may use: the mask is applied and stored first.
      {
        uint16_t mask = 0;
        switch (service_lora_get_band()) {
          case SERVICE_LORA_US915:
          case SERVICE_LORA_LA915:
            mask = 0x00FF;
            break;
          case SERVICE_LORA_AU915:
            mask = 0x01FF;
            break;
          case SERVICE_LORA_CN470:
            mask = 0x0FFF;
            break;
          default:
            break;
        }
        if (mask != 0) {
          (void)service_lora_set_mask(&mask, true);
        }
      }
      if (CompliancePackage.OnJoinRequest != nullptr) {
        CompliancePackage.OnJoinRequest(true);
      }
      break;
    case COMPLIANCE_SWITCH_CLASS_REQ:
      if (size >= 2) {
        s.NewClass = static_cast<DeviceClass_t>(in[1]);
        s.IsClassReqCmdPending = true;
      }
      break;
    case COMPLIANCE_ADR_BIT_CHANGE_REQ:
      if (size >= 2) {
        service_lora_set_adr(in[1] != 0, true);
      }
      break;
    case COMPLIANCE_REGIONAL_DUTY_CYCLE_CTRL_REQ:
      if (size >= 2) {
        LoRaMacTestSetDutyCycleOn(in[1] != 0);
      }
      break;
    case COMPLIANCE_TX_PERIODICITY_CHANGE_REQ: {
      static const uint32_t periods[] = {0,     5000,  10000,  20000,  30000, 40000,
                                         50000, 60000, 120000, 240000, 480000};
      if (size >= 2 && in[1] < sizeof periods / sizeof periods[0] && ComplianceParams != nullptr &&
          ComplianceParams->OnTxPeriodicityChanged != nullptr) {
        ComplianceParams->OnTxPeriodicityChanged(periods[in[1]]);
      }
      break;
    }
    case COMPLIANCE_TX_FRAMES_CTRL_REQ:
      if (size >= 2 && (in[1] == 1 || in[1] == 2)) {
        s.IsTxConfirmed = in[1] == 2 ? 1 : 0;
        if (ComplianceParams != nullptr && ComplianceParams->OnTxFrameCtrlChanged != nullptr) {
          ComplianceParams->OnTxFrameCtrlChanged(s.IsTxConfirmed);
        }
      }
      break;
    case COMPLIANCE_ECHO_PAYLOAD_REQ: {
      const uint8_t n = size < s.DataBufferMaxSize ? size : s.DataBufferMaxSize;
      out[0] = COMPLIANCE_ECHO_PAYLOAD_REQ;
      for (uint8_t i = 1; i < n; ++i) {
        out[i] = static_cast<uint8_t>(in[i] + 1);
      }
      s.DataBufferSize = n;
      break;
    }
    case COMPLIANCE_RX_APP_CNT_REQ:
      out[0] = COMPLIANCE_RX_APP_CNT_REQ;
      put16(&out[1], s.RxAppCnt);
      s.DataBufferSize = 3;
      break;
    case COMPLIANCE_RX_APP_CNT_RESET_REQ:
      s.RxAppCnt = 0;
      break;
    case COMPLIANCE_LINK_CHECK_REQ: {
      MlmeReq_t req{};
      req.Type = MLME_LINK_CHECK;
      LoRaMacStatus_t status = LoRaMacMlmeRequest(&req);
      if (CompliancePackage.OnMacMlmeRequest != nullptr) {
        CompliancePackage.OnMacMlmeRequest(status, &req, req.ReqReturn.DutyCycleWaitTime);
      }
      break;
    }
    case COMPLIANCE_DEVICE_TIME_REQ:
      if (CompliancePackage.OnDeviceTimeRequest != nullptr) {
        CompliancePackage.OnDeviceTimeRequest();
      }
      break;
    case COMPLIANCE_PING_SLOT_INFO_REQ:
      if (size >= 2) {
        s.ClassBStatus.PingSlotPeriodicity = in[1];
        if (ComplianceParams != nullptr &&
            ComplianceParams->OnPingSlotPeriodicityChanged != nullptr) {
          ComplianceParams->OnPingSlotPeriodicityChanged(in[1]);
        }
      }
      break;
    case COMPLIANCE_BEACON_RX_STATUS_IND_CTRL:
      if (size >= 2) {
        s.IsBeaconRxStatusIndOn = in[1] != 0;
      }
      break;
    case COMPLIANCE_BEACON_CNT_REQ:
      out[0] = COMPLIANCE_BEACON_CNT_REQ;
      put16(&out[1], s.ClassBStatus.BeaconCnt);
      s.DataBufferSize = 3;
      break;
    case COMPLIANCE_BEACON_CNT_RESET_REQ:
      s.ClassBStatus.BeaconCnt = 0;
      break;
    case COMPLIANCE_TX_CW_REQ:
      if (size == 7) {
        MlmeReq_t req{};
        req.Type = MLME_TXCW;
        req.Req.TxCw.Timeout = static_cast<uint16_t>(in[1] | (in[2] << 8));
        req.Req.TxCw.Frequency =
            (static_cast<uint32_t>(in[3]) | (static_cast<uint32_t>(in[4]) << 8) |
             (static_cast<uint32_t>(in[5]) << 16)) *
            100;
        req.Req.TxCw.Power = static_cast<int8_t>(in[6]);
        LoRaMacStatus_t status = LoRaMacMlmeRequest(&req);
        if (CompliancePackage.OnMacMlmeRequest != nullptr) {
          CompliancePackage.OnMacMlmeRequest(status, &req, req.ReqReturn.DutyCycleWaitTime);
        }
      }
      break;
    case COMPLIANCE_DUT_FPORT_224_DISABLE_REQ:
      set_cert_port(false);
      s.IsResetCmdPending = false;
      // The test is over: no more periodic uplinks with the duty cycle off.
      stop_certification();
      if (service_lora_get_njm() == SERVICE_LORA_OTAA &&
          CompliancePackage.OnJoinRequest != nullptr) {
        CompliancePackage.OnJoinRequest(true);
      }
      service_lora_set_IsCertPortOn(0);
      break;
    case COMPLIANCE_DUT_VERSION_REQ: {
      uint32_t fw = ComplianceParams != nullptr ? ComplianceParams->FwVersion : 0;
      MibRequestConfirm_t mib{};
      mib.Type = MIB_LORAWAN_VERSION;
      LoRaMacMibGetRequestConfirm(&mib);
      out[0] = COMPLIANCE_DUT_VERSION_REQ;
      out[1] = static_cast<uint8_t>(fw >> 24);
      out[2] = static_cast<uint8_t>(fw >> 16);
      out[3] = static_cast<uint8_t>(fw >> 8);
      out[4] = static_cast<uint8_t>(fw);
      const Version_t mac = mib.Param.LrWanVersion.LoRaWan;
      const Version_t rp = mib.Param.LrWanVersion.LoRaWanRegion;
      out[5] = mac.Fields.Major;
      out[6] = mac.Fields.Minor;
      out[7] = mac.Fields.Patch;
      out[8] = mac.Fields.Revision;
      out[9] = rp.Fields.Major;
      out[10] = rp.Fields.Minor;
      out[11] = rp.Fields.Patch;
      out[12] = rp.Fields.Revision;
      s.DataBufferSize = 13;
      break;
    }
    default:
      break;
  }
  s.IsTxPending = s.DataBufferSize != 0;
}

void LmhpComplianceOnMlmeConfirm(MlmeConfirm_t *c) {
  if (c->MlmeRequest != MLME_BEACON_ACQUISITION) {
    return;
  }
  ClassBStatus_t &b = ComplianceTestState.ClassBStatus;
  if (c->Status == LORAMAC_EVENT_INFO_STATUS_OK) {
    memset(&b, 0, sizeof b);
    b.IsBeaconRxOn = true;
  } else {
    b.IsBeaconRxOn = false;
  }
}

void LmhpComplianceOnMlmeIndication(MlmeIndication_t *ind) {
  ComplianceTestState_t &s = ComplianceTestState;
  if (!s.Initialized) {
    return;
  }
  if (ind->MlmeIndication == MLME_BEACON) {
    if (ind->Status == LORAMAC_EVENT_INFO_STATUS_BEACON_LOCKED) {
      s.ClassBStatus.IsBeaconRxOn = true;
      s.ClassBStatus.BeaconCnt++;
    }
    s.ClassBStatus.Info = ind->BeaconInfo;
  } else if (ind->MlmeIndication == MLME_BEACON_LOST) {
    memset(&s.ClassBStatus, 0, sizeof s.ClassBStatus);
  } else {
    return;
  }
  if (s.IsBeaconRxStatusIndOn) {
    prepare_beacon_status();
  }
}

bool package_ready(const LmhPackage_t *p) {
  return p != nullptr && p->IsInitialized != nullptr && p->IsInitialized();
}

}  // namespace

LmhpComplianceParams_t LmhpComplianceParams = {};

void OnTxFrameCtrlChanged(uint8_t isTxConfirmed) {
  if (isTxConfirmed <= 1) {
    service_lora_set_cfm(static_cast<SERVICE_LORA_CONFIRM_MODE>(isTxConfirmed));
  }
}

void OnMacMlmeRequest(LoRaMacStatus_t status, MlmeReq_t *mlmeReq, TimerTime_t nextTxIn) {
  udrv_serial_log_printf("\n###### =========== MLME-Request ============ ######\n");
  switch (mlmeReq->Type) {
    case MLME_JOIN:
      udrv_serial_log_printf("######               MLME_JOIN               ######\n");
      break;
    case MLME_LINK_CHECK:
      udrv_serial_log_printf("######            MLME_LINK_CHECK            ######\n");
      break;
    case MLME_TXCW:
      udrv_serial_log_printf("######               MLME_TXCW               ######\n");
      break;
    case MLME_DEVICE_TIME:
      udrv_serial_log_printf("######            MLME_DEVICE_TIME           ######\n");
      break;
    default:
      udrv_serial_log_printf("######              MLME_UNKNOWN             ######\n");
      break;
  }
  udrv_serial_log_printf("###### ===================================== ######\n");
  udrv_serial_log_printf("STATUS      : %s\n", service_lora_mac_status_text(status));
  if (status == LORAMAC_STATUS_DUTYCYCLE_RESTRICTED) {
    udrv_serial_log_printf("Next Tx in  : %lu [ms]\n", static_cast<unsigned long>(nextTxIn));
  }
}

void OnMacMcpsRequest(LoRaMacStatus_t status, McpsReq_t *mcpsReq, TimerTime_t nextTxIn) {
  udrv_serial_log_printf("\n###### =========== MCPS-Request ============ ######\n");
  switch (mcpsReq->Type) {
    case MCPS_UNCONFIRMED:
      udrv_serial_log_printf("######           MCPS_UNCONFIRMED            ######\n");
      break;
    case MCPS_CONFIRMED:
      udrv_serial_log_printf("######            MCPS_CONFIRMED             ######\n");
      break;
    case MCPS_PROPRIETARY:
      udrv_serial_log_printf("######           MCPS_PROPRIETARY            ######\n");
      break;
    default:
      udrv_serial_log_printf("######                MCPS_ERROR             ######\n");
      break;
  }
  udrv_serial_log_printf("###### ===================================== ######\n");
  udrv_serial_log_printf("STATUS      : %s\n", service_lora_mac_status_text(status));
  if (status == LORAMAC_STATUS_DUTYCYCLE_RESTRICTED) {
    udrv_serial_log_printf("Next Tx in  : %lu [ms]\n", static_cast<unsigned long>(nextTxIn));
  }
}

LoRaMacStatus_t LmHandlerDeviceTimeReq(void) {
  MlmeReq_t req{};
  req.Type = MLME_DEVICE_TIME;
  return LoRaMacMlmeRequest(&req) == LORAMAC_STATUS_OK ? LORAMAC_STATUS_OK : LORAMAC_STATUS_ERROR;
}

int32_t LmHandlerPackageRegister(uint8_t id, void *params) {
  if (id != PACKAGE_ID_COMPLIANCE) {
    return LORAMAC_HANDLER_ERROR;
  }
  LmhPackage_t *p = &CompliancePackage;
  LmHandlerPackages[id] = p;
  p->OnMacMcpsRequest = OnMacMcpsRequest;
  p->OnMacMlmeRequest = OnMacMlmeRequest;
  p->OnJoinRequest = LmHandlerJoinRequest;
  p->OnDeviceTimeRequest = LmHandlerDeviceTimeReq;
  p->Init(params, AppDataBuffer, sizeof AppDataBuffer);
  return LORAMAC_HANDLER_SUCCESS;
}

bool LmHandlerPackageIsInitialized(uint8_t id) {
  return id < PKG_MAX_NUMBER && package_ready(LmHandlerPackages[id]);
}

void LmHandlerPackagesProcess(void) {
  for (LmhPackage_t *p : LmHandlerPackages) {
    if (p != nullptr && p->Process != nullptr && package_ready(p)) {
      p->Process();
    }
  }
}

void LmHandlerPackagesMcpsConfirm(McpsConfirm_t *c) {
  for (LmhPackage_t *p : LmHandlerPackages) {
    if (p != nullptr && p->OnMcpsConfirmProcess != nullptr) {
      p->OnMcpsConfirmProcess(c);
    }
  }
}

void LmHandlerPackagesMcpsIndication(McpsIndication_t *ind) {
  for (LmhPackage_t *p : LmHandlerPackages) {
    if (p != nullptr && p->OnMcpsIndicationProcess != nullptr) {
      p->OnMcpsIndicationProcess(ind);
    }
  }
}

void LmHandlerPackagesMlmeConfirm(MlmeConfirm_t *c) {
  for (LmhPackage_t *p : LmHandlerPackages) {
    if (p != nullptr && p->OnMlmeConfirmProcess != nullptr) {
      p->OnMlmeConfirmProcess(c);
    }
  }
}

void LmHandlerPackagesMlmeIndication(MlmeIndication_t *ind) {
  for (LmhPackage_t *p : LmHandlerPackages) {
    if (p != nullptr && p->OnMlmeIndicationProcess != nullptr) {
      p->OnMlmeIndicationProcess(ind);
    }
  }
}

int32_t Certifi_Send(uint8_t port) {
  CertifiBuffer[0] = 0x43;
  CertifiLen = 1;
  uint8_t uplink_port = port;
  for (LmhPackage_t *p : LmHandlerPackages) {
    if (p != nullptr && p->Process != nullptr && package_ready(p) && p->IsTxPending != nullptr &&
        p->IsTxPending()) {
      CertifiLen = ComplianceTestState.DataBufferSize;
      memcpy(CertifiBuffer, ComplianceTestState.DataBuffer, CertifiLen);
      uplink_port = p->Port;
    }
  }
  SERVICE_LORA_SEND_INFO info{};
  info.port = uplink_port;
  info.retry_valid = false;
  info.confirm_valid = false;
  if (service_lora_send(CertifiBuffer, CertifiLen, info, false) != 0) {
    return -1;
  }
  ComplianceTestState.IsTxPending = false;
  return 0;
}

void CertifiTimerEvent(void *) {
  join_if_needed();
  Certifi_Send(2);
}

int32_t service_lora_certification(int32_t mode) {
  if (mode == 0) {
    stop_certification();
    return 0;
  }
  join_if_needed();
  LoRaMacTestSetDutyCycleOn(false);
  if (udrv_system_timer_create(SYSTIMER_LCT, CertifiTimerEvent, HTMR_PERIODIC) != 0) {
    udrv_serial_log_printf("FAILED(%d)\r\n", 71);
  } else {
    udrv_system_timer_start(SYSTIMER_LCT, kCertificationPeriodMs, nullptr);
  }
  set_cert_port(true);
  service_lora_set_IsCertPortOn(1);
  return 0;
}

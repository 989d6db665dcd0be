// LoRaWAN certification: the certification mode (an uplink every 5 s) and
// the compliance package, which executes the test server's commands on
// port 224 and prepares the replies the next periodic uplink carries.
// Packages plug into the LoRaWAN service through LmhPackage_t records; the
// compliance package is the only one, in slot 0.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "LoRaMac.h"

#define LORAMAC_HANDLER_ERROR (-1)
#define LORAMAC_HANDLER_SUCCESS 0
#define PACKAGE_ID_COMPLIANCE 0
#define PKG_MAX_NUMBER 4

typedef struct LmhPackage_s {
  uint8_t Port;
  void (*Init)(void *params, uint8_t *dataBuffer, uint8_t dataBufferMaxSize);
  bool (*IsInitialized)(void);
  bool (*IsTxPending)(void);
  void (*Process)(void);
  void (*OnMcpsConfirmProcess)(McpsConfirm_t *mcpsConfirm);
  void (*OnMcpsIndicationProcess)(McpsIndication_t *mcpsIndication);
  void (*OnMlmeConfirmProcess)(MlmeConfirm_t *mlmeConfirm);
  void (*OnMlmeIndicationProcess)(MlmeIndication_t *mlmeIndication);
  void (*OnMacMcpsRequest)(LoRaMacStatus_t status, McpsReq_t *mcpsReq, TimerTime_t nextTxDelay);
  void (*OnMacMlmeRequest)(LoRaMacStatus_t status, MlmeReq_t *mlmeReq, TimerTime_t nextTxDelay);
  void (*OnJoinRequest)(bool isOtaa);
  LoRaMacStatus_t (*OnDeviceTimeRequest)(void);
  void (*OnSysTimeUpdate)(void);
} LmhPackage_t;

typedef struct LmhpComplianceParams_s {
  uint32_t FwVersion;  // revision, patch, minor, major from the low byte
  void (*OnTxPeriodicityChanged)(uint32_t periodicity);
  void (*OnTxFrameCtrlChanged)(uint8_t isTxConfirmed);
  void (*OnPingSlotPeriodicityChanged)(uint8_t pingSlotPeriodicity);
} LmhpComplianceParams_t;

extern LmhpComplianceParams_t LmhpComplianceParams;

// Certification mode: 0 ends it, any other value starts it. 0.
int32_t service_lora_certification(int32_t mode);
void CertifiTimerEvent(void *context);
int32_t Certifi_Send(uint8_t port);

int32_t LmHandlerPackageRegister(uint8_t id, void *params);
bool LmHandlerPackageIsInitialized(uint8_t id);
// After every MAC processing step.
void LmHandlerPackagesProcess(void);
LoRaMacStatus_t LmHandlerDeviceTimeReq(void);
void OnMacMlmeRequest(LoRaMacStatus_t status, MlmeReq_t *mlmeReq, TimerTime_t nextTxIn);
void OnMacMcpsRequest(LoRaMacStatus_t status, McpsReq_t *mcpsReq, TimerTime_t nextTxIn);
void OnTxFrameCtrlChanged(uint8_t isTxConfirmed);

// The MAC's primitives handed on to the registered packages.
void LmHandlerPackagesMcpsConfirm(McpsConfirm_t *c);
void LmHandlerPackagesMcpsIndication(McpsIndication_t *ind);
void LmHandlerPackagesMlmeConfirm(MlmeConfirm_t *c);
void LmHandlerPackagesMlmeIndication(MlmeIndication_t *ind);

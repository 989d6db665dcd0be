// The LoRaWAN commands: identity and keys, join and send, and the MAC
// settings and signal readings. Present in the images that link the LoRaWAN
// service.
#pragma once

#include "service_mode_cli.h"

#ifdef QIV_LORA_SERVICES_LINKED
int At_AppEui(SERIAL_PORT port, char *cmd, stParam *param);
int At_AppKey(SERIAL_PORT port, char *cmd, stParam *param);
int At_AppSKey(SERIAL_PORT port, char *cmd, stParam *param);
int At_DevAddr(SERIAL_PORT port, char *cmd, stParam *param);
int At_DevEui(SERIAL_PORT port, char *cmd, stParam *param);
int At_NetId(SERIAL_PORT port, char *cmd, stParam *param);
int At_NwkSKey(SERIAL_PORT port, char *cmd, stParam *param);
int At_McRootkey(SERIAL_PORT port, char *cmd, stParam *param);
int At_CfMode(SERIAL_PORT port, char *cmd, stParam *param);
int At_CfStatus(SERIAL_PORT port, char *cmd, stParam *param);
int At_Join(SERIAL_PORT port, char *cmd, stParam *param);
int At_NwkJoinMode(SERIAL_PORT port, char *cmd, stParam *param);
int At_NwkJoinStatus(SERIAL_PORT port, char *cmd, stParam *param);
int At_Recv(SERIAL_PORT port, char *cmd, stParam *param);
int At_Send(SERIAL_PORT port, char *cmd, stParam *param);
int At_Retry(SERIAL_PORT port, char *cmd, stParam *param);

int At_ADR(SERIAL_PORT port, char *cmd, stParam *param);
int At_Class(SERIAL_PORT port, char *cmd, stParam *param);
int At_DCS(SERIAL_PORT port, char *cmd, stParam *param);
int At_DataRate(SERIAL_PORT port, char *cmd, stParam *param);
int At_RxWin1JoinDelay(SERIAL_PORT port, char *cmd, stParam *param);
int At_RxWin2JoinDelay(SERIAL_PORT port, char *cmd, stParam *param);
int At_PubNwkMode(SERIAL_PORT port, char *cmd, stParam *param);
int At_RxWin1Delay(SERIAL_PORT port, char *cmd, stParam *param);
int At_RxWin2Delay(SERIAL_PORT port, char *cmd, stParam *param);
int At_RxWin2DataRate(SERIAL_PORT port, char *cmd, stParam *param);
int At_RxWin2Freq(SERIAL_PORT port, char *cmd, stParam *param);
int At_TxPower(SERIAL_PORT port, char *cmd, stParam *param);
int At_LinkCheck(SERIAL_PORT port, char *cmd, stParam *param);
int At_Timereq(SERIAL_PORT port, char *cmd, stParam *param);
int At_Lbt(SERIAL_PORT port, char *cmd, stParam *param);
int At_LbtRssi(SERIAL_PORT port, char *cmd, stParam *param);
int At_LbtScantime(SERIAL_PORT port, char *cmd, stParam *param);
int At_PingSlot(SERIAL_PORT port, char *cmd, stParam *param);
int At_BeaconFreq(SERIAL_PORT port, char *cmd, stParam *param);
int At_BeaconTime(SERIAL_PORT port, char *cmd, stParam *param);
int At_BGW(SERIAL_PORT port, char *cmd, stParam *param);
int At_LocalTime(SERIAL_PORT port, char *cmd, stParam *param);
int At_Rssi(SERIAL_PORT port, char *cmd, stParam *param);
int At_Arssi(SERIAL_PORT port, char *cmd, stParam *param);
int At_Snr(SERIAL_PORT port, char *cmd, stParam *param);
#endif

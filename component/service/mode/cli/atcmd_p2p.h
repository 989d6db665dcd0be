// The P2P and FSK commands: the work mode, the point-to-point radio settings,
// sending and receiving, payload encryption and the channel activity check.
// Present in the images that link the point-to-point service.
#pragma once

#include "service_mode_cli.h"

#ifdef QIV_LORA_P2P_LINKED
// Says which settings the image has (SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT).
#include "service_lora_p2p.h"

int At_NwkWorkMode(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pFreq(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pSF(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pBW(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pCR(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pPL(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pTP(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pSend(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pRecv(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pCrypt(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pCAD(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pKey(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2pIV(SERIAL_PORT port, char *cmd, stParam *param);
int At_P2p(SERIAL_PORT port, char *cmd, stParam *param);
int At_Pbr(SERIAL_PORT port, char *cmd, stParam *param);
int At_Pfdev(SERIAL_PORT port, char *cmd, stParam *param);
int At_iqInver(SERIAL_PORT port, char *cmd, stParam *param);
int At_syncword(SERIAL_PORT port, char *cmd, stParam *param);
int At_rfFrequency(SERIAL_PORT port, char *cmd, stParam *param);
int At_txOutputPower(SERIAL_PORT port, char *cmd, stParam *param);
int At_bandwidth(SERIAL_PORT port, char *cmd, stParam *param);
int At_speradingFactor(SERIAL_PORT port, char *cmd, stParam *param);
int At_codingrate(SERIAL_PORT port, char *cmd, stParam *param);
int At_preambleLength(SERIAL_PORT port, char *cmd, stParam *param);
int At_symbolTimeout(SERIAL_PORT port, char *cmd, stParam *param);
int At_fixLengthPayload(SERIAL_PORT port, char *cmd, stParam *param);
#endif

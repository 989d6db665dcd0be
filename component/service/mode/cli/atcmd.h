// The built-in AT command handlers, one family per source file, and what
// each image's table needs to know about the image.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "service_mode_cli.h"
#include "udrv_system.h"  // uhal_sys_get_uid

// ---- Image properties used by the command table and the handlers ----

// Brisola-T and Brisola-E answer "AT+UID" with the MCU's unique identifier.
#if defined(QIV_MCU_STM32WLE5) && (defined(QIV_BOARD_BRISOLA_T) || defined(QIV_BOARD_BRISOLA_E))
#define ATCMD_HAS_UID 1
#endif

// The images with BLE have a BLE address command; the Apollo3 image also
// the BLE direct test mode through its controller's HCI.
#if (defined(QIV_MCU_APOLLO3) || defined(QIV_MCU_NRF52840)) && defined(SUPPORT_BLE)
#define ATCMD_HAS_BLEMAC 1
#endif
#if defined(QIV_MCU_APOLLO3) && defined(SUPPORT_BLE)
#define ATCMD_HAS_BLEDTM 1
#endif

#ifndef QIV_CHIP_BOOT_VERSION_ADDR
#error "flash map and baud rates of the AT commands are not given for this MCU"
#endif
// Version record of the serial bootloader: text padded with NUL to 32 bytes.
#define ATCMD_BOOT_VERSION_ADDR QIV_CHIP_BOOT_VERSION_ADDR
// The configuration record page is copied to the factory-copy page, one
// flash page.
#define ATCMD_FACTORY_COPY_SIZE QIV_CHIP_FLASH_PAGE_SIZE

#define ATCMD_BOOT_VERSION_SIZE 32u

// Build-time texts of the image printed by the version commands (the
// firmware version, model and command-set version texts are declared with
// the configuration store, which copies them into the record).
extern const char api_version[];
extern const char chip_id[];
extern const char build_date[];
extern const char build_time[];
extern const char repo_info[];

// ---- System commands ----
int At_Attention(SERIAL_PORT port, char *cmd, stParam *param);
int At_Dfu(SERIAL_PORT port, char *cmd, stParam *param);
int At_Bootver(SERIAL_PORT port, char *cmd, stParam *param);
int At_Reboot(SERIAL_PORT port, char *cmd, stParam *param);
int At_Restore(SERIAL_PORT port, char *cmd, stParam *param);
int At_Echo(SERIAL_PORT port, char *cmd, stParam *param);
int At_FSn(SERIAL_PORT port, char *cmd, stParam *param);
int At_Factory(SERIAL_PORT port, char *cmd, stParam *param);
int At_Sn(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetFwBuildTime(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetFwRepoInfo(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetFwVersion(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetCusFwVersion(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetCliVersion(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetApiVersion(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetHwModel(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetHwID(SERIAL_PORT port, char *cmd, stParam *param);
int At_Alias(SERIAL_PORT port, char *cmd, stParam *param);
int At_Debug(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetBat(SERIAL_PORT port, char *cmd, stParam *param);
int At_GetSysVolt(SERIAL_PORT port, char *cmd, stParam *param);
#ifdef ATCMD_HAS_UID
int At_GetUid(SERIAL_PORT port, char *cmd, stParam *param);
#endif

#ifdef ATCMD_HAS_BLEMAC
int At_BLEMac(SERIAL_PORT port, char *cmd, stParam *param);
#endif
#ifdef ATCMD_HAS_BLEDTM
int At_BLEDTM(SERIAL_PORT port, char *cmd, stParam *param);
// The controller's raw HCI (the port): hex text of `len` digits as one
// command; the reply and its length; the radio's transmit power.
uint32_t uhal_ble_hci_write(char const *raw_data, uint8_t len);
int32_t uhal_ble_hci_read(uint8_t *recv, uint32_t *recv_bytes);
void uhal_ble_set_dtm_txpower(int tx_power);
#endif

// ---- Sleep commands ----
int At_Sleep(SERIAL_PORT port, char *cmd, stParam *param);
int At_AutoSleep(SERIAL_PORT port, char *cmd, stParam *param);
int At_AutoSleepLevel(SERIAL_PORT port, char *cmd, stParam *param);

// ---- Serial-port commands ----
int At_Lock(SERIAL_PORT port, char *cmd, stParam *param);
int At_Pword(SERIAL_PORT port, char *cmd, stParam *param);
int At_Baud(SERIAL_PORT port, char *cmd, stParam *param);
int At_AtCmdMode(SERIAL_PORT port, char *cmd, stParam *param);

// ---- Forms of the arguments, shared by the handlers ----
static inline bool atcmd_is_bare(const stParam *param) { return param->argc == 0; }

static inline bool atcmd_is_query(const stParam *param) {
  return param->argc == 1 && param->argv[0][0] == '?' && param->argv[0][1] == '\0';
}

static inline bool atcmd_is_set(const stParam *param) {
  return param->argc == 1 && !atcmd_is_query(param);
}

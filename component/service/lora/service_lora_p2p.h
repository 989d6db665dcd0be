// LoRa and FSK point-to-point service: in the work modes SERVICE_LORA_P2P and
// SERVICE_LORA_FSK the radio is driven directly (no LoRaWAN MAC) to send and
// receive raw frames between modules, optionally after a channel activity
// check, with optional AES-128-CBC payload encryption. Every radio outcome is
// reported with a "+EVT:" line and the optional hooks.
//
// The radio callbacks run in the radio interrupt; the operations run in the
// main loop.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "qiv_config.h"
#include "service_lora_types.h"

// The QuenlarLP-SiP and Saffrond images leave the sync word registers at the
// radio's own value and have no symbol-timeout accessors (the stored symbol
// timeout still configures the radio).
#if !defined(QIV_BOARD_QUENLARLP_SIP) && !defined(QIV_BOARD_SAFFROND)
#define SERVICE_LORA_P2P_HAS_SYNCWORD 1
#define SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT 1
#endif

// Largest radio frame, and the largest payload that still fits it once
// encrypted: the padded payload (a multiple of 16 bytes) and the 16-byte IV.
#define SERVICE_LORA_P2P_MAX_FRAME 255u
#define SERVICE_LORA_P2P_CRYPT_BLOCK 16u
#define SERVICE_LORA_P2P_CRYPT_MAX_PAYLOAD 223u

// Receive modes of service_lora_p2p_recv besides a window in ms.
#define SERVICE_LORA_P2P_RX_STOP 0u
#define SERVICE_LORA_P2P_RX_UNTIL_FRAME 65535u    // continuous until the first frame
#define SERVICE_LORA_P2P_RX_NO_EXIT 65534u        // continuous until stopped
#define SERVICE_LORA_P2P_RX_COMPATIBLE_TX 65533u  // continuous, sends go through
#define SERVICE_LORA_P2P_RX_MIN_WINDOW 15u

typedef struct {
  bool isRxCancel;                         // not used by the service
  volatile bool isRadioBusy;               // a send or a receive is in progress
  volatile bool isContinue;                // continuous receive until the first frame
  volatile bool isContinue_no_exit;        // continuous receive that stays on
  volatile bool isContinue_compatible_tx;  // continuous receive that sends may interrupt
  volatile bool isCAD;                     // a channel activity check is running
} LORA_P2P_STATUS_ST;

typedef enum : int8_t {
  LORA_P2P_RXDONE = 0,
  LORA_P2P_RXTIMEOUT = 1,
  LORA_P2P_RXERROR = 2,
} LORA_P2P_RX_STATUS;

// What the receive hook is given.
typedef struct {
  uint8_t *Buffer;  // lora_p2p_buf
  uint8_t BufferSize;
  int16_t Rssi;
  int8_t Snr;
  int8_t Status;  // LORA_P2P_RX_STATUS
} qiv_lora_p2p_recv_t;

extern LORA_P2P_STATUS_ST lora_p2p_status;
// Shared by send (plain or encrypted frame) and receive (plain or decrypted
// payload).
extern uint8_t lora_p2p_buf[SERVICE_LORA_P2P_MAX_FRAME];

// Optional hooks of a user program; null unless set.
extern void (*service_lora_p2p_send_callback)(void);
extern void (*service_lora_p2p_recv_callback)(qiv_lora_p2p_recv_t data);
extern void (*service_lora_p2p_send_CAD_callback)(bool channel_activity_detected);

// Gives the radio this service's callbacks and configures it; 0.
int32_t service_lora_p2p_init(void);
// Applies the settings (stored, or the run-time ones while they are in use)
// to the radio; 0.
int32_t service_lora_p2p_config(void);
// Sends one frame: 0; -6 while the radio is busy or when the channel activity
// check found the channel in use (nothing sent); -3 when encryption is on and
// the payload is longer than SERVICE_LORA_P2P_CRYPT_MAX_PAYLOAD; -7 when the
// payload could not be encrypted. The channel activity check (cad_enable)
// is made in LoRa P2P mode only; FSK frames go out without it.
int32_t service_lora_p2p_send(uint8_t *p_data, uint8_t len, bool cad_enable);
// Starts or stops receiving: a window of `timeout` ms (1 to 14 give 15), one
// of the continuous modes above, or 0 to stop. 0; -3 above 65535; -6 while a
// continuous receive runs (for a new start) or while a frame is being sent.
int32_t service_lora_p2p_recv(uint32_t timeout);
// Non-zero while the radio is in use (sending or receiving).
uint8_t service_lora_p2p_get_radio_stat(void);
SERVICE_LORA_WORK_MODE service_lora_p2p_get_nwm(void);

// The encrypted frame of `len` payload bytes into `out` (room for
// len + 32 bytes): its length, or -3 when the frame would not fit the radio
// (len above SERVICE_LORA_P2P_CRYPT_MAX_PAYLOAD), -7 when the AES unit fails.
int32_t service_lora_p2p_encrpty(const uint8_t *in, uint16_t len, uint8_t *out);
// The payload of an encrypted frame of `len` bytes into `out` (room for
// len - 16 bytes): its length; -3 when the frame cannot be one (shorter than
// 32 bytes, longer than a radio frame, or not whole blocks plus the IV), -7
// when the AES unit fails. A padding that does not check out is kept.
int32_t service_lora_p2p_decrpty(const uint8_t *in, uint16_t len, uint8_t *out);
// The LoRa sync word into the radio's registers 0x0740 (high byte) and
// 0x0741 (low byte).
void radio_set_syncword(uint16_t syncword);

// ---- Settings ----
// Setters check the value (-3 when out of range, nothing stored), store it,
// apply it to the radio where it matters, and return the store's result.
// The check_runtime_ forms apply the same checks without storing (0 or -3).
uint32_t service_lora_p2p_get_freq(void);
int32_t service_lora_p2p_set_freq(uint32_t freq);
int32_t service_lora_p2p_check_runtime_freq(uint32_t freq);
uint8_t service_lora_p2p_get_sf(void);
int32_t service_lora_p2p_set_sf(uint32_t spreadfact);
int32_t service_lora_p2p_check_runtime_sf(uint32_t spreadfact);
// LoRa: the index 0 to 9 (125, 250 and 500 kHz are indices 0, 1, 2); FSK:
// the receive bandwidth in Hz.
uint32_t service_lora_p2p_get_bandwidth(void);
int32_t service_lora_p2p_set_bandwidth(uint32_t bandwidth);
int32_t service_lora_p2p_check_runtime_bandwidth(uint32_t bandwidth);
uint8_t service_lora_p2p_get_codingrate(void);
int32_t service_lora_p2p_set_codingrate(uint32_t codingrate);
int32_t service_lora_p2p_check_runtime_codingrate(uint32_t codingrate);
uint16_t service_lora_p2p_get_preamlen(void);
int32_t service_lora_p2p_set_preamlen(uint32_t preamlen);
int32_t service_lora_p2p_check_runtime_preamlen(uint32_t preamlen);
uint8_t service_lora_p2p_get_powerdbm(void);
int32_t service_lora_p2p_set_powerdbm(uint32_t powerdbm);
int32_t service_lora_p2p_check_runtime_powerdbm(uint32_t powerdbm);
uint32_t service_lora_p2p_get_fdev(void);
int32_t service_lora_p2p_set_fdev(uint32_t fdev);
uint32_t service_lora_p2p_get_bitrate(void);
int32_t service_lora_p2p_set_bitrate(uint32_t bitrate);
#ifdef SERVICE_LORA_P2P_HAS_SYMBOL_TIMEOUT
uint32_t service_lora_p2p_get_symbol_timeout(void);
int32_t service_lora_p2p_set_symbol_timeout(uint32_t symbol_timeout);
#endif
bool service_lora_p2p_get_iqinverted(void);
int32_t service_lora_p2p_set_iqinverted(bool iqinverted);
bool service_lora_p2p_get_fix_length_payload(void);
int32_t service_lora_p2p_set_fix_length_payload(bool fix_length_payload);
uint16_t service_lora_p2p_get_syncword(void);
int32_t service_lora_p2p_set_syncword(uint16_t syncword);
bool service_lora_p2p_get_crypto_enable(void);
int32_t service_lora_p2p_set_crypto_enable(bool enable);
// 16 bytes each; the store's length rules apply (-9 for a short buffer on
// reading, -3 unless exactly 16 bytes on writing).
int32_t service_lora_p2p_get_crypto_key(uint8_t *buff, uint32_t len);
int32_t service_lora_p2p_set_crypto_key(const uint8_t *buff, uint32_t len);
int32_t service_lora_p2p_get_crypto_IV(uint8_t *buff, uint32_t len);
int32_t service_lora_p2p_set_crypto_IV(const uint8_t *buff, uint32_t len);
uint8_t service_lora_p2p_get_CAD(void);
int32_t service_lora_p2p_set_CAD(bool enable);

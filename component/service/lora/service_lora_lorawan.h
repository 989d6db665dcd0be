// The LoRaWAN service: start-up of the MAC with the stored settings, join,
// uplinks with the service's own resend of confirmed uplinks, the settings
// kept in step between the configuration record and the MAC, the MAC's
// callbacks with their "+EVT:" lines, the stored MAC context and the
// per-channel RSSI. Return codes: 0, or a negated UDRV_RETURN_CODE.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "LoRaMac.h"
#include "service_lora_types.h"

typedef enum : uint8_t {
  SERVICE_LORA_CLASS_B_S0 = 0,
  SERVICE_LORA_CLASS_B_S1 = 1,
  SERVICE_LORA_CLASS_B_S2 = 2,
  SERVICE_LORA_CLASS_B_S3 = 3,
  SERVICE_LORA_CLASS_B_COMPLETED = 4,
} SERVICE_LORA_CLASS_B_STATE;

typedef enum : uint8_t {
  TIMEREQ_DISABLED = 0,
  TIMEREQ_ENABLED = 1,
} TIMEREQ_STATE;

enum {
  LINK_CHECK_DISABLE = 0,
  LINK_CHECK_ONCE = 1,
  LINK_CHECK_EVERYTIME = 2,
};

// The options of one uplink. Without a valid flag the stored retry count or
// confirm mode applies.
typedef struct {
  uint8_t port;
  bool retry_valid;
  uint8_t retry;
  bool confirm_valid;
  SERVICE_LORA_CONFIRM_MODE confirm;
} SERVICE_LORA_SEND_INFO;

typedef struct {
  uint8_t Port;
  uint8_t RxDatarate;
  uint8_t *Buffer;  // the MAC's payload, valid during the call only
  uint8_t BufferSize;
  int16_t Rssi;
  int8_t Snr;
  uint32_t DownLinkCounter;
} SERVICE_LORA_RECEIVE_T;

typedef struct {
  uint8_t State;  // 0: answer received, else the MLME status
  uint8_t DemodMargin;
  uint8_t NbGateways;
  int16_t Rssi;
  int8_t Snr;
} SERVICE_LORA_LINKCHECK_T;

typedef struct {
  uint16_t GPS_coordinate;
  uint32_t latitude;
  uint32_t longitude;
  uint32_t net_ID;
  uint32_t gateway_ID;
} beacon_bgw_t;

// One listed channel of the per-channel RSSI.
typedef struct {
  uint32_t chan;  // 0xFFFFFFFF: no listing in progress
  uint16_t mask;  // the channel's bit of the channel mask, 0 when disabled
  int8_t rssi;
} chan_rssi;

// Hooks a user program may set; each is called only when set.
extern void (*service_lora_send_callback)(int32_t status);
extern void (*service_lora_recv_callback)(SERVICE_LORA_RECEIVE_T data);
extern void (*service_lora_join_callback)(int32_t status);
extern void (*service_lora_linkcheck_callback)(SERVICE_LORA_LINKCHECK_T *data);
extern void (*service_lora_timereq_callback)(int32_t status);

// ---- Start-up, join, uplink ----
int32_t service_lora_init(SERVICE_LORA_BAND band);
int32_t service_lora_set_band(SERVICE_LORA_BAND band);
SERVICE_LORA_BAND service_lora_get_band(void);
// The MAC's status as the service prints it ("Duty-cycle restricted", ...).
const char *service_lora_mac_status_text(LoRaMacStatus_t status);
int32_t service_lora_set_lora_default(void);
int32_t service_lora_stop(void);
int32_t service_lora_join(int32_t join_start, int32_t auto_join, int32_t auto_join_period,
                          int32_t auto_join_max_cnt);
void service_lora_auto_join(void *context);
void LmHandlerJoinRequest(bool isOtaa);
int32_t service_lora_send(uint8_t *buff, uint32_t len, SERVICE_LORA_SEND_INFO info, bool blocking);
void service_lora_send_null(void *context);
void service_lora_suspend(void);
void service_lora_resume(void);
bool service_lora_isbusy(void);
LoRaMacStatus_t service_lora_systemMaxRxError(void);
bool service_lora_region_isActive(SERVICE_LORA_BAND band);

// ---- Settings ----
int32_t service_lora_get_app_eui(uint8_t *buff, uint32_t len);
int32_t service_lora_set_app_eui(uint8_t const *buff, uint32_t len);
int32_t service_lora_get_app_key(uint8_t *buff, uint32_t len);
int32_t service_lora_set_app_key(uint8_t const *buff, uint32_t len);
int32_t service_lora_get_dev_eui(uint8_t *buff, uint32_t len);
int32_t service_lora_set_dev_eui(uint8_t const *buff, uint32_t len);
int32_t service_lora_get_app_skey(uint8_t *buff, uint32_t len);
int32_t service_lora_set_app_skey(uint8_t const *buff, uint32_t len);
int32_t service_lora_get_nwk_skey(uint8_t *buff, uint32_t len);
int32_t service_lora_set_nwk_skey(uint8_t const *buff, uint32_t len);
int32_t service_lora_get_dev_addr(uint8_t *buff, uint32_t len);
int32_t service_lora_set_dev_addr(uint8_t const *buff, uint32_t len);
int32_t service_lora_get_net_id(uint8_t *buff, uint32_t len);
int32_t service_lora_get_McRoot_key(uint8_t *buff);
uint8_t service_lora_get_retry(void);
int32_t service_lora_set_retry(uint8_t retry);
SERVICE_LORA_CONFIRM_MODE service_lora_get_cfm(void);
int32_t service_lora_set_cfm(SERVICE_LORA_CONFIRM_MODE cfm);
bool service_lora_get_cfs(void);
SERVICE_LORA_JOIN_MODE service_lora_get_njm(void);
int32_t service_lora_set_njm(SERVICE_LORA_JOIN_MODE njm, bool commit);
bool service_lora_get_njs(void);
bool service_lora_get_adr(void);
int32_t service_lora_set_adr(bool adr, bool commit);
SERVICE_LORA_CLASS service_lora_get_class(void);
int32_t service_lora_set_class(SERVICE_LORA_CLASS device_class, bool commit);
uint8_t service_lora_get_dcs(void);
int32_t service_lora_set_dcs(uint8_t dutycycle, bool commit);
SERVICE_LORA_DATA_RATE service_lora_get_dr(void);
int32_t service_lora_set_dr(SERVICE_LORA_DATA_RATE dr, bool commit);
uint32_t service_lora_get_jn1dl(void);
int32_t service_lora_set_jn1dl(uint32_t delay, bool commit);
uint32_t service_lora_get_jn2dl(void);
int32_t service_lora_set_jn2dl(uint32_t delay, bool commit);
bool service_lora_get_pub_nwk_mode(void);
int32_t service_lora_set_pub_nwk_mode(bool pnm, bool commit);
uint32_t service_lora_get_rx1dl(void);
int32_t service_lora_set_rx1dl(uint32_t delay, bool commit);
uint32_t service_lora_get_rx2dl(void);
int32_t service_lora_set_rx2dl(uint32_t delay, bool commit);
uint8_t service_lora_get_txpower(void);
int32_t service_lora_set_txpower(uint8_t txp, bool commit);
uint32_t service_lora_get_rx2freq(void);
int32_t service_lora_set_rx2freq(uint32_t freq, bool commit);
SERVICE_LORA_DATA_RATE service_lora_get_rx2dr(void);
int32_t service_lora_set_rx2dr(SERVICE_LORA_DATA_RATE dr, bool commit);
uint8_t service_lora_get_ping_slot_periodicity(void);
int32_t service_lora_set_ping_slot_periodicity(uint8_t periodicity);
uint32_t service_lora_get_beacon_freq(void);
uint8_t service_lora_get_beacon_dr(void);
uint8_t service_lora_get_linkcheck(void);
int32_t service_lora_set_linkcheck(uint8_t mode);
uint8_t service_lora_get_join_start(void);
uint8_t service_lora_get_auto_join(void);
uint32_t service_lora_get_auto_join_period(void);
uint32_t service_lora_get_auto_join_max_cnt(void);
int32_t service_lora_get_lbt(void);
int32_t service_lora_set_lbt(uint8_t enable);
int16_t service_lora_get_lbt_rssi(void);
int32_t service_lora_set_lbt_rssi(int16_t rssi);
uint32_t service_lora_get_lbt_scantime(void);
int32_t service_lora_set_lbt_scantime(uint32_t time);
int32_t service_lora_set_DevNonce(uint16_t dev_nonce);
int32_t service_lora_set_IsCertPortOn(uint8_t on);

// ---- Callback state ----
int16_t service_lora_get_rssi(void);
int8_t service_lora_get_snr(void);
uint32_t service_lora_get_last_recv(uint8_t *port, uint8_t *buff, uint32_t len);
uint32_t service_lora_get_beacon_time(void);
beacon_bgw_t service_lora_get_beacon_gwspecific(void);
SERVICE_LORA_CLASS_B_STATE service_lora_get_class_b_state(void);
void service_lora_set_class_b_state(SERVICE_LORA_CLASS_B_STATE state);
uint8_t service_lora_get_timereq(void);
int32_t service_lora_set_timereq(uint8_t mode);
int32_t service_lora_get_local_time(char *local_time);

// ---- Stored MAC context ----
void OnNvmDataChange(uint16_t notifyFlags);
// Before an ABP uplink: stores the session with its uplink counter ahead of
// the one the frame carries, unless the stored one is already ahead. 0, or
// -UDRV_INTERNAL_ERR when it could not be stored (the frame must not go).
int32_t service_lora_reserve_uplink_counter(void);
uint32_t crc_cal(void const *data, uint32_t size);
// Copies the stored groups with an intact CRC over the live context.
void service_lora_restore_mac_context(void);

// ---- Per-channel RSSI ----
void service_lora_arssi_tx_callback(uint8_t channel);
void service_lora_arssi_rx_callback(int16_t rssi);
int32_t service_lora_get_arssi(chan_rssi *iterator);
extern uint8_t last_tx_channel;

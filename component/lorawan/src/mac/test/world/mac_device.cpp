// A test device running the LoRaWAN MAC over a radio path: the SX126x driver
// on its host board, or (built with MAC_DEVICE_SUBGHZ) the STM32WL sub-GHz
// radio driver with the timer server of the STM32WLE5 port carrying the MAC's
// timers. A line-command program on its console (port 0). It starts in EU868
// with the OTAA identity below, duty cycle off so exchanges follow each
// other; settings are taken while the MAC is stopped, and the first request
// starts it.
//
//   REGION <EU868|US915|AS923|CN470|...>   a fresh MAC in that region
//   KEYS <AppKey> [NwkKey]       OTAA root keys (1.0: one key for both)
//   JOIN [dr]                    -> OK <status>, then JOINED <MLME status>
//   ABP <DevAddr> <NwkSKey> <AppSKey> [version, e.g. 01000300]
//                                -> OK <status> (an ABP session, started)
//   CLASS A|B|C | NBTRANS n | ADR 0|1 | DR n | DC 0|1
//   SET RXERR ms | SET MINSYM n | SET CHMASK w0 [w1 ...] (hex words)
//   SET REJOIN0 s | SET REJOIN1 s   periodic rejoin requests of type 0 / 1
//   SEND <port> <hex|->          -> OK <MCPS request status>, then
//                                   SENT <status> <FCnt + 1> <ack> <dr> <power index> <transmissions>
//   CSEND <port> <hex|->         -> the same, confirmed
//   BEACON                       -> OK <MLME request status> (class B beacon acquisition)
//   PINGSLOT <p>                 -> OK <MLME request status> (periodicity p, sent with the next uplink)
//   CLASSB                       -> OK <status of the switch to class B>
//   LINKCHECK | DEVTIME          -> OK <MLME request status>; with the next
//                                   exchange MLME <request> <status> <margin> <gateways>
//   GET DR|POWER|NBTRANS|RX2|DELAYS|MASK|CHANNELS|VERSION|CLASS|ADRACK|FCNT|LASTRX|LAYOUT
//                                -> the item's name and value(s)
//   DUMP                         -> CTX <the whole stored context, hex>
//   RESTORE <hex>                -> OK <MIB status> (the MAC is stopped first)
//   NVMLOG 0|1                   -> with 1, NVM <flags> for each context change
//   (downlinks)                  -> RX <status> <slot> <port> <hex|-> <uplink pending> <FCnt down> <ack>
//                                   (uplink pending: FPending, or an acknowledgement owed)
// Unknown commands answer ERROR. The device prints "READY" when it starts.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LoRaMac.h"
#include "Region.h"
#include "RegionLbt.h"
#include "board.h"
#include "radio.h"
#include "sim/sim.h"
#ifdef MAC_DEVICE_SUBGHZ
#include "stm32_fakes.h"
#endif

namespace {

constexpr int kConsole = 0;
constexpr int kWakeIrq = 21;

uint8_t kDevEui[8] = {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02};
uint8_t kJoinEui[8] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
uint8_t app_key[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                       0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
uint8_t nwk_key[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                       0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

// A restore line carries the whole context in hex.
constexpr size_t kLineMax = 2 * sizeof(LoRaMacNvmData_t) + 64;
uint8_t fifo[16384];
volatile uint32_t fifo_head = 0;
uint32_t fifo_tail = 0;
char line[kLineMax];
size_t line_len = 0;
char out[kLineMax];
volatile bool process_requested = false;
uint8_t send_buffer[255];
LoRaMacNvmData_t restore_buffer;
LoRaMacRegion_t region = LORAMAC_REGION_EU868;
int8_t uplink_dr = DR_5;
bool duty_cycle = false;
bool nvm_log = false;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out, sizeof out - 2, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof out - 2) n = sizeof out - 3;
  out[n++] = '\r';
  out[n++] = '\n';
  sim::uart_write(kConsole, reinterpret_cast<const uint8_t*>(out), static_cast<size_t>(n));
}

// Upper-case hex of `n` bytes into `dst` (2n+1 bytes), "-" when empty.
const char* to_hex(const uint8_t* p, size_t n, char* dst) {
  if (p == nullptr || n == 0) return "-";
  for (size_t i = 0; i < n; ++i) std::snprintf(dst + 2 * i, 3, "%02X", p[i]);
  return dst;
}

// The primitives run in the process step, in the main loop.
void on_mcps_confirm(McpsConfirm_t* c) {
  say("SENT %d %lu %d %d %d %d", c->Status, static_cast<unsigned long>(c->UpLinkCounter),
      c->AckReceived ? 1 : 0, c->Datarate, c->TxPower, c->NbTrans);
}

int16_t last_rssi = 0;
int8_t last_snr = 0;

void on_mcps_indication(McpsIndication_t* ind) {
  static char hex[520];
  last_rssi = ind->Rssi;
  last_snr = ind->Snr;
  say("RX %d %d %d %s %d %lu %d", ind->Status, ind->RxSlot, ind->Port,
      to_hex(ind->Buffer, ind->BufferSize, hex), ind->IsUplinkTxPending,
      static_cast<unsigned long>(ind->DownLinkCounter), ind->AckReceived ? 1 : 0);
}

void on_mlme_confirm(MlmeConfirm_t* c) {
  if (c->MlmeRequest == MLME_JOIN) {
    say("JOINED %d", c->Status);
  } else {
    say("MLME %d %d %d %d", c->MlmeRequest, c->Status, c->DemodMargin, c->NbGateways);
  }
}

void on_mlme_indication(MlmeIndication_t* ind) {
  say("MLMEIND %d %d", ind->MlmeIndication, ind->Status);
}

void on_nvm_change(uint16_t flags) {
  if (nvm_log) say("NVM %02X", flags);
}

// From the radio and timer callbacks: ask the main loop for a process step.
void on_process_notify() { process_requested = true; }

LoRaMacPrimitives_t primitives = {on_mcps_confirm, on_mcps_indication, on_mlme_confirm,
                                  on_mlme_indication};
LoRaMacCallback_t callbacks = {nullptr, nullptr, on_nvm_change, on_process_notify};

LoRaMacStatus_t mib_set(MibRequestConfirm_t& mib) { return LoRaMacMibSetRequestConfirm(&mib); }

void mib_set_key(Mib_t type, uint8_t* value) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  mib.Param.AppKey = value;
  mib_set(mib);
}

LoRaMacStatus_t mac_setup() {
  LoRaMacStatus_t st = LoRaMacInitialization(&primitives, &callbacks, region);
  if (st != LORAMAC_STATUS_OK) return st;
  MibRequestConfirm_t mib{};
  mib.Type = MIB_DEV_EUI;
  mib.Param.DevEui = kDevEui;
  mib_set(mib);
  mib.Type = MIB_JOIN_EUI;
  mib.Param.JoinEui = kJoinEui;
  mib_set(mib);
  mib_set_key(MIB_APP_KEY, app_key);
  mib_set_key(MIB_NWK_KEY, nwk_key);
  mib.Type = MIB_ABP_LORAWAN_VERSION;
  mib.Param.AbpLrWanVersion.Value = 0x01000300;
  mib_set(mib);
  LoRaMacTestSetDutyCycleOn(duty_cycle);
  return LORAMAC_STATUS_OK;
}

bool started = false;

// Requests need a running MAC: the first one starts it.
void ensure_started() {
  if (started) return;
  LoRaMacStart();
  started = true;
}

void stop() {
  if (started) LoRaMacStop();
  started = false;
}

int from_hex(const char* s, uint8_t* dst, size_t max) {
  size_t n = std::strlen(s);
  if (std::strcmp(s, "-") == 0) return 0;
  if (n % 2 || n / 2 > max) return -1;
  for (size_t i = 0; i < n / 2; ++i) {
    char b[3] = {s[2 * i], s[2 * i + 1], 0};
    char* end = nullptr;
    dst[i] = static_cast<uint8_t>(std::strtoul(b, &end, 16));
    if (end != b + 2) return -1;
  }
  return static_cast<int>(n / 2);
}

bool region_by_name(const char* name, LoRaMacRegion_t* r) {
  static const struct {
    const char* name;
    LoRaMacRegion_t region;
  } kRegions[] = {{"AS923", LORAMAC_REGION_AS923}, {"AU915", LORAMAC_REGION_AU915},
                  {"CN470", LORAMAC_REGION_CN470}, {"CN779", LORAMAC_REGION_CN779},
                  {"EU433", LORAMAC_REGION_EU433}, {"EU868", LORAMAC_REGION_EU868},
                  {"KR920", LORAMAC_REGION_KR920}, {"IN865", LORAMAC_REGION_IN865},
                  {"US915", LORAMAC_REGION_US915}, {"RU864", LORAMAC_REGION_RU864},
                  {"LA915", LORAMAC_REGION_LA915}};
  for (const auto& e : kRegions) {
    if (std::strcmp(e.name, name) == 0) {
      *r = e.region;
      return true;
    }
  }
  return false;
}

void get(const char* item) {
  MibRequestConfirm_t mib{};
  if (std::strcmp(item, "DR") == 0) {
    mib.Type = MIB_CHANNELS_DATARATE;
    LoRaMacMibGetRequestConfirm(&mib);
    say("DR %d", mib.Param.ChannelsDatarate);
  } else if (std::strcmp(item, "POWER") == 0) {
    mib.Type = MIB_CHANNELS_TX_POWER;
    LoRaMacMibGetRequestConfirm(&mib);
    say("POWER %d", mib.Param.ChannelsTxPower);
  } else if (std::strcmp(item, "NBTRANS") == 0) {
    mib.Type = MIB_CHANNELS_NB_TRANS;
    LoRaMacMibGetRequestConfirm(&mib);
    say("NBTRANS %d", mib.Param.ChannelsNbTrans);
  } else if (std::strcmp(item, "RX2") == 0) {
    mib.Type = MIB_RX2_CHANNEL;
    LoRaMacMibGetRequestConfirm(&mib);
    say("RX2 %lu %d", static_cast<unsigned long>(mib.Param.Rx2Channel.Frequency),
        mib.Param.Rx2Channel.Datarate);
  } else if (std::strcmp(item, "DELAYS") == 0) {
    mib.Type = MIB_RECEIVE_DELAY_1;
    LoRaMacMibGetRequestConfirm(&mib);
    const unsigned long d1 = mib.Param.ReceiveDelay1;
    mib.Type = MIB_RECEIVE_DELAY_2;
    LoRaMacMibGetRequestConfirm(&mib);
    say("DELAYS %lu %lu", d1, static_cast<unsigned long>(mib.Param.ReceiveDelay2));
  } else if (std::strcmp(item, "MASK") == 0) {
    mib.Type = MIB_CHANNELS_MASK;
    LoRaMacMibGetRequestConfirm(&mib);
    const uint16_t* m = mib.Param.ChannelsMask;
    say("MASK %04X %04X %04X %04X %04X %04X", m[0], m[1], m[2], m[3], m[4], m[5]);
  } else if (std::strcmp(item, "CHANNELS") == 0) {
    mib.Type = MIB_CHANNELS;
    LoRaMacMibGetRequestConfirm(&mib);
    // The first 16 channels (the dynamic plans have no more).
    char list[400] = "CHANNELS";
    size_t at = std::strlen(list);
    for (int i = 0; i < 16; ++i) {
      const ChannelParams_t& c = mib.Param.ChannelList[i];
      if (c.Frequency == 0) continue;
      at += static_cast<size_t>(std::snprintf(list + at, sizeof list - at, " %d:%lu:%d-%d", i,
                                              static_cast<unsigned long>(c.Frequency),
                                              c.DrRange.Fields.Min, c.DrRange.Fields.Max));
      if (at >= sizeof list) break;
    }
    say("%s", list);
  } else if (std::strcmp(item, "VERSION") == 0) {
    mib.Type = MIB_LORAWAN_VERSION;
    LoRaMacMibGetRequestConfirm(&mib);
    say("VERSION %08lX", static_cast<unsigned long>(mib.Param.LrWanVersion.LoRaWan.Value));
  } else if (std::strcmp(item, "CLASS") == 0) {
    mib.Type = MIB_DEVICE_CLASS;
    LoRaMacMibGetRequestConfirm(&mib);
    say("CLASS %c", "ABC"[mib.Param.Class]);
  } else if (std::strcmp(item, "ADRACK") == 0) {
    mib.Type = MIB_NVM_CTXS;
    LoRaMacMibGetRequestConfirm(&mib);
    say("ADRACK %lu", static_cast<unsigned long>(mib.Param.Contexts->MacGroup1.AdrAckCounter));
  } else if (std::strcmp(item, "LAYOUT") == 0) {
    // Where each stored group starts in the context, and its size.
    say("LAYOUT %u %u %u %u %u %u %u %u", static_cast<unsigned>(offsetof(LoRaMacNvmData_t, Crypto)),
        static_cast<unsigned>(offsetof(LoRaMacNvmData_t, MacGroup1)),
        static_cast<unsigned>(offsetof(LoRaMacNvmData_t, MacGroup2)),
        static_cast<unsigned>(offsetof(LoRaMacNvmData_t, SecureElement)),
        static_cast<unsigned>(offsetof(LoRaMacNvmData_t, RegionGroup1)),
        static_cast<unsigned>(offsetof(LoRaMacNvmData_t, RegionGroup2)),
        static_cast<unsigned>(offsetof(LoRaMacNvmData_t, ClassB)),
        static_cast<unsigned>(sizeof(LoRaMacNvmData_t)));
  } else if (std::strcmp(item, "LASTRX") == 0) {
    say("LASTRX %d %d", last_rssi, last_snr);
  } else if (std::strcmp(item, "FCNT") == 0) {
    mib.Type = MIB_NVM_CTXS;
    LoRaMacMibGetRequestConfirm(&mib);
    const auto& fc = mib.Param.Contexts->Crypto.FCntList;
    say("FCNT %lu %lu %lu %lu", static_cast<unsigned long>(fc.FCntUp),
        static_cast<unsigned long>(fc.NFCntDown), static_cast<unsigned long>(fc.AFCntDown),
        static_cast<unsigned long>(fc.FCntDown));
  } else {
    say("ERROR");
  }
}

bool parse_key(const char* hex, uint8_t* key) { return from_hex(hex, key, 16) == 16; }

void run(char* cmd) {
  unsigned port = 0;
  unsigned value = 0;
  char a[kLineMax];
  char b[64];
  char c[64];
  char d[64];
  MibRequestConfirm_t mib{};
  const int n = std::sscanf(cmd, "%63s", a);
  if (n != 1) return;
  const char* rest = cmd + std::strlen(a);
  while (*rest == ' ') ++rest;
  if (std::strcmp(a, "JOIN") == 0) {
    ensure_started();
    MlmeReq_t req{};
    req.Type = MLME_JOIN;
    req.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
    req.Req.Join.Datarate =
        (std::sscanf(rest, "%u", &value) == 1) ? static_cast<uint8_t>(value) : uplink_dr;
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::strcmp(a, "REGION") == 0 && std::sscanf(rest, "%63s", b) == 1) {
    LoRaMacRegion_t r;
    if (!region_by_name(b, &r)) {
      say("ERROR");
      return;
    }
    stop();
    region = r;
    say("OK %d", mac_setup());
  } else if (std::strcmp(a, "KEYS") == 0) {
    const int k = std::sscanf(rest, "%63s %63s", b, c);
    if (k < 1 || !parse_key(b, app_key) || (k == 2 && !parse_key(c, nwk_key))) {
      say("ERROR");
      return;
    }
    // A LoRaWAN 1.0.x network derives every key from the one root key.
    if (k == 1) std::memcpy(nwk_key, app_key, sizeof nwk_key);
    mib_set_key(MIB_APP_KEY, app_key);
    mib_set_key(MIB_NWK_KEY, nwk_key);
    say("OK 0");
  } else if (std::strcmp(a, "ABP") == 0) {
    unsigned long addr = 0;
    uint8_t nwk_s[16];
    uint8_t app_s[16];
    const int k = std::sscanf(rest, "%lx %63s %63s %63s", &addr, b, c, d);
    if (k < 3 || !parse_key(b, nwk_s) || !parse_key(c, app_s)) {
      say("ERROR");
      return;
    }
    mib.Type = MIB_ABP_LORAWAN_VERSION;
    mib.Param.AbpLrWanVersion.Value =
        k == 4 ? static_cast<uint32_t>(std::strtoul(d, nullptr, 16)) : 0x01000300;
    mib_set(mib);
    mib.Type = MIB_NET_ID;
    mib.Param.NetID = 0x000013;
    mib_set(mib);
    mib.Type = MIB_DEV_ADDR;
    mib.Param.DevAddr = static_cast<uint32_t>(addr);
    mib_set(mib);
    // 1.0.x: the one network session key serves all three network roles.
    mib_set_key(MIB_F_NWK_S_INT_KEY, nwk_s);
    mib_set_key(MIB_S_NWK_S_INT_KEY, nwk_s);
    mib_set_key(MIB_NWK_S_ENC_KEY, nwk_s);
    mib_set_key(MIB_APP_S_KEY, app_s);
    mib.Type = MIB_NETWORK_ACTIVATION;
    mib.Param.NetworkActivation = ACTIVATION_TYPE_ABP;
    const LoRaMacStatus_t st = mib_set(mib);
    ensure_started();
    say("OK %d", st);
  } else if (std::strcmp(a, "CLASS") == 0 && std::sscanf(rest, "%63s", b) == 1 && b[1] == 0 &&
             b[0] >= 'A' && b[0] <= 'C') {
    mib.Type = MIB_DEVICE_CLASS;
    mib.Param.Class = static_cast<DeviceClass_t>(b[0] - 'A');
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "NBTRANS") == 0 && std::sscanf(rest, "%u", &value) == 1) {
    mib.Type = MIB_CHANNELS_NB_TRANS;
    mib.Param.ChannelsNbTrans = static_cast<uint8_t>(value);
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "ADR") == 0 && std::sscanf(rest, "%u", &value) == 1) {
    mib.Type = MIB_ADR;
    mib.Param.AdrEnable = value != 0;
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "DR") == 0 && std::sscanf(rest, "%u", &value) == 1) {
    uplink_dr = static_cast<int8_t>(value);
    say("OK 0");
  } else if (std::strcmp(a, "DC") == 0 && std::sscanf(rest, "%u", &value) == 1) {
    duty_cycle = value != 0;
    LoRaMacTestSetDutyCycleOn(duty_cycle);
    say("OK 0");
  } else if (std::strcmp(a, "NVMLOG") == 0 && std::sscanf(rest, "%u", &value) == 1) {
    nvm_log = value != 0;
    say("OK 0");
  } else if (std::strcmp(a, "SET") == 0 && std::sscanf(rest, "%63s %u", b, &value) == 2 &&
             std::strcmp(b, "RXERR") == 0) {
    mib.Type = MIB_SYSTEM_MAX_RX_ERROR;
    mib.Param.SystemMaxRxError = value;
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "SET") == 0 && std::sscanf(rest, "%63s %u", b, &value) == 2 &&
             std::strcmp(b, "MINSYM") == 0) {
    mib.Type = MIB_MIN_RX_SYMBOLS;
    mib.Param.MinRxSymbols = static_cast<uint8_t>(value);
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "SET") == 0 && std::sscanf(rest, "%63s %u", b, &value) == 2 &&
             (std::strcmp(b, "REJOIN0") == 0 || std::strcmp(b, "REJOIN1") == 0)) {
    if (b[6] == '0') {
      mib.Type = MIB_REJOIN_0_CYCLE;
      mib.Param.Rejoin0CycleInSec = value;
    } else {
      mib.Type = MIB_REJOIN_1_CYCLE;
      mib.Param.Rejoin1CycleInSec = value;
    }
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "SET") == 0 && std::strncmp(rest, "CHMASK ", 7) == 0) {
    uint16_t mask[6] = {};
    const char* p = rest + 7;
    for (int i = 0; i < 6 && *p; ++i) {
      char* end = nullptr;
      mask[i] = static_cast<uint16_t>(std::strtoul(p, &end, 16));
      if (end == p) break;
      p = end;
    }
    mib.Type = MIB_CHANNELS_MASK;
    mib.Param.ChannelsMask = mask;
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "GET") == 0 && std::sscanf(rest, "%63s", b) == 1) {
    get(b);
  } else if (std::strcmp(a, "LINKCHECK") == 0 || std::strcmp(a, "DEVTIME") == 0) {
    ensure_started();
    MlmeReq_t req{};
    req.Type = a[0] == 'L' ? MLME_LINK_CHECK : MLME_DEVICE_TIME;
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::strcmp(a, "BEACON") == 0) {
    ensure_started();
    MlmeReq_t req{};
    req.Type = MLME_BEACON_ACQUISITION;
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::strcmp(a, "PINGSLOT") == 0 && std::sscanf(rest, "%u", &value) == 1) {
    ensure_started();
    MlmeReq_t req{};
    req.Type = MLME_PING_SLOT_INFO;
    req.Req.PingSlotInfo.PingSlot.Fields.Periodicity = static_cast<uint8_t>(value & 7);
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::strcmp(a, "CLASSB") == 0) {
    mib.Type = MIB_DEVICE_CLASS;
    mib.Param.Class = CLASS_B;
    say("OK %d", mib_set(mib));
  } else if (std::strcmp(a, "DUMP") == 0) {
    mib.Type = MIB_NVM_CTXS;
    LoRaMacMibGetRequestConfirm(&mib);
    static char hex[2 * sizeof(LoRaMacNvmData_t) + 1];
    say("CTX %s", to_hex(reinterpret_cast<const uint8_t*>(mib.Param.Contexts),
                         sizeof(LoRaMacNvmData_t), hex));
  } else if (std::strcmp(a, "RESTORE") == 0 && std::sscanf(rest, "%s", a) == 1) {
    if (from_hex(a, reinterpret_cast<uint8_t*>(&restore_buffer), sizeof restore_buffer) !=
        static_cast<int>(sizeof restore_buffer)) {
      say("ERROR");
      return;
    }
    stop();
    mib.Type = MIB_NVM_CTXS;
    mib.Param.Contexts = &restore_buffer;
    say("OK %d", mib_set(mib));
  } else if ((std::strcmp(a, "SEND") == 0 || std::strcmp(a, "CSEND") == 0) &&
             std::sscanf(rest, "%u %s", &port, a + 8) == 2) {
    const bool confirmed = a[0] == 'C';
    const int len = from_hex(a + 8, send_buffer, sizeof send_buffer);
    if (len < 0) {
      say("ERROR");
      return;
    }
    ensure_started();
    McpsReq_t req{};
    req.Type = confirmed ? MCPS_CONFIRMED : MCPS_UNCONFIRMED;
    req.Req.Unconfirmed.fPort = static_cast<uint8_t>(port);
    req.Req.Unconfirmed.fBuffer = len ? send_buffer : nullptr;
    req.Req.Unconfirmed.fBufferSize = static_cast<uint16_t>(len);
    req.Req.Unconfirmed.Datarate = uplink_dr;
    say("OK %d", LoRaMacMcpsRequest(&req));
  } else {
    say("ERROR");
  }
}

void on_byte(void*, uint8_t byte) {
  fifo[fifo_head % sizeof fifo] = byte;
  fifo_head = fifo_head + 1;
  sim::irq_set_pending(kWakeIrq);
}

void wake_isr() {}

void poll_console() {
  for (;;) {
    sim::set_primask(1);
    const bool have = fifo_tail != fifo_head;
    const uint8_t byte = have ? fifo[fifo_tail % sizeof fifo] : 0;
    if (have) ++fifo_tail;
    sim::set_primask(0);
    if (!have) return;
    if (byte == '\r' || byte == '\n') {
      if (line_len) {
        line[line_len] = 0;
        line_len = 0;
        run(line);
      }
    } else if (line_len < sizeof line - 1) {
      line[line_len++] = static_cast<char>(byte);
    }
  }
}

}  // namespace

#ifdef MAC_DEVICE_SUBGHZ
// The system time's RTC side, stood in like the timer server's: the
// calendar is the virtual clock, the backup registers plain words.
#include "util_systime.h"
namespace {
uint32_t bkup_seconds = 0;
uint32_t bkup_subseconds = 0;
void bkup_write_seconds(uint32_t s) { bkup_seconds = s; }
uint32_t bkup_read_seconds() { return bkup_seconds; }
void bkup_write_subseconds(uint32_t s) { bkup_subseconds = s; }
uint32_t bkup_read_subseconds() { return bkup_subseconds; }
uint32_t calendar(uint16_t* ms) {
  const sim::time_us t = sim::now();
  *ms = static_cast<uint16_t>((t / 1000) % 1000);
  return static_cast<uint32_t>(t / 1000000);
}
}  // namespace
const UTIL_SYSTIM_Driver_s UTIL_SYSTIMDriver = {
    bkup_write_seconds, bkup_read_seconds, bkup_write_subseconds, bkup_read_subseconds, calendar};
#endif

// Listen-before-talk settings the regions ask the LoRa service for: off.
int32_t service_lora_get_lbt(void) { return 0; }
int16_t service_lora_get_lbt_rssi(void) { return -80; }
uint32_t service_lora_get_lbt_scantime(void) { return 5; }

namespace sim {

const ProgramInfo& program_info() {
#ifdef MAC_DEVICE_SUBGHZ
  static const ProgramInfo info{
      "mac-device-subghz", kConsole, {0x08000000, 4096, 2048, 8}, "0: console"};
#else
  static const ProgramInfo info{
      "mac-device-sx126x", kConsole, {0x08000000, 4096, 2048, 8}, "0: console"};
#endif
  return info;
}

[[noreturn]] void program_start() {
  sim::uart_set_rx_handler(kConsole, &on_byte, nullptr);
  sim::irq_set_handler(kWakeIrq, &wake_isr);
  sim::irq_enable(kWakeIrq, true);
#ifdef MAC_DEVICE_SUBGHZ
  // Radio and timer-server interrupts, the sub-GHz peripheral; the driver
  // handles the radio's interrupts in the interrupt itself.
  stm32_env::power_on();
  auto radio_step = [] {};
#else
  BoardInitMcu();
  auto radio_step = [] { Radio.IrqProcess(); };
#endif
  mac_setup();
  say("READY");
  for (;;) {
    radio_step();
    while (process_requested) {
      process_requested = false;
      LoRaMacProcess();
      radio_step();
    }
    poll_console();
    if (!process_requested) sim::wait_for_interrupt();
  }
}

}  // namespace sim

// A test device running the LoRaWAN MAC over the SX126x driver on its host
// board: a line-command program on its console (port 0), EU868, OTAA with
// the identity below, duty cycle off so exchanges follow each other.
//
//   JOIN                -> JOINED <MLME status>
//   SEND <port> <hex>   -> OK <MCPS request status>, then SENT <status> <FCnt> <ack>
//   CSEND <port> <hex>  -> the same, confirmed
//   LINKCHECK           -> OK <MLME request status>; with the next exchange
//                          MLME 5 <status> <margin> <gateways>
//   BEACON              -> OK <MLME request status> (class B beacon acquisition)
//   PINGSLOT <p>        -> OK <MLME request status> (ping-slot periodicity p,
//                          sent with the next uplink)
//   CLASSB              -> OK <status of the switch to class B>
//   (downlinks)         -> RX <status> <slot> <port> <hex>
//   (MLME confirms)     -> MLME <request> <status> <margin> <gateways>
//   (MLME indications)  -> MLMEIND <indication> <status>
// The device prints "READY" when it starts.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LoRaMac.h"
#include "Region.h"
#include "RegionLbt.h"
#include "board.h"
#include "radio.h"
#include "sim/sim.h"

namespace {

constexpr int kConsole = 0;
constexpr int kWakeIrq = 21;

uint8_t kDevEui[8] = {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02};
uint8_t kJoinEui[8] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
uint8_t kAppKey[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                       0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

uint8_t fifo[1024];
volatile uint32_t fifo_head = 0;
uint32_t fifo_tail = 0;
char line[600];
size_t line_len = 0;
volatile bool process_requested = false;
uint8_t send_buffer[255];

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  char buf[600];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof buf - 2) n = sizeof buf - 3;
  buf[n++] = '\r';
  buf[n++] = '\n';
  sim::uart_write(kConsole, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
}

// The primitives run in the process step, in the main loop.
void on_mcps_confirm(McpsConfirm_t* c) {
  say("SENT %d %lu %d", c->Status, static_cast<unsigned long>(c->UpLinkCounter), c->AckReceived ? 1 : 0);
}

void on_mcps_indication(McpsIndication_t* ind) {
  char hex[520] = {};
  for (uint8_t i = 0; ind->Buffer != nullptr && i < ind->BufferSize; ++i) {
    std::snprintf(hex + 2 * i, 3, "%02X", ind->Buffer[i]);
  }
  say("RX %d %d %d %s", ind->Status, ind->RxSlot, ind->Port, hex);
}

void on_mlme_confirm(MlmeConfirm_t* c) {
  if (c->MlmeRequest == MLME_JOIN) {
    say("JOINED %d", c->Status);
  } else {
    say("MLME %d %d %d %d", c->MlmeRequest, c->Status, c->DemodMargin, c->NbGateways);
  }
}

void on_mlme_indication(MlmeIndication_t* ind) { say("MLMEIND %d %d", ind->MlmeIndication, ind->Status); }

// From the radio and timer callbacks: ask the main loop for a process step.
void on_process_notify() { process_requested = true; }

LoRaMacPrimitives_t primitives = {on_mcps_confirm, on_mcps_indication, on_mlme_confirm, on_mlme_indication};
LoRaMacCallback_t callbacks = {nullptr, nullptr, nullptr, on_process_notify};

void mib_set_key(Mib_t type, uint8_t* value) {
  MibRequestConfirm_t mib{};
  mib.Type = type;
  mib.Param.AppKey = value;
  LoRaMacMibSetRequestConfirm(&mib);
}

void mac_setup() {
  LoRaMacInitialization(&primitives, &callbacks, LORAMAC_REGION_EU868);
  MibRequestConfirm_t mib{};
  mib.Type = MIB_DEV_EUI;
  mib.Param.DevEui = kDevEui;
  LoRaMacMibSetRequestConfirm(&mib);
  mib.Type = MIB_JOIN_EUI;
  mib.Param.JoinEui = kJoinEui;
  LoRaMacMibSetRequestConfirm(&mib);
  // A LoRaWAN 1.0.x network derives every key from the one root key.
  mib_set_key(MIB_APP_KEY, kAppKey);
  mib_set_key(MIB_NWK_KEY, kAppKey);
  mib.Type = MIB_ABP_LORAWAN_VERSION;
  mib.Param.AbpLrWanVersion.Value = 0x01000300;
  LoRaMacMibSetRequestConfirm(&mib);
  LoRaMacTestSetDutyCycleOn(false);
  LoRaMacStart();
}

int from_hex(const char* s, uint8_t* out, size_t max) {
  size_t n = std::strlen(s);
  if (n % 2 || n / 2 > max) return -1;
  for (size_t i = 0; i < n / 2; ++i) {
    char b[3] = {s[2 * i], s[2 * i + 1], 0};
    out[i] = static_cast<uint8_t>(std::strtoul(b, nullptr, 16));
  }
  return static_cast<int>(n / 2);
}

void run(char* cmd) {
  unsigned port = 0;
  char hex[520];
  char kind[8];
  if (std::strcmp(cmd, "JOIN") == 0) {
    MlmeReq_t req{};
    req.Type = MLME_JOIN;
    req.Req.Join.NetworkActivation = ACTIVATION_TYPE_OTAA;
    req.Req.Join.Datarate = DR_5;
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::strcmp(cmd, "LINKCHECK") == 0) {
    MlmeReq_t req{};
    req.Type = MLME_LINK_CHECK;
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::strcmp(cmd, "BEACON") == 0) {
    MlmeReq_t req{};
    req.Type = MLME_BEACON_ACQUISITION;
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::sscanf(cmd, "PINGSLOT %u", &port) == 1) {
    MlmeReq_t req{};
    req.Type = MLME_PING_SLOT_INFO;
    req.Req.PingSlotInfo.PingSlot.Fields.Periodicity = static_cast<uint8_t>(port & 7);
    say("OK %d", LoRaMacMlmeRequest(&req));
  } else if (std::strcmp(cmd, "CLASSB") == 0) {
    MibRequestConfirm_t mib{};
    mib.Type = MIB_DEVICE_CLASS;
    mib.Param.Class = CLASS_B;
    say("OK %d", LoRaMacMibSetRequestConfirm(&mib));
  } else if (std::sscanf(cmd, "%7s %u %519s", kind, &port, hex) == 3 &&
             (std::strcmp(kind, "SEND") == 0 || std::strcmp(kind, "CSEND") == 0)) {
    int n = from_hex(hex, send_buffer, sizeof send_buffer);
    if (n < 0) {
      say("ERROR");
      return;
    }
    McpsReq_t req{};
    req.Type = (kind[0] == 'C') ? MCPS_CONFIRMED : MCPS_UNCONFIRMED;
    req.Req.Unconfirmed.fPort = static_cast<uint8_t>(port);
    req.Req.Unconfirmed.fBuffer = send_buffer;
    req.Req.Unconfirmed.fBufferSize = static_cast<uint16_t>(n);
    req.Req.Unconfirmed.Datarate = DR_5;
    say("OK %d", LoRaMacMcpsRequest(&req));
  } else {
    say("ERROR");
  }
}

void on_byte(void*, uint8_t b) {
  fifo[fifo_head % sizeof fifo] = b;
  fifo_head = fifo_head + 1;
  sim::irq_set_pending(kWakeIrq);
}

void wake_isr() {}

void poll_console() {
  for (;;) {
    sim::set_primask(1);
    const bool have = fifo_tail != fifo_head;
    const uint8_t b = have ? fifo[fifo_tail % sizeof fifo] : 0;
    if (have) ++fifo_tail;
    sim::set_primask(0);
    if (!have) return;
    if (b == '\r' || b == '\n') {
      if (line_len) {
        line[line_len] = 0;
        line_len = 0;
        run(line);
      }
    } else if (line_len < sizeof line - 1) {
      line[line_len++] = static_cast<char>(b);
    }
  }
}

}  // namespace

// Listen-before-talk settings the regions ask the LoRa service for: off.
int32_t service_lora_get_lbt(void) { return 0; }
int16_t service_lora_get_lbt_rssi(void) { return -80; }
uint32_t service_lora_get_lbt_scantime(void) { return 5; }

namespace sim {

const ProgramInfo& program_info() {
  static const ProgramInfo info{"mac-device-sx126x", kConsole, {0x08000000, 4096, 2048, 8}, "0: console"};
  return info;
}

[[noreturn]] void program_start() {
  sim::uart_set_rx_handler(kConsole, &on_byte, nullptr);
  sim::irq_set_handler(kWakeIrq, &wake_isr);
  sim::irq_enable(kWakeIrq, true);
  BoardInitMcu();
  mac_setup();
  say("READY");
  for (;;) {
    Radio.IrqProcess();
    while (process_requested) {
      process_requested = false;
      LoRaMacProcess();
      Radio.IrqProcess();
    }
    poll_console();
    if (!process_requested) sim::wait_for_interrupt();
  }
}

}  // namespace sim

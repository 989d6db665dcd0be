// A user program for the system test of api.lorawan and api.lora: it takes
// one command a line on UART1 (custom mode) and answers there, and prints
// what the service's hooks report (join, send, receive, link check, time).
//   keys                  set the OTAA identity through the setters
//   ids                   read the identity back
//   join | send P HEX | csend P HEX | dr N | class N | rx1dl N | get
//   usend P HEX           unconfirmed uplink
//   lpsend P ACK N SEED   long packet of N bytes: SEED + 7i + i/256 (mod 256)
//   addmulc CLASS ADDR FREQ DR PERIODICITY   (the group keys are fixed)
//   rmvmulc ADDR | lstmulc | arssi | ver | mask HEX | maskget | band N
//   linkcheck N | timereq N
//   nwm N | pfreq N | psf N | psend HEX | precv N | p2pget
#include <stdio.h>
#include <string.h>

#include "command_port.h"
#include "qiv_v3_api.h"
#include "udrv_delay.h"

namespace {

String line;

const uint8_t kDevEui[8] = {0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02};
const uint8_t kAppEui[8] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01};
const uint8_t kAppKey[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                             0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const uint8_t kMcNwkSKey[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const uint8_t kMcAppSKey[16] = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,
                                0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF};

uint8_t long_packet[1100];

void print_hex(const uint8_t *data, unsigned len) {
  for (unsigned i = 0; i < len; ++i) {
    Serial1.printf("%02X", data[i]);
  }
}

void answer(const char *what, bool ok) { Serial1.printf("%s %s\r\n", what, ok ? "ok" : "refused"); }

// Hex digits into bytes; the number of bytes, 0 for bad digits.
unsigned parse_hex(const String &hex, uint8_t *out, unsigned max) {
  unsigned n = hex.length() / 2;
  if (hex.length() % 2 != 0 || n > max) {
    return 0;
  }
  for (unsigned i = 0; i < n; ++i) {
    uint8_t b = 0;
    for (unsigned k = 0; k < 2; ++k) {
      char c = hex.charAt(2 * i + k);
      uint8_t v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 0xFF;
      if (v == 0xFF) {
        return 0;
      }
      b = static_cast<uint8_t>(b << 4 | v);
    }
    out[i] = b;
  }
  return n;
}

void on_join(int32_t status) { Serial1.printf("join cb %d\r\n", static_cast<int>(status)); }
void on_send(int32_t status) { Serial1.printf("send cb %d\r\n", static_cast<int>(status)); }
void on_recv(SERVICE_LORA_RECEIVE_T data) {
  Serial1.printf("recv cb %u:", data.Port);
  print_hex(data.Buffer, data.BufferSize);
  Serial1.printf(" rssi=%d\r\n", data.Rssi);
}
void on_linkcheck(SERVICE_LORA_LINKCHECK_T *data) {
  Serial1.printf("linkcheck cb %u:%u:%u:%d:%d\r\n", data->State, data->DemodMargin,
                 data->NbGateways, data->Rssi, data->Snr);
}
void on_timereq(int32_t status) { Serial1.printf("timereq cb %d\r\n", static_cast<int>(status)); }
void on_psend() { Serial1.println("psend cb"); }
void on_precv(qiv_lora_p2p_recv_t data) {
  Serial1.print("precv cb ");
  print_hex(data.Buffer, data.BufferSize);
  Serial1.println("");
}

void run(const String &cmd) {
  const int space = cmd.indexOf(' ');
  const String verb = space < 0 ? cmd : cmd.substring(0, space);
  const String arg = space < 0 ? String() : cmd.substring(space + 1);
  uint8_t data[64];
  if (verb == "keys") {
    answer("keys", api.lorawan.deui.set(kDevEui, 8) && api.lorawan.appeui.set(kAppEui, 8) &&
                       api.lorawan.appkey.set(kAppKey, 16));
    // A length other than the setting's is refused.
    answer("short key", api.lorawan.appkey.set(kAppKey, 15));
  } else if (verb == "ids") {
    uint8_t eui[8];
    uint8_t key[16];
    bool ok = api.lorawan.deui.get(eui, 8);
    Serial1.print("deui=");
    print_hex(eui, 8);
    ok = api.lorawan.appkey.get(key, 16) && ok;
    Serial1.print(" appkey=");
    print_hex(key, 16);
    answer("", ok);
  } else if (verb == "join") {
    answer("join", api.lorawan.join());
  } else if (verb == "send" || verb == "csend") {
    const int colon = arg.indexOf(' ');
    const unsigned n = parse_hex(arg.substring(colon + 1), data, sizeof data);
    const uint8_t port = static_cast<uint8_t>(arg.substring(0, colon).toInt());
    answer(verb.c_str(), verb == "send" ? api.lorawan.send(n, data, port)
                                        : api.lorawan.send(n, data, port, true, 1));
  } else if (verb == "usend") {
    const int colon = arg.indexOf(' ');
    const unsigned n = parse_hex(arg.substring(colon + 1), data, sizeof data);
    const uint8_t port = static_cast<uint8_t>(arg.substring(0, colon).toInt());
    answer("usend", api.lorawan.usend(n, data, port));
  } else if (verb == "lpsend") {
    unsigned port = 0, ack = 0, n = 0, seed = 0;
    if (sscanf(arg.c_str(), "%u %u %u %u", &port, &ack, &n, &seed) != 4 || n > sizeof long_packet) {
      Serial1.println("?");
      return;
    }
    for (unsigned i = 0; i < n; ++i) {
      long_packet[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    answer("lpsend", api.lorawan.lpsend(static_cast<uint8_t>(port), ack != 0, long_packet,
                                        static_cast<uint16_t>(n)));
  } else if (verb == "addmulc") {
    char cls = 0;
    unsigned addr = 0, freq = 0, periodicity = 0;
    int dr = 0;
    if (sscanf(arg.c_str(), "%c %x %u %d %u", &cls, &addr, &freq, &dr, &periodicity) != 5) {
      Serial1.println("?");
      return;
    }
    McSession_t group{};
    group.Devclass = cls == 'A' ? 0 : cls == 'B' ? 1 : 2;
    group.Address = addr;
    memcpy(group.McNwkSKey, kMcNwkSKey, 16);
    memcpy(group.McAppSKey, kMcAppSKey, 16);
    group.Frequency = freq;
    group.Datarate = static_cast<int8_t>(dr);
    group.Periodicity = static_cast<uint16_t>(periodicity);
    answer("addmulc", api.lorawan.addmulc(group));
  } else if (verb == "rmvmulc") {
    unsigned addr = 0;
    answer("rmvmulc", sscanf(arg.c_str(), "%x", &addr) == 1 &&
                          api.lorawan.rmvmulc(static_cast<uint32_t>(addr)));
  } else if (verb == "lstmulc") {
    McSession_t it{};
    while (api.lorawan.lstmulc(&it)) {
      Serial1.printf("mc %c:%08X:%u:%d:%u keys ", it.Devclass == 1 ? 'B' : 'C',
                     static_cast<unsigned>(it.Address), static_cast<unsigned>(it.Frequency),
                     it.Datarate, it.Periodicity);
      print_hex(it.McNwkSKey, 16);
      Serial1.print(":");
      print_hex(it.McAppSKey, 16);
      Serial1.println("");
    }
    Serial1.println("lstmulc end");
  } else if (verb == "arssi") {
    chan_rssi entry{};
    Serial1.print("arssi ");
    bool first = true;
    while (api.lorawan.arssi(&entry)) {
      Serial1.printf(first ? "%u:%d" : ",%u:%d", static_cast<unsigned>(entry.chan), entry.rssi);
      first = false;
    }
    Serial1.println("");
  } else if (verb == "ver") {
    Serial1.print("ver=");
    Serial1.println(api.lorawan.ver.get());
  } else if (verb == "mask") {
    unsigned mask = 0;
    answer("mask", sscanf(arg.c_str(), "%x", &mask) == 1 &&
                       api.lorawan.mask.set(static_cast<uint16_t>(mask)));
  } else if (verb == "maskget") {
    uint16_t mask = 0;
    if (api.lorawan.mask.get(&mask)) {
      Serial1.printf("mask=%04X\r\n", mask);
    } else {
      Serial1.println("mask refused");
    }
  } else if (verb == "linkcheck") {
    answer("linkcheck", api.lorawan.linkcheck.set(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "timereq") {
    answer("timereq", api.lorawan.timereq.set(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "band") {
    answer("band", api.lorawan.band.set(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "dr") {
    answer("dr", api.lorawan.dr.set(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "class") {
    answer("class", api.lorawan.deviceClass.set(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "rx1dl") {
    answer("rx1dl", api.lorawan.rx1dl.set(static_cast<uint32_t>(arg.toInt())));
  } else if (verb == "get") {
    Serial1.printf("njs=%d dr=%u class=%u rx1dl=%u cfs=%d rssi=%d\r\n", api.lorawan.njs.get(),
                   api.lorawan.dr.get(), api.lorawan.deviceClass.get(),
                   static_cast<unsigned>(api.lorawan.rx1dl.get()), api.lorawan.cfs.get(),
                   api.lorawan.rssi.get());
  } else if (verb == "nwm") {
    answer("nwm", api.lora.nwm.set(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "pfreq") {
    answer("pfreq", api.lora.pfreq.set(static_cast<uint32_t>(arg.toInt())));
  } else if (verb == "psf") {
    answer("psf", api.lora.psf.set(static_cast<uint8_t>(arg.toInt())));
  } else if (verb == "psend") {
    const unsigned n = parse_hex(arg, data, sizeof data);
    answer("psend", api.lora.psend(n, data));
  } else if (verb == "precv") {
    answer("precv", api.lora.precv(static_cast<uint32_t>(arg.toInt())));
  } else if (verb == "p2pget") {
    Serial1.printf("pfreq=%u psf=%u\r\n", static_cast<unsigned>(api.lora.pfreq.get()),
                   api.lora.psf.get());
  } else {
    Serial1.println("?");
  }
}

}  // namespace

void setup() {
  Serial1.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_CUSTOM_MODE);
  api.lorawan.registerJoinCallback(on_join);
  api.lorawan.registerSendCallback(on_send);
  api.lorawan.registerRecvCallback(on_recv);
  api.lorawan.registerLinkCheckCallback(on_linkcheck);
  api.lorawan.registerTimereqCallback(on_timereq);
  api.lora.registerPSendCallback(on_psend);
  api.lora.registerPRecvCallback(on_precv);
  Serial1.println("ready");
}

void loop() {
  udrv_delay_ms(1);
  test_program::run_command_lines(line, run);
}

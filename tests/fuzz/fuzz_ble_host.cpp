// What a connected peer's bytes do in the BLE host stand-in of the Apollo3
// images before they reach the module's code: L2CAP reassembly, the
// attribute server (every request and command, MTU exchange, prepared
// writes, CCC writes), pairing PDUs and the signaling channel, up to the
// callbacks the module registers through the stack's calls (DM, ATT, CCC
// events and the attribute write callback). The peer's ACL data is handed
// to the host as the link layer hands it; the dispatcher runs the stack.
// The module registers a serial-like service as the Apollo3 glue does.
//
// Input: operations, each an op byte (taken modulo 7 after bit 7) and its
// operands:
//   0 n bytes   ACL data of the peer starting an L2CAP PDU (n bytes)
//   1 n bytes   ACL data continuing it
//   2 c n bytes a whole SDU on channel c (0 ATT, 1 SMP, 2 signaling, else
//               the byte itself), cut into link-layer fragments here; with
//               bit 7 of the op set a second length byte follows (high)
//   3 k         k of the host's transmit buffers acknowledged
//   4 s         the link's encryption changed with status s
//   5           the link closes and a new one opens
//   6 b         the module answers a passkey request with (b & 1) or refuses
// Checked besides memory and undefined behaviour: a write reaches the
// module only for a writable attribute of its own, with a length within the
// attribute's maximum. FUZZ_SHOW_WRITES in the environment shows how many
// writes reached the module.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "ble_host.h"
#include "sim/air_medium.h"
#include "sim/ble_host.h"
#include "sim/ble_ll.h"
#include "sim/host.h"

namespace {

namespace ble = sim::ble;
using ble::Bytes;

void require(bool ok) {
  if (!ok) abort();
}

constexpr uint16_t kStart = 0x0700;
constexpr uint16_t kEnd = 0x0705;

struct Module {
  uint8_t svc_uuid[2] = {0x00, 0x28}, char_uuid[2] = {0x03, 0x28}, ccc_uuid[2] = {0x02, 0x29};
  uint8_t nus[16], rx_uuid[16], tx_uuid[16];
  uint8_t rx_decl[19], tx_decl[19];
  uint8_t rx_val[244] = {}, tx_val[244] = {}, tx_ccc[2] = {};
  uint16_t len16 = 16, len19 = 19, rx_len = 0, tx_len = 0, ccc_len = 2;
  attsAttr_t attrs[6];
  attsGroup_t group{};
  attsCccSet_t ccc_set[2] = {{GATT_SC_CH_CCC_HDL, 2, 0}, {kEnd, 1, 0}};
  appAdvCfg_t adv_cfg = {{0, 0, 0}, {160, 0, 0}};
  appSecCfg_t sec_cfg = {DM_AUTH_BOND_FLAG | DM_AUTH_MITM_FLAG, DM_KEY_DIST_IRK,
                         DM_KEY_DIST_LTK | DM_KEY_DIST_IRK, true, true};
  smpCfg_t smp_cfg = {3000, SMP_IO_DISP_ONLY, 7, 16, 3, 0};
  bool answer_passkey = true;
  uint32_t passkey = 123456;
  size_t writes = 0;

  Module() {
    const Bytes n = ble::uuid128("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
    const Bytes r = ble::uuid128("6E400002-B5A3-F393-E0A9-E50E24DCCA9E");
    const Bytes t = ble::uuid128("6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
    std::copy(n.begin(), n.end(), nus);
    std::copy(r.begin(), r.end(), rx_uuid);
    std::copy(t.begin(), t.end(), tx_uuid);
    rx_decl[0] = 0x0C;
    rx_decl[1] = 0x02;
    rx_decl[2] = 0x07;
    std::copy(r.begin(), r.end(), rx_decl + 3);
    tx_decl[0] = 0x10;
    tx_decl[1] = 0x04;
    tx_decl[2] = 0x07;
    std::copy(t.begin(), t.end(), tx_decl + 3);
    attrs[0] = {svc_uuid, nus, &len16, 16, 0, ATTS_PERMIT_READ};
    attrs[1] = {char_uuid, rx_decl, &len19, 19, 0, ATTS_PERMIT_READ};
    attrs[2] = {rx_uuid,
                rx_val,
                &rx_len,
                sizeof rx_val,
                ATTS_SET_UUID_128 | ATTS_SET_VARIABLE_LEN | ATTS_SET_WRITE_CBACK,
                ATTS_PERMIT_WRITE};
    attrs[3] = {char_uuid, tx_decl, &len19, 19, 0, ATTS_PERMIT_READ};
    attrs[4] = {tx_uuid,
                tx_val,
                &tx_len,
                sizeof tx_val,
                ATTS_SET_UUID_128 | ATTS_SET_VARIABLE_LEN,
                ATTS_PERMIT_READ | ATTS_PERMIT_WRITE_ENC};
    attrs[5] = {ccc_uuid, tx_ccc, &ccc_len, 2, ATTS_SET_CCC, ATTS_PERMIT_READ | ATTS_PERMIT_WRITE};
    group = {nullptr, attrs, nullptr, &on_write, kStart, kEnd};
  }

  static uint8_t on_write(dmConnId_t, uint16_t handle, uint8_t, uint16_t offset, uint16_t len,
                          uint8_t* value, attsAttr_t* attr) {
    require(handle >= kStart && handle <= kEnd);
    require(attr == &self->attrs[handle - kStart]);
    require((attr->permissions & (ATTS_PERMIT_WRITE | ATTS_PERMIT_WRITE_ENC)) != 0);
    require((size_t)offset + len <= attr->maxLen);
    require(len == 0 || value != nullptr);
    uint8_t sum = 0;
    for (uint16_t i = 0; i < len; i++) sum = (uint8_t)(sum + value[i]);  // every byte readable
    (void)sum;
    self->writes++;
    return ATT_SUCCESS;
  }
  static void on_dm(dmEvt_t* e) {
    if (e->hdr.event == DM_SEC_AUTH_REQ_IND) {
      if (self->answer_passkey) {
        uint8_t key[3] = {(uint8_t)self->passkey, (uint8_t)(self->passkey >> 8),
                          (uint8_t)(self->passkey >> 16)};
        DmSecAuthRsp((dmConnId_t)e->hdr.param, 3, key);
      } else {
        DmSecAuthRsp((dmConnId_t)e->hdr.param, 0, nullptr);
      }
    }
    if (e->hdr.event == DM_CONN_OPEN_IND) AppSlaveSecurityReq((dmConnId_t)e->hdr.param);
    AppSlaveProcDmMsg(e);
  }
  static void on_att(attEvt_t*) {}
  static void on_ccc(attsCccEvt_t* e) {
    require(e->handle == GATT_SC_CH_CCC_HDL || e->handle == kEnd);
  }

  void start() {
    HciDrvRadioBoot(true);
    WsfOsInit();
    WsfTimerInit();
    pAppAdvCfg = &adv_cfg;
    pAppSecCfg = &sec_cfg;
    pSmpCfg = &smp_cfg;
    DmRegister(&Module::on_dm);
    AttRegister(&Module::on_att);
    AttsCccRegister(2, ccc_set, &Module::on_ccc);
    const uint8_t name[] = "ZEM.334455";
    SvcCoreSetDevName(name, 10);
    SvcCoreAddGroup();
    AttsAddGroup(&group);
    DmDevReset();
  }

  static Module* self;
};
Module* Module::self = nullptr;

void Sdu(uint16_t cid, const uint8_t* data, size_t len) {
  Bytes whole{(uint8_t)len, (uint8_t)(len >> 8), (uint8_t)cid, (uint8_t)(cid >> 8)};
  whole.insert(whole.end(), data, data + len);
  for (size_t at = 0; at < whole.size(); at += ble::kMaxDataPayload) {
    const size_t n = std::min(ble::kMaxDataPayload, whole.size() - at);
    ble_host::test_peer::acl(at == 0 ? ble::kLlidStart : ble::kLlidContinuation, &whole[at], n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  sim::host::reset_core();
  sim::air::Medium::instance().reset();
  ble_host::reset();
  Module module;
  Module::self = &module;
  module.start();
  ble_host::dispatch_pending();
  ble_host::test_peer::connected();
  ble_host::dispatch_pending();

  size_t i = 0;
  auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
  auto take = [&](size_t n) {
    n = std::min(n, size - i);
    // The bytes in a buffer of their own length: a read past them is caught.
    Bytes b(data + i, data + i + n);
    i += n;
    return b;
  };
  while (i < size) {
    const uint8_t op = next();
    switch ((op & 0x7F) % 7) {
      case 0:
      case 1: {
        const Bytes b = take(next() % (ble::kMaxDataPayload + 1));
        ble_host::test_peer::acl((op & 0x7F) % 7 == 0 ? ble::kLlidStart : ble::kLlidContinuation,
                                 b.empty() ? nullptr : b.data(), b.size());
        break;
      }
      case 2: {
        const uint8_t c = next();
        const uint16_t cid = c == 0   ? ble::kCidAtt
                             : c == 1 ? ble::kCidSmp
                             : c == 2 ? ble::kCidSignaling
                                      : c;
        const size_t n = next();
        const Bytes b = take(n | (size_t)(op & 0x80 ? next() << 8 : 0));
        Sdu(cid, b.data(), b.size());
        break;
      }
      case 3:
        ble_host::test_peer::completed(next() % 9);
        break;
      case 4:
        ble_host::test_peer::encryption_changed(next() & 1 ? 0x06 : 0);
        break;
      case 5:
        ble_host::test_peer::disconnected(0x13);
        ble_host::dispatch_pending();
        ble_host::test_peer::connected();
        break;
      case 6:
        module.answer_passkey = (next() & 1) != 0;
        break;
    }
    ble_host::dispatch_pending();
  }
  if (getenv("FUZZ_SHOW_WRITES"))
    fprintf(stderr, "writes reaching the module: %zu\n", module.writes);
  ble_host::test_peer::disconnected(0x13);
  ble_host::dispatch_pending();
  ble_host::reset();
  Module::self = nullptr;
  return 0;
}

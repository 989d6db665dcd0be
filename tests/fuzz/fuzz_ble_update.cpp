// What a connected phone may write to the Apollo3 firmware-update service:
// raw writes of any length and content, whole packets with a right CRC
// (so that mutations reach the commands behind the packet check), images
// sent header, data and verify, split into writes of any size, with the
// notifications turned off and on, the link closed, the service's timers
// expiring and the flash failing in between.
//
// The input is a list of operations (see the switch below). The service runs
// on fakes of its vendor calls: a 1 MiB flash that follows the chip's rules
// (program erased words only), the OTA descriptor's list of eight, the
// notification and UART sinks. Checked on every input, besides memory and
// undefined behaviour:
// - nothing is programmed or erased outside the staging area, and the
//   descriptor is written only by registrations of the staging area;
// - every reply is well formed; a progress line never exceeds 100%;
// - while the phone sent only whole packets and saw every reply, the
//   service agrees with a model of the update built from those replies: a
//   VERIFY succeeds only for a header's whole image whose CRC (computed here
//   from the polynomial) holds and whose bytes are in the staging area, and
//   such an image is always either registered or refused with a status.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "am_mcu_apollo.h"
#include "apollo3_port.h"
#include "ble_internal.h"

namespace {

void require(bool ok) {
  if (!ok) {
    abort();
  }
}

constexpr uint32_t kFlashSize = 1024 * 1024;
constexpr uint32_t kPage = 8192;
constexpr uint32_t kStaging = 0x84000;
constexpr uint32_t kStagingEnd = 0xF2000;  // the settings' second copy follows
constexpr uint32_t kDescriptor = 0xF8000;
constexpr uint16_t kTxHandle = AMOTA_TX_HDL;

struct Reply {
  uint8_t cmd = 0, status = 0;
  bool with_offset = false;
  uint32_t offset = 0;
};

// The flash lives across inputs; the pages an input touched are erased
// again before the next.
std::vector<uint8_t> &flash_cells() {
  static std::vector<uint8_t> cells(kFlashSize, 0xFF);
  return cells;
}
bool touched[kFlashSize / kPage];

void touch(uint32_t addr, uint32_t len) {
  for (uint32_t p = addr / kPage; p <= (addr + len - 1) / kPage; ++p) {
    touched[p] = true;
  }
}

struct Fake {
  std::vector<uint8_t> &flash = flash_cells();
  uint32_t fail_after = UINT32_MAX;  // flash operations that succeed before failures
  bool descriptor_ready = false;
  uint32_t registrations = 0;
  std::vector<Reply> replies;
  std::string uart;
  bool reset_requested = false;
  bool disconnected = false;
};
Fake *g;

bool flash_op_allowed() {
  if (g->fail_after == UINT32_MAX) {
    return true;
  }
  if (g->fail_after == 0) {
    return false;
  }
  --g->fail_after;
  return true;
}

uint32_t image_crc(uint8_t const *d, size_t n) {
  static uint32_t table[256];
  if (table[1] == 0) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int b = 0; b < 8; ++b) {
        c = (c & 0x80000000u) ? (c << 1) ^ 0x1EDC6F41u : c << 1;
      }
      table[i] = c;
    }
  }
  uint32_t c = 0;
  for (size_t i = 0; i < n; ++i) {
    c = (c << 8) ^ table[((c >> 24) ^ d[i]) & 0xFF];
  }
  return c;
}

uint32_t zlib_crc(uint8_t const *d, size_t n) {
  static uint32_t table[256];
  if (table[1] == 0) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int b = 0; b < 8; ++b) {
        c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      }
      table[i] = c;
    }
  }
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c = (c >> 8) ^ table[(c ^ d[i]) & 0xFF];
  }
  return ~c;
}

uint32_t addr_of(void const *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

// ---- the service's vendor and host-stack calls ----
extern "C" int am_hal_flash_program_main(uint32_t key, const uint32_t *src, uint32_t *dst,
                                         uint32_t words) {
  uint32_t const a = addr_of(dst);
  require(key == AM_HAL_FLASH_PROGRAM_KEY && a % 4 == 0);
  require(a >= kStaging && uint64_t{a} + uint64_t{words} * 4 <= kStagingEnd);
  for (uint32_t i = 0; i < words * 4; ++i) {
    if (g->flash[a + i] != 0xFF) {
      return AM_HAL_STATUS_FAIL;
    }
  }
  if (!flash_op_allowed()) {
    return AM_HAL_STATUS_FAIL;
  }
  if (words != 0) {
    touch(a, words * 4u);
    memcpy(&g->flash[a], src, words * 4u);
  }
  return AM_HAL_STATUS_SUCCESS;
}

extern "C" int am_hal_flash_page_erase(uint32_t key, uint32_t instance, uint32_t page) {
  require(key == AM_HAL_FLASH_PROGRAM_KEY && instance <= 1 && page <= 63);
  uint32_t const a = instance * 512u * 1024u + page * kPage;
  require(a >= kStaging && a < kStagingEnd);
  if (!flash_op_allowed()) {
    return AM_HAL_STATUS_FAIL;
  }
  touch(a, kPage);
  memset(&g->flash[a], 0xFF, kPage);
  return AM_HAL_STATUS_SUCCESS;
}

extern "C" uint32_t am_hal_flash_load_ui32(uint32_t addr) {
  require(addr + 4 <= kFlashSize);
  uint32_t v;
  memcpy(&v, &g->flash[addr & ~3u], 4);
  return v;
}

extern "C" uint32_t am_hal_ota_init(uint32_t key, uint32_t *descriptor) {
  require(key == AM_HAL_FLASH_PROGRAM_KEY && addr_of(descriptor) == kDescriptor);
  g->descriptor_ready = true;
  return 0;
}

extern "C" uint32_t am_hal_ota_add(uint32_t key, uint8_t, uint32_t *image) {
  require(key == AM_HAL_FLASH_PROGRAM_KEY && g->descriptor_ready);
  require(addr_of(image) == kStaging);
  if (g->registrations == AM_HAL_OTA_MAX_OTA || !flash_op_allowed()) {
    return AM_HAL_STATUS_OUT_OF_RANGE;
  }
  ++g->registrations;
  return 0;
}

extern "C" uint32_t am_hal_reset_control(uint32_t, void *) {
  g->reset_requested = true;
  return 0;
}

extern "C" void vTaskDelay(TickType_t) {}

int32_t uhal_uart_write_buffer(SERIAL_PORT port, uint8_t const *buffer, uint32_t length, uint32_t) {
  require(port == SERIAL_UART0);
  g->uart.append(reinterpret_cast<char const *>(buffer), length);
  return 0;
}

void AttsHandleValueNtf(dmConnId_t connId, uint16_t handle, uint16_t valueLen, uint8_t *pValue) {
  require(connId != DM_CONN_ID_NONE && handle == kTxHandle);
  require(valueLen == 4 || valueLen == 8);
  require(pValue[0] == valueLen - 3 && pValue[1] == 0 && pValue[3] <= 7);
  Reply r;
  r.cmd = pValue[2];
  r.status = pValue[3];
  r.with_offset = valueLen == 8;
  if (r.with_offset) {
    memcpy(&r.offset, pValue + 4, 4);
  }
  g->replies.push_back(r);
}

void AttsAddGroup(attsGroup_t *) {}
void WsfTimerStartMs(wsfTimer_t *, uint32_t) {}
void AppConnClose(dmConnId_t) { g->disconnected = true; }

namespace {

struct Input {
  uint8_t const *p;
  size_t n;
  bool empty() const { return n == 0; }
  uint8_t byte() {
    if (n == 0) {
      return 0;
    }
    --n;
    return *p++;
  }
  uint16_t u16() {
    uint16_t const lo = byte();
    return static_cast<uint16_t>(lo | (byte() << 8));
  }
  std::vector<uint8_t> bytes(size_t k) {
    std::vector<uint8_t> v(k, 0);
    for (size_t i = 0; i < k; ++i) {
      v[i] = byte();
    }
    return v;
  }
};

// What the phone knows of the update from the replies it saw.
struct Model {
  bool blind = false;  // a reply may have been missed or a packet garbled
  bool header = false;
  uint32_t length = 0;
  uint32_t crc = 0;
  std::vector<uint8_t> image;  // the data accepted so far
};

uint8_t conn = 1;
bool notifying = true;

// Writes one packet, in writes of at most `piece` bytes.
void write_packet(uint8_t type, std::vector<uint8_t> const &data, size_t piece) {
  std::vector<uint8_t> p;
  uint16_t const len = static_cast<uint16_t>(data.size() + 4);
  p.push_back(static_cast<uint8_t>(len));
  p.push_back(static_cast<uint8_t>(len >> 8));
  p.push_back(type);
  p.insert(p.end(), data.begin(), data.end());
  uint32_t const c = zlib_crc(data.data(), data.size());
  for (int i = 0; i < 4; ++i) {
    p.push_back(static_cast<uint8_t>(c >> (8 * i)));
  }
  if (piece == 0) {
    piece = 244;
  }
  // A packet's first write carries at least its 3-byte start (a shorter one
  // is refused as a packet).
  for (size_t at = 0; at < p.size();) {
    size_t const want = at == 0 && piece < 3 ? 3 : piece;
    size_t const k = p.size() - at < want ? p.size() - at : want;
    std::vector<uint8_t> w(p.begin() + static_cast<long>(at),
                           p.begin() + static_cast<long>(at + k));
    amotas_write_cback(conn, AMOTA_START_HDL + 2, 0, 0, static_cast<uint16_t>(w.size()), w.data(),
                       nullptr);
    at += k;
  }
}

std::vector<uint8_t> header_data(uint32_t length, uint32_t crc, uint32_t storage) {
  uint32_t const words[12] = {0, 0x14000, length, crc, 0, 0, 0, 0, 1, 0, storage, 0};
  std::vector<uint8_t> h(48);
  memcpy(h.data(), words, sizeof words);
  return h;
}

// The replies a packet gave (one when the model can follow it).
Reply const *only_reply(size_t before) {
  if (g->replies.size() != before + 1) {
    return nullptr;
  }
  return &g->replies.back();
}

void follow(Model &m, uint8_t type, std::vector<uint8_t> const &data, size_t before) {
  if (m.blind) {
    return;
  }
  Reply const *r = only_reply(before);
  if (type > 4 || type == 0) {
    require(g->replies.size() == before);
    return;
  }
  require(r != nullptr && r->cmd == type);
  switch (type) {
    case 1:
      // A header too short to read changes nothing; any other ends the
      // last update.
      if (data.size() < 44) {
        require(r->status != 0);
        break;
      }
      m.header = false;
      m.image.clear();
      if (r->status == 0) {
        require(data.size() >= 44);
        memcpy(&m.length, data.data() + 8, 4);
        memcpy(&m.crc, data.data() + 12, 4);
        require(m.length > 0 && m.length <= kStagingEnd - kStaging);
        require(r->with_offset && r->offset == 0);
        m.header = true;
      }
      break;
    case 2:
      if (r->status == 0) {
        require(m.header && m.image.size() + data.size() <= m.length);
        m.image.insert(m.image.end(), data.begin(), data.end());
        require(r->with_offset && r->offset == m.image.size());
      } else if (r->with_offset) {
        require(r->offset == m.image.size() || !m.header);
      }
      break;
    case 3: {
      bool const whole = m.header && m.image.size() == m.length &&
                         image_crc(m.image.data(), m.image.size()) == m.crc;
      if (r->status == 0) {
        require(whole);
        require(memcmp(&g->flash[kStaging], m.image.data(), m.image.size()) == 0);
      } else if (whole) {
        require(r->status == 7);  // a registration refused
      }
      m.header = false;
      m.image.clear();
      break;
    }
    default:
      break;
  }
}

// Progress lines: whole lines, percentages 0 to 100.
void check_uart() {
  size_t at = 0;
  while (at < g->uart.size()) {
    size_t const end = g->uart.find("\r\n", at);
    require(end != std::string::npos);
    std::string const line = g->uart.substr(at, end - at);
    if (!line.empty() && line.back() == '%') {
      int const v = atoi(line.c_str());
      require(v >= 0 && v <= 100);
    }
    at = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (uint32_t p = 0; p < kFlashSize / kPage; ++p) {
    if (touched[p]) {
      memset(&flash_cells()[p * kPage], 0xFF, kPage);
      touched[p] = false;
    }
  }
  Fake fake;
  g = &fake;
  amotas_init(1);
  conn = 1;
  notifying = true;
  amotas_start(conn, BLE_MODULE_AMOTA_RESET_TIMER_IND, BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND,
               BLE_MODULE_AMOTA_TX_CCC_IDX);
  Model m;
  Input in{data, size};
  // The image op 2 announces and op 3 sends.
  std::vector<uint8_t> image;
  size_t sent = 0;

  for (int ops = 0; !in.empty() && ops < 128; ++ops) {
    size_t const before = g->replies.size();
    uint8_t const op = in.byte();
    switch (op % 8) {
      case 0: {  // a raw write
        size_t k = in.byte();
        if (op & 0x80) {
          k |= (in.byte() & 1u) << 8;
        }
        std::vector<uint8_t> w = in.bytes(k);
        amotas_write_cback(conn, AMOTA_START_HDL + 2, 0, 0, static_cast<uint16_t>(w.size()),
                           w.data(), nullptr);
        m.blind = true;
        break;
      }
      case 1: {  // a packet with a right CRC
        uint8_t const type = in.byte() % 6;
        size_t const k = in.u16() % 525;
        std::vector<uint8_t> d = in.bytes(k);
        write_packet(type, d, in.byte());
        follow(m, type, d, before);
        break;
      }
      case 2: {  // the header of an image made here
        // Images of up to three pages, or (bits 5 and 6) up to one byte
        // over the staging area: those erase slowly.
        uint32_t len = in.u16() % (3 * kPage + 1);
        if ((op & 0x60) == 0x60) {
          len = (len | ((in.byte() & 7u) << 16)) % 0x70002u;
        }
        uint8_t const seed = in.byte();
        image.resize(len < 65536 ? len : 65536);
        for (size_t i = 0; i < image.size(); ++i) {
          image[i] = static_cast<uint8_t>(i * 31 + seed);
        }
        uint32_t crc = image_crc(image.data(), image.size());
        if (op & 0x80) {
          crc ^= 1;
        }
        std::vector<uint8_t> const h = header_data(len, crc, (op & 0x60) == 0x40 ? 1 : 0);
        write_packet(1, h, in.byte());
        follow(m, 1, h, before);
        sent = 0;
        break;
      }
      case 3: {  // the image's next data packet
        size_t k = in.u16() % 525;
        if (sent >= image.size()) {
          k = k % 16;
        }
        std::vector<uint8_t> d(k, 0);
        for (size_t i = 0; i < k && sent + i < image.size(); ++i) {
          d[i] = image[sent + i];
        }
        write_packet(2, d, in.byte());
        size_t const had = g->replies.size();
        follow(m, 2, d, before);
        if (had == before + 1 && g->replies.back().status == 0) {
          sent += k;
        }
        break;
      }
      case 4:  // verify
        write_packet(3, {}, 0);
        follow(m, 3, {}, before);
        break;
      case 5: {  // notifications off or on, or the link closed and a new one
        uint8_t const what = in.byte() % 3;
        if (what == 0) {
          amotas_stop(conn);
          notifying = false;
          m.blind = true;
        } else if (what == 1) {
          amotas_start(conn, BLE_MODULE_AMOTA_RESET_TIMER_IND,
                       BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND, BLE_MODULE_AMOTA_TX_CCC_IDX);
          notifying = true;
        } else {
          amotas_conn_close(conn);
          conn = static_cast<uint8_t>(1 + in.byte() % 4);  // 4: beyond the service's slots
          amotas_start(conn, BLE_MODULE_AMOTA_RESET_TIMER_IND,
                       BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND, BLE_MODULE_AMOTA_TX_CCC_IDX);
          notifying = conn <= 3;
          m.header = false;
          m.image.clear();
          if (!notifying) {
            m.blind = true;
          }
        }
        break;
      }
      case 6: {  // a timer expires, or the flash starts failing
        uint8_t const what = in.byte();
        if (what < 0x80) {
          wsfMsgHdr_t msg{};
          msg.event =
              (what & 1) ? BLE_MODULE_AMOTA_RESET_TIMER_IND : BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND;
          msg.param = conn;
          amotas_proc_msg(&msg);
        } else {
          g->fail_after = what & 0x7F;
        }
        break;
      }
      default:  // reset command
        write_packet(4, {}, in.byte());
        follow(m, 4, {}, before);
        break;
    }
    if (!notifying) {
      require(g->replies.size() == before);
    }
  }
  check_uart();
  g = nullptr;
  return 0;
}

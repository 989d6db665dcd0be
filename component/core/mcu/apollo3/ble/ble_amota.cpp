// Firmware update over BLE: the update service reassembles CRC-checked
// packets from its RX characteristic, stages the image in flash above the
// running application, checks it against the header's CRC, registers it in
// the bootloader's OTA descriptor and resets on request. Progress and
// results go to UART0. Everything here runs in the BLE host task.
#include <stdio.h>
#include <string.h>

#include "am_mcu_apollo.h"
#include "apollo3_port.h"
#include "ble_internal.h"
#include "fund_crc32.h"
#include "qiv_config.h"
#include "udrv_serial.h"

namespace {

enum : uint8_t {
  AMOTA_CMD_UNKNOWN = 0,
  AMOTA_CMD_FW_HEADER = 1,
  AMOTA_CMD_FW_DATA = 2,
  AMOTA_CMD_FW_VERIFY = 3,
  AMOTA_CMD_FW_RESET = 4,
};
enum : uint8_t {
  AMOTA_STATUS_SUCCESS = 0,
  AMOTA_STATUS_CRC_ERROR = 1,
  AMOTA_STATUS_INVALID_HEADER_INFO = 2,
  AMOTA_STATUS_INVALID_PKT_LENGTH = 3,
  AMOTA_STATUS_INSUFFICIENT_BUFFER = 4,
  AMOTA_STATUS_INSUFFICIENT_FLASH = 5,
  AMOTA_STATUS_UNKNOWN_ERROR = 6,
  AMOTA_STATUS_FLASH_WRITE_ERROR = 7,
};
enum : uint8_t { AMOTA_STATE_INIT = 0, AMOTA_STATE_GETTING_FW = 1 };

constexpr uint16_t AMOTA_PACKET_SIZE = 512 + 16;
constexpr uint16_t AMOTA_FW_HEADER_SIZE = 44;
constexpr uint16_t AMOTA_FW_PACKET_SIZE = 512;
constexpr uint32_t MCU_FLASH_OTA_ADDRESS = 0x84000;
constexpr uint32_t MCU_OTA_POINTER_LOCATION = 0xF8000;
// The staging range ends at the second copy of the configuration record
// (the last page before the record).
constexpr uint32_t kOtaMaxSize = 0x6E000;
static_assert(MCU_FLASH_OTA_ADDRESS + kOtaMaxSize == QIV_CHIP_NVM_SHARED_COPY_ADDR);
constexpr uint32_t kFlashPage = 8192;
constexpr uint32_t kReadBack = 528;

struct amotaHeaderInfo_t {
  uint32_t encrypted, fwStartAddr, fwLength, fwCrc, secInfoLen, resvd1, resvd2, resvd3, version,
      fwDataType, storageType, resvd4;
};
struct AmotaConn {
  dmConnId_t connId;
  bool amotaToSend;
};
struct AmotaCb {
  AmotaConn conn[3];
  uint8_t state;
  amotaHeaderInfo_t fwHeader;
  struct {
    uint16_t offset;
    uint16_t len;
    uint8_t type;
    uint8_t data[AMOTA_PACKET_SIZE];
  } pkt;
  struct {
    uint32_t addr;
    uint32_t offset;
  } newFwFlashInfo;
  wsfTimer_t resetTimer;
  wsfTimer_t disconnectTimer;
  uint8_t metadata[32];
};

AmotaCb amotasCb;
uint32_t page_buf[kFlashPage / 4];
uint32_t page_fill;
uint32_t read_back[kReadBack / 4];
uint32_t image_crc;
bool ota_process_status;
uint32_t fwLength;
uint32_t totalFrames;
uint32_t packets_accepted;
int last_percent;
wsfHandlerId_t amota_handler;
// Bytes still to drop of a refused oversize packet.
uint16_t discard_left;

// Service attributes, handles 0x0820 to 0x0825.
const uint8_t uuid_primary[2] = {0x00, 0x28};
const uint8_t uuid_char[2] = {0x03, 0x28};
const uint8_t uuid_ccc[2] = {0x02, 0x29};
uint8_t svc_uuid[16] = {0x01, 0x10, 0x2E, 0xC7, 0x8A, 0x0E, 0x73, 0x90,
                        0xE1, 0x11, 0xC2, 0x08, 0x60, 0x27, 0x00, 0x00};
const uint8_t rx_uuid[16] = {0x01, 0x00, 0x2E, 0xC7, 0x8A, 0x0E, 0x73, 0x90,
                             0xE1, 0x11, 0xC2, 0x08, 0x60, 0x27, 0x00, 0x00};
const uint8_t tx_uuid[16] = {0x02, 0x00, 0x2E, 0xC7, 0x8A, 0x0E, 0x73, 0x90,
                             0xE1, 0x11, 0xC2, 0x08, 0x60, 0x27, 0x00, 0x00};
uint16_t svc_len = sizeof svc_uuid;
uint8_t rx_decl[19] = {0x04, 0x22, 0x08, 0x01, 0x00, 0x2E, 0xC7, 0x8A, 0x0E, 0x73,
                       0x90, 0xE1, 0x11, 0xC2, 0x08, 0x60, 0x27, 0x00, 0x00};
uint16_t rx_decl_len = sizeof rx_decl;
uint8_t rx_value[512];
uint16_t rx_value_len;
uint8_t tx_decl[19] = {0x10, 0x24, 0x08, 0x02, 0x00, 0x2E, 0xC7, 0x8A, 0x0E, 0x73,
                       0x90, 0xE1, 0x11, 0xC2, 0x08, 0x60, 0x27, 0x00, 0x00};
uint16_t tx_decl_len = sizeof tx_decl;
uint8_t tx_value[512];
uint16_t tx_value_len;
uint8_t tx_ccc[2];
uint16_t tx_ccc_len = sizeof tx_ccc;

attsAttr_t amota_attrs[] = {
    {uuid_primary, svc_uuid, &svc_len, sizeof svc_uuid, 0, ATTS_PERMIT_READ},
    {uuid_char, rx_decl, &rx_decl_len, sizeof rx_decl, 0, ATTS_PERMIT_READ},
    {rx_uuid, rx_value, &rx_value_len, sizeof rx_value,
     ATTS_SET_UUID_128 | ATTS_SET_VARIABLE_LEN | ATTS_SET_WRITE_CBACK, ATTS_PERMIT_WRITE},
    {uuid_char, tx_decl, &tx_decl_len, sizeof tx_decl, 0, ATTS_PERMIT_READ},
    {tx_uuid, tx_value, &tx_value_len, sizeof tx_value, ATTS_SET_UUID_128 | ATTS_SET_VARIABLE_LEN,
     ATTS_PERMIT_READ},
    {uuid_ccc, tx_ccc, &tx_ccc_len, sizeof tx_ccc, ATTS_SET_CCC,
     ATTS_PERMIT_READ | ATTS_PERMIT_WRITE},
};
attsGroup_t amota_group = {nullptr, amota_attrs, nullptr, nullptr, AMOTA_START_HDL, AMOTA_END_HDL};

// The image CRC: polynomial 0x1EDC6F41, most significant bit first, no
// reflection, initial 0, no final XOR.
uint32_t crc_table[256];
void build_crc_table() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int b = 0; b < 8; ++b) {
      c = (c & 0x80000000u) ? (c << 1) ^ 0x1EDC6F41u : c << 1;
    }
    crc_table[i] = c;
  }
}
uint32_t image_crc_update(uint32_t crc, uint8_t const *d, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    crc = (crc << 8) ^ crc_table[((crc >> 24) ^ d[i]) & 0xFF];
  }
  return crc;
}

void console(char const *text) {
  uhal_uart_write_buffer(SERIAL_UART0, reinterpret_cast<uint8_t const *>(text),
                         static_cast<uint32_t>(strlen(text)), 0);
}

uint32_t le32(uint8_t const *p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

AmotaConn *find_next2send() {
  for (AmotaConn &c : amotasCb.conn) {
    if (c.connId != DM_CONN_ID_NONE && c.amotaToSend) {
      return &c;
    }
  }
  return nullptr;
}

void reply(uint8_t cmd, uint8_t status, bool with_offset) {
  AmotaConn *c = find_next2send();
  if (c == nullptr) {
    return;
  }
  uint8_t buf[8];
  uint16_t const data_len = with_offset ? 4 : 0;
  buf[0] = static_cast<uint8_t>(data_len + 1);
  buf[1] = 0;
  buf[2] = cmd;
  buf[3] = status;
  uint32_t const off = amotasCb.newFwFlashInfo.offset;
  for (int i = 0; i < 4; ++i) {
    buf[4 + i] = static_cast<uint8_t>(off >> (8 * i));
  }
  AttsHandleValueNtf(c->connId, AMOTA_TX_HDL, static_cast<uint16_t>(4 + data_len), buf);
}

bool erase_flash(uint32_t addr, uint32_t len) {
  for (uint32_t a = addr; a < addr + len; a += kFlashPage) {
    if (am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, AM_HAL_FLASH_ADDR2INST(a),
                                AM_HAL_FLASH_ADDR2PAGE(a)) != 0) {
      return false;
    }
  }
  return true;
}

bool program_page(uint32_t addr) {
  if (am_hal_flash_program_main(AM_HAL_FLASH_PROGRAM_KEY, page_buf,
                                reinterpret_cast<uint32_t *>(static_cast<uintptr_t>(addr)),
                                kFlashPage / 4) != 0) {
    return false;
  }
  for (uint32_t done = 0; done < kFlashPage; done += kReadBack) {
    uint32_t const n = (kFlashPage - done) < kReadBack ? kFlashPage - done : kReadBack;
    for (uint32_t w = 0; w < n / 4; ++w) {
      read_back[w] = am_hal_flash_load_ui32(addr + done + 4 * w);
    }
    if (memcmp(read_back, reinterpret_cast<uint8_t *>(page_buf) + done, n) != 0) {
      return false;
    }
  }
  return true;
}

bool write_data(uint8_t const *data, uint32_t n) {
  AmotaCb &cb = amotasCb;
  // Data only into the erased staging range of an accepted header.
  if (cb.state != AMOTA_STATE_GETTING_FW || cb.newFwFlashInfo.offset + n > fwLength) {
    return false;
  }
  uint32_t const page_start = cb.newFwFlashInfo.addr + cb.newFwFlashInfo.offset - page_fill;
  if (page_start < cb.newFwFlashInfo.addr || page_start % kFlashPage != 0) {
    return false;
  }
  uint32_t const saved_fill = page_fill;
  uint32_t pages = 0;
  uint8_t *buf = reinterpret_cast<uint8_t *>(page_buf);
  for (uint32_t i = 0; i < n; ++i) {
    buf[page_fill++] = data[i];
    bool const last = cb.newFwFlashInfo.offset + i + 1 == fwLength;
    if (page_fill == kFlashPage || last) {
      // The rest of a final partial page stays erased.
      memset(buf + page_fill, 0xFF, kFlashPage - page_fill);
      if (!program_page(page_start + kFlashPage * pages)) {
        page_fill = saved_fill;
        return false;
      }
      page_fill = 0;
      ++pages;
    }
  }
  // The metadata is the image's first 32 bytes, whichever packets carry them.
  if (cb.newFwFlashInfo.offset < sizeof cb.metadata) {
    uint32_t const k = sizeof cb.metadata - cb.newFwFlashInfo.offset;
    memcpy(cb.metadata + cb.newFwFlashInfo.offset, data, n < k ? n : k);
  }
  image_crc = image_crc_update(image_crc, data, n);
  cb.newFwFlashInfo.offset += n;
  return true;
}

void handle_header(uint8_t const *data, uint16_t n) {
  AmotaCb &cb = amotasCb;
  if (n < AMOTA_FW_HEADER_SIZE) {
    reply(AMOTA_CMD_FW_HEADER, AMOTA_STATUS_INVALID_HEADER_INFO, false);
    return;
  }
  image_crc = 0;
  uint32_t words[12];
  for (int i = 0; i < 12; ++i) {
    words[i] = le32(data + 4 * i);
  }
  memcpy(&cb.fwHeader, words, sizeof cb.fwHeader);
  fwLength = cb.fwHeader.fwLength;
  totalFrames = (fwLength + AMOTA_FW_PACKET_SIZE - 1) / AMOTA_FW_PACKET_SIZE;
  packets_accepted = 0;
  last_percent = 0;
  console("OTA process start from beginning.\r\n");
  ota_process_status = true;
  memset(&cb.newFwFlashInfo, 0, sizeof cb.newFwFlashInfo);
  memset(page_buf, 0, sizeof page_buf);
  page_fill = 0;
  // Nothing of the last image may be taken for this one.
  memset(cb.metadata, 0, sizeof cb.metadata);
  cb.state = AMOTA_STATE_INIT;
  if (fwLength == 0) {
    reply(AMOTA_CMD_FW_HEADER, AMOTA_STATUS_INVALID_HEADER_INFO, false);
    return;
  }
  if (cb.fwHeader.storageType != 0) {
    reply(AMOTA_CMD_FW_HEADER, AMOTA_STATUS_INSUFFICIENT_FLASH, false);
    return;
  }
  if (fwLength > kOtaMaxSize) {
    console("Not enough OTA space allocated!\r\n");
    reply(AMOTA_CMD_FW_HEADER, AMOTA_STATUS_INSUFFICIENT_FLASH, false);
    return;
  }
  cb.newFwFlashInfo.addr = MCU_FLASH_OTA_ADDRESS;
  if (!erase_flash(cb.newFwFlashInfo.addr, fwLength)) {
    reply(AMOTA_CMD_FW_HEADER, AMOTA_STATUS_FLASH_WRITE_ERROR, false);
    return;
  }
  cb.state = AMOTA_STATE_GETTING_FW;
  reply(AMOTA_CMD_FW_HEADER, AMOTA_STATUS_SUCCESS, true);
}

void handle_verify() {
  AmotaCb &cb = amotasCb;
  // Only a whole image of an accepted header, every announced byte of it
  // received and its CRC over all of them holding, is registered.
  bool const ok = cb.state == AMOTA_STATE_GETTING_FW && cb.newFwFlashInfo.offset == fwLength &&
                  image_crc == cb.fwHeader.fwCrc;
  if (ok) {
    uint32_t const rc = am_hal_ota_add(
        AM_HAL_FLASH_PROGRAM_KEY, cb.metadata[3],
        reinterpret_cast<uint32_t *>(static_cast<uintptr_t>(cb.newFwFlashInfo.addr)));
    if (rc == 0) {
      ota_process_status = false;
      console("CRC verify success.\r\n");
      reply(AMOTA_CMD_FW_VERIFY, AMOTA_STATUS_SUCCESS, false);
    } else {
      // The bootloader would never see the image (its list full, the
      // descriptor not written): the update has not happened.
      console("OTA image registration failed.\r\n");
      reply(AMOTA_CMD_FW_VERIFY, AMOTA_STATUS_FLASH_WRITE_ERROR, false);
    }
  } else {
    console("CRC verify failed.\r\n");
    reply(AMOTA_CMD_FW_VERIFY, AMOTA_STATUS_CRC_ERROR, false);
  }
  cb.state = AMOTA_STATE_INIT;
  image_crc = 0;
}

void packet_handler(uint8_t type, uint8_t const *data, uint16_t n) {
  switch (type) {
    case AMOTA_CMD_FW_HEADER:
      handle_header(data, n);
      break;
    case AMOTA_CMD_FW_DATA:
      if (write_data(data, n)) {
        reply(AMOTA_CMD_FW_DATA, AMOTA_STATUS_SUCCESS, true);
      } else {
        reply(AMOTA_CMD_FW_DATA, AMOTA_STATUS_FLASH_WRITE_ERROR, true);
      }
      break;
    case AMOTA_CMD_FW_VERIFY:
      handle_verify();
      break;
    case AMOTA_CMD_FW_RESET:
      console("Apollo will disconnect BLE link in 500ms.\r\n");
      reply(AMOTA_CMD_FW_RESET, AMOTA_STATUS_SUCCESS, false);
      WsfTimerStartMs(&amotasCb.disconnectTimer, 500);
      break;
    default:
      break;
  }
}

void clear_packet() {
  discard_left = 0;
  amotasCb.pkt.offset = 0;
  amotasCb.pkt.len = 0;
  amotasCb.pkt.type = AMOTA_CMD_UNKNOWN;
}

}  // namespace

void amotas_init(wsfHandlerId_t handlerId) {
  memset(&amotasCb, 0, sizeof amotasCb);
  page_fill = 0;
  image_crc = 0;
  ota_process_status = false;
  fwLength = 0;
  totalFrames = 0;
  packets_accepted = 0;
  last_percent = 0;
  discard_left = 0;
  amota_handler = handlerId;
  amotasCb.resetTimer.handlerId = handlerId;
  amotasCb.disconnectTimer.handlerId = handlerId;
  build_crc_table();
  am_hal_ota_init(AM_HAL_FLASH_PROGRAM_KEY,
                  reinterpret_cast<uint32_t *>(static_cast<uintptr_t>(MCU_OTA_POINTER_LOCATION)));
}

void SvcAmotasCbackRegister(attsReadCback_t readCback, attsWriteCback_t writeCback) {
  amota_group.readCback = readCback;
  amota_group.writeCback = writeCback;
}

void SvcAmotasAddGroup(void) { AttsAddGroup(&amota_group); }

void amotas_start(dmConnId_t connId, uint8_t resetTimerEvt, uint8_t disconnectTimerEvt, uint8_t) {
  if (connId == DM_CONN_ID_NONE || connId > 3) {
    return;
  }
  amotasCb.conn[connId - 1] = {connId, true};
  amotasCb.resetTimer.msg.event = resetTimerEvt;
  amotasCb.disconnectTimer.msg.event = disconnectTimerEvt;
}

void amotas_stop(dmConnId_t connId) {
  if (connId != DM_CONN_ID_NONE && connId <= 3) {
    amotasCb.conn[connId - 1] = {DM_CONN_ID_NONE, false};
  }
}

void amotas_conn_close(dmConnId_t connId) {
  amotas_stop(connId);
  clear_packet();
  if (ota_process_status) {
    ota_process_status = false;
    amotasCb.state = AMOTA_STATE_INIT;
    console("OTA process is unexpectedly failed.\r\n");
  }
}

void amotas_proc_msg(wsfMsgHdr_t *pMsg) {
  if (pMsg->event == BLE_MODULE_AMOTA_DISCONNECT_TIMER_IND) {
    AmotaConn *c = find_next2send();
    if (c != nullptr) {
      AppConnClose(c->connId);
    }
    WsfTimerStartMs(&amotasCb.resetTimer, 200);
  } else if (pMsg->event == BLE_MODULE_AMOTA_RESET_TIMER_IND) {
    vTaskDelay(10);
    am_hal_reset_control(AM_HAL_RESET_CONTROL_SWPOR, nullptr);
  }
}

uint8_t amotas_write_cback(dmConnId_t, uint16_t, uint8_t, uint16_t, uint16_t len, uint8_t *pValue,
                           attsAttr_t *) {
  AmotaCb &cb = amotasCb;
  uint8_t const *data = pValue;
  uint16_t n = len;
  if (discard_left != 0) {
    discard_left = len >= discard_left ? 0 : static_cast<uint16_t>(discard_left - len);
    return ATT_SUCCESS;
  }
  if (cb.pkt.offset == 0 && cb.pkt.len == 0) {
    if (len <= 2) {
      reply(AMOTA_CMD_FW_HEADER, AMOTA_STATUS_INVALID_PKT_LENGTH, false);
      return ATT_SUCCESS;
    }
    uint16_t const plen = static_cast<uint16_t>(pValue[0] | (pValue[1] << 8));
    // The length covers at least the CRC.
    if (plen < 4) {
      reply(pValue[2], AMOTA_STATUS_INVALID_PKT_LENGTH, false);
      return ATT_SUCCESS;
    }
    // A packet that could never fit the buffer is refused at its start and
    // the rest of it is dropped as it comes, so that it is not taken for
    // the next packet.
    if (plen > AMOTA_PACKET_SIZE) {
      reply(pValue[2], AMOTA_STATUS_INSUFFICIENT_BUFFER, false);
      discard_left = len - 3u >= plen ? 0 : static_cast<uint16_t>(plen - (len - 3));
      return ATT_SUCCESS;
    }
    cb.pkt.len = plen;
    cb.pkt.type = pValue[2];
    data = pValue + 3;
    n = static_cast<uint16_t>(len - 3);
  }
  if (cb.pkt.offset + n > AMOTA_PACKET_SIZE || cb.pkt.offset + n > cb.pkt.len) {
    reply(cb.pkt.type, AMOTA_STATUS_INSUFFICIENT_BUFFER, false);
    clear_packet();
    return ATT_SUCCESS;
  }
  // An empty write (no value at all) adds nothing.
  if (n != 0) {
    memcpy(cb.pkt.data + cb.pkt.offset, data, n);
  }
  cb.pkt.offset = static_cast<uint16_t>(cb.pkt.offset + n);
  if (cb.pkt.offset < cb.pkt.len) {
    return ATT_SUCCESS;
  }
  uint16_t const body = static_cast<uint16_t>(cb.pkt.len - 4);
  uint32_t const want = le32(cb.pkt.data + body);
  uint8_t const type = cb.pkt.type;
  if (fund_crc32(cb.pkt.data, body) != want) {
    reply(type, AMOTA_STATUS_CRC_ERROR, false);
  } else {
    int percent = 0;
    if (totalFrames != 0) {
      percent = static_cast<int>(static_cast<float>(packets_accepted) /
                                 static_cast<float>(totalFrames) * 100.0f);
    }
    // The verify and reset packets, and resent ones, count too: the
    // progress stops at the whole image.
    if (percent > 100) {
      percent = 100;
    }
    ++packets_accepted;
    if (percent != last_percent) {
      char line[16];
      snprintf(line, sizeof line, "%d%%\r\n", percent);
      console(line);
      last_percent = percent;
    }
    packet_handler(type, cb.pkt.data, body);
  }
  clear_packet();
  return ATT_SUCCESS;
}

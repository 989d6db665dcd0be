// YMODEM reception of an application image into the application area.
//
// The receiver follows the rules that standard senders rely on:
// - block numbers count modulo 256 during a file's data; a block numbered 0
//   is a header only while a header is awaited;
// - a repeat of the previous block (its ACK was lost) is acknowledged again
//   and dropped;
// - every accepted header starts the file anew at the start of the area;
// - a session succeeds only when it delivered a whole file (at least as many
//   bytes as its header announced, all written and verified) after the last
//   erase of the area, so a half-written area is never marked as done.
#include <string.h>

#include "bootloader.h"

__attribute__((aligned(4)))
uint8_t aPacketData[PACKET_1K_SIZE + PACKET_DATA_INDEX + PACKET_TRAILER_SIZE];
uint8_t aFileName[FILE_NAME_LENGTH + 1];
// Number of the block expected next (modulo 256).
volatile uint8_t packets_received;
// Blocks accepted in the current file, header included; unlike the block
// number it never wraps, so the stall watchdog cannot mistake 256 blocks of
// progress for none.
volatile uint32_t packets_counted;
volatile uint32_t packets_received_bak;
// Set while a file's data is being received (its header was accepted).
volatile uint8_t ymodem_file_active;

uint16_t UpdateCRC16(uint16_t crc_in, uint8_t byte) {
  uint32_t crc = crc_in;
  uint32_t in = (uint32_t)byte | 0x100U;
  do {
    crc <<= 1;
    in <<= 1;
    if (in & 0x100U) crc++;
    if (crc & 0x10000U) crc ^= 0x1021U;
  } while (!(in & 0x10000U));
  return (uint16_t)(crc & 0xFFFFU);
}

// CRC-16/XMODEM of the data, computed in the augmented form: the data
// followed by two zero bytes.
uint16_t Cal_CRC16(const uint8_t *p_data, uint32_t size) {
  uint16_t crc = 0U;
  for (uint32_t i = 0U; i < size; i++) {
    crc = UpdateCRC16(crc, p_data[i]);
  }
  crc = UpdateCRC16(crc, 0U);
  crc = UpdateCRC16(crc, 0U);
  return crc;
}

// Receives one packet. HAL_OK: a packet arrived intact (*p_length 128 or
// 1024), an EOT (0) or the sender's CA CA (2). HAL_ERROR: unexpected start
// byte, bad complement or CRC, lone CA, or a UART error. HAL_BUSY: 'A' or
// 'a' typed by the user. HAL_TIMEOUT: nothing within the time-out.
HAL_StatusTypeDef ReceivePacket(uint8_t *p_data, uint32_t *p_length, uint32_t timeout) {
  uint8_t start = 0U;
  uint32_t packet_size = 0U;

  *p_length = 0U;
  HAL_StatusTypeDef status = HAL_UART_Receive(&huart2, &start, 1U, timeout);
  if (status != HAL_OK) {
    return status == HAL_TIMEOUT ? HAL_TIMEOUT : HAL_ERROR;
  }

  switch (start) {
    case SOH:
      packet_size = PACKET_SIZE;
      break;
    case STX:
      packet_size = PACKET_1K_SIZE;
      break;
    case EOT:
      return HAL_OK;
    case CA: {
      uint8_t second = 0U;
      if (HAL_UART_Receive(&huart2, &second, 1U, timeout) == HAL_OK && second == CA) {
        *p_length = 2U;
        return HAL_OK;
      }
      return HAL_ERROR;
    }
    case ABORT1:
    case ABORT2:
      return HAL_BUSY;
    default:
      return HAL_ERROR;
  }

  p_data[PACKET_START_INDEX] = start;
  status = HAL_UART_Receive(&huart2, &p_data[PACKET_NUMBER_INDEX],
                            (uint16_t)(packet_size + PACKET_OVERHEAD_SIZE), timeout);
  if (status != HAL_OK) {
    return status == HAL_TIMEOUT ? HAL_TIMEOUT : HAL_ERROR;
  }
  if (p_data[PACKET_NUMBER_INDEX] != (uint8_t)(p_data[PACKET_CNUMBER_INDEX] ^ 0xFFU)) {
    return HAL_ERROR;
  }
  uint16_t received_crc = (uint16_t)(((uint16_t)p_data[packet_size + PACKET_DATA_INDEX] << 8) |
                                     p_data[packet_size + PACKET_DATA_INDEX + 1U]);
  if (Cal_CRC16(&p_data[PACKET_DATA_INDEX], packet_size) != received_crc) {
    return HAL_ERROR;
  }
  *p_length = packet_size;
  return HAL_OK;
}

static void send_cancel(void) {
  Serial_PutByte(CA);
  Serial_PutByte(CA);
}

// Reads the file name and size from the header block in aPacketData; every
// offset stays inside the block's `packet_length` data bytes. Returns 1 and
// the size when the header announces a size of 1 byte up to the area; 0
// for a name without its NUL, a missing or unreadable size, or size 0.
// *p_too_large is set when the size was readable but exceeds the area.
static uint32_t parse_header(uint32_t packet_length, uint32_t *p_size, uint32_t *p_too_large) {
  const uint8_t *data = &aPacketData[PACKET_DATA_INDEX];
  uint32_t name_end = 0U;
  *p_too_large = 0U;

  while (name_end < packet_length && data[name_end] != 0U) {
    name_end++;
  }
  if (name_end >= packet_length) {
    return 0U;
  }
  uint32_t name_len = name_end < FILE_NAME_LENGTH ? name_end : FILE_NAME_LENGTH;
  memcpy(aFileName, data, name_len);
  aFileName[name_len] = 0U;

  uint8_t size_text[FILE_SIZE_LENGTH + 1U];
  uint32_t n = 0U;
  for (uint32_t i = name_end + 1U; i < packet_length && n < FILE_SIZE_LENGTH; i++) {
    if (data[i] == ' ' || data[i] == 0U) break;
    size_text[n++] = data[i];
  }
  size_text[n] = 0U;

  uint32_t size = 0U;
  if (Str2Int(size_text, &size) == 0U || size == 0U) {
    return 0U;
  }
  if (size > APP_IMAGE_SIZE) {
    *p_too_large = 1U;
    return 0U;
  }
  *p_size = size;
  return 1U;
}

// After a damaged or misaligned packet, the rest of what the sender sent is
// read and dropped until the line has been quiet for a while, so that the
// answer goes to a sender that waits for it and the next packet is read from
// its start byte, never from the middle of a block (where a byte could pass
// for a start byte or the user's abort key). A sender that started late has
// sent repeats of its header while the first was being taken in (it took
// our earlier requests for the first block, still on the line, for answers
// to its header).
static void purge_line(void) {
  uint8_t byte = 0U;
  for (uint32_t n = 0U; n < PURGE_MAX_BYTES; n++) {
    if (HAL_UART_Receive(&huart2, &byte, 1U, PURGE_QUIET_MS) != HAL_OK) {
      return;
    }
  }
}

static void file_watch_stop(void) { ymodem_file_active = 0U; }

static void file_watch_start(void) {
  packets_counted = 1U;
  packets_received_bak = 0U;
  ymodem_file_active = 1U;
}

COM_StatusTypeDef Ymodem_Receive(uint32_t *p_size) {
  uint32_t flashdestination = APP_IMAGE_ADDR;
  uint32_t errors = 0U;
  uint32_t crc_requests = 0U;
  uint32_t file_size = 0U;
  uint32_t file_bytes = 0U;
  bool session_begin = false;
  bool session_done = false;
  bool image_complete = false;
  COM_StatusTypeDef result = COM_OK;

  while (!session_done && result == COM_OK) {
    bool file_done = false;
    bool waiting_header = true;
    packets_received = 0U;
    file_watch_stop();

    while (!file_done && result == COM_OK) {
      uint32_t packet_length = 0U;
      HAL_StatusTypeDef status = ReceivePacket(aPacketData, &packet_length, DOWNLOAD_TIMEOUT);

      if (status == HAL_OK) {
        errors = 0U;
        if (packet_length == 2U) {
          // The sender cancelled.
          Serial_PutByte(ACK);
          result = COM_ABORT;
        } else if (packet_length == 0U) {
          // End of a file: refused when it came short of the announced size.
          if (!waiting_header && file_bytes < file_size) {
            send_cancel();
            result = COM_ABORT;
          } else {
            Serial_PutByte(ACK);
            file_done = true;
            if (!waiting_header) image_complete = true;
          }
        } else if (waiting_header) {
          uint32_t size = 0U;
          uint32_t too_large = 0U;
          if (aPacketData[PACKET_NUMBER_INDEX] != 0U) {
            Serial_PutByte(NAK);
          } else if (aPacketData[PACKET_DATA_INDEX] == 0U) {
            // The empty header ends the session.
            Serial_PutByte(ACK);
            file_done = true;
            session_done = true;
          } else if (parse_header(packet_length, &size, &too_large) == 0U) {
            // Too large, or no size we can trust: refused before any erase.
            send_cancel();
            result = COM_LIMIT;
          } else {
            // A failed erase shows up in the read-back of the data.
            (void)FLASH_If_Erase(APP_IMAGE_ADDR);
            image_complete = false;
            flashdestination = APP_IMAGE_ADDR;
            file_size = size;
            file_bytes = 0U;
            *p_size = size;
            Serial_PutByte(ACK);
            Serial_PutByte(CRC16);
            packets_received = 1U;
            file_watch_start();
            waiting_header = false;
            session_begin = true;
          }
        } else if (aPacketData[PACKET_NUMBER_INDEX] == packets_received) {
          if (flashdestination > APP_IMAGE_END - packet_length) {
            // More data than the area holds.
            send_cancel();
            result = COM_DATA;
          } else if (FLASH_If_Write(flashdestination,
                                    (const uint32_t *)&aPacketData[PACKET_DATA_INDEX],
                                    packet_length / 4U) == FLASHIF_OK) {
            flashdestination += packet_length;
            file_bytes += packet_length;
            Serial_PutByte(ACK);
          } else {
            send_cancel();
            result = COM_DATA;
          }
          packets_received = (uint8_t)(packets_received + 1U);
          packets_counted = packets_counted + 1U;
        } else if (aPacketData[PACKET_NUMBER_INDEX] == (uint8_t)(packets_received - 1U)) {
          // Our ACK of this block was lost: acknowledge again, write nothing.
          // A repeated header also repeats the request for the first block.
          Serial_PutByte(ACK);
          if (packets_counted == 1U) {
            Serial_PutByte(CRC16);
          }
        } else {
          Serial_PutByte(NAK);
        }
      } else if (status == HAL_BUSY) {
        send_cancel();
        result = COM_ABORT;
      } else {
        if (status == HAL_ERROR) {
          purge_line();
        }
        if (session_begin) {
          errors++;
          if (errors > MAX_ERRORS) {
            send_cancel();
            result = COM_ABORT;
            break;
          }
        }
        Serial_PutByte(CRC16);
        crc_requests++;
        if (crc_requests >= MAX_CRC_REQUESTS) {
          NVIC_SystemReset();
        }
      }
    }
  }
  file_watch_stop();

  if (result == COM_OK && !image_complete) {
    // The session ended without delivering a whole file since the area was
    // last erased (an empty batch): nothing to mark as done.
    result = COM_ERROR;
  }
  return result;
}

// A received image is marked as done only when it can be started: one that
// is not a whole application (cut short, damaged, not an image) leaves the
// download pending, so that no reset ever starts it, and the bootloader
// waits for another transfer.
void SerialDownload(void) {
  uint32_t size = 0U;
  if (Ymodem_Receive(&size) == COM_OK) {
    if (app_is_valid() == 0U) {
      Serial_PutString("Jump failed. No legal application detected.\r\n");
      return;
    }
    // Both flags in one write: a cut leaves the download pending or done.
    boot_flags_write(BOOT_FLAG_RUN_APP, UPDATE_FLAG_DONE);
    PreJump();
    JumpApp();
  }
}

// Download stall watchdog, run from the SysTick handler every millisecond:
// every 15 s while a file is being received, reset the MCU when no block was
// accepted since the previous check.
void upgrade_process_callback(uint32_t tick) {
  if ((tick % STALL_CHECK_PERIOD_MS) != 0U || ymodem_file_active == 0U) {
    return;
  }
  if (packets_counted == packets_received_bak) {
    NVIC_SystemReset();
  }
  packets_received_bak = packets_counted;
}

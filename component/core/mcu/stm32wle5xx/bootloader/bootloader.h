// QIV_BOOT: the serial bootloader of the STM32WLE5 modules.
//
// Flash layout shared with the applications (2 KB pages, little-endian):
//   0x08000000  bootloader vectors, code and constants (below 0x08004000)
//   0x08004000  boot-flag page: +0 boot flag word, +4 update flag word
//   0x08004800  the flags' second copy (magic, boot, update, CRC-32)
//   0x08005000  BOOT_VERSION, 32 bytes of NUL-padded text
//   0x08006000  application area, 0x31000 bytes, up to 0x08037000
//   0x08037000+ the application's own storage, never touched here
// (the addresses come from the product table, qiv_products.h).
#pragma once

#include <stdint.h>

#include "qiv_products.h"
#include "stm32wl_hal.h"

// ------------------------------------------------------------ flash map ---
#define BOOT_FLASH_BASE QIV_STM32WLE5_FLASH_BASE
#define BOOT_FLAG_ADDR QIV_STM32WLE5_BOOT_FLAGS_ADDR
#define UPDATE_FLAG_ADDR (QIV_STM32WLE5_BOOT_FLAGS_ADDR + 4U)
#define BOOT_FLAGS_COPY_ADDR (QIV_STM32WLE5_BOOT_FLAGS_ADDR + QIV_STM32WLE5_FLASH_PAGE_SIZE)
#define BOOT_FLAGS_COPY_MAGIC 0x47464251U
#define BOOT_VERSION_ADDR QIV_STM32WLE5_BOOT_VERSION_ADDR
#define APP_IMAGE_ADDR QIV_STM32WLE5_APPLICATION_ADDR
#define APP_IMAGE_END (QIV_STM32WLE5_APPLICATION_ADDR + QIV_STM32WLE5_APPLICATION_SIZE)
#define APP_IMAGE_SIZE (APP_IMAGE_END - APP_IMAGE_ADDR)
#define BOOT_PAGE_SIZE QIV_STM32WLE5_FLASH_PAGE_SIZE
#define BOOT_STACK_TOP 0x20008000U

// The application image's own record, after its two vector words: a magic
// word, the image length in bytes and the CRC-32 (IEEE 802.3) of the whole
// image with the CRC word counted as zero. An image whose record does not
// hold (cut short, damaged, or not an image at all) is never started.
#define APP_RECORD_MAGIC_ADDR (APP_IMAGE_ADDR + 8U)
#define APP_RECORD_LENGTH_ADDR (APP_IMAGE_ADDR + 12U)
#define APP_RECORD_CRC_ADDR (APP_IMAGE_ADDR + 16U)
#define APP_RECORD_MAGIC 0x41564951U
#define APP_IMAGE_MIN_LENGTH 52U  // vector words, record and the image's name

#define BOOT_FLAG_RUN_APP 0x5A5A5A5AU
#define UPDATE_FLAG_REQUESTED 0x01010101U
#define UPDATE_FLAG_DONE 0x02020202U

#define BOOT_VERSION_SIZE 32U
extern const char BOOT_VERSION[BOOT_VERSION_SIZE];

// ------------------------------------------------------------ run state ---
#define RUNNING_STATE_COMMAND 0U
#define RUNNING_STATE_DOWNLOAD 1U
extern volatile uint8_t running_state;

typedef void (*pFunction)(void);
extern uint32_t JumpAddress;
extern pFunction JumpToApplication;

extern UART_HandleTypeDef huart2;

// ---------------------------------------------------------- main.cpp -------
void IAP_Task(void);
void app_jump(void);
void PreJump(void);
void JumpApp(void);
uint32_t app_is_valid(void);
uint32_t app_image_intact(void);
void SystemClock_Config(void);
void MX_USART2_UART_Init(void);
void Error_Handler(void);

// --------------------------------------------------- stm32wlxx_it.cpp ------
void SysTick_Handler(void);
void NMI_Handler(void);
void HardFault_Handler(void);
void MemManage_Handler(void);
void BusFault_Handler(void);
void UsageFault_Handler(void);

// --------------------------------------------------------- common.cpp ------
#define TX_TIMEOUT 100U
void Serial_PutString(const char *p_string);
HAL_StatusTypeDef Serial_PutByte(uint8_t param);
uint32_t Str2Int(const uint8_t *p_inputstr, uint32_t *p_intnum);

// ------------------------------------------------------- flash_if.cpp ------
enum {
  FLASHIF_OK = 0,
  FLASHIF_ERASEKO = 1,
  FLASHIF_WRITING_ERROR = 2,      // programming failed, or outside the area
  FLASHIF_WRITINGCTRL_ERROR = 3,  // read-back differs from the data
};
uint32_t GetPage(uint32_t address);
uint32_t FLASH_If_Erase(uint32_t start);
uint32_t FLASH_If_Write(uint32_t destination, const uint32_t *p_source, uint32_t length);
void HAL_FLASH_Program_Flag(uint32_t address, uint32_t value);
uint32_t boot_flash_word(uint32_t address);

// The flags in force: the two words of the flag page, unless a cut left that
// page behind the second copy (see flash_if.cpp).
typedef struct {
  uint32_t boot;
  uint32_t update;
} boot_flags_t;
boot_flags_t boot_flags_read(void);
// Writes both flags, power-safe: the copy first, then the flag page. A
// write whose flags are already in force on the flag page writes nothing.
void boot_flags_write(uint32_t boot, uint32_t update);

// ----------------------------------------------------------- menu.cpp ------
#define AT_LINE_SIZE 64U
#define AT_RX_TIMEOUT 4095U
void at_process(void);

// --------------------------------------------------------- ymodem.cpp ------
#define PACKET_HEADER_SIZE 3U
#define PACKET_DATA_INDEX 4U
#define PACKET_START_INDEX 0U
#define PACKET_NUMBER_INDEX 2U
#define PACKET_CNUMBER_INDEX 3U
#define PACKET_TRAILER_SIZE 2U
#define PACKET_OVERHEAD_SIZE (PACKET_HEADER_SIZE + PACKET_TRAILER_SIZE - 1U)
#define PACKET_SIZE 128U
#define PACKET_1K_SIZE 1024U

#define FILE_NAME_LENGTH 64U
#define FILE_SIZE_LENGTH 16U

#define SOH 0x01U  // 128-byte data block
#define STX 0x02U  // 1024-byte data block
#define EOT 0x04U  // end of a file
#define ACK 0x06U
#define NAK 0x15U
#define CA 0x18U      // cancel (sent twice)
#define CRC16 0x43U   // 'C': send with CRC-16
#define ABORT1 0x41U  // 'A' typed at the terminal
#define ABORT2 0x61U  // 'a'

#define DOWNLOAD_TIMEOUT 500U
#define MAX_ERRORS 5U
// A damaged packet's rest is dropped until the line is quiet this long (ms),
// reading at most this many bytes (a few blocks' worth).
#define PURGE_QUIET_MS 200U
#define PURGE_MAX_BYTES 8192U
#define MAX_CRC_REQUESTS 60U
#define STALL_CHECK_PERIOD_MS 15000U

typedef enum {
  COM_OK = 0,
  COM_ERROR = 1,  // the session delivered no complete image
  COM_ABORT = 2,  // cancelled by the sender, the user or too many errors
  COM_TIMEOUT = 3,
  COM_DATA = 4,   // flash write error, or data beyond the area
  COM_LIMIT = 5,  // file too large, or no usable size in the header
} COM_StatusTypeDef;

extern uint8_t aPacketData[PACKET_1K_SIZE + PACKET_DATA_INDEX + PACKET_TRAILER_SIZE];
extern uint8_t aFileName[FILE_NAME_LENGTH + 1];
extern volatile uint8_t packets_received;
extern volatile uint32_t packets_counted;
extern volatile uint32_t packets_received_bak;
extern volatile uint8_t ymodem_file_active;

uint16_t UpdateCRC16(uint16_t crc_in, uint8_t byte);
uint16_t Cal_CRC16(const uint8_t *p_data, uint32_t size);
HAL_StatusTypeDef ReceivePacket(uint8_t *p_data, uint32_t *p_length, uint32_t timeout);
COM_StatusTypeDef Ymodem_Receive(uint32_t *p_size);
void SerialDownload(void);
void upgrade_process_callback(uint32_t tick);

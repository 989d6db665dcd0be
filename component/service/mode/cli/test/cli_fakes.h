// Stand-ins for the driver layer and the configuration store the AT
// interpreter calls, with a record of what reached each serial port.
#pragma once

#include <setjmp.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "service_mode_cli.h"
#include "service_nvm.h"
#include "udrv_adc.h"
#include "udrv_serial.h"

namespace clifake {

struct SerialInit {
  SERIAL_PORT port;
  uint32_t baud;
  SERIAL_WORD_LEN_E datalen;
  SERIAL_STOP_BIT_E stop;
  SERIAL_PARITY_E parity;
  SERIAL_WIRE_MODE_E wire;
  size_t output_before;  // bytes the port had received when it was reopened
};

// What the configuration store holds.
struct Store {
  uint8_t echo = 0;
  uint32_t baudrate = 115200;
  char sn[18] = {};
  char alias[16] = {};
  char passwd[9] = "58203761";
  char firmware_ver[32] = {};
  char hwmodel[32] = {};
  char cli_ver[32] = {};
  uint32_t auto_sleep_time = 0;
  uint8_t auto_sleep_level = 1;
  uint8_t debug_level = 0;
  SERVICE_MODE_TYPE mode[SERIAL_MAX] = {};
  bool operator==(const Store &) const = default;
};

struct World {
  std::string out[SERIAL_MAX];
  // Ports that receive printed lines (in AT mode, opened); a lock stops
  // them all.
  bool log_port[SERIAL_MAX] = {};
  bool locked = false;
  int lock_calls = 0;

  Store store;
  int32_t setter_result = 0;  // result of every store setter
  // Rates the serial layer says the ports can be opened at.
  uint32_t min_baudrate = 300;
  uint32_t max_baudrate = 115200;
  int32_t getter_result = 0;  // result of every buffer getter
  int defaults_calls = 0;
  int32_t defaults_result = 0;
  int cfg_writes = 0;
  int32_t cfg_write_result = 0;
  int factory_copies = 0;
  int32_t factory_copy_result = 0;

  std::map<uint32_t, uint8_t> flash;  // bytes not present read as 0xFF
  int32_t flash_read_result = 0;
  int32_t flash_erase_result = 0;
  int32_t flash_write_result = 0;
  std::vector<std::pair<uint32_t, uint32_t>> erases;

  std::vector<uint32_t> sleeps;
  int32_t sleep_result = 0;
  std::vector<SerialInit> inits;
  uint32_t uid[3] = {};

  // The converter the battery service reads.
  std::map<uint32_t, int16_t> adc_raw;  // by channel
  int32_t adc_result = 0;
  UDRV_ADC_RESOLUTION adc_resolution = UDRV_ADC_RESOLUTION_10BIT;
  UDRV_ADC_MODE adc_mode = UDRV_ADC_MODE_3_3;

  int reboots = 0;
  int dfu_entries = 0;
  jmp_buf *restart = nullptr;  // where a reset or bootloader entry lands
};

extern World world;

// Fresh world: ports UART1 and UART2 print, store defaults, empty user table,
// cleared line editor, pristine command table.
void reset();
void type(SERIAL_PORT port, const std::string &bytes);
std::string take(SERIAL_PORT port);
// Types a line that is expected to restart the MCU; true when it did.
bool type_expecting_restart(SERIAL_PORT port, const std::string &bytes);

uint8_t flash_byte(uint32_t addr);
void flash_fill(uint32_t addr, const std::string &bytes);

}  // namespace clifake

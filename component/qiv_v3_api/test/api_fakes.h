// Stand-ins for the serial layer, the configuration store, the line editor,
// the power save, the system and the converter that the user API calls, with
// a log of the calls.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "service_nvm.h"
#include "udrv_serial.h"

namespace apifake {

struct SerialInit {
  SERIAL_PORT port;
  uint32_t baud;
  SERIAL_WORD_LEN_E word_length;
  SERIAL_STOP_BIT_E stop_bits;
  SERIAL_PARITY_E parity;
  SERIAL_WIRE_MODE_E wire;
};

struct Port {
  std::string tx;
  std::string rx;
  bool locked = false;       // writes answer -8
  int32_t peek_result = -1;  // when nothing waits
  int flushes = 0;
};

struct World {
  std::vector<std::string> log;  // "baud 9600", "enable 1", "init 1", "mode 1 0", "cli 1"
  Port port[SERIAL_MAX];
  std::vector<SerialInit> inits;

  uint32_t baudrate = 115200;
  SERVICE_MODE_TYPE mode[SERIAL_MAX] = {};
  int32_t mode_set_result = 0;
  int32_t setter_result = 0;
  int32_t getter_result = 0;
  char firmware_ver[32] = {};
  char cli_ver[32] = {};
  char hwmodel[32] = {};
  char alias[16] = {};
  uint32_t auto_sleep_time = 0;
  uint8_t auto_sleep_level = 1;
  std::string passwd = "58203761";
  int locks = 0;
  int unlocks = 0;

  std::vector<uint32_t> sleeps;
  int32_t sleep_result = 0;
  int reboots = 0;

  std::map<uint32_t, int16_t> adc_raw;
  int32_t adc_result = 0;
};

extern World world;
void reset();

}  // namespace apifake

// The tracker board's four I2C sensors on `Wire`: temperature and humidity
// (wendrel), pressure (pakorin), ambient light (lissoma) and acceleration
// (fentaro), held by the board's aggregate `sensor`, started once at
// bring-up; and the SENSOR user command that reads all four.
#pragma once

#include <stdint.h>

#include "service_mode_cli.h"

class wendrel {
 public:
  static constexpr uint8_t kAddress = 0x70;
  bool init();
  bool sendCommand(uint16_t cmd);
  bool wakeup() { return sendCommand(0x3517); }
  bool sleep() { return sendCommand(0xB098); }
  bool update();
  float temperature() const;
  float humidity() const;

  bool isInit = false;
  uint16_t RH = 0;
  uint16_t T = 0;
  uint16_t ID = 0;
};

class pakorin {
 public:
  static constexpr uint8_t kAddress = 0x5C;
  uint8_t writeReg(uint8_t reg, uint8_t value);
  uint8_t readReg(uint8_t reg);
  bool init();
  float pressure();

  float reading = 0;

 private:
  float read_pressure();
};

union Lissoma_Config {
  struct {
    uint16_t FaultCount : 2;
    uint16_t MaskExponent : 1;
    uint16_t Polarity : 1;
    uint16_t Latch : 1;
    uint16_t FlagLow : 1;
    uint16_t FlagHigh : 1;
    uint16_t ConversionReady : 1;
    uint16_t OverflowFlag : 1;
    uint16_t ModeOfConversionOperation : 2;
    uint16_t ConvertionTime : 1;
    uint16_t RangeNumber : 4;
  };
  uint16_t rawData;
};
static_assert(sizeof(Lissoma_Config) == 2);

class lissoma {
 public:
  static constexpr uint8_t kAddress = 0x44;
  int sendCommand(uint8_t reg);
  int writeConfig(Lissoma_Config config);
  int setConfig();
  int readData(uint16_t *value);
  bool init();
  bool update();
  float lux() const { return LUX; }

  float LUX = 0;
  uint16_t ID = 0;
};

struct fentaroSetting {
  uint8_t adcEnabled;
  uint8_t tempEnabled;
  uint16_t accelSampleRate;
  uint8_t accelRange;
  uint8_t xAccelEnabled;
  uint8_t yAccelEnabled;
  uint8_t zAccelEnabled;
  uint8_t fifoEnabled;
  uint8_t fifoMode;
  uint8_t fifoThreshold;
};

// Results of the register access: 0 success, 2 the device did not answer,
// 5 (counted apart) the bus returned no data.
class fentaroCore {
 public:
  fentaroCore(uint8_t bus, uint8_t address) : commInterface(bus), I2CAddress(address) {}
  uint8_t beginCore();
  uint8_t writeRegister(uint8_t reg, uint8_t value);
  uint8_t readRegister(uint8_t *out, uint8_t reg);
  uint8_t readRegisterRegion(uint8_t *out, uint8_t reg, uint8_t length);
  uint8_t readRegisterInt16(int16_t *out, uint8_t reg);

  uint8_t commInterface;
  uint8_t I2CAddress;
};

class fentaro : public fentaroCore {
 public:
  fentaro(uint8_t bus, uint8_t address) : fentaroCore(bus, address) {}
  uint8_t begin();
  bool init();
  void applySettings();
  int16_t readRawAccelX() { return readRaw(0x28); }
  int16_t readRawAccelY() { return readRaw(0x2A); }
  int16_t readRawAccelZ() { return readRaw(0x2C); }
  float readFloatAccelX() { return bufX = calcAccel(readRawAccelX()); }
  float readFloatAccelY() { return bufY = calcAccel(readRawAccelY()); }
  float readFloatAccelZ() { return bufZ = calcAccel(readRawAccelZ()); }
  float calcAccel(int16_t raw) const;
  bool update();
  float x() const { return bufX; }
  float y() const { return bufY; }
  float z() const { return bufZ; }

  float bufX = 0, bufY = 0, bufZ = 0;
  fentaroSetting settings = {1, 1, 50, 2, 1, 1, 1, 0, 0, 20};
  uint16_t allOnesCounter = 0;
  uint16_t nonSuccessCounter = 0;

 private:
  int16_t readRaw(uint8_t reg);
};

class VostrelSensor {
 public:
  wendrel shtc3;
  pakorin lps22hb;
  lissoma opt3001;
  fentaro lis3dh{0, 0x19};
};
extern VostrelSensor sensor;

// Starts the bus and the four sensors (stopping at the first that does not
// answer), then takes one reading of each; true when all four answered.
bool vostrel_sensor_init(void);
bool qiv_vostrel_sensor_init(void);

// The SENSOR user command: the four readings on `Serial`.
int get_sensor(SERIAL_PORT port, char *cmd, stParam *param);

// The tracker board's sensor drivers over `Wire`, their aggregate and the
// SENSOR report.
#include "vostrel_sensor.h"

#include "api_hardware_serial.h"
#include "api_wire.h"
#include "udrv_delay.h"

VostrelSensor sensor;

// ------------------------------------------------ temperature, humidity --

bool wendrel::init() {
  Wire.beginTransmission(kAddress);
  isInit = Wire.endTransmission() == 0;
  return isInit;
}

bool wendrel::sendCommand(uint16_t cmd) {
  Wire.beginTransmission(kAddress);
  Wire.write(static_cast<uint8_t>(cmd >> 8));
  Wire.write(static_cast<uint8_t>(cmd & 0xFF));
  return Wire.endTransmission() == 0;
}

bool wendrel::update() {
  if (!wakeup()) {
    RH = 0;
    T = 0;
    return false;
  }
  udrv_app_delay_ms(3);
  // Normal mode, temperature first.
  if (!sendCommand(0x7CA2)) {
    RH = 0;
    T = 0;
    return false;
  }
  uint8_t b[6] = {};
  if (Wire.requestFrom(kAddress, 6) == 6) {
    for (uint8_t &x : b) {
      x = static_cast<uint8_t>(Wire.read());
    }
  }
  T = static_cast<uint16_t>(b[0] << 8 | b[1]);
  RH = static_cast<uint16_t>(b[3] << 8 | b[4]);
  (void)sleep();
  return true;
}

float wendrel::temperature() const { return static_cast<float>(T) / 65535.0f * 175.0f - 45.0f; }

float wendrel::humidity() const { return static_cast<float>(RH) / 65535.0f * 100.0f; }

// ---------------------------------------------------------------- pressure --

uint8_t pakorin::writeReg(uint8_t reg, uint8_t value) {
  Wire.beginTransmission(kAddress);
  Wire.write(reg);
  Wire.write(value);
  return Wire.endTransmission();
}

uint8_t pakorin::readReg(uint8_t reg) {
  Wire.beginTransmission(kAddress);
  Wire.write(reg);
  Wire.endTransmission();
  if (Wire.requestFrom(kAddress, 1) != 1) {
    return 0;
  }
  int v = Wire.read();
  return v < 0 ? 0 : static_cast<uint8_t>(v);
}

bool pakorin::init() {
  if (readReg(0x0F) != 0xB1) {
    return false;
  }
  (void)pressure();
  udrv_app_delay_ms(100);
  return true;
}

float pakorin::read_pressure() {
  uint32_t xl = readReg(0x28);
  uint32_t l = readReg(0x29);
  uint32_t h = readReg(0x2A);
  return static_cast<float>(h << 16 | l << 8 | xl) / 4096.0f;
}

float pakorin::pressure() {
  reading = read_pressure();
  udrv_app_delay_ms(100);
  (void)writeReg(0x11, 0x01);  // one-shot conversion
  reading = read_pressure();
  return reading;
}

// ------------------------------------------------------------------- light --

int lissoma::sendCommand(uint8_t reg) {
  Wire.beginTransmission(kAddress);
  Wire.write(reg);
  return Wire.endTransmission() == 0 ? 0 : -2;
}

int lissoma::writeConfig(Lissoma_Config config) {
  Wire.beginTransmission(kAddress);
  Wire.write(static_cast<uint8_t>(0x01));
  Wire.write(static_cast<uint8_t>(config.rawData >> 8));
  Wire.write(static_cast<uint8_t>(config.rawData & 0xFF));
  return Wire.endTransmission() == 0 ? 0 : -2;
}

int lissoma::setConfig() {
  Lissoma_Config c;
  c.rawData = 0;
  c.RangeNumber = 15;
  c.ConvertionTime = 0;
  c.ModeOfConversionOperation = 1;
  c.Latch = 1;
  return writeConfig(c);
}

int lissoma::readData(uint16_t *value) {
  if (Wire.requestFrom(kAddress, 2) != 2) {
    return -2;
  }
  uint16_t hi = static_cast<uint16_t>(Wire.read());
  uint16_t lo = static_cast<uint16_t>(Wire.read());
  *value = static_cast<uint16_t>(hi << 8 | lo);
  return 0;
}

bool lissoma::init() {
  if (sendCommand(0x7F) != 0 || readData(&ID) != 0) {
    return false;
  }
  return setConfig() == 0;
}

bool lissoma::update() {
  if (!init() || sendCommand(0x00) != 0) {
    return false;
  }
  LUX = 0;
  uint16_t result = 0;
  if (readData(&result) != 0) {
    return false;
  }
  LUX = static_cast<float>((result & 0x0FFF) * (0.01 * static_cast<double>(1u << (result >> 12))));
  return true;
}

// ------------------------------------------------------------ acceleration --

uint8_t fentaroCore::beginCore() {
  Wire.begin();
  // A short pause before the first register access.
  volatile uint32_t steps = 0;
  while (steps < 10000) {
    steps = steps + 1;
  }
  uint8_t id = 0;
  uint8_t ret = readRegister(&id, 0x0F);
  if (ret == 0 && id != 0x33) {
    ret = 2;
  }
  return ret;
}

uint8_t fentaroCore::writeRegister(uint8_t reg, uint8_t value) {
  Wire.beginTransmission(I2CAddress);
  Wire.write(reg);
  Wire.write(value);
  return Wire.endTransmission() == 0 ? 0 : 2;
}

uint8_t fentaroCore::readRegister(uint8_t *out, uint8_t reg) {
  Wire.beginTransmission(I2CAddress);
  Wire.write(reg);
  if (Wire.endTransmission() != 0 || Wire.requestFrom(I2CAddress, 1) != 1) {
    *out = 0;
    return 2;
  }
  *out = static_cast<uint8_t>(Wire.read());
  return 0;
}

uint8_t fentaroCore::readRegisterRegion(uint8_t *out, uint8_t reg, uint8_t length) {
  Wire.beginTransmission(I2CAddress);
  Wire.write(static_cast<uint8_t>(reg | 0x80));  // auto-increment
  if (Wire.endTransmission() != 0) {
    return 2;
  }
  if (Wire.requestFrom(I2CAddress, length) != length) {
    return 5;
  }
  for (uint8_t i = 0; i < length; i++) {
    out[i] = static_cast<uint8_t>(Wire.read());
  }
  return 0;
}

uint8_t fentaroCore::readRegisterInt16(int16_t *out, uint8_t reg) {
  uint8_t b[2] = {};
  uint8_t ret = readRegisterRegion(b, reg, 2);
  *out = static_cast<int16_t>(static_cast<uint16_t>(b[1] << 8 | b[0]));
  return ret;
}

int16_t fentaro::readRaw(uint8_t reg) {
  int16_t v = 0;
  uint8_t ret = readRegisterInt16(&v, reg);
  if (ret == 5) {
    allOnesCounter++;
  } else if (ret != 0) {
    nonSuccessCounter++;
  }
  return v;
}

uint8_t fentaro::begin() {
  uint8_t ret = beginCore();
  applySettings();
  return ret;
}

bool fentaro::init() {
  Wire.beginTransmission(I2CAddress);
  if (Wire.endTransmission() != 0) {
    return false;
  }
  return begin() == 0;
}

void fentaro::applySettings() {
  (void)writeRegister(0x1F,
                      static_cast<uint8_t>(settings.adcEnabled << 7 | settings.tempEnabled << 6));
  uint8_t rate;
  switch (settings.accelSampleRate) {
    case 0:
      rate = 0x00;
      break;
    case 1:
      rate = 0x10;
      break;
    case 10:
      rate = 0x20;
      break;
    case 25:
      rate = 0x30;
      break;
    case 50:
      rate = 0x40;
      break;
    case 100:
      rate = 0x50;
      break;
    case 200:
      rate = 0x60;
      break;
    case 400:
      rate = 0x70;
      break;
    case 1600:
      rate = 0x80;
      break;
    case 5000:
      rate = 0x90;
      break;
    default:
      rate = 0x70;
      break;
  }
  if (settings.zAccelEnabled) rate |= 0x0C;
  if (settings.yAccelEnabled) rate |= 0x02;
  if (settings.xAccelEnabled) rate |= 0x01;
  (void)writeRegister(0x20, rate);
  uint8_t range;
  switch (settings.accelRange) {
    case 2:
      range = 0x00;
      break;
    case 4:
      range = 0x10;
      break;
    case 8:
      range = 0x20;
      break;
    default:
      range = 0x30;
      break;
  }
  (void)writeRegister(0x23, static_cast<uint8_t>(0x88 | range));
}

float fentaro::calcAccel(int16_t raw) const {
  switch (settings.accelRange) {
    case 2:
      return static_cast<float>(raw) / 15987.0f;
    case 4:
      return static_cast<float>(raw) / 7840.0f;
    case 8:
      return static_cast<float>(raw) / 3883.0f;
    case 16:
      return static_cast<float>(raw) / 1280.0f;
    default:
      return 0.0f;
  }
}

bool fentaro::update() {
  Wire.beginTransmission(I2CAddress);
  if (Wire.endTransmission() != 0) {
    return false;
  }
  settings.accelSampleRate = 400;
  applySettings();
  udrv_app_delay_ms(20);
  (void)readFloatAccelX();
  (void)readFloatAccelY();
  (void)readFloatAccelZ();
  settings.accelSampleRate = 0;
  applySettings();
  return true;
}

// --------------------------------------------------------------- aggregate --

bool vostrel_sensor_init(void) {
  Wire.begin();
  bool all =
      sensor.shtc3.init() && sensor.lps22hb.init() && sensor.opt3001.init() && sensor.lis3dh.init();
  (void)sensor.shtc3.update();
  (void)sensor.lps22hb.pressure();
  (void)sensor.opt3001.update();
  (void)sensor.lis3dh.update();
  return all;
}

bool qiv_vostrel_sensor_init(void) { return vostrel_sensor_init(); }

// ------------------------------------------------------------------ report --

namespace {
const char kDashes[] = "---------------------------------------------------";
const char kEquals[] = "===================================================";
}  // namespace

int get_sensor(SERIAL_PORT, char *, stParam *) {
  if (sensor.shtc3.update()) {
    Serial.println("SHTC3:");
    Serial.printf(
        "Temperature = %.2f\xe3\x80\x82"
        "C\r\n",
        static_cast<double>(sensor.shtc3.temperature()));
    Serial.printf("Humidity = %.2f%%\r\n", static_cast<double>(sensor.shtc3.humidity()));
    Serial.println(kDashes);
  } else {
    Serial.println("SHTC3 update fail!");
  }
  Serial.println("LPS2X:");
  Serial.printf("Pressure = %.2f hPa\r\n", static_cast<double>(sensor.lps22hb.pressure()));
  Serial.println(kDashes);
  if (sensor.opt3001.update()) {
    Serial.println("OPT3001:");
    Serial.printf("Light = %.2f lux\r\n", static_cast<double>(sensor.opt3001.lux()));
    Serial.println(kDashes);
  } else {
    Serial.println("OPT3001 update fail!");
  }
  if (sensor.lis3dh.update()) {
    Serial.println("LIS3DH:");
    Serial.printf("The X  acceleration = %.2f\r\n", static_cast<double>(sensor.lis3dh.x()));
    Serial.printf("The Y  acceleration = %.2f\r\n", static_cast<double>(sensor.lis3dh.y()));
    Serial.printf("The Z  acceleration = %.2f\r\n", static_cast<double>(sensor.lis3dh.z()));
    Serial.println(kEquals);
  } else {
    Serial.println("LIS3DH update fail!");
  }
  return AT_OK;
}

// HardwareSerial: one serial port of the module for the user program, with
// the printing of Print and the byte reading of Stream. begin() opens the
// port and chooses between AT mode (the AT interpreter reads the port) and
// custom mode (the user program reads it).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "api_print.h"
#include "udrv_serial.h"

// Line configuration byte of begin(): data bits, parity, stop bits. Any
// other byte means 8N1.
#define SERIAL_5N1 0x00
#define SERIAL_6N1 0x02
#define SERIAL_7N1 0x04
#define SERIAL_8N1 0x06
#define SERIAL_5N2 0x08
#define SERIAL_6N2 0x0A
#define SERIAL_7N2 0x0C
#define SERIAL_8N2 0x0E
#define SERIAL_5E1 0x20
#define SERIAL_6E1 0x22
#define SERIAL_7E1 0x24
#define SERIAL_8E1 0x26
#define SERIAL_5E2 0x28
#define SERIAL_6E2 0x2C
#define SERIAL_7E2 0x2D
#define SERIAL_8E2 0x2E
#define SERIAL_5O1 0x30
#define SERIAL_6O1 0x32
#define SERIAL_7O1 0x34
#define SERIAL_8O1 0x36
#define SERIAL_5O2 0x38
#define SERIAL_6O2 0x3A
#define SERIAL_7O2 0x3C
#define SERIAL_8O2 0x3E

// The mode argument of begin().
typedef enum : uint8_t {
  ZEM_AT_MODE = 0,
  ZEM_CUSTOM_MODE = 1,
  ZEM_DEFAULT_MODE = 2,  // the port's factory-default mode
} ZEM_SERIAL_MODE;

// The serial-layer line parameters of a configuration byte.
typedef struct {
  SERIAL_WORD_LEN_E word_length;
  SERIAL_STOP_BIT_E stop_bits;
  SERIAL_PARITY_E parity;
} serial_line_config_t;
serial_line_config_t serial_line_config(uint8_t config);

class HardwareSerial : public Stream {
 public:
  explicit HardwareSerial(SERIAL_PORT port) : serialPort(port) {}

  // Stores `baud` as the baud rate of every port for the next start,
  // opens the port with the line configuration `config`, and stores the
  // mode (ZEM_SERIAL_MODE) when it changes; a port put into AT mode gets
  // its line editor started. A mode value outside ZEM_SERIAL_MODE changes
  // no mode.
  void begin(uint32_t baud, uint8_t config = SERIAL_8N1, uint8_t mode = ZEM_DEFAULT_MODE);

  int write(uint8_t c) override;
  int write(const uint8_t *buffer, size_t size) override;
  using Print::write;
  void flush() override;
  int peek() override;
  int available() override;
  // The next byte, or -1 when none was read.
  int read() override;
  // The stored baud rate (one for every port).
  virtual uint32_t getBaudrate();

 protected:
  SERIAL_PORT serialPort;
};

// The ports of the image as user objects.
extern HardwareSerial Serial;
extern HardwareSerial Serial0;
extern HardwareSerial Serial1;
extern HardwareSerial Serial2;
#if QIV_CHIP_USB_SERIAL
extern HardwareSerial Serial3;
#endif
#if defined(SUPPORT_BLE)
extern HardwareSerial Serial6;
#endif

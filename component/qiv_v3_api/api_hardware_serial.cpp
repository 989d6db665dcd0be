#include "api_hardware_serial.h"

#include "service_mode_cli.h"
#include "service_nvm.h"

namespace {

struct line_config_row {
  uint8_t config;
  serial_line_config_t line;
};

constexpr line_config_row line_configs[] = {
    {SERIAL_5N1, {SERIAL_WORD_LEN_5, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE}},
    {SERIAL_6N1, {SERIAL_WORD_LEN_6, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE}},
    {SERIAL_7N1, {SERIAL_WORD_LEN_7, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE}},
    {SERIAL_8N1, {SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE}},
    {SERIAL_5N2, {SERIAL_WORD_LEN_5, SERIAL_STOP_BIT_2, SERIAL_PARITY_DISABLE}},
    {SERIAL_6N2, {SERIAL_WORD_LEN_6, SERIAL_STOP_BIT_2, SERIAL_PARITY_DISABLE}},
    {SERIAL_7N2, {SERIAL_WORD_LEN_7, SERIAL_STOP_BIT_2, SERIAL_PARITY_DISABLE}},
    {SERIAL_8N2, {SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_2, SERIAL_PARITY_DISABLE}},
    {SERIAL_5E1, {SERIAL_WORD_LEN_5, SERIAL_STOP_BIT_1, SERIAL_PARITY_EVEN}},
    {SERIAL_6E1, {SERIAL_WORD_LEN_6, SERIAL_STOP_BIT_1, SERIAL_PARITY_EVEN}},
    {SERIAL_7E1, {SERIAL_WORD_LEN_7, SERIAL_STOP_BIT_1, SERIAL_PARITY_EVEN}},
    {SERIAL_8E1, {SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_EVEN}},
    {SERIAL_5E2, {SERIAL_WORD_LEN_5, SERIAL_STOP_BIT_2, SERIAL_PARITY_EVEN}},
    {SERIAL_6E2, {SERIAL_WORD_LEN_6, SERIAL_STOP_BIT_2, SERIAL_PARITY_EVEN}},
    {SERIAL_7E2, {SERIAL_WORD_LEN_7, SERIAL_STOP_BIT_2, SERIAL_PARITY_EVEN}},
    {SERIAL_8E2, {SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_2, SERIAL_PARITY_EVEN}},
    {SERIAL_5O1, {SERIAL_WORD_LEN_5, SERIAL_STOP_BIT_1, SERIAL_PARITY_ODD}},
    {SERIAL_6O1, {SERIAL_WORD_LEN_6, SERIAL_STOP_BIT_1, SERIAL_PARITY_ODD}},
    {SERIAL_7O1, {SERIAL_WORD_LEN_7, SERIAL_STOP_BIT_1, SERIAL_PARITY_ODD}},
    {SERIAL_8O1, {SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_ODD}},
    {SERIAL_5O2, {SERIAL_WORD_LEN_5, SERIAL_STOP_BIT_2, SERIAL_PARITY_ODD}},
    {SERIAL_6O2, {SERIAL_WORD_LEN_6, SERIAL_STOP_BIT_2, SERIAL_PARITY_ODD}},
    {SERIAL_7O2, {SERIAL_WORD_LEN_7, SERIAL_STOP_BIT_2, SERIAL_PARITY_ODD}},
    {SERIAL_8O2, {SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_2, SERIAL_PARITY_ODD}},
};

// The mode each port takes for ZEM_DEFAULT_MODE: the record's factory
// default: the chip's AT UART and the ports other than UARTs take AT
// commands, the other UARTs start in custom mode.
constexpr SERVICE_MODE_TYPE uart_default_mode(SERIAL_PORT port) {
  return port == QIV_CHIP_AT_UART ? SERVICE_MODE_TYPE_CLI : SERVICE_MODE_TYPE_CUSTOM;
}
constexpr SERVICE_MODE_TYPE default_mode[SERIAL_MAX] = {
    uart_default_mode(SERIAL_UART0),
#ifdef QIV_BOARD_ESP32C2
    SERVICE_MODE_TYPE_ESP32,  // UART1, the Wi-Fi co-processor link
#else
    uart_default_mode(SERIAL_UART1),
#endif
    uart_default_mode(SERIAL_UART2),
#ifdef SUPPORT_USB
    SERVICE_MODE_TYPE_CLI,  // USB0
#endif
#ifdef SUPPORT_BLE
    SERVICE_MODE_TYPE_CLI,  // BLE0
#endif
#ifdef SUPPORT_NFC
    SERVICE_MODE_TYPE_CLI,  // NFC
#endif
};

}  // namespace

serial_line_config_t serial_line_config(uint8_t config) {
  for (const line_config_row &row : line_configs) {
    if (row.config == config) {
      return row.line;
    }
  }
  return {SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1, SERIAL_PARITY_DISABLE};
}

void HardwareSerial::begin(uint32_t baud, uint8_t config, uint8_t mode) {
  // The record is rewritten only when the rate changes: the default
  // program opens its port with the stored rate at every start, and a
  // blank module must not write its flash for that.
  if (service_nvm_get_baudrate_from_nvm() != baud) {
    service_nvm_set_baudrate_to_nvm(baud);
  }
  udrv_serial_enable(serialPort);
  const serial_line_config_t line = serial_line_config(config);
  udrv_serial_init(serialPort, baud, line.word_length, line.stop_bits, line.parity,
                   SERIAL_TWO_WIRE_NORMAL_MODE);

  if (serialPort >= SERIAL_MAX) {
    return;
  }
  SERVICE_MODE_TYPE wanted;
  switch (mode) {
    case ZEM_AT_MODE:
      wanted = SERVICE_MODE_TYPE_CLI;
      break;
    case ZEM_CUSTOM_MODE:
      wanted = SERVICE_MODE_TYPE_CUSTOM;
      break;
    case ZEM_DEFAULT_MODE:
      wanted = default_mode[serialPort];
      break;
    default:
      return;
  }
  if (wanted == service_nvm_get_mode_type_from_nvm(serialPort)) {
    return;
  }
  if (service_nvm_set_mode_type_to_nvm(serialPort, wanted) == 0 &&
      wanted == SERVICE_MODE_TYPE_CLI) {
    service_mode_cli_init(serialPort);
  }
}

int HardwareSerial::write(uint8_t c) { return write(&c, 1); }

int HardwareSerial::write(const uint8_t *buffer, size_t size) {
  return udrv_serial_write(serialPort, buffer, static_cast<uint32_t>(size));
}

void HardwareSerial::flush() { udrv_serial_flush(serialPort); }

int HardwareSerial::peek() { return udrv_serial_peek(serialPort); }

int HardwareSerial::available() { return udrv_serial_read_available(serialPort); }

int HardwareSerial::read() {
  uint8_t byte = 0;
  if (udrv_serial_read(serialPort, &byte, 1) == 1) {
    return byte;
  }
  return -1;
}

uint32_t HardwareSerial::getBaudrate() { return service_nvm_get_baudrate_from_nvm(); }

HardwareSerial Serial(QIV_CHIP_CONSOLE_PORT);
HardwareSerial Serial0(SERIAL_UART0);
HardwareSerial Serial1(SERIAL_UART1);
HardwareSerial Serial2(SERIAL_UART2);
#if QIV_CHIP_USB_SERIAL
HardwareSerial Serial3(SERIAL_USB0);
#endif
#if defined(SUPPORT_BLE)
HardwareSerial Serial6(SERIAL_BLE0);
#endif

// The default user program of the image: opens the console (`Serial`) at the
// stored rate in its default mode, prints the module's name and firmware
// version, then ends its own loop task so that the main loop sleeps whenever
// an auto-sleep time is stored. An image with BLE also opens the BLE serial
// port in AT mode and advertises the serial service for 30 s.
#include "qiv_app.h"
#include "qiv_v3_api.h"
#include "service_nvm.h"
#ifdef QIV_WIFI_COPROCESSOR_LINKED
#include "wifi_coprocessor.h"
#endif
#ifdef QIV_BOARD_VOSTREL
#include "vostrel_sensor.h"
#endif

#ifndef QIV_MODEL
#define QIV_MODEL QIV_IMAGE_NAME
#endif

void setup(void) {
  Serial.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_DEFAULT_MODE);
#ifdef SUPPORT_BLE
  Serial6.begin(Serial.getBaudrate(), SERIAL_8N1, ZEM_AT_MODE);
#endif
  Serial.println("Velnatronic " QIV_MODEL);
  Serial.println("------------------------------------------------------");
  Serial.printf("Version: %s\r\n", sw_version);
#ifdef QIV_BOARD_VOSTREL
  // The board's sensors, read by the SENSOR command.
  Wire.begin();
  api.system.atMode.add("SENSOR", "This get sensor data.", "SENSOR", get_sensor, 3);
#endif
#ifdef QIV_WIFI_COPROCESSOR_LINKED
  // The co-processor on, the host port in the LoRa AT mode.
  setEspPowerMode(1);
  setCurrentATMode(LORA_AT_MODE);
#endif
#ifdef SUPPORT_BLE
  api.ble.settings.blemode(ZEM_BLE_UART_MODE);
#ifdef QIV_MCU_NRF52840
  // The serial service started again with its advertising.
  api.ble.uart.start(30);
#else
  api.ble.advertise.start(30);
#endif
#endif
}

void loop(void) { api.system.scheduler.task.destroy(); }

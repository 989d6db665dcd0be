// I2C master class, bound per port to the port's two-wire table.
#pragma once

#include <stdint.h>

#include "udrv_errno.h"

typedef enum : uint8_t {
  UDRV_TWIMST_0 = 0,
  UDRV_TWIMST_1 = 1,
  UDRV_TWIMST_2 = 2,
  UDRV_TWIMST_3 = 3,
  UDRV_TWIMST_MAX = 4,
} udrv_twimst_port;

typedef struct {
  void (*TWIMST_INIT)(udrv_twimst_port port);
  int32_t (*TWIMST_DEINIT)(udrv_twimst_port port);
  void (*TWIMST_SETUP_FREQ)(udrv_twimst_port port, uint32_t clk_hz);
  int32_t (*TWIMST_WRITE)(udrv_twimst_port port, uint8_t twi_addr, uint8_t const *data,
                          uint16_t len, bool send_stop);
  int32_t (*TWIMST_READ)(udrv_twimst_port port, uint8_t twi_addr, uint8_t *data, uint16_t len);
  void (*TWIMST_SUSPEND)(void);
  void (*TWIMST_RESUME)(void);
} udrv_twimst_api;

// ---- Port contract ----
// Filled by the port: open a port (and set its clock), write and read a
// 7-bit address, and release the masters before sleep and restore them after.
extern udrv_twimst_api twimst_driver;

void udrv_twimst_init(udrv_twimst_port port);
// twi_addr is the 7-bit address. The port's result; -3 for a port above 3;
// -1 when the port is not bound.
int32_t udrv_twimst_write(udrv_twimst_port port, uint8_t twi_addr, uint8_t const *data,
                          uint16_t len, bool send_stop);
int32_t udrv_twimst_read(udrv_twimst_port port, uint8_t twi_addr, uint8_t *data, uint16_t len);
void udrv_twimst_suspend(void);
void udrv_twimst_resume(void);

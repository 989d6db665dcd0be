// SPI master class. The table binding and transfers exist on the chips whose
// radio sits on an SPI master (QIV_CHIP_SPIMST_TABLE); every image keeps the
// suspend and resume used by the sleep sequence.
#pragma once

#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

typedef enum : uint8_t {
  UDRV_SPIMST_0 = 0,
  UDRV_SPIMST_1 = 1,
  UDRV_SPIMST_2 = 2,
  UDRV_SPIMST_3 = 3,
  UDRV_SPIMST_MAX = 4,
} udrv_spimst_port;

typedef struct {
  void (*SPIMST_INIT)(udrv_spimst_port port);
  void (*SPIMST_SETUP_MODE)(udrv_spimst_port port, uint8_t mode);
  void (*SPIMST_SETUP_FREQ)(udrv_spimst_port port, uint32_t freq);
  void (*SPIMST_SETUP_BYTE_ORDER)(udrv_spimst_port port, uint8_t order);
  void (*SPIMST_DEINIT)(udrv_spimst_port port);
  int8_t (*SPIMST_TRX)(udrv_spimst_port port, uint8_t const *write_data, uint32_t write_length,
                       uint8_t *read_data, uint32_t read_length, uint32_t csn);
  void (*SPIMST_SUSPEND)(void);
  void (*SPIMST_RESUME)(void);
} udrv_spimst_api;

#if QIV_CHIP_SPIMST_TABLE
extern udrv_spimst_api spimst_driver;
void udrv_spimst_init(udrv_spimst_port port);
// The port's result; -3 for a port above 3; -1 when the port is not bound.
int8_t udrv_spimst_trx(udrv_spimst_port port, uint8_t const *write_data, uint32_t write_length,
                       uint8_t *read_data, uint32_t read_length, uint32_t csn);
#endif

void udrv_spimst_suspend(void);
void udrv_spimst_resume(void);

// ---- Port contract: what every port provides for this class ----
// spimst_driver above on the ports whose radio sits on SPI. And: release the
// SPI masters before sleep and set the open ones up again after.
void uhal_spimst_suspend(void);
void uhal_spimst_resume(void);

#include "udrv_spimst.h"

#if QIV_CHIP_SPIMST_TABLE
static udrv_spimst_api *spimst_api[UDRV_SPIMST_MAX];

void udrv_spimst_init(udrv_spimst_port port) {
  if (port >= UDRV_SPIMST_MAX) {
    return;
  }
  if (spimst_api[port] != nullptr && spimst_api[port]->SPIMST_DEINIT != nullptr) {
    spimst_api[port]->SPIMST_DEINIT(port);
  }
  spimst_api[port] = &spimst_driver;
  if (spimst_driver.SPIMST_INIT != nullptr) {
    spimst_driver.SPIMST_INIT(port);
  }
}

int8_t udrv_spimst_trx(udrv_spimst_port port, uint8_t const *write_data, uint32_t write_length,
                       uint8_t *read_data, uint32_t read_length, uint32_t csn) {
  if (port >= UDRV_SPIMST_MAX) {
    return -UDRV_WRONG_ARG;
  }
  if (spimst_api[port] == nullptr || spimst_api[port]->SPIMST_TRX == nullptr) {
    return UDRV_NOT_BOUND;
  }
  return spimst_api[port]->SPIMST_TRX(port, write_data, write_length, read_data, read_length, csn);
}
#endif

void udrv_spimst_suspend(void) { uhal_spimst_suspend(); }

void udrv_spimst_resume(void) { uhal_spimst_resume(); }

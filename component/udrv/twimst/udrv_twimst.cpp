#include "udrv_twimst.h"

static udrv_twimst_api *twimst_api[UDRV_TWIMST_MAX];

void udrv_twimst_init(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return;
  }
  if (twimst_api[port] != nullptr && twimst_api[port]->TWIMST_DEINIT != nullptr) {
    twimst_api[port]->TWIMST_DEINIT(port);
  }
  twimst_api[port] = &twimst_driver;
  if (twimst_driver.TWIMST_INIT != nullptr) {
    twimst_driver.TWIMST_INIT(port);
  }
}

int32_t udrv_twimst_write(udrv_twimst_port port, uint8_t twi_addr, uint8_t const *data,
                          uint16_t len, bool send_stop) {
  if (port >= UDRV_TWIMST_MAX) {
    return -UDRV_WRONG_ARG;
  }
  if (twimst_api[port] == nullptr || twimst_api[port]->TWIMST_WRITE == nullptr) {
    return UDRV_NOT_BOUND;
  }
  return twimst_api[port]->TWIMST_WRITE(port, twi_addr, data, len, send_stop);
}

int32_t udrv_twimst_read(udrv_twimst_port port, uint8_t twi_addr, uint8_t *data, uint16_t len) {
  if (port >= UDRV_TWIMST_MAX) {
    return -UDRV_WRONG_ARG;
  }
  if (twimst_api[port] == nullptr || twimst_api[port]->TWIMST_READ == nullptr) {
    return UDRV_NOT_BOUND;
  }
  return twimst_api[port]->TWIMST_READ(port, twi_addr, data, len);
}

// The suspend and resume act on the table bound to the ports; before any
// port is opened there is nothing to suspend.
static udrv_twimst_api *bound_twimst(void) {
  for (udrv_twimst_api *api : twimst_api) {
    if (api != nullptr) {
      return api;
    }
  }
  return nullptr;
}

void udrv_twimst_suspend(void) {
  udrv_twimst_api *api = bound_twimst();
  if (api != nullptr && api->TWIMST_SUSPEND != nullptr) {
    api->TWIMST_SUSPEND();
  }
}

void udrv_twimst_resume(void) {
  udrv_twimst_api *api = bound_twimst();
  if (api != nullptr && api->TWIMST_RESUME != nullptr) {
    api->TWIMST_RESUME();
  }
}

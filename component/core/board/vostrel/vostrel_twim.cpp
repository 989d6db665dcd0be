// The tracker board's two I2C masters: port 0 is TWIM0 (SCL P0.13, SDA
// P0.14), port 1 is TWIM1 (SCL P0.20, SDA P0.19), both at 400 kHz, each with
// its own transfer-done flag and last transfer status. Ports 2 and 3 are
// only marked open; no hardware stands behind them.
#include "nrf52840_port.h"
#include "nrf_drv_twi.h"
#include "udrv_twimst.h"
#include "vostrel_board.h"

namespace {

constexpr nrf_drv_twi_t kTwi[2] = {NRF_DRV_TWI_INSTANCE(0), NRF_DRV_TWI_INSTANCE(1)};
constexpr uint32_t kScl[2] = {13, 20};
constexpr uint32_t kSda[2] = {14, 19};

bool twimst_status[UDRV_TWIMST_MAX];
nrf_drv_twi_frequency_t twi_freq[2] = {NRF_DRV_TWI_FREQ_400K, NRF_DRV_TWI_FREQ_400K};
volatile bool twi_xfer_done[2] = {true, true};
volatile nrf_drv_twi_evt_type_t twi_xfer_status[2] = {NRF_DRV_TWI_EVT_DONE, NRF_DRV_TWI_EVT_DONE};

void on_event(int n, nrf_drv_twi_evt_t const *p_event) {
  twi_xfer_status[n] = p_event->type;
  switch (p_event->type) {
    case NRF_DRV_TWI_EVT_DONE:
    case NRF_DRV_TWI_EVT_ADDRESS_NACK:
    case NRF_DRV_TWI_EVT_DATA_NACK:
      twi_xfer_done[n] = true;
      break;
  }
}
void nrf_drv_twi0_event_handler(nrf_drv_twi_evt_t const *p_event, void *) { on_event(0, p_event); }
void nrf_drv_twi1_event_handler(nrf_drv_twi_evt_t const *p_event, void *) { on_event(1, p_event); }

bool has_hardware(udrv_twimst_port port) { return port <= UDRV_TWIMST_1; }

void open_twim(int n) {
  nrf_drv_twi_config_t config = {kScl[n], kSda[n], twi_freq[n], 2, false, false};
  ret_code_t ret = nrf_drv_twi_init(
      &kTwi[n], &config, n == 0 ? nrf_drv_twi0_event_handler : nrf_drv_twi1_event_handler, nullptr);
  if (ret != NRF_SUCCESS) {
    app_error_handler_bare(ret);
  }
  nrf_drv_twi_enable(&kTwi[n]);
}

void close_twim(int n) {
  nrf_drv_twi_disable(&kTwi[n]);
  nrf_drv_twi_uninit(&kTwi[n]);
}

void wait_done(int n) {
  while (!twi_xfer_done[n]) {
    port_wait();
  }
}

void twim_init(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return;
  }
  if (has_hardware(port)) {
    open_twim(port);
  }
  twimst_status[port] = true;
}

int32_t twim_deinit(udrv_twimst_port port) {
  if (port >= UDRV_TWIMST_MAX) {
    return -UDRV_WRONG_ARG;
  }
  if (has_hardware(port) && twimst_status[port]) {
    close_twim(port);
  }
  twimst_status[port] = false;
  return 0;
}

void twim_setup_freq(udrv_twimst_port port, uint32_t hz) {
  if (!has_hardware(port)) {
    return;
  }
  twi_freq[port] = hz <= 100000   ? NRF_DRV_TWI_FREQ_100K
                   : hz <= 250000 ? NRF_DRV_TWI_FREQ_250K
                                  : NRF_DRV_TWI_FREQ_400K;
  if (twimst_status[port]) {
    close_twim(port);
    open_twim(port);
  }
}

int32_t twim_write(udrv_twimst_port port, uint8_t address, uint8_t const *data, uint16_t len,
                   bool send_stop) {
  if (!has_hardware(port) || !twimst_status[port]) {
    return -UDRV_INTERNAL_ERR;
  }
  if (len > 255) {
    return -UDRV_WRONG_ARG;
  }
  twi_xfer_done[port] = false;
  if (nrf_drv_twi_tx(&kTwi[port], address, data, static_cast<uint8_t>(len), !send_stop) !=
      NRF_SUCCESS) {
    twi_xfer_done[port] = true;
    return -UDRV_INTERNAL_ERR;
  }
  wait_done(port);
  switch (twi_xfer_status[port]) {
    case NRF_DRV_TWI_EVT_DONE:
      return 0;
    case NRF_DRV_TWI_EVT_ADDRESS_NACK:
    case NRF_DRV_TWI_EVT_DATA_NACK:
      return -UDRV_NACK;
  }
  return -UDRV_INTERNAL_ERR;
}

int32_t twim_read(udrv_twimst_port port, uint8_t address, uint8_t *data, uint16_t len) {
  if (!has_hardware(port)) {
    return -UDRV_WRONG_ARG;
  }
  if (!twi_xfer_done[port]) {
    return -UDRV_NACK;
  }
  if (!twimst_status[port] || len > 255) {
    return -UDRV_INTERNAL_ERR;
  }
  twi_xfer_done[port] = false;
  ret_code_t ret = nrf_drv_twi_rx(&kTwi[port], address, data, static_cast<uint8_t>(len));
  if (ret != NRF_SUCCESS) {
    app_error_handler_bare(ret);
  }
  wait_done(port);
  return twi_xfer_status[port] == NRF_DRV_TWI_EVT_DONE ? 0 : -UDRV_NACK;
}

void twim_suspend(void) {
  for (int n = 0; n < 2; n++) {
    if (twimst_status[n]) {
      close_twim(n);
    }
  }
}

void twim_resume(void) {
  for (int n = 0; n < 2; n++) {
    if (twimst_status[n]) {
      open_twim(n);
    }
  }
}

}  // namespace

void vostrel_twim_bind(void) {
  // The board's two masters take the place of the chip's single-master
  // table before any port is opened.
  twimst_driver = {twim_init, twim_deinit,  twim_setup_freq, twim_write,
                   twim_read, twim_suspend, twim_resume};
}

// Flash of the nRF52840 images through the protocol stack's flash storage
// over 0x70000 to 0xEBFFF. Advertising pauses while flash is at work: a read
// resumes it at once, after a write or erase the stack's flash event does.
#include "nrf52840_port.h"
#include "nrf_fstorage_sd.h"
#include "nrf_log.h"
#include "udrv_ble.h"
#include "udrv_flash.h"

int32_t uhal_advertising_stop(uint8_t temp_processing);
void uhal_mcu_sleep(uint8_t level);

namespace {

void fstorage_evt_handler(nrf_fstorage_evt_t *p_evt) {
  if (p_evt->result != NRF_SUCCESS) {
    NRF_LOG_ERROR("--> Event received: ERROR while executing an fstorage operation.");
    return;
  }
  switch (p_evt->id) {
    case NRF_FSTORAGE_EVT_WRITE_RESULT:
      NRF_LOG_INFO("--> Event received: wrote %d bytes at address 0x%x.",
                   static_cast<int>(p_evt->len), static_cast<unsigned>(p_evt->addr));
      break;
    case NRF_FSTORAGE_EVT_ERASE_RESULT:
      NRF_LOG_INFO("--> Event received: erased %d page from address 0x%x.",
                   static_cast<int>(p_evt->len), static_cast<unsigned>(p_evt->addr));
      break;
    default:
      break;
  }
}

NRF_FSTORAGE_DEF(nrf_fstorage_t fstorage) = {fstorage_evt_handler, 0x70000, 0xEBFFF, nullptr,
                                             nullptr};

int32_t finish(ret_code_t ret, const char *function) {
  if (ret != NRF_SUCCESS) {
    NRF_LOG_ERROR("%s() returned: %s\n", function, nrf_strerror_get(ret));
    return -UDRV_INTERNAL_ERR;
  }
  while (nrf_fstorage_is_busy(&fstorage)) {
    uhal_mcu_sleep(1);
  }
  return 0;
}

}  // namespace

void uhal_flash_init(void) {
  NRF_LOG_INFO("SoftDevice is present.");
  NRF_LOG_INFO("Initializing nrf_fstorage_sd implementation...");
  APP_ERROR_CHECK(nrf_fstorage_init(&fstorage, &nrf_fstorage_sd, nullptr));
}

uint32_t uhal_flash_get_page_size(void) {
  return fstorage.p_flash_info != nullptr ? fstorage.p_flash_info->erase_unit : 0;
}

int32_t uhal_flash_write(uint32_t addr, uint8_t const *data, uint32_t len) {
  (void)uhal_advertising_stop(1);
  return finish(nrf_fstorage_write(&fstorage, addr, data, len, nullptr), "uhal_flash_write");
}

int32_t uhal_flash_read(uint32_t addr, uint8_t *data, uint32_t len) {
  (void)uhal_advertising_stop(1);
  int32_t ret = finish(nrf_fstorage_read(&fstorage, addr, data, len), "uhal_flash_read");
  (void)uhal_advertising_stop(2);
  return ret;
}

int32_t uhal_flash_erase(uint32_t addr, uint32_t len) {
  uint32_t page_size = uhal_flash_get_page_size();
  uint32_t pages = page_size == 0 ? 0 : len / page_size;
  (void)uhal_advertising_stop(1);
  return finish(nrf_fstorage_erase(&fstorage, addr, pages, nullptr), "uhal_flash_erase");
}

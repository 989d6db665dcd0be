// Flash storage through the protocol stack: reads at once, writes and page
// erases queued and completed later, each completion reported to the
// instance's handler (and as a SoC event to the SoC observers).
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  NRF_FSTORAGE_EVT_READ_RESULT,
  NRF_FSTORAGE_EVT_WRITE_RESULT,
  NRF_FSTORAGE_EVT_ERASE_RESULT,
} nrf_fstorage_evt_id_t;

typedef struct {
  nrf_fstorage_evt_id_t id;
  ret_code_t result;
  uint32_t addr;
  void const *p_src;
  uint32_t len;
  void *p_param;
} nrf_fstorage_evt_t;

typedef void (*nrf_fstorage_evt_handler_t)(nrf_fstorage_evt_t *p_evt);

typedef struct {
  uint32_t erase_unit;    // bytes of a page
  uint32_t program_unit;  // bytes of a write unit
} nrf_fstorage_info_t;

struct nrf_fstorage_api_s;

typedef struct nrf_fstorage_s {
  nrf_fstorage_evt_handler_t evt_handler;
  uint32_t start_addr;
  uint32_t end_addr;  // last address of the range
  const struct nrf_fstorage_api_s *p_api;
  const nrf_fstorage_info_t *p_flash_info;
} nrf_fstorage_t;

typedef struct nrf_fstorage_api_s {
  const nrf_fstorage_info_t *info;
} nrf_fstorage_api_t;

#define NRF_FSTORAGE_DEF(inst) inst

ret_code_t nrf_fstorage_init(nrf_fstorage_t *p_fs, nrf_fstorage_api_t const *p_api, void *p_param);
ret_code_t nrf_fstorage_uninit(nrf_fstorage_t *p_fs, void *p_param);
ret_code_t nrf_fstorage_read(nrf_fstorage_t const *p_fs, uint32_t addr, void *p_dest, uint32_t len);
// Word-aligned address, a multiple of 4 bytes; the source must stay valid
// until the completion.
ret_code_t nrf_fstorage_write(nrf_fstorage_t const *p_fs, uint32_t dest, void const *p_src,
                              uint32_t len, void *p_param);
ret_code_t nrf_fstorage_erase(nrf_fstorage_t const *p_fs, uint32_t page_addr, uint32_t len,
                              void *p_param);
bool nrf_fstorage_is_busy(nrf_fstorage_t const *p_fs);

#ifdef __cplusplus
}  // extern "C"
#endif

// Flash storage through the stack: the 1 MB flash of the chip in 4 KB pages
// and 32-bit words. A write or erase completes later (about 41 us a word,
// 85 ms a page), reported to the instance's handler and to the SoC
// observers from the stack's event interrupt.
#include <cstring>
#include <vector>

#include "internal.h"
#include "nrf_fstorage_sd.h"
#include "nrf_soc.h"
#include "sim/model.h"

namespace nrfsim::detail {
namespace {

constexpr nrf_fstorage_info_t kInfo = {4096, 4};
constexpr sim::time_us kWordTime = 41;
constexpr sim::time_us kPageEraseTime = 85000;

struct Op {
  nrf_fstorage_t const* fs;
  nrf_fstorage_evt_t evt;
  std::vector<uint8_t> data;
};

struct Storage {
  std::vector<nrf_fstorage_t const*> inited;
  bool busy = false;
  Op op;
  std::vector<nrf_fstorage_evt_t> done;  // handled by the stack's interrupt
  std::vector<nrf_fstorage_t const*> done_fs;
};

Storage& st() {
  static Storage s;
  return s;
}

bool inited(nrf_fstorage_t const* fs) {
  for (auto* f : st().inited)
    if (f == fs) return true;
  return false;
}

bool in_range(nrf_fstorage_t const* fs, uint32_t addr, uint32_t len) {
  return addr >= fs->start_addr && len <= fs->end_addr + 1 - fs->start_addr &&
         addr - fs->start_addr <= fs->end_addr + 1 - fs->start_addr - len;
}

void complete(void*, uint32_t) {
  Storage& s = st();
  Op& op = s.op;
  bool ok = true;
  if (op.evt.id == NRF_FSTORAGE_EVT_WRITE_RESULT) {
    ok = sim::flash_program(op.evt.addr, op.data.data(), op.data.size());
  } else {
    const sim::FlashGeometry& g = sim::flash_geometry();
    for (uint32_t p = 0; p < op.evt.len && ok; ++p)
      ok = sim::flash_erase_page((op.evt.addr - g.base) / g.page_size + p);
  }
  op.evt.result = ok ? NRF_SUCCESS : NRF_ERROR_INTERNAL;
  s.busy = false;
  // The stack reports the flash operation; fstorage's own observer turns it
  // into the instance's event.
  if (op.fs->evt_handler) {
    s.done.push_back(op.evt);
    s.done_fs.push_back(op.fs);
  }
  soc_event(ok ? NRF_EVT_FLASH_OPERATION_SUCCESS : NRF_EVT_FLASH_OPERATION_ERROR);
  sim::signal_change();
}

// fstorage's SoC observer: the instance's event.
void on_soc(uint32_t, void*) {
  Storage& s = st();
  std::vector<nrf_fstorage_evt_t> done;
  std::vector<nrf_fstorage_t const*> fss;
  done.swap(s.done);
  fss.swap(s.done_fs);
  for (size_t i = 0; i < done.size(); ++i) fss[i]->evt_handler(&done[i]);
}

void storage_reset() { st() = Storage{}; }

}  // namespace
}  // namespace nrfsim::detail

using namespace nrfsim::detail;

SIM_MODEL(nrf52840_fstorage, {.name = "nrf52840.fstorage", .on_reset = storage_reset});
NRF_SDH_SOC_OBSERVER(fstorage_soc, 0, on_soc, nullptr);

nrf_fstorage_api_t nrf_fstorage_sd = {&kInfo};

ret_code_t nrf_fstorage_init(nrf_fstorage_t* fs, nrf_fstorage_api_t const* api, void*) {
  if (!fs || !api) return NRF_ERROR_NULL;
  fs->p_api = api;
  fs->p_flash_info = api->info;
  if (!inited(fs)) st().inited.push_back(fs);
  return NRF_SUCCESS;
}

ret_code_t nrf_fstorage_uninit(nrf_fstorage_t* fs, void*) {
  auto& v = st().inited;
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (*it == fs) {
      v.erase(it);
      return NRF_SUCCESS;
    }
  }
  return NRF_ERROR_INVALID_STATE;
}

ret_code_t nrf_fstorage_read(nrf_fstorage_t const* fs, uint32_t addr, void* dest, uint32_t len) {
  if (!fs || !dest) return NRF_ERROR_NULL;
  if (!inited(fs)) return NRF_ERROR_INVALID_STATE;
  if (len == 0) return NRF_ERROR_INVALID_LENGTH;
  if (!in_range(fs, addr, len)) return NRF_ERROR_INVALID_ADDR;
  const sim::FlashGeometry& g = sim::flash_geometry();
  std::memcpy(dest, sim::flash_data() + (addr - g.base), len);
  return NRF_SUCCESS;
}

ret_code_t nrf_fstorage_write(nrf_fstorage_t const* fs, uint32_t dest, void const* src,
                              uint32_t len, void* param) {
  if (!fs || !src) return NRF_ERROR_NULL;
  if (!inited(fs)) return NRF_ERROR_INVALID_STATE;
  if (len == 0 || len % 4) return NRF_ERROR_INVALID_LENGTH;
  if (dest % 4 || !in_range(fs, dest, len)) return NRF_ERROR_INVALID_ADDR;
  Storage& s = st();
  if (s.busy) return NRF_ERROR_NO_MEM;  // the one-operation queue is full
  s.busy = true;
  s.op.fs = fs;
  s.op.evt = {NRF_FSTORAGE_EVT_WRITE_RESULT, NRF_SUCCESS, dest, src, len, param};
  s.op.data.assign(static_cast<uint8_t const*>(src), static_cast<uint8_t const*>(src) + len);
  sim::schedule(sim::now() + kWordTime * (len / 4), complete, nullptr, 0);
  return NRF_SUCCESS;
}

ret_code_t nrf_fstorage_erase(nrf_fstorage_t const* fs, uint32_t page_addr, uint32_t pages,
                              void* param) {
  if (!fs) return NRF_ERROR_NULL;
  if (!inited(fs)) return NRF_ERROR_INVALID_STATE;
  if (pages == 0) return NRF_ERROR_INVALID_LENGTH;
  if (page_addr % kInfo.erase_unit || pages > 0xFFFFFFFFu / kInfo.erase_unit ||
      !in_range(fs, page_addr, pages * kInfo.erase_unit))
    return NRF_ERROR_INVALID_ADDR;
  Storage& s = st();
  if (s.busy) return NRF_ERROR_NO_MEM;
  s.busy = true;
  s.op.fs = fs;
  s.op.evt = {NRF_FSTORAGE_EVT_ERASE_RESULT, NRF_SUCCESS, page_addr, nullptr, pages, param};
  s.op.data.clear();
  sim::schedule(sim::now() + kPageEraseTime * pages, complete, nullptr, 0);
  return NRF_SUCCESS;
}

bool nrf_fstorage_is_busy(nrf_fstorage_t const* fs) {
  (void)fs;
  return st().busy;
}

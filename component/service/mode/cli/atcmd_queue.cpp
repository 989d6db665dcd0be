// Build-time permission overrides and their application to the built-in
// table.
#include "atcmd_queue.h"

#include <string.h>

#include "service_mode_cli.h"

// Bounds of the `atcmd_queue` section, provided by the linker when at least
// one item exists; both stay null (an empty list) otherwise.
extern "C" {
extern const atcmd_permission_item __start_atcmd_queue[] __attribute__((weak));
extern const atcmd_permission_item __stop_atcmd_queue[] __attribute__((weak));
}

uint32_t atcmd_queue_utilization_get(void) {
  const atcmd_permission_item *start = __start_atcmd_queue;
  const atcmd_permission_item *stop = __stop_atcmd_queue;
  if (start == nullptr || stop == nullptr || stop <= start) {
    return 0;
  }
  return static_cast<uint32_t>(stop - start);
}

bool atcmd_queue_is_empty(void) { return atcmd_queue_utilization_get() == 0; }

uint8_t atcmd_queue_pop(atcmd_permission_item *p_element, uint32_t offset) {
  if (p_element == nullptr || offset >= atcmd_queue_utilization_get()) {
    return ATCMD_QUEUE_ERROR;
  }
  *p_element = __start_atcmd_queue[offset];
  return ATCMD_QUEUE_SUCCESS;
}

static bool name_equal_nocase(const char *a, const char *b) {
  for (;; ++a, ++b) {
    char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
    char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
    if (ca != cb) {
      return false;
    }
    if (ca == '\0') {
      return true;
    }
  }
}

void update_permission(void) {
  uint32_t count = atcmd_queue_utilization_get();
  int total = At_CmdGetTotalNum();
  for (uint32_t n = 0; n < count; ++n) {
    atcmd_permission_item item;
    if (atcmd_queue_pop(&item, n) != ATCMD_QUEUE_SUCCESS || item.atcmd_id == nullptr) {
      continue;
    }
    uint8_t item_perm = static_cast<uint8_t>(item.permission);
    for (int i = 0; i < total; ++i) {
      at_cmd_info *row = &atcmd_info_tbl[i];
      if (!name_equal_nocase(row->atCmd, item.atcmd_id)) {
        continue;
      }
      if (item_perm & ATCMD_PERM_DISABLE) {
        row->permission = ATCMD_PERM_DISABLE;
      } else if (item_perm & ATCMD_PERM_WRITEONCEREAD) {
        if (row->permission & (ATCMD_PERM_READ | ATCMD_PERM_WRITE)) {
          row->permission = item_perm;
        }
      } else {
        uint8_t merged = static_cast<uint8_t>(row->permission & item_perm);
        if (merged != 0) {
          row->permission = merged;
        }
      }
    }
  }
}

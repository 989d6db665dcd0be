// Build-time overrides of the permission of built-in AT commands.
//
// CHANGE_ATCMD_PERM("AT+NAME", bits) places one item into the linker section
// `atcmd_queue`; update_permission() applies every item to the built-in
// table. An image without items has an empty list.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef struct {
  const char *atcmd_id;  // name of a built-in command
  size_t permission;     // ATCMD_PERM_ bits
} atcmd_permission_item;

#define ATCMD_QUEUE_SUCCESS 0
#define ATCMD_QUEUE_ERROR 1

#define ATCMD_ITEM(section_name, type, var) \
  __attribute__((section(#section_name), used, aligned(sizeof(void *)))) const type var

#define ATCMD_CONCAT_(a, b) a##b
#define ATCMD_CONCAT(a, b) ATCMD_CONCAT_(a, b)

#define CHANGE_ATCMD_PERM(name, perm)                                                             \
  ATCMD_ITEM(atcmd_queue, atcmd_permission_item, ATCMD_CONCAT(atcmd_perm_item_, __COUNTER__)) = { \
      (name), (perm)}

uint32_t atcmd_queue_utilization_get(void);
bool atcmd_queue_is_empty(void);
// Copies item number `offset`. ATCMD_QUEUE_ERROR when the list holds no such
// item.
uint8_t atcmd_queue_pop(atcmd_permission_item *p_element, uint32_t offset);

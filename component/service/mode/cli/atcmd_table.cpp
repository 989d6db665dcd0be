// The image's built-in command table and its load image.
#include <stddef.h>

#include "atcmd.h"
#include "atcmd_channels.h"
#include "atcmd_lora_transfer.h"
#include "atcmd_lorawan.h"
#include "atcmd_p2p.h"
#include "atcmd_rftest.h"
#ifdef QIV_WIFI_COPROCESSOR_LINKED
#include "wifi_coprocessor.h"
#endif
#ifdef QIV_BOARD_VOSTREL
#include "vostrel_board.h"
#endif

// 20 bytes a row on the chip (Cortex-M4F; a 64-bit host's pointers make it
// larger): start-up code restores the RAM table from its load image row by row.
#if defined(__arm__)
static_assert(sizeof(at_cmd_info) == 20, "a command row is 20 bytes on the chip");
static_assert(offsetof(at_cmd_info, atCmd) == 0);
static_assert(offsetof(at_cmd_info, pfHandle) == 4);
static_assert(offsetof(at_cmd_info, maxargu) == 8);
static_assert(offsetof(at_cmd_info, CmdUsage) == 12);
static_assert(offsetof(at_cmd_info, permission) == 16);
#endif

at_cmd_info atcmd_info_tbl[] = {
#include "atcmd_table.inc"
};

const at_cmd_info atcmd_info_tbl_load_image[] = {
#include "atcmd_table.inc"
};

static_assert(sizeof(atcmd_info_tbl) == sizeof(atcmd_info_tbl_load_image));

int At_CmdGetTotalNum(void) {
  return static_cast<int>(sizeof(atcmd_info_tbl) / sizeof(atcmd_info_tbl[0]));
}

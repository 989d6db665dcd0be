// The board-support package's indications (what the board's LEDs show for a
// state) and buttons. On the simulated board the indications are recorded
// and the buttons are set by the test (bsp_sim.h).
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BSP_BUTTON_0 0u
#define BSP_BUTTON_1 1u
#define BSP_BUTTON_2 2u
#define BSP_BUTTON_3 3u
#define BUTTONS_NUMBER 4u

typedef enum {
  BSP_INDICATE_FIRST = 0,
  BSP_INDICATE_IDLE = BSP_INDICATE_FIRST,
  BSP_INDICATE_SCANNING,
  BSP_INDICATE_ADVERTISING,
  BSP_INDICATE_ADVERTISING_WHITELIST,
  BSP_INDICATE_ADVERTISING_SLOW,
  BSP_INDICATE_ADVERTISING_DIRECTED,
  BSP_INDICATE_BONDING,
  BSP_INDICATE_CONNECTED,
  BSP_INDICATE_SENT_OK,
  BSP_INDICATE_SEND_ERROR,
  BSP_INDICATE_RCV_OK,
  BSP_INDICATE_RCV_ERROR,
  BSP_INDICATE_FATAL_ERROR,
  BSP_INDICATE_ALERT_0,
  BSP_INDICATE_ALERT_1,
  BSP_INDICATE_ALERT_2,
  BSP_INDICATE_ALERT_3,
  BSP_INDICATE_ALERT_OFF,
  BSP_INDICATE_USER_STATE_OFF,
  BSP_INDICATE_USER_STATE_0,
  BSP_INDICATE_USER_STATE_1,
  BSP_INDICATE_USER_STATE_2,
  BSP_INDICATE_USER_STATE_3,
  BSP_INDICATE_USER_STATE_ON,
  BSP_INDICATE_LAST = BSP_INDICATE_USER_STATE_ON
} bsp_indication_t;

// Shows `indicate`: NRF_ERROR_INVALID_PARAM for a value that is none.
uint32_t bsp_indication_set(bsp_indication_t indicate);
// Whether `button` is held (false for a button the board does not have).
bool bsp_button_is_pressed(uint32_t button);

#ifdef __cplusplus
}  // extern "C"
#endif

// The system class of the driver layer: the system event queue that moves
// work out of interrupt handlers into the main loop, the critical section,
// reboot and the small system operations of the port.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "qiv_config.h"
#include "udrv_errno.h"

// Operations of the system event queue. The list has a fixed order; an
// operation exists only when the image has its feature and the codes are
// numbered from 0 over the operations present, so they differ per image.
typedef enum : uint8_t {
  UDRV_SYS_EVT_OP_SERIAL_UART,
#ifdef SUPPORT_USB
  UDRV_SYS_EVT_OP_SERIAL_USB,
#endif
#ifdef SUPPORT_BLE
  UDRV_SYS_EVT_OP_SERIAL_BLE,
#endif
#ifdef SUPPORT_LORA
  UDRV_SYS_EVT_OP_LORAWAN,
  UDRV_SYS_EVT_OP_LORAWAN_JOIN_CB,
#endif
  UDRV_SYS_EVT_OP_USER_APP,
  UDRV_SYS_EVT_OP_USER_TIMER,
  UDRV_SYS_EVT_OP_SYS_TIMER,
#ifdef SUPPORT_NFC
  UDRV_SYS_EVT_OP_SERIAL_NFC,
#endif
  UDRV_SYS_EVT_OP_SERIAL_FALLBACK,
  UDRV_SYS_EVT_OP_RTC,
  UDRV_SYS_EVT_OP_GPIO_INTERRUPT,
} udrv_system_event_op_t;

// One queued system event: the operation and its argument (a context pointer
// or a small integer carried in the pointer).
typedef struct {
  udrv_system_event_op_t request;
  void *p_context;
} udrv_system_event_t;

// 8 bytes on the chip (Cortex-M4F); a 64-bit host holds an 8-byte pointer in
// a 16-byte event. The queue's slots are sized by sizeof (EVENT_DATA_SIZE).
#if defined(__arm__)
static_assert(sizeof(udrv_system_event_t) == 8, "a system event is 8 bytes on the chip");
static_assert(offsetof(udrv_system_event_t, p_context) == 4);
#endif

// The image's dispatcher: called for every queued system event with a pointer
// to its bytes. Every image (its port's start-up) defines it.
void qiv_event_handler_func(void *p_event_data, uint16_t event_data_size);

// Sets up the system event queue (one system event a slot, 128 slots). The queue is
// already usable before this call, so events posted early in start-up are
// kept; the call does not drop them.
int32_t udrv_system_event_init(void);
// Queues one event for the dispatcher; 0, -9 or -7 (queue full: the event
// is lost and counted).
int32_t udrv_system_event_produce(udrv_system_event_t *event);
// Runs queued events until the queue is empty.
void udrv_system_event_consume(void);

// Critical section: begin saves the interrupt mask into *mask and masks
// interrupts; end restores *mask. Sections nest.
void udrv_system_critical_section_begin(uint32_t *mask);
void udrv_system_critical_section_end(uint32_t *mask);

// Hooks around every handler run by the event queue; nothing to do in any image.
void udrv_thread_lock(void);
void udrv_thread_unlock(void);

// Cortex-M system reset; does not return.
void udrv_system_reboot(void);
#ifdef SUPPORT_LORA
uint32_t udrv_system_random(uint32_t maxvalue);
#endif

// ---- Port contract: what every port provides for this class ----
// qiv_event_handler_func above (the image's dispatcher, in the port's
// start-up), and:
// Save the interrupt mask into *mask, then mask interrupts.
void uhal_sys_board_critical_section_begin(uint32_t *mask);
// Write the saved *mask back and nothing else, so that sections nest.
void uhal_sys_board_critical_section_end(uint32_t *mask);
// Reset the MCU; does not return.
void uhal_sys_reboot(void);
#ifdef SUPPORT_LORA
// A random number not above maxvalue from the chip's entropy source.
uint32_t uhal_sys_random(uint32_t maxvalue);
#endif
// The chip's 96-bit unique identifier as three words (the AT layer's UID
// command, on the images that have it).
void uhal_sys_get_uid(uint32_t *uid0, uint32_t *uid1, uint32_t *uid2);

// The USB device library: power events (VBUS seen, removed, the regulator
// ready), enabling and starting the device, and the classes it carries. Its
// events reach the application's state handler in the USB interrupt.
#pragma once

#include <stdint.h>

#include "sdk_errors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  APP_USBD_EVT_DRV_SOF,
  APP_USBD_EVT_DRV_RESET,
  APP_USBD_EVT_DRV_SUSPEND,
  APP_USBD_EVT_DRV_RESUME,
  APP_USBD_EVT_STARTED,
  APP_USBD_EVT_STOPPED,
  APP_USBD_EVT_POWER_DETECTED,
  APP_USBD_EVT_POWER_REMOVED,
  APP_USBD_EVT_POWER_READY,
} app_usbd_event_type_t;

typedef void (*app_usbd_ev_state_proc_t)(app_usbd_event_type_t event);

typedef struct {
  app_usbd_ev_state_proc_t ev_state_proc;
} app_usbd_config_t;

typedef struct {
  app_usbd_event_type_t type;
} app_usbd_internal_evt_t;

typedef struct app_usbd_class_inst_s app_usbd_class_inst_t;

// What the application's configuration gives the library for its
// descriptors (vendor and product ids, version, texts, power).
typedef struct {
  uint16_t vid;
  uint16_t pid;
  uint8_t version_major, version_minor, version_sub;
  const char *manufacturer;
  const char *product;
  const char *configuration;
  uint16_t language_id;
  bool self_powered;
  uint16_t max_power_ma;
} app_usbd_descriptor_config_t;
extern const app_usbd_descriptor_config_t app_usbd_descriptor_config;

ret_code_t app_usbd_init(app_usbd_config_t const *p_config);
ret_code_t app_usbd_uninit(void);
void app_usbd_enable(void);
void app_usbd_disable(void);
void app_usbd_start(void);
void app_usbd_stop(void);
ret_code_t app_usbd_power_events_enable(void);
void app_usbd_event_add(app_usbd_internal_evt_t const *p_event);
ret_code_t app_usbd_class_append(app_usbd_class_inst_t const *p_cinst);
// Suspend of a started device (false when it is on no bus); remote wake-up
// of a suspended one (false when it is not suspended).
bool app_usbd_suspend_req(void);
bool app_usbd_wakeup_req(void);
bool nrfx_usbd_is_enabled(void);

#ifdef __cplusplus
}  // extern "C"
#endif

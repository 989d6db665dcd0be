// The USB device and its CDC-ACM class on simulated port 3: what the host
// writes arrives as bytes on the port, each packet the device writes leaves
// on it. The host side (VBUS, the host opening and closing the port, a host
// that stops reading) is set by options, timed events and tests. Library
// events reach the application in the USB interrupt (priority 6).
//
// Suspend: the host here lets the bus go idle whenever the device asks to
// suspend, so a started device is suspended at its request. A suspended
// device takes no new packet (it cannot send one); the bytes it already holds
// either way stay where they are. The host resumes the bus before it sends
// or opens the port, the device by its remote wake-up request; either brings
// the device back as it was.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app_usbd.h"
#include "app_usbd_cdc_acm.h"
#include "app_usbd_serial_num.h"
#include "hostutil/duration.h"
#include "internal.h"
#include "nrf52840_sim.h"
#include "sim/model.h"

namespace nrfsim::detail {
namespace {

constexpr sim::time_us kEnumerationTime = 20000;  // from start to the host's first request
constexpr sim::time_us kPacketTime = 1000;        // one packet per frame

struct Event {
  bool cdc;  // a class event (else a device state event)
  int type;
};

struct Host {
  bool vbus = true;
  bool open = true;
  bool reading = true;
};

struct Usb {
  Host host;
  bool init = false;
  bool power_events = false;
  bool enabled = false;
  bool started = false;
  bool port_open = false;
  bool suspended = false;  // the bus suspended at the device's request
  app_usbd_ev_state_proc_t state_proc = nullptr;
  app_usbd_cdc_acm_t const* cdc = nullptr;
  std::deque<uint8_t> rx;  // from the host, not yet read
  uint8_t* rx_pending = nullptr;
  size_t rx_pending_len = 0;
  size_t rx_last = 0;
  bool tx_busy = false;
  bool tx_waiting_host = false;  // sent, the host not reading
  sim::EventId tx_event = 0, open_event = 0;
  std::deque<Event> events;
  std::vector<size_t> packets;
};

Usb& usb() {
  static Usb u;
  return u;
}

// Options: the host at start, and timed host events.
Host g_host_option;
struct Timed {
  sim::time_us at;
  std::string action;
};
std::vector<Timed> g_timed;

void post(bool cdc, int type) {
  usb().events.push_back({cdc, type});
  raise(USBD_IRQn);
  sim::signal_change();
}

void usbd_isr() {
  Usb& u = usb();
  while (!u.events.empty()) {
    Event e = u.events.front();
    u.events.pop_front();
    if (e.cdc) {
      if (u.cdc && u.cdc->user_ev_handler)
        u.cdc->user_ev_handler(&u.cdc->base, static_cast<app_usbd_cdc_acm_user_event_t>(e.type));
    } else if (u.state_proc) {
      u.state_proc(static_cast<app_usbd_event_type_t>(e.type));
    }
  }
}

void cancel_tx() {
  Usb& u = usb();
  if (u.tx_event) sim::cancel(u.tx_event);
  u.tx_event = 0;
  u.tx_busy = false;
  u.tx_waiting_host = false;
}

void port_close() {
  Usb& u = usb();
  if (!u.port_open) return;
  u.port_open = false;
  cancel_tx();
  u.rx.clear();
  u.rx_pending = nullptr;
  post(true, APP_USBD_CDC_ACM_USER_EVT_PORT_CLOSE);
}

// The host's resume signalling (or the device's remote wake-up): the bus
// runs again.
void bus_resume() { usb().suspended = false; }

void try_open(void* = nullptr, uint32_t = 0) {
  Usb& u = usb();
  u.open_event = 0;
  if (u.port_open || !u.started || !u.host.vbus || !u.host.open || !u.cdc) return;
  bus_resume();
  u.port_open = true;
  post(true, APP_USBD_CDC_ACM_USER_EVT_PORT_OPEN);
}

void tx_done(void*, uint32_t) {
  Usb& u = usb();
  u.tx_event = 0;
  u.tx_busy = false;
  post(true, APP_USBD_CDC_ACM_USER_EVT_TX_DONE);
}

void fill_pending() {
  Usb& u = usb();
  if (!u.rx_pending || u.rx.size() < u.rx_pending_len) return;
  for (size_t i = 0; i < u.rx_pending_len; ++i) {
    u.rx_pending[i] = u.rx.front();
    u.rx.pop_front();
  }
  u.rx_last = u.rx_pending_len;
  u.rx_pending = nullptr;
  post(true, APP_USBD_CDC_ACM_USER_EVT_RX_DONE);
}

void on_host_byte(void*, uint8_t byte) {
  Usb& u = usb();
  if (!u.port_open) return;  // nothing to send to while the port is closed
  bus_resume();
  u.rx.push_back(byte);
  fill_pending();
}

void set_vbus(bool present) {
  Usb& u = usb();
  if (u.host.vbus == present) return;
  u.host.vbus = present;
  if (!u.power_events) return;
  if (present) {
    post(false, APP_USBD_EVT_POWER_DETECTED);
  } else {
    port_close();
    post(false, APP_USBD_EVT_POWER_REMOVED);
  }
}

void set_open(bool open) {
  Usb& u = usb();
  u.host.open = open;
  if (open)
    try_open();
  else
    port_close();
}

void set_reading(bool reading) {
  Usb& u = usb();
  u.host.reading = reading;
  if (reading && u.tx_waiting_host) {
    u.tx_waiting_host = false;
    u.tx_event = sim::schedule(sim::now() + kPacketTime, tx_done, nullptr, 0);
  }
}

void apply(const std::string& action) {
  if (action == "vbus-on")
    set_vbus(true);
  else if (action == "vbus-off")
    set_vbus(false);
  else if (action == "open")
    set_open(true);
  else if (action == "close")
    set_open(false);
  else if (action == "stall")
    set_reading(false);
  else if (action == "read")
    set_reading(true);
}

void timed_event(void* ctx, uint32_t) { apply(static_cast<Timed*>(ctx)->action); }

bool set_vbus_option(const char* v, std::string* error) {
  std::string s = v;
  if (s != "0" && s != "1") {
    *error = "--usb-vbus: 0 or 1";
    return false;
  }
  g_host_option.vbus = s == "1";
  return true;
}

bool set_host_option(const char* v, std::string* error) {
  std::string s = v;
  if (s != "open" && s != "closed") {
    *error = "--usb-host: open or closed";
    return false;
  }
  g_host_option.open = s == "open";
  return true;
}

bool add_timed(const char* v, std::string* error) {
  std::string s = v;
  size_t eq = s.find('=');
  std::string action = eq == std::string::npos ? "" : s.substr(eq + 1);
  static const char* const kActions[] = {"vbus-on", "vbus-off", "open", "close", "stall", "read"};
  bool known = false;
  for (const char* a : kActions) known = known || action == a;
  hostutil::time_us at = 0;
  if (!known || !hostutil::parse_duration(s.substr(0, eq), &at, error, 0)) {
    *error =
        "--usb-event: TIME=ACTION, e.g. 2s=close (vbus-on, vbus-off, open, close, stall, read)";
    return false;
  }
  g_timed.push_back({at, action});
  return true;
}

void usb_reset() {
  Usb& u = usb();
  u = Usb{};
  u.host = g_host_option;
}

// At each start of the program: the host as the options and the timed
// events that are past make it, the later events scheduled.
void usb_start(sim::StateIn*) {
  Usb& u = usb();
  u.host = g_host_option;
  for (Timed& t : g_timed) {
    if (t.at <= sim::now()) {
      if (t.action == "vbus-on" || t.action == "vbus-off") u.host.vbus = t.action == "vbus-on";
      if (t.action == "open" || t.action == "close") u.host.open = t.action == "open";
      if (t.action == "stall" || t.action == "read") u.host.reading = t.action == "read";
    } else {
      sim::schedule(t.at, timed_event, &t, 0);
    }
  }
}

}  // namespace
}  // namespace nrfsim::detail

using namespace nrfsim::detail;

SIM_MODEL(nrf52840_usbd,
          {.name = "nrf52840.usbd",
           .options = {{"--usb-vbus", "0|1", "USB supply present at start (default 1).",
                        set_vbus_option},
                       {"--usb-host", "open|closed",
                        "whether the host opens the USB serial port once the device is up\n"
                        "(default open).",
                        set_host_option},
                       {"--usb-event", "TIME=ACTION",
                        "at virtual TIME the USB host does ACTION: vbus-on, vbus-off, open,\n"
                        "close, stall (stops taking packets), read (takes them again).",
                        add_timed}},
           .on_reset = usb_reset,
           .start = usb_start});

namespace nrfsim {
void usb_set_vbus(bool present) { set_vbus(present); }
void usb_host_open(bool open) { set_open(open); }
void usb_host_reading(bool reading) { set_reading(reading); }
bool usb_port_open() { return usb().port_open; }
bool usb_started() { return usb().started; }
bool usb_suspended() { return usb().suspended; }
const std::vector<size_t>& usb_packets() { return usb().packets; }
std::string usb_manufacturer() { return app_usbd_descriptor_config.manufacturer; }
std::string usb_product() { return app_usbd_descriptor_config.product; }
}  // namespace nrfsim

namespace nrfsim::detail {
bool usb_vbus() { return usb().host.vbus; }
}  // namespace nrfsim::detail

ret_code_t app_usbd_init(app_usbd_config_t const* cfg) {
  Usb& u = usb();
  if (u.init) return NRF_ERROR_INVALID_STATE;
  u.init = true;
  u.state_proc = cfg ? cfg->ev_state_proc : nullptr;
  install_isr(USBD_IRQn, usbd_isr, 6);
  sim::uart_set_rx_handler(nrfsim::kSimUsb, on_host_byte, nullptr);
  return NRF_SUCCESS;
}

ret_code_t app_usbd_uninit(void) {
  Usb& u = usb();
  u.init = false;
  u.power_events = false;
  u.cdc = nullptr;
  return NRF_SUCCESS;
}

void app_usbd_enable(void) {
  Usb& u = usb();
  if (u.enabled) return;
  u.enabled = true;
  if (u.host.vbus) post(false, APP_USBD_EVT_POWER_READY);
}

void app_usbd_disable(void) { usb().enabled = false; }

void app_usbd_start(void) {
  Usb& u = usb();
  if (u.started || !u.enabled) return;
  u.started = true;
  post(false, APP_USBD_EVT_STARTED);
  u.open_event = sim::schedule(sim::now() + kEnumerationTime, try_open, nullptr, 0);
}

void app_usbd_stop(void) {
  Usb& u = usb();
  if (!u.started) return;
  u.started = false;
  u.suspended = false;
  if (u.open_event) sim::cancel(u.open_event);
  u.open_event = 0;
  port_close();
  post(false, APP_USBD_EVT_STOPPED);
}

ret_code_t app_usbd_power_events_enable(void) {
  usb().power_events = true;
  return NRF_SUCCESS;
}

void app_usbd_event_add(app_usbd_internal_evt_t const* e) { post(false, e->type); }

ret_code_t app_usbd_class_append(app_usbd_class_inst_t const* inst) {
  if (!inst) return NRF_ERROR_NULL;
  usb().cdc = app_usbd_cdc_acm_class_get(inst);
  return NRF_SUCCESS;
}

bool app_usbd_suspend_req(void) {
  Usb& u = usb();
  if (!u.started) return false;  // not on a bus: nothing to suspend
  u.suspended = true;
  return true;
}

bool app_usbd_wakeup_req(void) {
  Usb& u = usb();
  if (!u.suspended) return false;
  bus_resume();
  return true;
}

bool nrfx_usbd_is_enabled(void) { return usb().enabled; }
void app_usbd_serial_num_generate(void) {}

app_usbd_class_inst_t const* app_usbd_cdc_acm_class_inst_get(app_usbd_cdc_acm_t const* p) {
  return &p->base;
}

app_usbd_cdc_acm_t const* app_usbd_cdc_acm_class_get(app_usbd_class_inst_t const* inst) {
  return reinterpret_cast<app_usbd_cdc_acm_t const*>(inst);
}

ret_code_t app_usbd_cdc_acm_read(app_usbd_cdc_acm_t const*, void* buf, size_t len) {
  Usb& u = usb();
  if (!u.port_open) return NRF_ERROR_INVALID_STATE;
  if (u.rx_pending) return NRF_ERROR_BUSY;
  if (u.rx.size() >= len) {
    auto* b = static_cast<uint8_t*>(buf);
    for (size_t i = 0; i < len; ++i) {
      b[i] = u.rx.front();
      u.rx.pop_front();
    }
    u.rx_last = len;
    return NRF_SUCCESS;
  }
  u.rx_pending = static_cast<uint8_t*>(buf);
  u.rx_pending_len = len;
  return NRF_ERROR_IO_PENDING;
}

size_t app_usbd_cdc_acm_rx_size(app_usbd_cdc_acm_t const*) { return usb().rx_last; }
size_t app_usbd_cdc_acm_bytes_stored(app_usbd_cdc_acm_t const*) { return usb().rx.size(); }

ret_code_t app_usbd_cdc_acm_write(app_usbd_cdc_acm_t const*, void const* buf, size_t len) {
  Usb& u = usb();
  if (!u.port_open || u.suspended) return NRF_ERROR_INVALID_STATE;
  if (u.tx_busy) return NRF_ERROR_BUSY;
  u.tx_busy = true;
  u.packets.push_back(len);
  sim::uart_write(nrfsim::kSimUsb, static_cast<uint8_t const*>(buf), len);
  if (u.host.reading)
    u.tx_event = sim::schedule(sim::now() + kPacketTime, tx_done, nullptr, 0);
  else
    u.tx_waiting_host = true;
  return NRF_SUCCESS;
}

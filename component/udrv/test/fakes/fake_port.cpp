#include "fake_port.h"

#include <string.h>

#include <algorithm>

#include "qiv_config.h"
#include "service_mode_cli.h"
#include "udrv_adc.h"
#include "udrv_ble.h"
#include "udrv_dfu.h"
#include "udrv_flash.h"
#include "udrv_gpio.h"
#include "udrv_powersave.h"
#include "udrv_pwm.h"
#include "udrv_rtc.h"
#include "udrv_serial.h"
#include "udrv_spimst.h"
#include "udrv_system.h"
#include "udrv_timer.h"
#include "udrv_twimst.h"

namespace fake {

Port port;

void Port::reset() { *this = Port(); }

uint8_t Port::flash_byte(uint32_t addr) const {
  uint32_t const page = addr - addr % page_size;
  auto it = pages.find(page);
  return it == pages.end() ? 0xFF : it->second[addr - page];
}

void Port::flash_put(uint32_t addr, std::vector<uint8_t> const &bytes) {
  for (size_t i = 0; i < bytes.size(); i++) {
    uint32_t const at = addr + static_cast<uint32_t>(i);
    uint32_t const page = at - at % page_size;
    auto &p = pages[page];
    if (p.empty()) {
      p.assign(page_size, 0xFF);
    }
    p[at - page] = bytes[i];
  }
}

void Port::flash_erase_all() { pages.clear(); }

int Port::total_erases() const {
  int n = 0;
  for (auto const &s : page_stats) {
    n += s.second.erases;
  }
  return n;
}

int Port::total_programs() const {
  int n = 0;
  for (auto const &s : page_stats) {
    n += s.second.programs;
  }
  return n;
}

}  // namespace fake

using fake::port;

// ---- System ----
void uhal_sys_board_critical_section_begin(uint32_t *mask) {
  *mask = port.primask;
  port.primask = 1;
}

void uhal_sys_board_critical_section_end(uint32_t *mask) { port.primask = *mask; }

void uhal_sys_reboot(void) { port.log.push_back("reboot"); }

#ifdef SUPPORT_LORA
uint32_t uhal_sys_random(uint32_t maxvalue) { return maxvalue; }
#endif

void qiv_event_handler_func(void *p_event_data, uint16_t event_data_size) {
  if (port.dispatcher) {
    port.dispatcher(p_event_data, event_data_size);
  }
}

// ---- Flash ----
void uhal_flash_init(void) {}

uint32_t uhal_flash_get_page_size(void) { return port.page_size; }

// Page by page rather than byte by byte: the fuzz targets read and write
// whole records on every input.
int32_t uhal_flash_read(uint32_t addr, uint8_t *buff, uint32_t len) {
  for (uint32_t i = 0; i < len;) {
    uint32_t const at = addr + i;
    uint32_t const page = at - at % port.page_size;
    uint32_t const offset = at - page;
    uint32_t const n = std::min(port.page_size - offset, len - i);
    auto const it = port.pages.find(page);
    if (it == port.pages.end()) {
      memset(buff + i, 0xFF, n);
    } else {
      memcpy(buff + i, it->second.data() + offset, n);
    }
    i += n;
  }
  return 0;
}

int32_t uhal_flash_erase(uint32_t addr, uint32_t len) {
  for (uint32_t page = addr - addr % port.page_size; page < addr + len; page += port.page_size) {
    if (page == port.fail_erase_at) {
      return -7;
    }
    port.pages[page].assign(port.page_size, 0xFF);
    port.page_stats[page].erases++;
    port.log.push_back("flash_erase");
    if (port.on_erase) {
      port.on_erase(page);
    }
  }
  return 0;
}

int32_t uhal_flash_write(uint32_t addr, uint8_t const *buff, uint32_t len) {
  uint32_t const page = addr - addr % port.page_size;
  if (page == port.fail_program_at) {
    return -7;
  }
  uint32_t const write_unit = fake::write_unit;
  bool allowed = addr % write_unit == 0 && len % write_unit == 0;
  for (uint32_t i = 0; allowed && i < len; i++) {
    allowed = port.flash_byte(addr + i) == 0xFF;
  }
  if (!allowed) {
    port.refused_programs++;
    return -7;
  }
  port.page_stats[page].programs++;
  port.log.push_back("flash_program");
  for (uint32_t unit = 0; unit < len; unit += write_unit) {
    if (port.units_before_failure == 0) {
      return -7;
    }
    if (port.units_before_failure != UINT32_MAX) {
      port.units_before_failure--;
    }
    std::vector<uint8_t> bytes(buff + unit, buff + unit + write_unit);
    port.flash_put(addr + unit, bytes);
  }
  return 0;
}

void uhal_enter_dfu(void) {
  port.dfu_entries++;
  port.log.push_back("enter_dfu");
}

// ---- Serial ----
static void uart_init(SERIAL_PORT p, uint32_t baud, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E,
                      SERIAL_PARITY_E, SERIAL_WIRE_MODE_E) {
  port.serial[p].open = true;
  port.serial[p].inits++;
  port.serial[p].baudrate = baud;
}

static void uart_deinit(SERIAL_PORT p) {
  port.serial[p].open = false;
  port.serial[p].deinits++;
}

static int32_t uart_write(SERIAL_PORT p, uint8_t const *data, uint32_t len, uint32_t) {
  port.serial[p].tx.append(reinterpret_cast<char const *>(data), len);
  return static_cast<int32_t>(len);
}

static int32_t uart_read(SERIAL_PORT p, uint8_t *buffer, uint32_t len, uint32_t) {
  std::string &rx = port.serial[p].rx;
  uint32_t const n = len < rx.size() ? len : static_cast<uint32_t>(rx.size());
  memcpy(buffer, rx.data(), n);
  rx.erase(0, n);
  return static_cast<int32_t>(n);
}

static int32_t uart_peek(SERIAL_PORT p) {
  std::string const &rx = port.serial[p].rx;
  return rx.empty() ? -7 : static_cast<uint8_t>(rx[0]);
}

static void uart_flush(SERIAL_PORT, uint32_t) {}

static int32_t uart_available(SERIAL_PORT p) {
  return static_cast<int32_t>(port.serial[p].rx.size());
}

udrv_serial_api serial_uart_driver = {uart_init, uart_deinit, uart_write,     uart_read,
                                      uart_peek, uart_flush,  uart_available, nullptr};
#ifdef SUPPORT_BLE
udrv_serial_api serial_ble_driver = serial_uart_driver;
#endif
#ifdef SUPPORT_USB
udrv_serial_api serial_usb_driver = serial_uart_driver;
#endif
#ifdef SUPPORT_NFC
udrv_serial_api serial_nfc_driver = serial_uart_driver;
#endif

bool uhal_uart_baudrate_supported(uint32_t baudrate) {
  return baudrate >= port.min_baudrate && baudrate <= port.max_baudrate;
}

void uhal_uart_suspend(void) { port.log.push_back("serial_suspend"); }

void uhal_uart_resume(void) { port.log.push_back("serial_resume"); }

#ifdef SUPPORT_USB
void uhal_usb_suspend(void) { port.log.push_back("usb_suspend"); }

void uhal_usb_resume(void) { port.log.push_back("usb_resume"); }
#endif

// ---- Clock, timers and the other device classes ----
#ifdef QIV_MCU_STM32WLE5
uint64_t uhal_rtc_get_timestamp(void)
#else
uint64_t uhal_rtc_get_timestamp(RtcID_E)
#endif
{
  uint64_t const now = port.now_ms;
  port.now_ms += port.clock_step_ms;
  return now;
}

void uhal_rtc_suspend(void) { port.log.push_back("rtc_suspend"); }

void uhal_rtc_resume(void) { port.log.push_back("rtc_resume"); }

void uhal_gpio_suspend(void) { port.log.push_back("gpio_suspend"); }

void uhal_gpio_resume(void) { port.log.push_back("gpio_resume"); }

void uhal_gpio_init(uint32_t, gpio_dir_t, gpio_pull_t, gpio_logic_t) {}

void uhal_gpio_set_dir(uint32_t, gpio_dir_t) {}

void uhal_gpio_set_pull(uint32_t, gpio_pull_t) {}

void uhal_gpio_set_logic(uint32_t, gpio_logic_t) {}

gpio_logic_t uhal_gpio_get_logic(uint32_t) { return GPIO_LOGIC_LOW; }

void uhal_gpio_intc_trigger_mode(uint32_t, gpio_intc_trigger_mode_t) {}

int32_t uhal_gpio_register_isr(uint32_t, gpio_isr_func) { return 0; }

void uhal_gpio_handler_handler(void *) { port.log.push_back("gpio_handler"); }

void uhal_pwm_suspend(void) { port.log.push_back("pwm_suspend"); }

void uhal_pwm_resume(void) { port.log.push_back("pwm_resume"); }

UDRV_ADC_RESOLUTION uhal_adc_get_resolution(void) { return UDRV_ADC_RESOLUTION_10BIT; }

UDRV_ADC_MODE uhal_adc_get_mode(void) { return UDRV_ADC_MODE_DEFAULT; }

int32_t uhal_adc_read(uint32_t, int16_t *value) {
  *value = 0;
  return 0;
}

void uhal_adc_suspend(void) { port.log.push_back("adc_suspend"); }

void uhal_adc_resume(void) { port.log.push_back("adc_resume"); }

void uhal_spimst_suspend(void) { port.log.push_back("spimst_suspend"); }

void uhal_spimst_resume(void) { port.log.push_back("spimst_resume"); }

static void twi_init(udrv_twimst_port p) { port.log.push_back("twimst_init " + std::to_string(p)); }

static int32_t twi_deinit(udrv_twimst_port p) {
  port.log.push_back("twimst_deinit " + std::to_string(p));
  return 0;
}

static int32_t twi_write(udrv_twimst_port, uint8_t, uint8_t const *, uint16_t len, bool) {
  return len;
}

static int32_t twi_read(udrv_twimst_port, uint8_t, uint8_t *, uint16_t len) { return len; }

static void twi_suspend(void) { port.log.push_back("twimst_suspend"); }

static void twi_resume(void) { port.log.push_back("twimst_resume"); }

udrv_twimst_api twimst_driver = {twi_init, twi_deinit,  nullptr,   twi_write,
                                 twi_read, twi_suspend, twi_resume};

static void timer_init(void) { port.log.push_back("timer_init"); }

udrv_timer_api timer_driver = {timer_init, nullptr, nullptr, nullptr};

int32_t uhal_sys_timer_create(SysTimerID_E, timer_handler, TimerMode_E) { return 0; }

int32_t uhal_sys_timer_start(SysTimerID_E, uint32_t, void *) { return 0; }

int32_t uhal_sys_timer_stop(SysTimerID_E) { return 0; }

void uhal_timer_handler_handler(void *) { port.log.push_back("timer_handler"); }

int32_t uhal_sys_user_app_timer_create(timer_handler, TimerMode_E) { return 0; }

int32_t uhal_sys_user_app_timer_start(uint32_t, void *) { return 0; }

int32_t uhal_sys_user_app_timer_stop(void) {
  port.user_app_timer_stops++;
  return 0;
}

void uhal_delay_ms(uint32_t ms_time) { port.now_ms += ms_time; }

// ---- Power save ----
static void mcu_sleep(uint8_t level) {
  port.log.push_back("mcu_sleep " + std::to_string(level));
  if (port.on_sleep) {
    port.on_sleep();
  } else {
    udrv_powersave_in_sleep = false;
  }
}

static void clock_init(void) { port.log.push_back("clock_init"); }

static void clock_on(void) { port.log.push_back("clock_on"); }

static void clock_off(void) { port.log.push_back("clock_off"); }

udrv_powersave_api powersave_driver = {mcu_sleep, clock_init, clock_on, clock_off};

int32_t uhal_ps_timer_create(timer_handler, TimerMode_E) {
  port.log.push_back("ps_timer_create");
  return 0;
}

int32_t uhal_ps_timer_start(uint32_t count) {
  port.log.push_back("ps_timer_start " + std::to_string(count));
  return 0;
}

int32_t uhal_ps_timer_stop(void) {
  port.log.push_back("ps_timer_stop");
  return 0;
}

// ---- The board's band strap and the AT interpreter ----
uint8_t BoardGetHardwareFreq(void) {
  port.band_strap_reads++;
  return port.band_strap;
}

void service_mode_cli_init(SERIAL_PORT p) { port.cli_inits[p]++; }

void service_mode_cli_handler(SERIAL_PORT p, char ch) { port.cli_bytes[p].push_back(ch); }

#ifndef QIV_MCU_STM32WLE5
// ---- The RTC alarm operations of the ports with their own timer list ----
int32_t uhal_rtc_init(RtcID_E, rtc_handler, uint32_t) { return 0; }

uint64_t uhal_rtc_tick2ms(uint64_t tick) { return tick * 1000 / 32768; }

uint64_t uhal_rtc_ms2tick(uint64_t ms) { return ms * 32768 / 1000; }

int32_t uhal_rtc_set_alarm(RtcID_E, uint64_t, void *) { return 0; }

int32_t uhal_rtc_cancel_alarm(RtcID_E) { return 0; }

uint64_t uhal_rtc_get_counter(RtcID_E) { return uhal_rtc_ms2tick(port.now_ms); }

uint64_t uhal_rtc_get_elapsed_time(RtcID_E, uint64_t old_ts) { return port.now_ms - old_ts; }

void uhal_rtc_handler_handler(void *) { port.log.push_back("rtc_handler"); }
#endif

#ifdef QIV_MCU_APOLLO3
static void spi_init(udrv_spimst_port p) { port.log.push_back("spimst_init " + std::to_string(p)); }

static void spi_deinit(udrv_spimst_port p) {
  port.log.push_back("spimst_deinit " + std::to_string(p));
}

static int8_t spi_trx(udrv_spimst_port, uint8_t const *, uint32_t, uint8_t *, uint32_t, uint32_t) {
  return 0;
}

udrv_spimst_api spimst_driver = {spi_init,   nullptr, nullptr, nullptr,
                                 spi_deinit, spi_trx, nullptr, nullptr};
#endif

#ifdef SUPPORT_BLE
// ---- BLE ----
void uhal_ble_stack_init(void) { port.log.push_back("ble_stack_init"); }

void uhal_stop_ble(void) { port.log.push_back("stop_ble"); }

void uhal_scan_init(uint8_t connect_if_match) {
  port.log.push_back("scan_init " + std::to_string(connect_if_match));
}

void uhal_gap_params_init(void) { port.log.push_back("gap_params_init"); }

void uhal_gatt_init(void) { port.log.push_back("gatt_init"); }

void uhal_conn_params_init(void) { port.log.push_back("conn_params_init"); }

void uhal_nus_peer_manager_init(void) { port.log.push_back("nus_peer_manager_init"); }

void uhal_services_init(void) { port.log.push_back("services_init"); }

void uhal_advertising_init(void) { port.log.push_back("advertising_init"); }

void uhal_ble_switch_service_mode(uint8_t service_mode) {
  port.log.push_back("switch_service_mode " + std::to_string(service_mode));
}

int32_t uhal_ble_set_macaddress(char const *macaddr) {
  port.log.push_back(std::string("set_macaddress ") + macaddr);
  return port.ble_mac_result;
}

int32_t uhal_advertising_start(uint8_t time_out) {
  port.log.push_back("advertising_start " + std::to_string(time_out));
  return 0;
}

int32_t uhal_ble_set_device_name(char const *name, uint8_t length) {
  port.log.push_back("set_device_name " + std::string(name, length));
  return 0;
}
#endif

// The nRF52840 stand-ins on the simulated chip: RTC2 across its 24-bit wrap,
// application timers at their tick times, UARTE transfers, the USB CDC-ACM
// port with the host opening, closing and stalling it and its suspend, flash
// storage, and GPREGRET through a reset.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app_timer.h"
#include "app_usbd.h"
#include "app_usbd_cdc_acm.h"
#include "nrf.h"
#include "nrf52840_sim.h"
#include "nrf_drv_uart.h"
#include "nrf_fstorage_sd.h"
#include "nrf_soc.h"
#include "nrfx_rtc.h"
#include "sim/host.h"
#include "sim/sim.h"

const app_usbd_descriptor_config_t app_usbd_descriptor_config = {
    0x1915, 0x521F, 1, 0, 0, "Maker", "Module Serial", "Default configuration", 0x0409, true, 100};

namespace {

struct ChipReset {};

// The microsecond at which low-frequency tick n has happened.
sim::time_us tick_time(uint64_t n) { return (n * 1000000u + 32767u) / 32768u; }

class Nrf52840Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::host::set_reset_handler([](void*, const char*) { throw ChipReset{}; }, nullptr);
    char path[] = "/tmp/nrf52840-platform-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(path);
    path_ = path;
    std::string error;
    ASSERT_TRUE(sim::host::flash_open(path_, sim::FlashGeometry{0, 0x100000, 4096, 4}, &error))
        << error;
    nrfsim::reset_platform();
  }
  void TearDown() override {
    sim::host::reset_core();
    unlink(path_.c_str());
    unlink((path_ + ".stats").c_str());
  }
  std::string path_;
};

// ------------------------------------------------------------------ RTC2 --
std::vector<std::pair<sim::time_us, nrfx_rtc_int_type_t>> g_rtc_events;
void rtc_handler(nrfx_rtc_int_type_t t) { g_rtc_events.push_back({sim::now(), t}); }

TEST_F(Nrf52840Platform, Rtc2WrapsAfter24BitsAndReportsTheOverflowThen) {
  g_rtc_events.clear();
  const nrfx_rtc_t rtc = NRFX_RTC_INSTANCE(2);
  nrfx_rtc_config_t cfg = NRFX_RTC_DEFAULT_CONFIG;
  ASSERT_EQ(nrfx_rtc_init(&rtc, &cfg, rtc_handler), NRFX_SUCCESS);
  EXPECT_EQ(nrfx_rtc_init(&rtc, &cfg, rtc_handler), NRFX_ERROR_INVALID_STATE);
  nrfx_rtc_overflow_enable(&rtc, true);
  EXPECT_EQ(nrfx_rtc_max_ticks_get(&rtc), 0xFFFFFFu);
  nrfx_rtc_enable(&rtc);

  const uint64_t wrap = uint64_t{1} << 24;
  sim::run_until(tick_time(wrap) - 1);
  EXPECT_EQ(nrfx_rtc_counter_get(&rtc), 0xFFFFFFu);
  EXPECT_TRUE(g_rtc_events.empty());
  sim::run_until(tick_time(wrap));
  EXPECT_EQ(nrfx_rtc_counter_get(&rtc), 0u);
  ASSERT_EQ(g_rtc_events.size(), 1u);
  EXPECT_EQ(g_rtc_events[0].first, tick_time(wrap));
  EXPECT_EQ(g_rtc_events[0].second, NRFX_RTC_INT_OVERFLOW);
  // And again one full turn later.
  sim::run_until(tick_time(2 * wrap));
  EXPECT_EQ(g_rtc_events.size(), 2u);
}

TEST_F(Nrf52840Platform, Rtc2CountsAtThePrescaledRateAndKeepsItsCountWhileStopped) {
  struct Case {
    uint16_t prescaler;
    uint32_t compare;
  };
  for (Case c : {Case{0, 33}, Case{3276, 7}, Case{0, 0xFFFFFF}}) {
    SetUp();
    g_rtc_events.clear();
    const nrfx_rtc_t rtc = NRFX_RTC_INSTANCE(2);
    nrfx_rtc_config_t cfg = NRFX_RTC_DEFAULT_CONFIG;
    cfg.prescaler = c.prescaler;
    ASSERT_EQ(nrfx_rtc_init(&rtc, &cfg, rtc_handler), NRFX_SUCCESS);
    nrfx_rtc_enable(&rtc);
    ASSERT_EQ(nrfx_rtc_cc_set(&rtc, 0, c.compare, true), NRFX_SUCCESS);
    sim::time_us due = tick_time(uint64_t{c.compare} * (c.prescaler + 1u));
    sim::run_until(due + 1);
    ASSERT_EQ(g_rtc_events.size(), 1u) << c.prescaler;
    EXPECT_EQ(g_rtc_events[0].first, due) << c.prescaler;
    EXPECT_EQ(g_rtc_events[0].second, NRFX_RTC_INT_COMPARE0);
    nrfx_rtc_disable(&rtc);
    uint32_t held = nrfx_rtc_counter_get(&rtc);
    sim::run_until(due + 10000000);
    EXPECT_EQ(nrfx_rtc_counter_get(&rtc), held);
  }
}

// ------------------------------------------------------------ app_timer --
std::vector<sim::time_us> g_expiries;
void on_expiry(void* ctx) {
  g_expiries.push_back(sim::now());
  EXPECT_EQ(ctx, &g_expiries);
  EXPECT_TRUE(sim::in_isr());
}

TEST_F(Nrf52840Platform, AppTimersExpireAtTheTimeOfTheirTick) {
  g_expiries.clear();
  APP_TIMER_DEF(single);
  APP_TIMER_DEF(repeated);
  ASSERT_EQ(app_timer_init(), NRF_SUCCESS);
  ASSERT_EQ(app_timer_create(&single, APP_TIMER_MODE_SINGLE_SHOT, on_expiry), NRF_SUCCESS);
  ASSERT_EQ(app_timer_create(&repeated, APP_TIMER_MODE_REPEATED, on_expiry), NRF_SUCCESS);
  EXPECT_EQ(app_timer_start(single, 4, &g_expiries), NRF_ERROR_INVALID_PARAM);
  EXPECT_EQ(app_timer_start(single, 0x1000000, &g_expiries), NRF_ERROR_INVALID_PARAM);
  ASSERT_EQ(app_timer_start(single, 33, &g_expiries), NRF_SUCCESS);
  ASSERT_EQ(app_timer_start(repeated, 32768, &g_expiries), NRF_SUCCESS);
  sim::run_until(tick_time(33) - 1);
  EXPECT_TRUE(g_expiries.empty());
  sim::run_until(2500000);
  EXPECT_EQ(g_expiries, (std::vector<sim::time_us>{tick_time(33), 1000000, 2000000}));
  // Stopped, a repeated timer stays quiet; a stop of a stopped one is fine.
  EXPECT_EQ(app_timer_stop(repeated), NRF_SUCCESS);
  EXPECT_EQ(app_timer_stop(repeated), NRF_SUCCESS);
  sim::run_until(5000000);
  EXPECT_EQ(g_expiries.size(), 3u);
}

// ---------------------------------------------------------------- UARTE --
struct UartLog {
  std::vector<nrf_drv_uart_event_t> events;
  std::vector<sim::time_us> times;
  std::string out;
  uint8_t rx = 0;
  bool rearm = true;
} g_uart;
const nrf_drv_uart_t kUarte0 = NRF_DRV_UART_INSTANCE(0);

void uart_handler(nrf_drv_uart_event_t* e, void*) {
  g_uart.events.push_back(*e);
  g_uart.times.push_back(sim::now());
  if (e->type == NRF_DRV_UART_EVT_RX_DONE && g_uart.rearm) nrf_drv_uart_rx(&kUarte0, &g_uart.rx, 1);
}

TEST_F(Nrf52840Platform, UarteReceivesIntoArmedBuffersAndSignalsTransmitsAfterTheirLineTime) {
  g_uart = UartLog{};
  sim::host::uart_set_output(
      0, [](void*, int, const uint8_t* d, size_t n) { g_uart.out.append(d, d + n); }, nullptr);
  nrf_drv_uart_config_t cfg{20,
                            19,
                            NRF_UART_PSEL_DISCONNECTED,
                            NRF_UART_PSEL_DISCONNECTED,
                            nullptr,
                            NRF_UART_HWFC_DISABLED,
                            NRF_UART_PARITY_EXCLUDED,
                            NRF_UART_BAUDRATE_115200,
                            6,
                            true};
  ASSERT_EQ(nrf_drv_uart_init(&kUarte0, &cfg, uart_handler), NRF_SUCCESS);
  EXPECT_EQ(nrfsim::uart_config(0).baud, 115200u);
  ASSERT_EQ(nrf_drv_uart_rx(&kUarte0, &g_uart.rx, 1), NRF_SUCCESS);
  EXPECT_EQ(nrf_drv_uart_rx(&kUarte0, &g_uart.rx, 1), NRF_ERROR_BUSY);
  const uint8_t in[] = {'A', 'B'};
  sim::host::uart_feed(0, in, 2, 0);
  sim::run_until(1000);
  ASSERT_EQ(g_uart.events.size(), 2u);
  EXPECT_EQ(g_uart.events[0].type, NRF_DRV_UART_EVT_RX_DONE);
  EXPECT_EQ(g_uart.events[0].data.rxtx.bytes, 1u);
  EXPECT_EQ(g_uart.times[0], sim::uart_byte_time(0));
  EXPECT_EQ(g_uart.rx, 'B');

  g_uart.events.clear();
  g_uart.times.clear();
  const uint8_t msg[] = {'h', 'i'};
  sim::time_us start = sim::now();
  ASSERT_EQ(nrf_drv_uart_tx(&kUarte0, msg, 2), NRF_SUCCESS);
  EXPECT_TRUE(nrf_drv_uart_tx_in_progress(&kUarte0));
  EXPECT_EQ(nrf_drv_uart_tx(&kUarte0, msg, 1), NRF_ERROR_BUSY);
  EXPECT_EQ(g_uart.out, "hi");
  sim::run_until(start + 1000);
  ASSERT_EQ(g_uart.events.size(), 1u);
  EXPECT_EQ(g_uart.events[0].type, NRF_DRV_UART_EVT_TX_DONE);
  EXPECT_EQ(g_uart.times[0], start + 2 * sim::uart_byte_time(0));
  EXPECT_FALSE(nrf_drv_uart_tx_in_progress(&kUarte0));
}

TEST_F(Nrf52840Platform, UarteKeepsFourBytesWhileNotReceivingAndLosesTheRest) {
  g_uart = UartLog{};
  g_uart.rearm = false;
  nrf_drv_uart_config_t cfg{20,
                            19,
                            NRF_UART_PSEL_DISCONNECTED,
                            NRF_UART_PSEL_DISCONNECTED,
                            nullptr,
                            NRF_UART_HWFC_DISABLED,
                            NRF_UART_PARITY_EXCLUDED,
                            NRF_UART_BAUDRATE_9600,
                            6,
                            true};
  ASSERT_EQ(nrf_drv_uart_init(&kUarte0, &cfg, uart_handler), NRF_SUCCESS);
  const uint8_t in[] = {'1', '2', '3', '4', '5', '6'};
  sim::host::uart_feed(0, in, 6, 0);
  sim::run_until(20000);
  std::string got;
  uint8_t buf[8] = {};
  ASSERT_EQ(nrf_drv_uart_rx(&kUarte0, buf, 8), NRF_SUCCESS);
  nrf_drv_uart_rx_abort(&kUarte0);
  sim::run_until(21000);
  ASSERT_EQ(g_uart.events.size(), 1u);
  EXPECT_EQ(std::string(buf, buf + g_uart.events[0].data.rxtx.bytes), "1234");
}

// ------------------------------------------------------------------ USB --
struct UsbLog {
  std::vector<int> cdc;
  std::vector<app_usbd_event_type_t> state;
  std::string out;
  uint8_t rx = 0;
} g_usb;

void usb_state(app_usbd_event_type_t e) {
  g_usb.state.push_back(e);
  if (e == APP_USBD_EVT_POWER_DETECTED) app_usbd_enable();
  if (e == APP_USBD_EVT_POWER_READY) app_usbd_start();
  if (e == APP_USBD_EVT_POWER_REMOVED) app_usbd_stop();
  if (e == APP_USBD_EVT_STOPPED) app_usbd_disable();
}
void usb_cdc(app_usbd_class_inst_t const*, app_usbd_cdc_acm_user_event_t e) {
  g_usb.cdc.push_back(e);
}
APP_USBD_CDC_ACM_GLOBAL_DEF(g_cdc, usb_cdc, 0, 1, NRF_DRV_USBD_EPIN2, NRF_DRV_USBD_EPIN1,
                            NRF_DRV_USBD_EPOUT1, APP_USBD_CDC_COMM_PROTOCOL_NONE);

void start_usb() {
  g_usb = UsbLog{};
  sim::host::uart_set_output(
      nrfsim::kSimUsb, [](void*, int, const uint8_t* d, size_t n) { g_usb.out.append(d, d + n); },
      nullptr);
  app_usbd_config_t cfg{usb_state};
  ASSERT_EQ(app_usbd_init(&cfg), NRF_SUCCESS);
  ASSERT_EQ(app_usbd_class_append(app_usbd_cdc_acm_class_inst_get(&g_cdc)), NRF_SUCCESS);
  ASSERT_EQ(app_usbd_power_events_enable(), NRF_SUCCESS);
  ASSERT_EQ(NRF_POWER->USBREGSTATUS & POWER_USBREGSTATUS_VBUSDETECT_Msk, 1u);
  app_usbd_internal_evt_t detected{APP_USBD_EVT_POWER_DETECTED};
  app_usbd_event_add(&detected);
  sim::run_until(sim::now() + 100000);
}

TEST_F(Nrf52840Platform, UsbHostOpensThePortWhenTheDeviceHasStartedAndTakesPacketsOneAtATime) {
  start_usb();
  ASSERT_EQ(g_usb.cdc, std::vector<int>{APP_USBD_CDC_ACM_USER_EVT_PORT_OPEN});
  EXPECT_TRUE(nrfsim::usb_port_open());
  const char packet[64] = "hello";
  ASSERT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 64), NRF_SUCCESS);
  EXPECT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 2), NRF_ERROR_BUSY);
  sim::run_until(sim::now() + 2000);
  ASSERT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 2), NRF_SUCCESS);
  sim::run_until(sim::now() + 2000);
  EXPECT_EQ(nrfsim::usb_packets(), (std::vector<size_t>{64, 2}));
  EXPECT_EQ(g_usb.out.size(), 66u);
  EXPECT_EQ(std::count(g_usb.cdc.begin(), g_usb.cdc.end(), APP_USBD_CDC_ACM_USER_EVT_TX_DONE), 2);

  // Reading: a byte in hand ends at once, a missing one later with RX done.
  EXPECT_EQ(app_usbd_cdc_acm_read(&g_cdc, &g_usb.rx, 1), NRF_ERROR_IO_PENDING);
  const uint8_t in[] = {'x', 'y'};
  sim::host::uart_feed(nrfsim::kSimUsb, in, 2, sim::now());
  sim::run_until(sim::now() + 1000);
  EXPECT_EQ(g_usb.cdc.back(), APP_USBD_CDC_ACM_USER_EVT_RX_DONE);
  EXPECT_EQ(g_usb.rx, 'x');
  EXPECT_EQ(app_usbd_cdc_acm_bytes_stored(&g_cdc), 1u);
  EXPECT_EQ(app_usbd_cdc_acm_read(&g_cdc, &g_usb.rx, 1), NRF_SUCCESS);
  EXPECT_EQ(g_usb.rx, 'y');
}

TEST_F(Nrf52840Platform, UsbHostThatStopsReadingHoldsTheWriteAndClosingEndsIt) {
  start_usb();
  nrfsim::usb_host_reading(false);
  const char packet[8] = "abc";
  ASSERT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 3), NRF_SUCCESS);
  sim::run_until(sim::now() + 1000000);
  EXPECT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 3), NRF_ERROR_BUSY);
  nrfsim::usb_host_reading(true);
  sim::run_until(sim::now() + 2000);
  EXPECT_EQ(g_usb.cdc.back(), APP_USBD_CDC_ACM_USER_EVT_TX_DONE);

  nrfsim::usb_host_open(false);
  sim::run_until(sim::now() + 1000);
  EXPECT_EQ(g_usb.cdc.back(), APP_USBD_CDC_ACM_USER_EVT_PORT_CLOSE);
  EXPECT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 3), NRF_ERROR_INVALID_STATE);
  nrfsim::usb_host_open(true);
  sim::run_until(sim::now() + 1000);
  EXPECT_EQ(g_usb.cdc.back(), APP_USBD_CDC_ACM_USER_EVT_PORT_OPEN);

  // The cable out: power removed, the device stops and the port closes.
  nrfsim::usb_set_vbus(false);
  sim::run_until(sim::now() + 1000);
  EXPECT_FALSE(nrfsim::usb_started());
  EXPECT_EQ(g_usb.state.back(), APP_USBD_EVT_STOPPED);
  EXPECT_EQ(NRF_POWER->USBREGSTATUS & POWER_USBREGSTATUS_VBUSDETECT_Msk, 0u);
}

// Suspend at the device's request: nothing leaves a suspended device, what
// it holds from the host stays, and its remote wake-up or the host's next
// bytes bring the bus back.
TEST_F(Nrf52840Platform, UsbDeviceSuspendedAtItsRequestSendsNothingAndKeepsWhatItHolds) {
  EXPECT_FALSE(app_usbd_suspend_req());  // on no bus yet
  start_usb();
  EXPECT_FALSE(app_usbd_wakeup_req());  // not suspended
  const uint8_t in[] = {'a', 'b'};
  sim::host::uart_feed(nrfsim::kSimUsb, in, 2, sim::now());
  sim::run_until(sim::now() + 1000);

  ASSERT_TRUE(app_usbd_suspend_req());
  EXPECT_TRUE(nrfsim::usb_suspended());
  EXPECT_TRUE(nrfsim::usb_port_open());
  const char packet[4] = "out";
  EXPECT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 3), NRF_ERROR_INVALID_STATE);
  sim::run_until(sim::now() + 2000);
  EXPECT_EQ(g_usb.out, "");
  EXPECT_EQ(app_usbd_cdc_acm_bytes_stored(&g_cdc), 2u);
  ASSERT_EQ(app_usbd_cdc_acm_read(&g_cdc, &g_usb.rx, 1), NRF_SUCCESS);
  EXPECT_EQ(g_usb.rx, 'a');

  EXPECT_TRUE(app_usbd_wakeup_req());
  EXPECT_FALSE(nrfsim::usb_suspended());
  ASSERT_EQ(app_usbd_cdc_acm_write(&g_cdc, packet, 3), NRF_SUCCESS);
  sim::run_until(sim::now() + 2000);
  EXPECT_EQ(g_usb.out, "out");
  EXPECT_EQ(g_usb.cdc.back(), APP_USBD_CDC_ACM_USER_EVT_TX_DONE);

  // The host resumes the bus to send: the byte arrives after the one held.
  ASSERT_TRUE(app_usbd_suspend_req());
  const uint8_t more = 'c';
  sim::host::uart_feed(nrfsim::kSimUsb, &more, 1, sim::now());
  sim::run_until(sim::now() + 1000);
  EXPECT_FALSE(nrfsim::usb_suspended());
  ASSERT_EQ(app_usbd_cdc_acm_read(&g_cdc, &g_usb.rx, 1), NRF_SUCCESS);
  EXPECT_EQ(g_usb.rx, 'b');
  ASSERT_EQ(app_usbd_cdc_acm_read(&g_cdc, &g_usb.rx, 1), NRF_SUCCESS);
  EXPECT_EQ(g_usb.rx, 'c');

  // A device stopped while suspended starts again awake.
  ASSERT_TRUE(app_usbd_suspend_req());
  nrfsim::usb_set_vbus(false);
  sim::run_until(sim::now() + 1000);
  EXPECT_FALSE(nrfsim::usb_suspended());
  EXPECT_FALSE(app_usbd_suspend_req());
}

// ---------------------------------------------------------------- flash --
std::vector<nrf_fstorage_evt_t> g_fs_events;
NRF_FSTORAGE_DEF(nrf_fstorage_t g_fs) = {[](nrf_fstorage_evt_t* e) { g_fs_events.push_back(*e); },
                                         0x70000, 0xEBFFF, nullptr, nullptr};

TEST_F(Nrf52840Platform, FlashStorageCompletesWritesLaterAndRefusesOutsideItsRange) {
  g_fs_events.clear();
  ASSERT_EQ(nrf_fstorage_init(&g_fs, &nrf_fstorage_sd, nullptr), NRF_SUCCESS);
  EXPECT_EQ(g_fs.p_flash_info->erase_unit, 4096u);
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(nrf_fstorage_write(&g_fs, 0x6F000, data, 8, nullptr), NRF_ERROR_INVALID_ADDR);
  EXPECT_EQ(nrf_fstorage_write(&g_fs, 0xEC000, data, 8, nullptr), NRF_ERROR_INVALID_ADDR);
  EXPECT_EQ(nrf_fstorage_write(&g_fs, 0xD0000, data, 6, nullptr), NRF_ERROR_INVALID_LENGTH);
  ASSERT_EQ(nrf_fstorage_write(&g_fs, 0xD0000, data, 8, nullptr), NRF_SUCCESS);
  EXPECT_TRUE(nrf_fstorage_is_busy(&g_fs));
  EXPECT_EQ(sim::flash_data()[0xD0000], 0xFF);
  while (nrf_fstorage_is_busy(&g_fs)) sd_app_evt_wait();
  sim::run_until(sim::now() + 100);
  ASSERT_EQ(g_fs_events.size(), 1u);
  EXPECT_EQ(g_fs_events[0].id, NRF_FSTORAGE_EVT_WRITE_RESULT);
  EXPECT_EQ(g_fs_events[0].result, NRF_SUCCESS);
  uint8_t back[8] = {};
  ASSERT_EQ(nrf_fstorage_read(&g_fs, 0xD0000, back, 8), NRF_SUCCESS);
  EXPECT_EQ(0, memcmp(back, data, 8));
  EXPECT_EQ(nrf_fstorage_read(&g_fs, 0xFD800, back, 8), NRF_ERROR_INVALID_ADDR);

  ASSERT_EQ(nrf_fstorage_erase(&g_fs, 0xD0000, 1, nullptr), NRF_SUCCESS);
  while (nrf_fstorage_is_busy(&g_fs)) sd_app_evt_wait();
  EXPECT_EQ(sim::flash_data()[0xD0000], 0xFF);
}

// ------------------------------------------------------------- GPREGRET --
TEST_F(Nrf52840Platform, GpregretSurvivesAResetAndTheResetRequestNeedsItsKey) {
  EXPECT_EQ(nrfsim::gpregret(), 0u);
  ASSERT_EQ(sd_power_gpregret_set(0, BOOTLOADER_DFU_START), NRF_SUCCESS);
  SCB->AIRCR = SCB_AIRCR_SYSRESETREQ_Msk;  // no key: ignored
  bool reset = false;
  try {
    SCB->AIRCR = (0x5FAu << SCB_AIRCR_VECTKEY_Pos) | SCB_AIRCR_SYSRESETREQ_Msk;
  } catch (const ChipReset&) {
    reset = true;
  }
  ASSERT_TRUE(reset);
  nrfsim::reset_platform();
  EXPECT_EQ(nrfsim::gpregret(), 0xB1u);
  EXPECT_EQ(NRF_POWER->GPREGRET, 0xB1u);
}

}  // namespace

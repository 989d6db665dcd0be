// What the boards of the nRF52840 port set apart, built once per board: the
// USB product name, the pins the UART driver is given, the I2C master behind each I2C port and the
// bus it reaches, the fatal-error handler a failed driver call goes to, and
// (on the tracker board) the modem's hooks around the clock in the sleep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nrf52840_sim.h"
#include "nrf_drv_clock.h"
#include "port_fakes.h"
#include "sim/host.h"
#include "sim/i2c_bus.h"
#include "sim/sim.h"
#include "udrv_powersave.h"
#include "udrv_twimst.h"

extern udrv_serial_api serial_uart_driver;

bool udrv_powersave_sleep_goes_on(void) { return udrv_powersave_in_sleep; }

namespace {

#if defined(QIV_BOARD_VOSTREL)
constexpr uint32_t kUart0Tx = 32 + 2, kUart0Rx = 32 + 1, kUart1Tx = 6, kUart1Rx = 8;
constexpr uint32_t kI2cMasters = 2;
constexpr bool kBareHandler = true;
const char* const kProduct = "Vostrel Serial COM";
#else
constexpr uint32_t kUart0Tx = 20, kUart0Rx = 19, kUart1Tx = 16, kUart1Rx = 15;
constexpr uint32_t kI2cMasters = 1;
constexpr bool kBareHandler = false;
const char* const kProduct = "Minacor Serial COM";
#endif

// An I2C device that records its transactions ("W" or "R" for a start, the
// bytes written, "P" for the stop) and refuses a written 0xEE.
struct Recorder : sim::I2cTarget {
  std::string seen;
  bool start(bool read) override {
    seen += read ? "R" : "W";
    return true;
  }
  bool write(uint8_t b) override {
    seen += " " + std::to_string(b);
    return b != 0xEE;
  }
  uint8_t read() override { return 0x5A; }
  void stop() override { seen += " P;"; }
};

class Nrf52840Board : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    nrfsim::reset_platform();
    g_fakes = PortFakes{};
    udrv_powersave_in_sleep = false;
  }
  void TearDown() override {
    for (uint32_t p = 0; p < UDRV_TWIMST_MAX; p++) {
      twimst_driver.TWIMST_DEINIT(static_cast<udrv_twimst_port>(p));
    }
    sim::host::reset_core();
  }
};

TEST_F(Nrf52840Board, TheUsbHostSeesTheBoardsName) {
  EXPECT_EQ(nrfsim::usb_product(), kProduct);
  EXPECT_EQ(nrfsim::usb_manufacturer(), "Velnatronic");
}

TEST_F(Nrf52840Board, TheUartsRunOnTheBoardsPins) {
  for (SERIAL_PORT port : {SERIAL_UART0, SERIAL_UART1}) {
    serial_uart_driver.SERIAL_INIT(port, 115200, SERIAL_WORD_LEN_8, SERIAL_STOP_BIT_1,
                                   SERIAL_PARITY_DISABLE, SERIAL_TWO_WIRE_NORMAL_MODE);
  }
  ASSERT_TRUE(nrfsim::uart_config(0).open);
  ASSERT_TRUE(nrfsim::uart_config(1).open);
  EXPECT_EQ(nrfsim::uart_config(0).pseltxd, kUart0Tx);
  EXPECT_EQ(nrfsim::uart_config(0).pselrxd, kUart0Rx);
  EXPECT_EQ(nrfsim::uart_config(1).pseltxd, kUart1Tx);
  EXPECT_EQ(nrfsim::uart_config(1).pselrxd, kUart1Rx);
  for (SERIAL_PORT port : {SERIAL_UART0, SERIAL_UART1}) serial_uart_driver.SERIAL_DEINIT(port);
}

// Port n with a master behind it reaches bus n and nothing else; ports
// without one are only marked open: a write answers -7, a read -3. An
// address nobody answers, or a refused byte, answers -4.
TEST_F(Nrf52840Board, EachI2cPortReachesItsOwnBusOrNone) {
  Recorder on_bus[2];
  sim::i2c_attach(0, 0x44, &on_bus[0]);
  sim::i2c_attach(1, 0x44, &on_bus[1]);
  for (uint32_t p = 0; p < UDRV_TWIMST_MAX; p++) {
    twimst_driver.TWIMST_INIT(static_cast<udrv_twimst_port>(p));
  }
  const uint8_t reg[] = {0x01, 0x02};
  for (uint32_t p = 0; p < UDRV_TWIMST_MAX; p++) {
    SCOPED_TRACE(p);
    auto port = static_cast<udrv_twimst_port>(p);
    on_bus[0].seen.clear();
    on_bus[1].seen.clear();
    uint8_t got[2] = {};
    const bool master = p < kI2cMasters;
    EXPECT_EQ(twimst_driver.TWIMST_WRITE(port, 0x44, reg, 2, true), master ? 0 : -7);
    EXPECT_EQ(twimst_driver.TWIMST_READ(port, 0x44, got, 2), master ? 0 : -3);
    for (uint32_t bus = 0; bus < 2; bus++) {
      EXPECT_EQ(on_bus[bus].seen, master && bus == p ? "W 1 2 P;R P;" : "") << bus;
    }
    if (!master) continue;
    EXPECT_EQ(got[0], 0x5A);
    EXPECT_EQ(twimst_driver.TWIMST_WRITE(port, 0x45, reg, 2, true), -4);
    EXPECT_EQ(twimst_driver.TWIMST_READ(port, 0x45, got, 2), -4);
    const uint8_t refused[] = {0x10, 0xEE, 0x11};
    on_bus[p].seen.clear();
    EXPECT_EQ(twimst_driver.TWIMST_WRITE(port, 0x44, refused, 3, true), -4);
    EXPECT_EQ(on_bus[p].seen, "W 16 238 P;");
    // Without the stop the bus is held: the read follows as a repeated start.
    on_bus[p].seen.clear();
    EXPECT_EQ(twimst_driver.TWIMST_WRITE(port, 0x44, reg, 1, false), 0);
    EXPECT_EQ(twimst_driver.TWIMST_READ(port, 0x44, got, 1), 0);
    EXPECT_EQ(on_bus[p].seen, "W 1R P;");
    // A new rate re-opens the master; it still answers.
    twimst_driver.TWIMST_SETUP_FREQ(port, 100000);
    EXPECT_EQ(twimst_driver.TWIMST_WRITE(port, 0x44, reg, 2, true), 0);
  }
  // Over a sleep the masters are closed and opened again.
  twimst_driver.TWIMST_SUSPEND();
  twimst_driver.TWIMST_RESUME();
  EXPECT_EQ(twimst_driver.TWIMST_WRITE(UDRV_TWIMST_0, 0x44, reg, 2, true), 0);
  sim::i2c_attach(0, 0x44, nullptr);
  sim::i2c_attach(1, 0x44, nullptr);
}

// A read the driver refuses to start (the master closed under the port) is
// fatal, through the board's error handler: the tracker board's takes the
// result alone.
TEST_F(Nrf52840Board, AFailedDriverCallGoesToTheBoardsErrorHandler) {
  twimst_driver.TWIMST_INIT(UDRV_TWIMST_0);
  twimst_driver.TWIMST_SUSPEND();
  uint8_t got[1];
  try {
    (void)twimst_driver.TWIMST_READ(UDRV_TWIMST_0, 0x44, got, 1);
    ADD_FAILURE() << "the refused read returned";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.code, NRF_ERROR_INVALID_STATE);
    EXPECT_EQ(e.bare, kBareHandler);
  }
  twimst_driver.TWIMST_RESUME();
}

#ifdef BOARD_HAS_SLEEP_HOOKS
std::vector<std::string> g_hooks;
}  // namespace

// The modem goes off once the clock is released and comes on before the
// clock is asked for again.
void board_sleep_enter(void) {
  g_hooks.push_back(nrf_drv_clock_hfclk_is_running() ? "enter, clock on" : "enter, clock off");
}
void board_sleep_exit(void) {
  g_hooks.push_back(nrf_drv_clock_hfclk_is_running() ? "exit, clock on" : "exit, clock off");
}

namespace {

TEST_F(Nrf52840Board, TheModemHooksSitInsideTheClocksSleepSpan) {
  powersave_driver.SYS_CLOCK_INIT();
  ASSERT_TRUE(nrf_drv_clock_hfclk_is_running());
  g_hooks.clear();
  powersave_driver.SYS_CLOCK_OFF();
  EXPECT_FALSE(nrf_drv_clock_hfclk_is_running());
  powersave_driver.SYS_CLOCK_ON();
  sim::run_until(sim::now() + 1000);
  EXPECT_TRUE(nrf_drv_clock_hfclk_is_running());
  EXPECT_EQ(g_hooks, (std::vector<std::string>{"enter, clock off", "exit, clock off"}));
}
#endif

}  // namespace

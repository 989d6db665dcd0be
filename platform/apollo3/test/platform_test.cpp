// The Apollo3 stand-in on the simulated chip: UART FIFO and timeout
// interrupts, pad edges, the SX1262 on IOM1, the flash controller's rules,
// the STIMER and CTIMER, the ADC, masking and the trace channel.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "am_bsp.h"
#include "am_mcu_apollo.h"
#include "am_util.h"
#include "apollo3_sim.h"
#include "rtt.h"
#include "sim/host.h"
#include "sim/i2c_bus.h"
#include "sim/sim.h"

namespace {

struct ChipReset {};

class Apollo3 : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    sim::host::set_reset_handler([](void*, const char*) { throw ChipReset{}; }, nullptr);
    char path[] = "/tmp/apollo3-platform-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(path);
    path_ = path;
    std::string error;
    ASSERT_TRUE(
        sim::host::flash_open(path_, sim::FlashGeometry{0, 1024u * 1024u, 8192u, 4u}, &error))
        << error;
    apollo3sim::reset_platform();
    ASSERT_TRUE(apollo3sim::map_flash());
  }
  void TearDown() override {
    sim::host::reset_core();
    unlink(path_.c_str());
    unlink((path_ + ".stats").c_str());
  }
  std::string path_;
};

// ------------------------------------------------------------------ UART --
struct UartIsrLog {
  sim::time_us at;
  uint32_t status;
  uint32_t bytes;
};
void* g_uart;
std::vector<UartIsrLog> g_uart_log;
std::string g_uart_rx;

// The shape of the port's handler: status, then up to 23 bytes from the FIFO.
void uart_isr() {
  uint32_t status = 0;
  am_hal_uart_interrupt_status_get(g_uart, &status, true);
  am_hal_uart_interrupt_clear(g_uart, status);
  uint32_t got = 0;
  if (status & (AM_HAL_UART_INT_RX | AM_HAL_UART_INT_RX_TMOUT)) {
    uint8_t buf[23];
    am_hal_uart_transfer_t t{AM_HAL_UART_READ, buf, sizeof buf, 0, &got};
    am_hal_uart_transfer(g_uart, &t);
    g_uart_rx.append(reinterpret_cast<char*>(buf), got);
  }
  g_uart_log.push_back({sim::now(), status, got});
}

void open_uart0(uint32_t baud) {
  ASSERT_EQ(am_hal_uart_initialize(0, &g_uart), 0u);
  ASSERT_EQ(am_hal_uart_power_control(g_uart, AM_HAL_SYSCTRL_WAKE, false), 0u);
  const am_hal_uart_config_t cfg{baud,
                                 AM_HAL_UART_DATA_BITS_8,
                                 AM_HAL_UART_PARITY_NONE,
                                 AM_HAL_UART_ONE_STOP_BIT,
                                 AM_HAL_UART_FLOW_CTRL_NONE,
                                 AM_HAL_UART_TX_FIFO_3_4 | AM_HAL_UART_RX_FIFO_3_4,
                                 nullptr,
                                 0,
                                 nullptr,
                                 0};
  ASSERT_EQ(am_hal_uart_configure(g_uart, &cfg), 0u);
  apollo3sim::set_isr(UART0_IRQn, uart_isr);
  NVIC_SetPriority(UART0_IRQn, 4);
  NVIC_EnableIRQ(UART0_IRQn);
  am_hal_uart_interrupt_enable(
      g_uart, AM_HAL_UART_INT_TXCMP | AM_HAL_UART_INT_RX | AM_HAL_UART_INT_RX_TMOUT);
}

// A burst raises the threshold interrupt at the 24th byte and the timeout
// interrupt 32 bit times after the last: two interrupts for 30 bytes.
TEST_F(Apollo3, UartBurstRaisesThresholdThenTimeout) {
  g_uart_log.clear();
  g_uart_rx.clear();
  open_uart0(115200);
  const std::string burst = "0123456789abcdefghijklmnopqrst";  // 30 bytes
  sim::host::uart_feed(0, reinterpret_cast<const uint8_t*>(burst.data()), burst.size(), 0);
  sim::run_until(10000);
  const sim::time_us byte = (10'000'000 + 115199) / 115200;  // 87 us
  const sim::time_us bit = (1'000'000 + 115199) / 115200;    // 9 us
  ASSERT_EQ(g_uart_log.size(), 2u);
  EXPECT_EQ(g_uart_log[0].at, 24 * byte);
  EXPECT_EQ(g_uart_log[0].status, AM_HAL_UART_INT_RX);
  EXPECT_EQ(g_uart_log[0].bytes, 23u);
  EXPECT_EQ(g_uart_log[1].at, 30 * byte + 32 * bit);
  EXPECT_EQ(g_uart_log[1].status, AM_HAL_UART_INT_RX_TMOUT);
  EXPECT_EQ(g_uart_log[1].bytes, 7u);
  EXPECT_EQ(g_uart_rx, burst);
}

std::string g_uart_out;
void capture(void*, int, const uint8_t* data, size_t len) {
  g_uart_out.append(reinterpret_cast<const char*>(data), len);
}

// A blocking write returns once the bytes are in the FIFO (the 32-byte FIFO
// makes a longer write wait for the line); TXCMP comes when the last byte
// has left.
TEST_F(Apollo3, UartBlockingWriteWaitsForFifoRoomAndEndsWithTxComplete) {
  g_uart_log.clear();
  g_uart_out.clear();
  sim::host::uart_set_output(0, capture, nullptr);
  open_uart0(115200);
  const sim::time_us byte = (10'000'000 + 115199) / 115200;
  std::string text(40, 'x');
  uint32_t sent = 0;
  am_hal_uart_transfer_t t{AM_HAL_UART_WRITE, reinterpret_cast<uint8_t*>(text.data()),
                           static_cast<uint32_t>(text.size()), AM_HAL_UART_WAIT_FOREVER, &sent};
  ASSERT_EQ(am_hal_uart_transfer(g_uart, &t), 0u);
  EXPECT_EQ(sent, 40u);
  EXPECT_EQ(sim::now(), 8 * byte);  // room for the last 8 once 8 have left
  sim::run_until(100000);
  ASSERT_EQ(g_uart_log.size(), 1u);
  EXPECT_EQ(g_uart_log[0].status, AM_HAL_UART_INT_TXCMP);
  EXPECT_EQ(g_uart_log[0].at, 40 * byte);
  EXPECT_EQ(g_uart_out, text);
  EXPECT_EQ(apollo3sim::uart_state(0).baud, 115200u);
}

uint64_t g_gpio_seen;
void gpio_isr() {
  uint64_t status = 0;
  am_hal_gpio_interrupt_status_get(true, &status);
  am_hal_gpio_interrupt_clear(status);
  g_gpio_seen |= status;
}

void gpio_input_with_edge(uint32_t pad, uint32_t dir) {
  am_hal_gpio_pincfg_t c = g_AM_HAL_GPIO_INPUT;
  c.eIntDir = dir;
  ASSERT_EQ(am_hal_gpio_pinconfig(pad, c), 0u);
  am_hal_gpio_interrupt_clear(AM_HAL_GPIO_BIT(pad));
  am_hal_gpio_interrupt_enable(AM_HAL_GPIO_BIT(pad));
}

// A byte on a UART that is off is lost, but its start bit is a falling edge
// of the RX pad: the wake-up path of a sleeping port.
TEST_F(Apollo3, ByteOnAnUnpoweredUartIsAFallingEdgeOfItsRxPad) {
  g_gpio_seen = 0;
  apollo3sim::set_isr(GPIO_IRQn, gpio_isr);
  NVIC_EnableIRQ(GPIO_IRQn);
  gpio_input_with_edge(AM_BSP_GPIO_UART0_RX, AM_HAL_GPIO_PIN_INTDIR_HI2LO);
  const uint8_t b = 'A';
  sim::host::uart_feed(0, &b, 1, 0);
  sim::run_until(1000);
  EXPECT_EQ(g_gpio_seen, AM_HAL_GPIO_BIT(AM_BSP_GPIO_UART0_RX));
  EXPECT_EQ(apollo3sim::uart_state(0).lost_off, 1u);
}

// Edges set a pad's status bit by its interrupt direction; a pad without
// the GPIO function or without its input sees none.
TEST_F(Apollo3, PadEdgesFollowTheInterruptDirection) {
  apollo3sim::set_isr(GPIO_IRQn, gpio_isr);
  NVIC_EnableIRQ(GPIO_IRQn);
  struct Case {
    uint32_t dir;
    bool on_rise;
    bool on_fall;
  };
  const Case cases[] = {{AM_HAL_GPIO_PIN_INTDIR_LO2HI, true, false},
                        {AM_HAL_GPIO_PIN_INTDIR_HI2LO, false, true},
                        {AM_HAL_GPIO_PIN_INTDIR_BOTH, true, true},
                        {AM_HAL_GPIO_PIN_INTDIR_NONE, false, false}};
  const uint32_t pad = 30;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    gpio_input_with_edge(pad, c.dir);
    g_gpio_seen = 0;
    sim::pin_set_input(pad, 1);
    sim::cpu_spend(1);
    EXPECT_EQ(g_gpio_seen != 0, c.on_rise);
    g_gpio_seen = 0;
    sim::pin_set_input(pad, 0);
    sim::cpu_spend(1);
    EXPECT_EQ(g_gpio_seen != 0, c.on_fall);
  }
  // Another function: the GPIO logic sees nothing.
  am_hal_gpio_pincfg_t uart = am_hal_gpio_pincfg_from_word(0);
  uart.eIntDir = AM_HAL_GPIO_PIN_INTDIR_BOTH;
  uart.eGPInput = AM_HAL_GPIO_PIN_INPUT_ENABLE;
  am_hal_gpio_pinconfig(pad, uart);
  g_gpio_seen = 0;
  sim::pin_set_input(pad, 1);
  sim::cpu_spend(1);
  EXPECT_EQ(g_gpio_seen, 0u);
}

// ------------------------------------------------------------ IOM1 radio --
void* open_iom1() {
  void* h = nullptr;
  EXPECT_EQ(am_hal_iom_initialize(1, &h), 0u);
  EXPECT_EQ(am_hal_iom_power_ctrl(h, AM_HAL_SYSCTRL_WAKE, false), 0u);
  am_hal_iom_config_t cfg{AM_HAL_IOM_SPI_MODE, AM_HAL_IOM_4MHZ, AM_HAL_IOM_SPI_MODE_0, nullptr, 0};
  EXPECT_EQ(am_hal_iom_configure(h, &cfg), 0u);
  EXPECT_EQ(am_hal_iom_enable(h), 0u);
  am_hal_gpio_pinconfig(AM_BSP_GPIO_RADIO_NSS, g_AM_HAL_GPIO_OUTPUT);
  am_hal_gpio_pinconfig(AM_BSP_GPIO_RADIO_NRESET, g_AM_HAL_GPIO_OUTPUT);
  am_hal_gpio_pinconfig(AM_BSP_GPIO_RADIO_BUSY, g_AM_HAL_GPIO_INPUT);
  am_hal_gpio_output_set(AM_BSP_GPIO_RADIO_NSS);
  am_hal_gpio_output_set(AM_BSP_GPIO_RADIO_NRESET);
  return h;
}

std::vector<uint8_t> radio_exchange(void* h, std::vector<uint8_t> out) {
  std::vector<uint8_t> in(out.size());
  am_hal_gpio_output_clear(AM_BSP_GPIO_RADIO_NSS);
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t tx = out[i], rx = 0;
    am_hal_iom_transfer_t t{};
    t.ui32NumBytes = 1;
    t.pui32TxBuffer = &tx;
    t.pui32RxBuffer = &rx;
    EXPECT_EQ(am_hal_iom_spi_blocking_fullduplex(h, &t), 0u);
    in[i] = static_cast<uint8_t>(rx);
  }
  am_hal_gpio_output_set(AM_BSP_GPIO_RADIO_NSS);
  return in;
}

void wait_busy_low() {
  while (am_hal_gpio_input_read(AM_BSP_GPIO_RADIO_BUSY)) {
  }
}

// The radio on IOM1 answers a register read framed by the NSS pad, holds
// BUSY through its boot after NRESET, and a polled BUSY lets time move.
TEST_F(Apollo3, Iom1TalksToTheSx1262ThroughItsPads) {
  void* h = open_iom1();
  apollo3sim::radio().record_spi(true);
  am_hal_gpio_output_clear(AM_BSP_GPIO_RADIO_NRESET);
  am_util_delay_ms(1);
  const sim::time_us released = sim::now();
  am_hal_gpio_output_set(AM_BSP_GPIO_RADIO_NRESET);
  wait_busy_low();
  EXPECT_EQ(sim::now() - released, sim::Sx126x::kBootUs);
  // ReadRegister(0x0740): opcode, address, a status byte, then the data.
  const auto in = radio_exchange(h, {0x1D, 0x07, 0x40, 0x00, 0x00, 0x00});
  EXPECT_EQ(in[4], 0x14);
  EXPECT_EQ(in[5], 0x24);
  ASSERT_EQ(apollo3sim::radio().spi_log().size(), 1u);
  EXPECT_EQ(apollo3sim::radio().spi_log()[0],
            (std::vector<uint8_t>{0x1D, 0x07, 0x40, 0x00, 0x00, 0x00}));
  EXPECT_EQ(apollo3sim::iom_state(1).clock_hz, AM_HAL_IOM_4MHZ);
  // Least significant bit first reverses every byte on the wire.
  apollo3sim::radio().clear_spi_log();
  am_hal_iom_spi_lsb_first(h, true);
  wait_busy_low();
  radio_exchange(h, {0xB8});  // 0x1D reversed
  EXPECT_EQ(apollo3sim::radio().spi_log().back(), std::vector<uint8_t>{0x1D});
}

// IOM2 as the I2C master: no device acknowledges on the board's bus; an
// attached one is written to and read from.
TEST_F(Apollo3, Iom2I2cNacksWithoutADeviceAndTalksToOne) {
  struct Echo : sim::I2cTarget {
    uint8_t last = 0;
    bool start(bool) override { return true; }
    bool write(uint8_t b) override {
      last = b;
      return true;
    }
    uint8_t read() override { return static_cast<uint8_t>(last + 1); }
  } echo;
  void* h = nullptr;
  ASSERT_EQ(am_hal_iom_initialize(2, &h), 0u);
  am_hal_iom_power_ctrl(h, AM_HAL_SYSCTRL_WAKE, false);
  am_hal_iom_config_t cfg{AM_HAL_IOM_I2C_MODE, AM_HAL_IOM_400KHZ, AM_HAL_IOM_SPI_MODE_0, nullptr,
                          0};
  ASSERT_EQ(am_hal_iom_configure(h, &cfg), 0u);
  am_hal_iom_enable(h);
  uint32_t word = 0x41;
  am_hal_iom_transfer_t t{};
  t.uPeerInfo.ui32I2CDevAddr = 0x44;
  t.ui32NumBytes = 1;
  t.eDirection = AM_HAL_IOM_TX;
  t.pui32TxBuffer = &word;
  EXPECT_NE(am_hal_iom_blocking_transfer(h, &t), 0u);
  sim::i2c_attach(2, 0x44, &echo);
  EXPECT_EQ(am_hal_iom_blocking_transfer(h, &t), 0u);
  uint32_t got = 0;
  t.eDirection = AM_HAL_IOM_RX;
  t.pui32RxBuffer = &got;
  EXPECT_EQ(am_hal_iom_blocking_transfer(h, &t), 0u);
  EXPECT_EQ(got, 0x42u);
  sim::i2c_attach(2, 0x44, nullptr);
}

// ----------------------------------------------------------------- flash --
uint32_t* at(uint32_t addr) { return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(addr)); }

// Program needs the key and erased words; erase takes a page by instance
// and page number; both take the flash's time; reads go through the bus
// address.
TEST_F(Apollo3, FlashFollowsTheControllerRules) {
  const uint32_t words[2] = {0x11223344u, 0x55667788u};
  EXPECT_NE(am_hal_flash_program_main(0x1234u, words, at(0xF4000), 2), 0);
  EXPECT_EQ(apollo3sim::flash_key_failures(), 1u);
  EXPECT_EQ(*reinterpret_cast<const uint32_t*>(0xF4000), 0xFFFFFFFFu);
  sim::time_us t0 = sim::now();
  EXPECT_EQ(am_hal_flash_program_main(AM_HAL_FLASH_PROGRAM_KEY, words, at(0xF4000), 2), 0);
  EXPECT_EQ(sim::now() - t0, 40u);
  EXPECT_EQ(*reinterpret_cast<const uint32_t*>(0xF4004), 0x55667788u);
  // Programmed words cannot be programmed again.
  EXPECT_NE(am_hal_flash_program_main(AM_HAL_FLASH_PROGRAM_KEY, words, at(0xF4000), 1), 0);
  // Misaligned and out-of-range destinations are refused.
  EXPECT_NE(am_hal_flash_program_main(AM_HAL_FLASH_PROGRAM_KEY, words, at(0xF4002), 1), 0);
  EXPECT_NE(am_hal_flash_program_main(AM_HAL_FLASH_PROGRAM_KEY, words, at(0xFFFFC), 2), 0);
  // 0xF4000 is instance 1, page 58.
  EXPECT_EQ(AM_HAL_FLASH_ADDR2INST(0xF4000), 1u);
  EXPECT_EQ(AM_HAL_FLASH_ADDR2PAGE(0xF4000), 58u);
  t0 = sim::now();
  EXPECT_EQ(am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, 1, 58), 0);
  EXPECT_EQ(sim::now() - t0, 15000u);
  EXPECT_EQ(am_hal_flash_load_ui32(0xF4004), 0xFFFFFFFFu);
  EXPECT_NE(am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, 2, 0), 0);
  EXPECT_NE(am_hal_flash_page_erase(0, 1, 58), 0);
}

// The OTA descriptor: magic, then {image, magic number} entries.
TEST_F(Apollo3, OtaDescriptorRegistersStagedImages) {
  ASSERT_EQ(am_hal_ota_init(AM_HAL_FLASH_PROGRAM_KEY, at(0xF8000)), 0u);
  ASSERT_EQ(am_hal_ota_add(AM_HAL_FLASH_PROGRAM_KEY, 0xCB, at(0x84000)), 0u);
  EXPECT_EQ(am_hal_flash_load_ui32(0xF8000), OTA_INFO_MAGIC_NUM);
  EXPECT_EQ(am_hal_flash_load_ui32(0xF8004), 0x84000u);
  EXPECT_EQ(am_hal_flash_load_ui32(0xF8008), 0xCBu);
  am_hal_ota_status_t st[2];
  ASSERT_EQ(am_hal_ota_get_status(AM_HAL_FLASH_PROGRAM_KEY, 2, st), 0u);
  EXPECT_EQ(st[0].pImage, at(0x84000));
  EXPECT_EQ(st[1].pImage, at(0xFFFFFFFFu));
}

// ------------------------------------------------ bootloader install ---
// An independent image CRC (bit by bit from the polynomial) and image maker.
uint32_t crc_bitwise(const std::vector<uint8_t>& d, size_t from) {
  uint32_t c = 0;
  for (size_t i = from; i < d.size(); ++i) {
    c ^= static_cast<uint32_t>(d[i]) << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x1EDC6F41u : c << 1;
  }
  return c;
}
std::vector<uint8_t> test_image(size_t size, uint8_t seed) {
  std::vector<uint8_t> img(size);
  for (size_t i = 32; i < size; ++i) img[i] = static_cast<uint8_t>(i * 13 + seed);
  const uint32_t w0 = static_cast<uint32_t>(size) | 0xCB000000u;
  std::memcpy(img.data(), &w0, 4);
  const uint32_t w1 = crc_bitwise(img, 32);
  std::memcpy(img.data() + 4, &w1, 4);
  return img;
}
std::vector<uint8_t> flash_bytes(uint32_t addr, size_t n) {
  const uint8_t* f = sim::flash_data();
  return std::vector<uint8_t>(f + addr, f + addr + n);
}
void stage(const std::vector<uint8_t>& img) {
  for (uint32_t p = 0; p < (img.size() + 8191) / 8192; ++p)
    ASSERT_EQ(am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY,
                                      AM_HAL_FLASH_ADDR2INST(0x84000 + p * 8192),
                                      AM_HAL_FLASH_ADDR2PAGE(0x84000 + p * 8192)),
              0);
  std::vector<uint8_t> padded(img);
  padded.resize((img.size() + 3) / 4 * 4, 0xFF);
  ASSERT_EQ(am_hal_flash_program_main(AM_HAL_FLASH_PROGRAM_KEY,
                                      reinterpret_cast<const uint32_t*>(padded.data()), at(0x84000),
                                      static_cast<uint32_t>(padded.size() / 4)),
            0);
  ASSERT_EQ(am_hal_ota_add(AM_HAL_FLASH_PROGRAM_KEY, img[3], at(0x84000)), 0u);
}

// A fresh module gets its factory image; the newest registered image that
// checks out replaces it; one that does not (cut short, a changed byte, a
// size beyond the slot) is dropped and the application stays; either way
// the descriptor is emptied.
TEST_F(Apollo3, TheInstallStepReplacesTheApplicationOnlyWithAWholeImage) {
  apollo3sim::InstallResult r = apollo3sim::bootloader_start("factory");
  EXPECT_TRUE(r.app_valid);
  EXPECT_EQ(r.installed, 0u);
  const std::vector<uint8_t> factory = flash_bytes(0x14000, 32 + 7);
  EXPECT_EQ(std::string(factory.begin() + 32, factory.end()), "factory");
  EXPECT_EQ(crc_bitwise(factory, 32), am_hal_flash_load_ui32(0x14004));
  EXPECT_EQ(am_hal_flash_load_ui32(0x14000) & 0xFFFFFFu, 39u);

  ASSERT_EQ(am_hal_ota_init(AM_HAL_FLASH_PROGRAM_KEY, at(0xF8000)), 0u);
  const std::vector<uint8_t> good = test_image(20000, 1);
  struct Case {
    const char* what;
    std::vector<uint8_t> staged;
  };
  std::vector<uint8_t> partial(good.begin(), good.begin() + 512);
  std::vector<uint8_t> flipped = good;
  flipped[15000] ^= 0x10;
  std::vector<uint8_t> huge = test_image(64, 2);
  const uint32_t w0 = 0x70001u | 0xCB000000u;
  std::memcpy(huge.data(), &w0, 4);
  const Case refused[] = {{"the first 512 bytes", partial},
                          {"a byte changed", flipped},
                          {"a size beyond the slot", huge},
                          {"an erased staging area", {}}};
  for (const Case& c : refused) {
    if (c.staged.empty()) {
      ASSERT_EQ(am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, 1, 2), 0);
      ASSERT_EQ(am_hal_ota_add(AM_HAL_FLASH_PROGRAM_KEY, 0xCB, at(0x84000)), 0u);
    } else {
      stage(c.staged);
    }
    r = apollo3sim::bootloader_start("factory");
    EXPECT_TRUE(r.refused) << c.what;
    EXPECT_TRUE(r.app_valid) << c.what;
    EXPECT_EQ(flash_bytes(0x14000, factory.size()), factory) << c.what;
    EXPECT_EQ(am_hal_flash_load_ui32(0xF8000), OTA_INFO_MAGIC_NUM) << c.what;
    EXPECT_EQ(am_hal_flash_load_ui32(0xF8004), 0xFFFFFFFFu) << c.what;
  }

  stage(good);
  r = apollo3sim::bootloader_start("factory");
  EXPECT_EQ(r.installed, 0x84000u);
  EXPECT_TRUE(r.app_valid);
  EXPECT_EQ(flash_bytes(0x14000, good.size()), good);
  EXPECT_EQ(am_hal_flash_load_ui32(0xF8004), 0xFFFFFFFFu);
  // The next start finds nothing to do.
  r = apollo3sim::bootloader_start("factory");
  EXPECT_EQ(r.installed, 0u);
  EXPECT_FALSE(r.refused);
  EXPECT_EQ(flash_bytes(0x14000, good.size()), good);

  // An application area that was damaged with nothing to replace it: the
  // module does not start (what the install step must never leave).
  ASSERT_EQ(am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, 0, 11), 0);
  EXPECT_FALSE(apollo3sim::bootloader_start("factory").app_valid);
}

// The supply cut at every flash operation of an install in turn: the start
// after the cut completes the install, and no start ever finds the module
// without a whole application.
TEST_F(Apollo3, AnInstallCutByPowerAtAnyStepCompletesAtTheNextStart) {
  ASSERT_TRUE(apollo3sim::bootloader_start("factory").app_valid);
  const std::vector<uint8_t> factory = flash_bytes(0x14000, 32 + 7);
  ASSERT_EQ(am_hal_ota_init(AM_HAL_FLASH_PROGRAM_KEY, at(0xF8000)), 0u);
  const std::vector<uint8_t> img = test_image(3 * 8192 + 100, 7);
  // How many flash operations an install takes.
  stage(img);
  uint64_t ops = 0;
  {
    const uint64_t big = 1000000;
    sim::host::flash_cut_after(big);
    ASSERT_EQ(apollo3sim::bootloader_start("factory").installed, 0x84000u);
    ops = big - sim::host::flash_cut_remaining();
    sim::host::flash_cut_after(~uint64_t{0});
  }
  ASSERT_GE(ops, 6u);  // erases and programs of four pages, the descriptor
  for (uint64_t k = 0; k < ops; ++k) {
    // Back to the old application with the image registered.
    const std::vector<uint8_t> old = test_image(5000, 9);
    for (uint32_t page : {11u, 12u, 13u})
      ASSERT_EQ(am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, 0, page), 0);
    ASSERT_EQ(am_hal_flash_page_erase(AM_HAL_FLASH_PROGRAM_KEY, 1, 60), 0);
    ASSERT_EQ(am_hal_ota_init(AM_HAL_FLASH_PROGRAM_KEY, at(0xF8000)), 0u);
    stage(old);
    ASSERT_EQ(apollo3sim::bootloader_start("factory").installed, 0x84000u);
    stage(img);
    sim::host::flash_cut_after(k);
    bool cut = false;
    try {
      apollo3sim::bootloader_start("factory");
    } catch (const ChipReset&) {
      cut = true;
    }
    EXPECT_TRUE(cut) << "operation " << k;
    const apollo3sim::InstallResult r = apollo3sim::bootloader_start("factory");
    EXPECT_TRUE(r.app_valid) << "cut at operation " << k;
    EXPECT_EQ(flash_bytes(0x14000, img.size()), img) << "cut at operation " << k;
    EXPECT_EQ(am_hal_flash_load_ui32(0xF8004), 0xFFFFFFFFu) << "cut at operation " << k;
  }
}

// ---------------------------------------------------------------- timers --
std::vector<std::pair<int, sim::time_us>> g_timer_log;

// A compare fires `delta` counts of the 32768 Hz counter later; the
// overflow comes when the counter wraps.
TEST_F(Apollo3, StimerCompareAndOverflowFireOnTheirCounts) {
  g_timer_log.clear();
  apollo3sim::set_isr(STIMER_CMPR0_IRQn, [] {
    am_hal_stimer_int_clear(AM_HAL_STIMER_INT_COMPAREA);
    g_timer_log.push_back({0, sim::now()});
  });
  apollo3sim::set_isr(STIMER_IRQn, [] {
    am_hal_stimer_int_clear(AM_HAL_STIMER_INT_OVERFLOW);
    g_timer_log.push_back({1, sim::now()});
  });
  NVIC_EnableIRQ(STIMER_CMPR0_IRQn);
  NVIC_EnableIRQ(STIMER_IRQn);
  am_hal_stimer_int_enable(AM_HAL_STIMER_INT_COMPAREA | AM_HAL_STIMER_INT_OVERFLOW);
  apollo3sim::stimer_set(0xFFFFFF00u);
  am_hal_stimer_compare_delta_set(0, 32768);
  sim::run_until(2000000);
  EXPECT_EQ(g_timer_log, (std::vector<std::pair<int, sim::time_us>>{
                             {1, (256 * 1000000 + 32767) / 32768}, {0, 1000000}}));
  EXPECT_EQ(apollo3sim::stimer_counter(), 65536u - 256u);
}

// The RTC alarm's shape: CTIMER 3 linked, 32768 Hz, one-shot, compare 0;
// a compare of 0 fires at once.
TEST_F(Apollo3, CtimerOneShotFiresAtItsCompare) {
  for (uint32_t compare : {32768u, 0u}) {
    SCOPED_TRACE(compare);
    g_timer_log.clear();
    const sim::time_us start = sim::now();
    am_hal_ctimer_int_register(AM_HAL_CTIMER_INT_TIMERA3C0, [] {
      g_timer_log.push_back({3, sim::now()});
    });
    apollo3sim::set_isr(CTIMER_IRQn, [] {
      const uint32_t s = am_hal_ctimer_int_status_get(false);
      am_hal_ctimer_int_clear(s);
      am_hal_ctimer_int_service(s);
    });
    NVIC_EnableIRQ(CTIMER_IRQn);
    am_hal_ctimer_config_single(3, AM_HAL_CTIMER_BOTH,
                                AM_HAL_CTIMER_LINK | AM_HAL_CTIMER_XT_32_768KHZ |
                                    AM_HAL_CTIMER_FN_ONCE | AM_HAL_CTIMER_INT_ENABLE);
    am_hal_ctimer_int_enable(AM_HAL_CTIMER_INT_TIMERA3C0);
    am_hal_ctimer_clear(3, AM_HAL_CTIMER_BOTH);
    am_hal_ctimer_compare_set(3, AM_HAL_CTIMER_BOTH, 0, compare);
    am_hal_ctimer_start(3, AM_HAL_CTIMER_BOTH);
    sim::run_until(start + 3000000);
    EXPECT_EQ(g_timer_log, (std::vector<std::pair<int, sim::time_us>>{
                               {3, start + (uint64_t{compare} * 1000000 + 32767) / 32768}}));
  }
}

// A PWM segment without its interrupt counts 0 to its period over and over
// (the wrap a duty change waits for), without an event per period.
TEST_F(Apollo3, CtimerPwmCounterWrapsAtItsPeriod) {
  am_hal_ctimer_config_single(0, AM_HAL_CTIMER_TIMERA,
                              AM_HAL_CTIMER_HFRC_12MHZ | AM_HAL_CTIMER_FN_PWM_REPEAT);
  am_hal_ctimer_period_set(0, AM_HAL_CTIMER_TIMERA, 255, 64);
  am_hal_ctimer_start(0, AM_HAL_CTIMER_TIMERA);
  // 12 counts per microsecond: 256 counts take 21.33 us.
  uint32_t last = am_hal_ctimer_read(0, AM_HAL_CTIMER_TIMERA);
  int wraps = 0;
  while (sim::now() < 1000) {
    const uint32_t c = am_hal_ctimer_read(0, AM_HAL_CTIMER_TIMERA);
    EXPECT_LE(c, 255u);
    if (c < last) ++wraps;
    last = c;
  }
  EXPECT_EQ(wraps, 1000 * 12 / 256);
  am_hal_ctimer_stop(0, AM_HAL_CTIMER_TIMERA);
}

// ------------------------------------------------------------------- ADC --
// A conversion reads the pad's voltage against the reference at the slot's
// precision, and raises its interrupt.
TEST_F(Apollo3, AdcConvertsThePadAgainstTheReference) {
  static bool done;
  void* h = nullptr;
  ASSERT_EQ(am_hal_adc_initialize(0, &h), 0u);
  am_hal_adc_power_control(h, AM_HAL_SYSCTRL_WAKE, false);
  apollo3sim::set_isr(ADC_IRQn, [] { done = true; });
  NVIC_EnableIRQ(ADC_IRQn);
  struct Case {
    am_hal_adc_refsel_e ref;
    am_hal_adc_slot_prec_e prec;
    uint32_t mv;
    uint32_t expect;
  };
  const Case cases[] = {
      {AM_HAL_ADC_REFSEL_INT_2P0, AM_HAL_ADC_SLOT_10BIT, 1000, 512},  // 1000/2000 of 1023
      {AM_HAL_ADC_REFSEL_INT_1P5, AM_HAL_ADC_SLOT_12BIT, 750, 2048},  // 750/1500 of 4095
      {AM_HAL_ADC_REFSEL_INT_2P0, AM_HAL_ADC_SLOT_8BIT, 2600, 255},   // above the reference
  };
  for (const Case& c : cases) {
    sim::analog_set_mv("PAD12", c.mv);
    am_hal_adc_config_t cfg{
        AM_HAL_ADC_CLKSEL_HFRC,       AM_HAL_ADC_TRIGPOL_RISING, AM_HAL_ADC_TRIGSEL_SOFTWARE, c.ref,
        AM_HAL_ADC_CLKMODE_LOW_POWER, AM_HAL_ADC_LPMODE0,        AM_HAL_ADC_REPEATING_SCAN};
    am_hal_adc_configure(h, &cfg);
    am_hal_adc_slot_config_t slot{AM_HAL_ADC_SLOT_AVG_1, c.prec, AM_HAL_ADC_SLOT_CHSEL_SE9, false,
                                  true};
    am_hal_adc_configure_slot(h, 0, &slot);
    am_hal_adc_interrupt_enable(h, AM_HAL_ADC_INT_CNVCMP);
    am_hal_adc_enable(h);
    done = false;
    am_hal_adc_sw_trigger(h);
    while (!done) __WFI();
    uint32_t status = 0;
    am_hal_adc_interrupt_status(h, &status, false);
    am_hal_adc_interrupt_clear(h, status);
    am_hal_adc_sample_t sample{};
    uint32_t n = 1;
    ASSERT_EQ(am_hal_adc_samples_read(h, true, nullptr, &n, &sample), 0u);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(sample.ui32Sample, c.expect);
  }
}

// --------------------------------------------------------- masks, trace --
// BASEPRI 0x80 holds levels 4-7 and lets 0-3 through; PRIMASK holds all;
// a handler sees its exception number in ICSR.
TEST_F(Apollo3, BasepriAndPrimaskMaskByLevel) {
  static std::vector<uint32_t> active;
  active.clear();
  auto note_active = [] { active.push_back(SCB->ICSR & SCB_ICSR_VECTACTIVE_Msk); };
  apollo3sim::set_isr(SOFTWARE0_IRQn, note_active);
  apollo3sim::set_isr(CLKGEN_IRQn, note_active);
  NVIC_SetPriority(SOFTWARE0_IRQn, 4);
  NVIC_SetPriority(CLKGEN_IRQn, 3);
  NVIC_EnableIRQ(SOFTWARE0_IRQn);
  NVIC_EnableIRQ(CLKGEN_IRQn);
  __disable_irq();
  NVIC_SetPendingIRQ(CLKGEN_IRQn);
  EXPECT_TRUE(active.empty());
  __set_BASEPRI(0x80);
  NVIC_SetPendingIRQ(SOFTWARE0_IRQn);
  __enable_irq();
  EXPECT_EQ(active, std::vector<uint32_t>{16 + CLKGEN_IRQn});
  __set_BASEPRI(0);
  EXPECT_EQ(active, (std::vector<uint32_t>{16 + CLKGEN_IRQn, 16 + SOFTWARE0_IRQn}));
  EXPECT_EQ(SCB->ICSR & SCB_ICSR_VECTACTIVE_Msk, 0u);
}

// The trace channel writes buffer 0 to the trace log as given; other
// buffers are not logged.
TEST_F(Apollo3, TraceChannelGoesToTheTraceLog) {
  const std::string log = path_ + ".trace";
  ASSERT_TRUE(apollo3sim::set_trace_log(log));
  EXPECT_EQ(RTT_ConfigUpBuffer(0, nullptr, nullptr, 0, RTT_MODE_NO_BLOCK_SKIP), 0);
  RTT_printf(0, "%s:%d\t\t%s\r\n", "main.cpp", 42, "hello");
  RTT_WriteString(1, "elsewhere");
  apollo3sim::set_trace_log("");
  std::ifstream f(log);
  std::stringstream text;
  text << f.rdbuf();
  EXPECT_EQ(text.str(), "main.cpp:42\t\thello\r\n");
  EXPECT_EQ(apollo3sim::trace_text(), "main.cpp:42\t\thello\r\n");
  unlink(log.c_str());
}

// A software reset restarts the device (flash kept).
TEST_F(Apollo3, SoftwareResetRestartsTheDevice) {
  EXPECT_THROW(am_hal_reset_control(AM_HAL_RESET_CONTROL_SWPOI, nullptr), ChipReset);
  EXPECT_THROW(NVIC_SystemReset(), ChipReset);
}

}  // namespace

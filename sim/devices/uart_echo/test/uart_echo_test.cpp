// Serial peers on USART1 (port 1) of the STM32 stand-in, driven through the
// HAL calls: bytes reach the peer and come back at the line's pace.
#include <gtest/gtest.h>

#include <string>

#include "sim/device_registry.h"
#include "sim/host.h"
#include "sim/sim.h"
#include "sim/uart_echo.h"
#include "stm32_sim.h"
#include "stm32wl_hal.h"

namespace {

constexpr int kPort = 1;  // USART1

class EchoOnUsart1 : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::host::reset_core();
    stm32sim::reset_platform();
    HAL_Init();
    h_ = {};
    h_.Instance = USART1;
    h_.Init.BaudRate = 9600;
    h_.Init.Mode = UART_MODE_TX_RX;
    ASSERT_EQ(HAL_UART_Init(&h_), HAL_OK);
    byte_ = sim::uart_byte_time(kPort);
    ASSERT_EQ(byte_, 1042u) << "10 bits at 9600 baud";
  }
  void TearDown() override { sim::host::reset_core(); }

  void transmit(const std::string& s) {
    ASSERT_EQ(HAL_UART_Transmit(&h_, reinterpret_cast<const uint8_t*>(s.data()),
                                static_cast<uint16_t>(s.size()), 1000),
              HAL_OK);
  }
  std::string receive(size_t n, uint32_t timeout_ms = 100) {
    std::string s(n, '\0');
    if (HAL_UART_Receive(&h_, reinterpret_cast<uint8_t*>(s.data()), static_cast<uint16_t>(n),
                         timeout_ms) != HAL_OK)
      return "(timeout)";
    return s;
  }

  UART_HandleTypeDef h_;
  sim::time_us byte_ = 0;
};

TEST_F(EchoOnUsart1, ALoopbackByteComesBackTwoByteTimesAfterItLeft) {
  sim::UartEcho loop;
  sim::uart_attach_peer(kPort, &loop);
  EXPECT_TRUE(sim::uart_attached(kPort));
  for (char c : std::string("AZ\r")) {
    sim::time_us t0 = sim::now();
    transmit(std::string(1, c));
    EXPECT_EQ(receive(1), std::string(1, c));
    EXPECT_EQ(sim::now() - t0, 2 * byte_) << "one byte time to the peer, one back";
  }
  EXPECT_EQ(loop.heard(), "AZ\r");
}

TEST_F(EchoOnUsart1, ALineComesBackWholeAfterItsEnd) {
  sim::UartEcho echo(sim::UartEcho::Mode::kLines);
  sim::uart_attach_peer(kPort, &echo);
  sim::time_us t0 = sim::now();
  transmit("AT+X");
  EXPECT_EQ(receive(1, 20), "(timeout)") << "nothing before the line's end";
  transmit("=1\r\n");
  EXPECT_EQ(receive(8), "AT+X=1\r\n");
  // The line's last byte reached the peer at t0 + 20 ms + 8 bytes; the echo
  // then takes eight byte times on the line.
  EXPECT_EQ(sim::now() - t0, 20000 + 16 * byte_);
  EXPECT_EQ(echo.heard(), "AT+X=1\r\n");
}

TEST_F(EchoOnUsart1, ADetachedPeerGetsNothingMore) {
  sim::UartEcho loop;
  sim::uart_attach_peer(kPort, &loop);
  // Detached while "b" is still on the line.
  sim::schedule(
      sim::now() + byte_ + byte_ / 2,
      [](void*, uint32_t) { sim::uart_attach_peer(kPort, nullptr); }, nullptr);
  transmit("ab");
  sim::cpu_spend(10 * byte_);
  EXPECT_EQ(loop.heard(), "a");
  EXPECT_FALSE(sim::uart_attached(kPort));
  {
    sim::UartEcho gone;
    sim::uart_attach_peer(kPort, &gone);
  }
  EXPECT_EQ(sim::uart_peer(kPort), nullptr) << "a destroyed peer detaches itself";
}

TEST_F(EchoOnUsart1, TheRegistryPutsAPeerOnAPortByData) {
  std::string error;
  auto made = sim::devices::create("loopback@uart1", &error);
  ASSERT_TRUE(made) << error;
  transmit("q");
  EXPECT_EQ(receive(1), "q");
  made.reset();
  EXPECT_EQ(sim::uart_peer(kPort), nullptr);
  for (const char* bad : {"loopback@uart9", "loopback@i2c1:0x10", "echo-lines@uart1,speed=2"}) {
    error.clear();
    EXPECT_FALSE(sim::devices::create(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace

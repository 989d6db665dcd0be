// What a command over or about BLE leaves behind on a Tarnelka: after a
// timed sleep asked for by the phone while the module sleeps on its own,
// and after direct test commands the controller did not answer, every port
// still answers (the phone over the serial service, UART0 with its wake-up).
#include <gtest/gtest.h>

#include <string>

#include "sim/ble_central.h"
#include "sim/ble_world_radio.h"
#include "systest/ble_phone.h"
#include "tarnelka.h"

namespace {

namespace ble = sim::ble;
using systest::Device;
using systest::ms;
using systest::sec;
using systest::time_us;
using systest::World;
using tk::kUart0;
using tk::kUart1;

constexpr ble::Address kPhone = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC7};
// The serial service's UUID in the module's advertising data.
const ble::Bytes kUartAdv = {0x02, 0x01, 0x06, 0x11, 0x07, 0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5,
                             0xA9, 0xE0, 0x93, 0xF3, 0xA3, 0xB5, 0x01, 0x00, 0x40, 0x6E};

// A phone connected to the module's serial service.
struct Phone {
  explicit Phone(World& w) : radio(w.master()), central(radio, kPhone) {
    systest::run_central_in(central, w);
  }
  bool connect() {
    central.start_scan(true);
    const ble::Central::Device* found = nullptr;
    central.wait(
        [&] {
          for (const auto& d : central.devices())
            if (d.adv_data == kUartAdv) found = &d;
          return found != nullptr;
        },
        sec(5));
    central.stop_scan();
    if (found == nullptr) return false;
    const ble::Address address = found->address;
    return central.connect(address) && central.wait([&] { return central.connected(); }, sec(3)) &&
           serial.open(central);
  }
  std::string command(const std::string& line, time_us timeout = sec(5)) {
    return serial.exchange(central, line, "OK\r\n", timeout);
  }

  ble::WorldRadio radio;
  ble::Central central;
  systest::SerialLink serial;
};

// The reply on UART0 to `command` (up to its OK or ERROR line).
std::string uart_reply(Device& d, const std::string& command) {
  d.take(kUart0);
  d.write(kUart0, command + "\r\n");
  std::string got;
  d.world().run_until(
      [&] {
        got = d.unread(kUart0);
        return got.find("OK\r\n") != std::string::npos ||
               got.find("ERROR\r\n") != std::string::npos;
      },
      sec(3));
  return got;
}

// The module sleeps on its own (AT+LPM=1); the phone asks for a timed
// sleep. The answer comes when the sleep is over; afterwards the phone is
// answered, the module sleeps on its own again, UART0 wakes it with a byte
// and is answered, and the serial wake window closes.
TEST(TarnelkaBleAwake, ATimedSleepAskedOverBleEndsAndEveryPortAnswers) {
  World w;
  Device& d = tk::start(w, "m");
  Phone phone(w);
  ASSERT_TRUE(phone.connect());
  ASSERT_TRUE(d.wait_line(kUart0, "Connected.", sec(2)));
  ASSERT_EQ(uart_reply(d, "AT+LPM=1"), "OK\r\n");
  EXPECT_TRUE(d.quiet(kUart0, sec(2))) << "asleep";
  ASSERT_EQ(phone.command("AT\r\n"), "OK\r\n") << "answered while the module sleeps";

  for (uint32_t sleep_ms : {1000u, 3000u}) {
    SCOPED_TRACE(std::to_string(sleep_ms) + " ms");
    // A moment after the last answer, as a person types: a line that comes
    // while the previous one is still being served is refused (busy).
    w.run_for(ms(200));
    const time_us asked = w.now();
    ASSERT_EQ(phone.command("AT+SLEEP=" + std::to_string(sleep_ms) + "\r\n", ms(sleep_ms) + sec(3)),
              "OK\r\n");
    EXPECT_GE(w.now() - asked, ms(sleep_ms));
    EXPECT_LT(w.now() - asked, ms(sleep_ms) + ms(200));

    EXPECT_EQ(phone.command("AT\r\n"), "OK\r\n") << "the phone is answered after the sleep";
    // Asleep again on its own: a byte on UART0 wakes it.
    EXPECT_TRUE(d.quiet(kUart0, sec(1)));
    d.take(kUart0);
    d.take(kUart1);
    d.write(kUart0, "\r");
    EXPECT_TRUE(d.wait_output(kUart0, "WAKE_UP\r\n", sec(1)));
    EXPECT_TRUE(d.wait_output(kUart1, "WAKE_UP\r\n", sec(1)));
    w.run_for(ms(50));
    EXPECT_EQ(uart_reply(d, "AT"), "OK\r\n") << "UART0 is answered after the sleep";
    // The serial wake window closes and the module sleeps on its own again.
    EXPECT_TRUE(d.wait_output(kUart0, "SLEEP\r\n", sec(12)));
  }
}

// Direct test commands whose raw HCI the controller refuses (no command
// packet; parameters announced that never come), so that no reply follows:
// the command reports the error, and the host stack still hears the
// controller: the phone connects and is answered. A command the controller
// answers works as before and after.
TEST(TarnelkaBleAwake, DirectTestCommandsWithoutAReplyLeaveBleWorking) {
  const char* const failing[] = {
      "AT+BLEDTM=0203:0",      // no command packet: the write fails
      "AT+BLEDTM=01030C05:0",  // parameters announced that never come
  };
  for (const char* command : failing) {
    SCOPED_TRACE(command);
    World w;
    Device& d = tk::start(w, "m");
    EXPECT_EQ(uart_reply(d, command), "AT_ERROR\r\n");
    EXPECT_EQ(uart_reply(d, "AT+BLEDTM=01030C00:0"), "AT+BLEDTM=040E0401030C00\r\nOK\r\n");
    EXPECT_EQ(uart_reply(d, command), "AT_ERROR\r\n");
    Phone phone(w);
    ASSERT_TRUE(phone.connect());
    EXPECT_TRUE(d.wait_line(kUart0, "Connected.", sec(2)));
    EXPECT_EQ(phone.command("AT\r\n"), "OK\r\n");
  }
}

}  // namespace

// Loopback and line-echo serial peers: see sim/uart_echo.h.
#include "sim/uart_echo.h"

#include "sim/device_registry.h"

namespace sim {

void UartEcho::received(uint8_t byte) {
  heard_.push_back(static_cast<char>(byte));
  if (mode_ == Mode::kBytes) {
    send(&byte, 1);
    return;
  }
  line_.push_back(static_cast<char>(byte));
  if (byte == '\n') {
    send(reinterpret_cast<const uint8_t*>(line_.data()), line_.size());
    line_.clear();
  }
}

namespace {

struct Attached : devices::Instance {
  UartEcho peer;
  Attached(UartEcho::Mode mode, int port) : peer(mode) { uart_attach_peer(port, &peer); }
};

template <UartEcho::Mode kMode>
std::unique_ptr<devices::Instance> make(const devices::Placement& entry, std::string* error) {
  if (entry.bus != devices::Bus::kUart || entry.bus_number >= kMaxUart) {
    *error = "sits on a serial port uart0.." + std::to_string(kMaxUart - 1);
    return nullptr;
  }
  if (!devices::known_settings(entry, {}, error)) return nullptr;
  return std::make_unique<Attached>(kMode, entry.bus_number);
}

const devices::Registration loopback("loopback",
                                     "serial peer sending every byte back, e.g. loopback@uart1",
                                     make<UartEcho::Mode::kBytes>);
const devices::Registration echo_lines(
    "echo-lines", "serial peer sending every line back after its LF, e.g. echo-lines@uart1",
    make<UartEcho::Mode::kLines>);

}  // namespace
}  // namespace sim

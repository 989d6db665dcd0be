// A device on the other end of one of the chip's serial ports (a modem, a
// co-processor, a test's echo): attached by data, by port number, in place of
// a terminal or a world link.
//
// What the chip writes reaches the peer byte by byte at the line's pace: each
// byte arrives (received() runs, as an event) one byte time after the
// previous one left the line, at the port's baud rate. What the peer sends is
// put on the chip's receive line the same way (host::uart_feed).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/sim.h"

namespace sim {

class UartPeer {
 public:
  // A peer destroyed while attached detaches itself.
  virtual ~UartPeer();
  // A byte from the chip has arrived. Runs "in hardware": it must not call
  // firmware code (it may send, schedule events, change its state).
  virtual void received(uint8_t byte) = 0;

  // The port it was attached to last (-1: never).
  int port() const { return port_; }

 protected:
  // Bytes to the chip, put on its receive line from now on at its pace.
  void send(const uint8_t* data, size_t len);
  void send(const char* text);

 private:
  friend void uart_attach_peer(int port, UartPeer* peer);
  int port_ = -1;
};

// Attach a peer to a port (nullptr detaches). The port's output then goes to
// the peer only; a later host::uart_set_output on the port detaches it, and so
// does a reset of the simulated core (host::reset_core), which forgets every
// attachment. Bytes still on the line to a peer that was detached are lost.
void uart_attach_peer(int port, UartPeer* peer);
UartPeer* uart_peer(int port);

}  // namespace sim

// Messages between a device's world link and the time master.
//
// One SOCK_SEQPACKET Unix socket per device: every message is one packet, a
// fixed header followed by `len` payload bytes. Both ends are built from this
// tree for the same (32-bit) host, so the header is sent as it is in memory.
//
// The exchange:
//   device -> master  kHello    t = the device's clock, a = device id,
//                               payload = Hello
//   master -> device  kWelcome  t = the world time the device begins at
//   device -> master  kRequest  t = now, t2 = the time it wants to reach,
//                               a = its receivers that are on (rx_on),
//                               payload = RequestState
//   master -> device  kGrant    t = the time it may move to (>= its request's
//                               now; may be beyond what it wanted: it may
//                               then run freely up to t), t2 (>= t) = the
//                               time before which nothing but frames of
//                               other devices reaches it; those come at
//                               their own times, which may be before t2,
//                               yet never start before t. So a device may
//                               cross t only before t2, and only as far as
//                               no frame starting at t or later could
//                               matter to it yet: quiet spans while its
//                               radios are deaf, or, with an air horizon,
//                               whatever comes before that horizon (see
//                               sim::link). (Without one, a listening
//                               device never crosses t: a device granted
//                               alongside it may send right after its own
//                               event at the grant's time, and the frame
//                               would reach the listener late.)
//   either way        kFrame    t = time on the air (send time), payload =
//                               sim::AirFrame (of any PHY: its tag says
//                               which; the master carries them all)
//   either way        kUart     t = time, a = port, payload = the bytes
//   master -> device  kReset    t = time: the device resets itself then
//   master -> device  kQuit     the world ends; the device program ends
//   either way        kBundle   payload = several of the messages above one
//                               after the other (each its header and its
//                               payload), taken in that order: what one side
//                               has for the other leaves in one packet, so
//                               that the other is woken once for it
// A device sends kFrame/kUart only while it runs (between a kWelcome or
// kGrant and its next kRequest); the master sends kFrame/kUart/kReset only
// while the device waits for a grant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/air.h"
#include "sim/sim.h"

namespace sim::world::proto {

enum Type : uint16_t {
  kHello = 1,
  kWelcome = 2,
  kRequest = 3,
  kGrant = 4,
  kFrame = 5,
  kUart = 6,
  kReset = 7,
  kQuit = 8,
  kBundle = 9,
};

struct Header {
  uint16_t type;
  uint16_t a;
  uint32_t len;  // payload bytes after the header
  uint64_t t;
  uint64_t t2;
};
static_assert(sizeof(Header) == 24);

// Bit of a grant's `a`: nothing answers the device's serial output before t2
// (the one who drives the world acts only at a time of its choosing, and no
// port of the device is wired to another device), so sending serial bytes
// need not stop its run; a frame still does.
constexpr uint16_t kOutputFree = 1;

// Bit of a request's `a`: port p's receiver is on (the chip takes bytes on it).
constexpr uint16_t rx_on(int port) { return static_cast<uint16_t>(1u << port); }

// Bit of RequestState::flags: no receiver of the device reacts to a frame on
// the air until the device runs again of its own accord (its radios sleep,
// stand by or send). The master may then hold frames for it back and hand
// them over just before its next grant: the device still takes each at its
// own time, before anything else it does after that time, as if it had been
// woken for it, and a frame that ended before anything still or later on the
// air began can no longer matter to it at all. This spares a process wake-up
// per frame for every device that is not listening.
constexpr uint32_t kAirDeaf = 1;

// Bit of RequestState::flags: nothing of the device is on the air, being cut
// short or about to start before its next own event. (Reported for the
// record; no grant relies on it, since the next own event may start a frame
// right after it.)
constexpr uint32_t kAirSilent = 2;

// A request's payload: when each serial port's line is free again (the bytes
// given to it earlier have all arrived by then), and the flags above.
struct RequestState {
  uint64_t free_at[sim::kMaxUart];
  uint32_t flags;
  // A frame of another device that starts at s decides nothing the device
  // can see before s + air_lead (µs; 0: it may at once). The master then
  // wakes the device for a frame no sooner than that: it takes the frame
  // as if it had come at its start (see sim::link's horizon query).
  uint32_t air_lead;
};

struct Hello {
  uint32_t pid;
  int32_t console_uart;  // -1 when unknown
  char image_name[48];   // NUL-terminated, may be empty
};

// Largest payload of one message: a frame, or a chunk of serial bytes.
constexpr size_t kMaxUartChunk = 4096;
constexpr size_t kMaxPayload = sizeof(sim::AirFrame) > kMaxUartChunk ? sizeof(sim::AirFrame)
                                                                     : kMaxUartChunk;
constexpr size_t kMaxMessage = sizeof(Header) + kMaxPayload;
// Largest packet: a bundle (messages that would make it larger leave one by
// one).
constexpr size_t kMaxPacket = 4 * kMaxMessage;

}  // namespace sim::world::proto

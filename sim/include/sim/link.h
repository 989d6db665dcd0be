// The link between one device and the world's time master.
//
// Standalone, a device has no link: its clock follows its own event queue
// (paced to the wall clock on a terminal). In a world, the device may move
// its clock only as far as the master grants, and the master carries radio
// frames and serial bytes between devices and the test harness.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/air.h"
#include "sim/sim.h"

namespace sim::link {

// Join the world at `endpoint` (a socket path given on the command line) as
// device `device_id`. Without a call, the device is standalone. Returns false
// (with a reason on stderr) when the master cannot be reached.
//
// Notes for the launcher:
// - The link's socket is close-on-exec. A reset (the program executed anew)
//   calls init() again with the same endpoint and id; the master recognises
//   the device and its clock continues.
// - After init() succeeds, start_time() is the world time at which this
//   device begins: the launcher sets its clock to max(its own restored time,
//   start_time()) before anything is scheduled (a device started or power
//   cycled while the world runs begins at the world's current time).
// - When the master ends the world, grant() does not return: it ends the
//   program through sim::host::finish(0) (exit hooks run).
// - Sending (send_frame, send_uart) stops the device's free run at the send
//   time: its next grant() past that time waits for the master, so that a
//   reply sent at the same virtual time can still reach it. Serial output
//   does not when the master said nothing answers it before its quiet time.
bool init(const char* endpoint, uint32_t device_id);
bool connected();
// Frames and serial bytes sent are held until the next request for time;
// the launcher sends them on with this before the program is executed anew
// (they also leave when the program ends through sim::host::finish).
void flush();
time_us start_time();

// Ask to move the clock to `want` (the device's next event, or kNever when
// idle). Returns the time the device may move to (<= want). Messages that
// arrive while waiting (frames, serial bytes) are turned into events on the
// device's queue at their times before this returns; the time returned is
// never later than the earliest of them. Usable directly as a
// sim::host::GateFn through gate() below.
time_us grant(time_us now, time_us want);
time_us gate(void* ctx, time_us now, time_us want);

// The time before which no input can reach the device (exclusive), for
// sim::host::set_quiet_query: the last grant, or the later time the master
// named with it while the device's radios are deaf and it has sent nothing
// since. kNever without a link.
time_us quiet_until();
time_us quiet_query(void* ctx);

// A frame this device puts on the air now. The master delivers it to every
// other device (with rx_rssi_dbm/rx_snr_db filled in from the link budget).
void send_frame(const AirFrame& frame);
using FrameFn = void (*)(void* ctx, const AirFrame& frame);  // runs as an event
void set_frame_handler(FrameFn fn, void* ctx);
// Asked at every request for time: true when no receiver would react to a
// frame before the device's next own event (see kAirDeaf in the protocol);
// the master may then hand frames over late, at the device's next grant.
// Without a query, a device with a frame handler counts as listening.
using DeafFn = bool (*)(void* ctx);
void set_air_deaf_query(DeafFn fn, void* ctx);
// How far the device may run past its grant on its own (a lookahead): called
// with `known`, the time before which every frame of other devices has been
// handed over, it returns the earliest time at which anything the program can
// see could depend on a frame that starts at or after `known` (kNever when
// nothing on the air can matter until the device first calls sync()). The
// device then runs its events before that time without asking, and no later
// than the master's quiet time. A device with this query promises to call
// sync() before anything that reads the air at once (an instant signal
// strength) or changes how frames already on the air would be taken, and to
// take a frame handed over late as if it had come at its start. Without the
// query the device stops at its grant (or, deaf, crosses only quiet spans).
// QIV_AIR_LEAD=0 in the environment turns the lookahead off (the results
// must not change, only the number of steps).
using HorizonFn = time_us (*)(void* ctx, time_us known);
void set_air_horizon_query(HorizonFn fn, void* ctx);
// Called by a radio model before it reads the air or changes what it would
// hear: when the device has run past its grant, it waits until the world has
// caught up with it, and the frames that started before now are taken at
// once (before this returns); those starting now come after, as events.
void sync();
// The time before which every frame of other devices has been handed over
// (the last grant); kNever without a link.
time_us known_until();

// Asked at every request for time: true when nothing of the device is on the
// air or about to start on it before the device's next own event (see
// kAirSilent). Without a query the device may send.
void set_air_silent_query(DeafFn fn, void* ctx);

// Serial ports that the world (not a pty) carries.
void send_uart(int port, const uint8_t* data, size_t len);
// Bytes for a world-carried port; raw bytes in arrival order, put on the line
// by the chip's UART model (which paces them at the port's baud rate).
using UartFn = void (*)(void* ctx, int port, const uint8_t* data, size_t len);  // runs as an event
void set_uart_handler(UartFn fn, void* ctx);

}  // namespace sim::link

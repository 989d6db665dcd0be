// The runtime skeleton every application image shares: the main loop's drain
// step and pass, the serial drain of one port, the main-loop state and the
// entry points into the user program linked into the image. A port's
// start-up calls these; the user program itself (setup() and loop()) lives
// in app/.
#pragma once

#include <stdint.h>

#include "qiv_app.h"
#include "udrv_serial.h"
#include "udrv_system.h"

// Set once the user program has turned busy looping off: the main loop then
// no longer calls loop() and sleeps instead when an auto-sleep time is stored.
extern volatile bool no_busy_loop;

// One drain step of the main loop: the image's background work, then every
// queued system event.
void qiv_running(void);

// One pass of the main loop after the drain step: the user's loop(), or the
// sleep once busy looping is off.
void qiv_loop_pass(void);

// Hands the bytes received on a port to the AT interpreter (unlocked port in
// AT mode) or the password line (locked port); a port in custom mode is left
// to the user program.
void qiv_serial_drain(SERIAL_PORT port);
// One received byte of a port the shared way: to the line editor when the
// port is in AT mode and unlocked, to the password line when it is locked,
// dropped otherwise.
void qiv_serial_byte(SERIAL_PORT port, uint8_t ch);

// The events every chip's dispatcher handles alike: user and system timers,
// a port falling back to AT mode, pin interrupts. Returns false for any other
// event, which stays the port's own.
bool qiv_dispatch_shared_event(const udrv_system_event_t *event);

// Entry points with plain linkage into the user program.
extern "C" void qiv_setup(void);
extern "C" void qiv_loop(void);

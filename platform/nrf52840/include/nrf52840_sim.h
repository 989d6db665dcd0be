// The simulated nRF52840 as tests and the host program see it (never
// included by firmware): its reset, the host side of the USB port, and what
// its peripherals recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nrfsim {

// The simulated port of each serial device.
constexpr int kSimUart0 = 0;
constexpr int kSimUart1 = 1;
constexpr int kSimUsb = 3;  // the CDC-ACM port

// Every peripheral back to power-on state (the models' reset).
void reset_platform();

// The BLE stack's events share the stack's event interrupt (SWI2_EGU2) with
// the SoC events: the BLE stand-in gives the function that hands its queued
// events out (called after the SoC events) and raises the interrupt.
void set_ble_event_source(void (*dispatch)());
void raise_stack_event();

// GPREGRET, kept through a reset.
uint32_t gpregret();

// The `nth` call (from 1) of the driver call `call` from now on fails
// (NRF_ERROR_INTERNAL), as the --fail-call option asks, in the device's
// first run only; "" for none.
void fail_call(const std::string& call, uint32_t nth);

// ---- USB host side ----
// VBUS present (the cable is in); the firmware sees its power events.
void usb_set_vbus(bool present);
// The host opens / closes the serial port (the CDC-ACM line state).
void usb_host_open(bool open);
// Whether the host takes the packets the device sends (a stalled reader
// leaves every write waiting for its TX-done).
void usb_host_reading(bool reading);
bool usb_port_open();  // as the device sees it (open and the device started)
bool usb_started();
// The device suspended at its request (the host sees an idle bus).
bool usb_suspended();
// Sizes of the packets the device has written, in order.
const std::vector<size_t>& usb_packets();
// The descriptor texts the device presents.
std::string usb_manufacturer();
std::string usb_product();

// ---- UARTE ----
struct UartConfig {
  bool open = false;
  uint32_t pseltxd = 0, pselrxd = 0;
  uint32_t baud_register = 0;  // the BAUDRATE register value
  uint32_t baud = 0;           // the rate it gives
  int opens = 0;               // nrf_drv_uart_init calls since reset
};
UartConfig uart_config(int instance);

// The nominal rate of a BAUDRATE register value (0 for an unknown one).
uint32_t baud_of_register(uint32_t reg);

}  // namespace nrfsim

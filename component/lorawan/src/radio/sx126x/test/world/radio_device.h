// A test device around one radio path, for exchanges between processes in a
// world: a line-command program on its console (port 0).
//
//   LORA <freq> <sf> <bw index> <cr> <power> <preamble> <symb timeout>  -> OK
//   FSK <freq> <bit rate> <fdev> <bandwidth> <power> <symb timeout>     -> OK
//   TX <hex>       -> TXDONE | TXTIMEOUT (the frame sent through Radio.Send)
//   RX <ms>        -> RXDONE <rssi> <snr> <hex> | RXERROR | RXTIMEOUT
//   CAD            -> CADDONE <0|1>
//   STANDBY        -> OK
// The device prints "READY" when it starts.
#pragma once

namespace radio_device {
// Per radio path: power-on of the radio's board, and what the main loop
// does for the radio on each pass.
void path_init();
void path_main_loop_step();
extern const char* const kImageName;
}  // namespace radio_device

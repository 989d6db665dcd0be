// A network set up from text: one command a line, for tools (qivsim).
//
//   region EU868                      the region (first; default EU868)
//   region CN470 plan=20A|20B|26A|26B a CN470 plan of 20/26 MHz antennas
//   otaa NAME DEVEUI JOINEUI APPKEY [NWKKEY]   a 1.0 device; with NWKKEY 1.1
//   abp NAME DEVADDR NWKSKEY APPSKEY  a 1.0 ABP session
//   downlink NAME PORT HEX [confirmed]
//   mac NAME HEX                      a network command (CID and payload)
//   class NAME A|B|C
//   window NAME rx1|rx2|none          where answers go
//   multicast NAME ADDR NWKSKEY APPSKEY [B|C] [FREQ_HZ DR]
//   beacons on|off                    class B beacons
//   adr on|off                        the ADR rule
//   cflist HEX                        16 bytes in join accepts
//   rx-delay S | rx1-offset N | rx2-dr N | net-id HEX | timing-error US
// Blank lines and lines starting with '#' are skipped. EUIs, addresses and
// keys are hexadecimal, most significant byte first.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "network/gateway.h"
#include "network/server.h"

namespace sim::network {

// Hexadecimal bytes ("CAFE"; an even number of digits, none is no bytes).
bool parse_hex_bytes(const std::string& text, Bytes* out);

// The regions by name, for messages: "AS923-1, AS923-2, ...".
std::string region_list();

class NetworkSetup {
 public:
  // What each line does, one line of text each (for a tool's help).
  static const std::vector<std::string>& help();
  // Applies one line; false with `error` set when it is not understood.
  bool apply(const std::string& line, std::string* error);
  // Builds the server (after the lines) and puts its gateway on the world.
  void start(sim::world::Master& master);
  // Takes the gateway off the world (before the world ends).
  void stop() { gateway_.reset(); }

  NetworkServer* server() { return server_.get(); }
  Gateway* gateway() { return gateway_.get(); }

 private:
  RegionId region_ = RegionId::kEU868;
  GatewayOptions gw_;
  std::vector<std::string> lines_;  // applied to the server at start
  std::unique_ptr<NetworkServer> server_;
  std::unique_ptr<Gateway> gateway_;
  bool apply_to(NetworkServer& ns, const std::string& line, std::string* error);
};

}  // namespace sim::network

#include <gtest/gtest.h>

#include "commands.h"

using namespace fdn;
using systest::Device;
using systest::ms;
using systest::World;

TEST(Probe, StaleTimer) {
  World w;
  systest::DeviceOptions o; o.initial_flash = cmd::stored_defaults(kBrisolaT);
  Device& d = start_module(w, "m", kBrisolaT, o);
  collect(d, kAtPort);
  systest::time_us t0 = w.now();
  d.write(kAtPort, "AT+SLEEP=60000\r\n");
  w.run_for(systest::sec(2));
  std::printf("%s\n", printable(collect(d, kAtPort)).c_str());
  d.write(kAtPort, "AT\r\n");
  std::printf("%s\n", printable(collect(d, kAtPort)).c_str());
  d.write(kAtPort, "AT+SLEEP\r\n");
  bool ok = d.wait_output(kAtPort, "OK\r\n", systest::sec(200));
  std::printf("bare sleep ended=%d at %.3f s after the first sleep started\n", ok, (w.now()-t0)/1e6);
}

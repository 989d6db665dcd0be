// The stored context on the air: which groups each event changes, a device
// restarted from the saved bytes continuing its session, and a corrupted
// group refused alone.
#include <cstdio>
#include <sstream>

#include "air.h"

namespace {

using namespace air;

struct Stored : Air {
  Stored() {
    EXPECT_EQ(cmd("NVMLOG 1"), "OK 0");
    EXPECT_TRUE(join());
  }
  // The NVM lines (change flags) printed up to and including the confirm of
  // one uplink, OR-ed together.
  unsigned flags_of_send(const std::string& line, std::string* confirm) {
    unsigned flags = 0;
    w.run_for(ms(100));
    d->take(kConsole);  // what earlier steps left
    EXPECT_EQ(cmd(line), "OK 0");
    for (;;) {
      const std::string l = next(sec(10));
      unsigned f = 0;
      if (std::sscanf(l.c_str(), "NVM %x", &f) == 1) {
        flags |= f;
        continue;
      }
      if (l.rfind("SENT", 0) == 0) {
        *confirm = l;
        // The change notice of this exchange follows its confirm (and any
        // downlink indication).
        while (std::optional<std::string> more = d->next_line(kConsole, ms(5))) {
          if (std::sscanf(more->c_str(), "NVM %x", &f) == 1) flags |= f;
        }
        return flags;
      }
      if (l == "(nothing)") return flags;
    }
  }
  std::string dump() {
    const std::string l = cmd("DUMP");
    return l.rfind("CTX ", 0) == 0 ? l.substr(4) : "";
  }
  std::vector<unsigned> layout() {
    std::istringstream in(cmd("GET LAYOUT"));
    std::string word;
    in >> word;
    std::vector<unsigned> v;
    unsigned x;
    while (in >> x) v.push_back(x);
    return v;
  }
  // Restarts the program and restores `ctx` into it.
  std::string restart_with(const std::string& ctx) {
    d->restart();
    EXPECT_TRUE(d->wait_line(kConsole, "READY"));
    EXPECT_EQ(cmd("NVMLOG 1"), "OK 0");
    return cmd("RESTORE " + ctx);
  }
};

TEST(MacOnAir, EachExchangeReportsTheGroupsItChanged) {
  Stored a;
  std::string confirm;
  // An uplink moves the counters (crypto) and the MAC state (group 1).
  const unsigned up = a.flags_of_send("SEND 2 01", &confirm);
  EXPECT_EQ(confirm.substr(0, 6), "SENT 0");
  EXPECT_EQ(up & 0x03, 0x03u) << std::hex << up;
  // A new channel from the network changes the region's channel group.
  a.ns.queue_mac("a", mac::new_channel_req(3, 867100000, 0, 5));
  const unsigned with_channel = a.flags_of_send("SEND 2 02", &confirm);
  EXPECT_NE(with_channel & 0x20, 0u) << std::hex << with_channel;
  // Class B context untouched by class A exchanges.
  EXPECT_EQ((up | with_channel) & 0x40, 0u);
}

TEST(MacOnAir, RestoredContextContinuesTheSessionAfterARestart) {
  Stored a;
  a.ns.queue_mac("a", mac::new_channel_req(3, 867100000, 0, 5));
  std::string confirm;
  a.flags_of_send("SEND 2 01", &confirm);
  a.flags_of_send("SEND 2 02", &confirm);
  EXPECT_EQ(fields(confirm, 3), "SENT 0 2");
  const std::string ctx = a.dump();
  ASSERT_EQ(ctx.size(), 2 * 2128u);
  const std::string channels = a.cmd("GET CHANNELS");
  ASSERT_NE(channels.find("3:867100000"), std::string::npos);

  EXPECT_EQ(a.restart_with(ctx), "OK 0");
  EXPECT_EQ(a.cmd("GET CHANNELS"), channels);
  EXPECT_EQ(a.cmd("GET FCNT").substr(0, 7), "FCNT 2 ");
  // The network accepts the next counter under the same keys; its answer
  // is accepted in turn.
  a.ns.queue_downlink("a", 4, {0x44});
  EXPECT_EQ(fields(a.send("SEND 2 03"), 3), "SENT 0 3");
  EXPECT_EQ(a.last_up().status, "ok");
  EXPECT_EQ(a.last_up().fcnt, 2u);
  EXPECT_EQ(fields(a.next(), 5), "RX 0 0 4 44");
}

TEST(MacOnAir, ACorruptedGroupIsRefusedAlone) {
  Stored a;
  a.ns.queue_mac("a", mac::new_channel_req(3, 867100000, 0, 5));
  std::string confirm;
  a.flags_of_send("SEND 2 01", &confirm);
  a.flags_of_send("SEND 2 02", &confirm);
  const std::vector<unsigned> at = a.layout();
  ASSERT_EQ(at.size(), 8u);
  std::string ctx = a.dump();
  ASSERT_EQ(ctx.size(), 2 * at[7]);
  // One byte inside the region's channel group (not its CRC).
  const size_t byte = at[5] + 8;
  ctx[2 * byte] = ctx[2 * byte] == '0' ? '1' : '0';

  EXPECT_EQ(a.restart_with(ctx), "OK 0");
  // The channels are the region's defaults again; the session, its keys
  // and counters are kept.
  EXPECT_EQ(a.cmd("GET CHANNELS"), "CHANNELS 0:868100000:0-5 1:868300000:0-5 2:868500000:0-5");
  EXPECT_EQ(a.cmd("GET FCNT").substr(0, 7), "FCNT 2 ");
  EXPECT_EQ(fields(a.send("SEND 2 03"), 3), "SENT 0 3");
  EXPECT_EQ(a.last_up().status, "ok");
  EXPECT_EQ(a.last_up().fcnt, 2u);
}

}  // namespace

// The test network driven while the world runs, through its control socket
// and the qivnet tool: a certification session one step at a time (each
// command waits for the module's answer before the next goes down), and a
// multicast downlink at a chosen time. The replies of the port-224 commands
// are those of the public certification protocol; the network decodes them
// with its own keys.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostutil/process.h"
#include "network/config.h"
#include "network/control.h"
#include "world/driver.h"

namespace {

using sim::network::NetworkControl;
using Lines = std::vector<std::string>;

const char kAppKey[] = "2B7E151628AED2A6ABF7158809CF4F3C";
const char kMcNwk[] = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";
const char kMcApp[] = "B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF";

class NetworkTool : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = std::make_unique<sim::world::Driver>(
        sim::world::Driver::Options{.image_dir = QIV_IMAGE_DIR});
    world_->on_uart([&](int, int port, sim::time_us, const uint8_t* d, size_t n) {
      if (port == console_port_) console_.append(reinterpret_cast<const char*>(d), n);
    });
    std::string error;
    for (const std::string& l :
         {std::string("otaa a 0202020202020202 0101010101010101 ") + kAppKey,
          std::string("multicast g1 01020304 ") + kMcNwk + " " + kMcApp + " C"})
      ASSERT_TRUE(world_->network().apply(l, &error)) << error;
    world_->start_network(nullptr);
    control_ = std::make_unique<NetworkControl>(*world_->network().server(), world_->master(),
                                                world_->network().gateway());
    const int id = world_->start({.name = "a", .image = "brisola-t", .pins = {{"PB12", 1}}});
    console_port_ = world_->console(id);
    world_->add_input(id, std::string("AT+DEVEUI=0202020202020202\r\n"
                                      "AT+APPEUI=0101010101010101\r\n"
                                      "AT+APPKEY=") +
                              kAppKey + "\r\n");
  }
  void TearDown() override {
    control_.reset();
    world_->end();
    world_.reset();
  }
  sim::network::NetworkServer& server() { return *world_->network().server(); }

  void step() {
    world_->run_until(world_->now() + 20000);
    control_->poll();
  }
  // One command through the service itself.
  Lines run(const std::string& command) {
    Lines out;
    control_->command(command, [&](const std::string& l) { out.push_back(l); });
    const sim::time_us limit = world_->now() + 300'000'000;
    while (control_->busy() && world_->now() < limit) step();
    return out;
  }
  // The qivnet program with `script` on its input, over the socket. The
  // world moves only while a command waits for it, so that the outcome
  // does not depend on how fast the host runs the tool.
  std::string tool(const std::string& script, int* status) {
    const std::string sock = world_->dir() + "/net.sock";
    std::string error;
    if (!control_->listen(sock, &error)) return "listen: " + error;
    const std::string in_path = world_->dir() + "/script.txt";
    std::ofstream(in_path) << script;
    int in = ::open(in_path.c_str(), O_RDONLY | O_CLOEXEC);
    int out[2];
    if (in < 0 || ::pipe2(out, O_CLOEXEC) != 0) return "no pipe";
    hostutil::SpawnOptions o;
    o.argv = {std::string(QIV_IMAGE_DIR) + "/qivnet", "--socket", sock};
    o.in = in;
    o.out = out[1];
    o.err = out[1];
    pid_t pid = hostutil::spawn(o, &error);
    ::close(in);
    ::close(out[1]);
    if (pid < 0) return "spawn: " + error;
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    std::string text;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    for (;;) {
      char buf[1024];
      ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n == 0) break;
      if (n > 0) text.append(buf, static_cast<size_t>(n));
      if (std::chrono::steady_clock::now() > give_up) {
        text += "\n(gave up)";
        break;
      }
      if (control_->busy()) {
        step();
      } else {
        control_->poll();
        ::usleep(1000);
      }
    }
    ::close(out[0]);
    *status = hostutil::stop_process(pid, 1000);
    return text;
  }

  std::unique_ptr<sim::world::Driver> world_;
  std::unique_ptr<NetworkControl> control_;
  std::string console_;
  int console_port_ = 0;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// AT+CERTIF=1 makes the module join and send 'C' on port 2 every 5 s; the
// tool sends each port-224 command, waits until it has gone down and then
// for the module's next uplink, which carries the answer.
TEST_F(NetworkTool, CertificationSessionStepByStep) {
  world_->add_input(1, "AT+CERTIF=1\r\n");
  const std::string script =
      "wait-uplink a 2 90s\n"
      // Activation: the module joins again and goes on on port 2.
      "downlink a 224 02\n"
      "wait-sent a\n"
      "wait-uplink a 2\n"
      "downlink a 224 00\n"  // package version
      "wait-sent a\n"
      "wait-uplink a 224\n"
      "downlink a 224 7F\n"  // versions
      "wait-sent a\n"
      "wait-uplink a 224\n"
      "downlink a 224 0801FF10\n"  // echo
      "wait-sent a\n"
      "wait-uplink a 224\n"
      "downlink a 224 0A\n"  // downlink counter reset
      "wait-sent a\n"
      "wait-uplink a 2\n"
      "downlink a 224 09\n"  // downlink counter
      "wait-sent a\n"
      "wait-uplink a 224\n"
      "devices\n";
  int status = 0;
  const std::string out = tool(script, &status);
  ASSERT_TRUE(WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_FALSE(contains(out, "ERROR")) << out;
  EXPECT_TRUE(contains(out, " port 224 payload 000601 MIC ")) << out;
  EXPECT_TRUE(contains(out, " port 224 payload 7F000000000100040002010003 MIC ")) << out;
  EXPECT_TRUE(contains(out, " port 224 payload 08020011 MIC ")) << out;
  // The counter request itself since the reset.
  EXPECT_TRUE(contains(out, " port 224 payload 090100 MIC ")) << out;

  // The session listing matches the network's own records.
  const auto& ups = server().uplinks();
  ASSERT_FALSE(ups.empty());
  const auto& last = ups.back();
  char expect[160];
  std::snprintf(expect, sizeof expect,
                "DEVICE a class A DevAddr %08X FCntUp %u FCntDown %u RSSI %d SNR %d DR%u ",
                last.dev_addr, last.fcnt, server().fcnt_down("a"), last.meta.rssi, last.meta.snr,
                last.meta.dr);
  EXPECT_TRUE(contains(out, expect)) << out;
}

TEST_F(NetworkTool, MulticastDownlinkAtAGivenTime) {
  world_->add_input(1, "AT+JOIN=1:0:7:20\r\n");
  const Lines join = run("wait-uplink a 120s");
  ASSERT_EQ(join.size(), 2u);
  EXPECT_NE(join[0].find(" JoinRequest a DevEUI 0202020202020202 "), std::string::npos) << join[0];
  run("follow 10s");
  ASSERT_TRUE(contains(console_, "+EVT:JOINED")) << console_;
  world_->add_input(
      1, std::string("AT+CLASS=C\r\nAT+ADDMULC=C:01020304:") + kMcNwk + ":" + kMcApp + "\r\n");
  run("follow 3s");
  ASSERT_FALSE(contains(console_, "AT_PARAM_ERROR")) << console_;

  EXPECT_EQ(run("downlink g1 7 CAFE confirmed"),
            Lines{"ERROR a multicast downlink is never confirmed"});
  EXPECT_EQ(run("downlink nobody 7 CAFE"),
            Lines{"ERROR no device or multicast group named nobody (see devices, groups)"});
  const Lines bare = run("downlink g1 7 CAFE in 3");
  ASSERT_EQ(bare.size(), 1u);
  EXPECT_EQ(bare[0].rfind("ERROR in: bad duration \"3\": no unit", 0), 0u) << bare[0];

  const sim::time_us at = world_->now() + 3'000'000;
  const std::string when = sim::world::format_time(at);
  int status = 0;
  const std::string out =
      tool("groups\ndownlink g1 7 CAFE at " + when + "\nwait-sent g1\n", &status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_TRUE(contains(out, "GROUP g1 class C DevAddr 01020304 FCntDown 0 queued 0\nOK\n")) << out;
  EXPECT_TRUE(contains(out, "AT " + when + "\nOK\n")) << out;
  // On the air at that time, and taken by the module as its group's.
  bool found = false;
  for (const auto& d : server().downlinks())
    if (d.tx.what == "multicast g1") {
      found = true;
      EXPECT_EQ(d.tx.at, at);
      EXPECT_EQ(d.dev_addr, 0x01020304u);
    }
  EXPECT_TRUE(found);
  run("follow 2s");
  EXPECT_TRUE(contains(console_, ":MULTICAST:7:cafe\r\n")) << console_;
}

// A device left unanswered, then answered again; beacons switched off for a
// while and on again, from the next 128 s boundary.
TEST_F(NetworkTool, SilenceAndBeaconsSwitchedWhileTheWorldRuns) {
  EXPECT_EQ(run("window a rx3"),
            Lines{"ERROR usage: window NAME rx1|rx2|none [at TIME | in DURATION]"});
  EXPECT_EQ(run("window nobody none"), Lines{"ERROR no device named nobody (see devices)"});
  EXPECT_EQ(run("beacons maybe"), Lines{"ERROR usage: beacons on|off [at TIME | in DURATION]"});

  // Silent: the join request is heard and not answered.
  EXPECT_EQ(run("window a none"), Lines{"OK"});
  world_->add_input(1, "AT+JOIN=1:0:7:20\r\n");
  const Lines first = run("wait-uplink a 30s");
  ASSERT_EQ(first.size(), 2u);
  EXPECT_NE(first[0].find(" JoinRequest a "), std::string::npos) << first[0];
  run("follow 8s");
  EXPECT_FALSE(contains(console_, "+EVT:JOINED")) << console_;
  EXPECT_EQ(server().downlinks().size(), 0u);
  // Answered again: the next attempt joins.
  EXPECT_EQ(run("window a rx1"), Lines{"OK"});
  const Lines second = run("wait-uplink a 30s");
  ASSERT_EQ(second.size(), 2u);
  run("follow 8s");
  EXPECT_TRUE(contains(console_, "+EVT:JOINED")) << console_;

  auto beacons = [&] {
    std::vector<sim::time_us> at;
    for (const auto& e : world_->network().gateway()->events())
      if (!e.uplink && !e.frame.frame.iq_inverted) at.push_back(e.frame.frame.start_us);
    return at;
  };
  EXPECT_TRUE(beacons().empty());
  EXPECT_EQ(run("beacons on"), Lines{"OK"});
  const Lines off = {"AT " + sim::world::format_time(world_->now() + 300'000'000), "OK"};
  EXPECT_EQ(run("beacons off in 300s"), off);
  const Lines on = {"AT " + sim::world::format_time(world_->now() + 700'000'000), "OK"};
  EXPECT_EQ(run("beacons on in 700s"), on);
  world_->run_until(world_->now() + 1'000'000'000);
  const std::vector<sim::time_us> at = beacons();
  ASSERT_GE(at.size(), 4u);
  for (sim::time_us t : at) EXPECT_EQ(server().gps_us(t) % 128'000'000, 0u) << t;
  // Every 128 s in the first 300 s, none in the next 400 s, then again.
  int pauses = 0;
  for (size_t i = 1; i < at.size(); ++i) {
    const sim::time_us gap = at[i] - at[i - 1];
    EXPECT_EQ(gap % 128'000'000, 0u) << gap;
    if (gap > 128'000'000) {
      ++pauses;
      EXPECT_GE(gap, 512'000'000u);
    }
  }
  EXPECT_EQ(pauses, 1);
}

// A network command queued while the world runs goes down with the next
// downlink, and the module answers it in the uplink after; a device the
// network is told to serve in class C gets its downlink at once, without
// waiting for an uplink.
TEST_F(NetworkTool, NetworkCommandAndClassWhileTheWorldRuns) {
  world_->add_input(1, "AT+JOIN=1:0:7:20\r\n");
  ASSERT_EQ(run("wait-uplink a 120s").back(), "OK");
  run("follow 10s");
  ASSERT_TRUE(contains(console_, "+EVT:JOINED")) << console_;

  EXPECT_EQ(run("mac a 0601"), Lines{"ERROR DevStatusReq carries 0 bytes after its CID, not 1"});
  EXPECT_EQ(run("mac a 06"), Lines{"OK"});
  world_->add_input(1, "AT+SEND=2:01\r\n");
  ASSERT_EQ(run("wait-uplink a 2 60s").back(), "OK");
  ASSERT_EQ(run("wait-sent a 10s").back(), "OK");
  run("follow 3s");  // the module's exchange ends with its receive windows
  ASSERT_TRUE(contains(console_, "+EVT:TX_DONE")) << console_;
  world_->add_input(1, "AT+SEND=2:02\r\n");
  const Lines answer = run("wait-uplink a 2 60s");
  ASSERT_EQ(answer.size(), 2u) << answer[0] << console_;
  run("follow 3s");
  EXPECT_TRUE(contains(answer[0], " MAC DevStatusAns")) << answer[0];

  world_->add_input(1, "AT+CLASS=C\r\n");
  run("follow 2s");
  const size_t uplinks = server().uplinks().size();
  EXPECT_EQ(run("class a C"), Lines{"OK"});
  EXPECT_EQ(run("downlink a 3 BEEF"), Lines{"OK"});
  EXPECT_EQ(run("wait-sent a 10s").back(), "OK");
  run("follow 2s");
  EXPECT_EQ(server().uplinks().size(), uplinks) << "no uplink opened a window";
  EXPECT_TRUE(contains(console_, ":UNICAST:3:beef\r\n")) << console_;
  const Lines devices = run("devices");
  ASSERT_FALSE(devices.empty());
  EXPECT_EQ(devices[0].rfind("DEVICE a class C DevAddr ", 0), 0u) << devices[0];
}

// qivnet --help lists the commands; without a socket it says what is
// missing.
TEST(NetworkToolProgram, HelpListsTheCommandsAndASocketIsAskedFor) {
  const std::string qivnet = std::string(QIV_IMAGE_DIR) + "/qivnet";
  hostutil::CaptureResult r = hostutil::run_capture({qivnet, "--help"}, "");
  EXPECT_TRUE(r.exited_ok());
  for (const char* c :
       {"downlink NAME PORT HEX [confirmed] [at TIME | in DURATION]", "mac NAME HEX",
        "class NAME A|B|C", "devices", "groups", "follow", "wait-uplink NAME", "wait-sent NAME"})
    EXPECT_TRUE(contains(r.out, c)) << c;
  r = hostutil::run_capture({"/usr/bin/env", "-u", "QIV_NET_SOCKET", qivnet, "devices"}, "");
  EXPECT_EQ(WEXITSTATUS(r.status), 2);
  EXPECT_TRUE(contains(r.err, "qivnet: no socket: give --socket PATH or set QIV_NET_SOCKET"))
      << r.err;
}

}  // namespace

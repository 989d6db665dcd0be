// The BLE tool's service against a BLE device program in a world: scan,
// connect with discovery, the serial service, reads and writes, pairing, a
// firmware update in packets, disconnection; and the qivble program over the
// service's socket.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostutil/process.h"
#include "sim/air_pcap.h"
#include "sim/ble_central_service.h"
#include "world/driver.h"

namespace {

namespace ble = sim::ble;
using Lines = std::vector<std::string>;

class BleTool : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = std::make_unique<sim::world::Driver>(
        sim::world::Driver::Options{.image_dir = QIV_IMAGE_DIR});
    world_->on_uart([&](int, int port, sim::time_us, const uint8_t* d, size_t n) {
      if (port == 0) console_.append(reinterpret_cast<const char*>(d), n);
    });
    world_->start({.name = "peer", .image = "qiv-ble-peer", .world_ports = {0}});
    service_ = std::make_unique<ble::CentralService>(world_->master());
  }
  void TearDown() override {
    service_.reset();
    world_->end();
    world_.reset();
  }
  // Runs the world (as fast as it goes) while the service works.
  void step() {
    world_->run_until(world_->now() + 10000);
    service_->poll();
  }
  Lines run(const std::string& command) {
    Lines out;
    service_->command(command, [&](const std::string& l) { out.push_back(l); });
    const sim::time_us limit = world_->now() + 120'000'000;
    while (service_->busy() && world_->now() < limit) step();
    return out;
  }
  bool has(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  std::unique_ptr<sim::air::PcapWriter> pcap_;  // outlives the world, which writes to it
  std::unique_ptr<sim::world::Driver> world_;
  std::unique_ptr<ble::CentralService> service_;
  std::string console_;
};

TEST_F(BleTool, ScanConnectTalkPairUpdateAndDisconnect) {
  Lines scan = run("scan 1");
  EXPECT_EQ(scan, (Lines{"DEVICE C0:11:22:33:44:55 -80 ADV 020106050950454552 NAME \"PEER\" RSP "
                         "0B095A454D2E333334343535 NAME \"ZEM.334455\"",
                         "OK"}));

  Lines conn = run("connect C0:11:22:33:44:55");
  EXPECT_EQ(conn,
            (Lines{"CONNECTED", "MTU 247", "CHAR 0x0702 0C 6E400002-B5A3-F393-E0A9-E50E24DCCA9E",
                   "CHAR 0x0704 10 6E400003-B5A3-F393-E0A9-E50E24DCCA9E CCC 0x0705",
                   "CHAR 0x0822 04 00002760-08C2-11E1-9073-0E8AC72E0001",
                   "CHAR 0x0824 10 00002760-08C2-11E1-9073-0E8AC72E0002 CCC 0x0825", "OK"}));

  EXPECT_EQ(run("at hello"), (Lines{"< hello", "OK"})) << "the peer notifies it back";
  EXPECT_EQ(run("write 0x0799 00"), (Lines{"ERROR ATT 0x01"}));
  EXPECT_EQ(run("read 0x0704"), (Lines{"VALUE ", "OK"}));
  EXPECT_EQ(run("frobnicate"), (Lines{"ERROR unknown command frobnicate (see help)"}));
  EXPECT_EQ(run("pair 123456"), (Lines{"PAIRED", "OK"}));

  // An image of three and a bit packets goes through the update service.
  const std::string image_path = world_->dir() + "/image.bin";
  std::vector<uint8_t> image(1600);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  std::ofstream(image_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  Lines update = run("update " + image_path);
  ASSERT_FALSE(update.empty());
  EXPECT_EQ(update.back(), "OK");
  EXPECT_TRUE(has(update, "HEADER ACCEPTED"));
  EXPECT_TRUE(has(update, "SENT 1600/1600"));
  EXPECT_TRUE(has(update, "VERIFIED"));
  EXPECT_TRUE(has(update, "RESET"));
  char expect[64];
  std::snprintf(expect, sizeof expect, "UPDATE 1600 %08X OK\r\n",
                static_cast<unsigned>(ble::image_crc(image.data(), image.size())));
  EXPECT_NE(console_.find(expect), std::string::npos) << console_;

  EXPECT_EQ(run("disconnect"), (Lines{"DISCONNECTED 16 (terminated by the local host)", "OK"}));
  EXPECT_NE(console_.find("DISCONNECTED 13\r\n"), std::string::npos);
  EXPECT_EQ(run("at hello"), (Lines{"ERROR not connected"}));
}

TEST_F(BleTool, TheToolTalksToTheServiceOverItsSocket) {
  const std::string path = world_->dir() + "/ble.sock";
  std::string error;
  ASSERT_TRUE(service_->listen(path, &error)) << error;
  const std::string cmd = std::string(QIV_IMAGE_DIR) + "/qivble --socket " + path +
                          " 'scan 1' 'connect C0:11:22:33:44:55' bogus 'never run' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  const int fd = ::fileno(p);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string out;
  // The world moves only while the service has something to do, so that it
  // waits for the tool however slowly the host runs it; the wall-clock limit
  // only stops a test that went wrong.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    char buf[512];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n > 0) out.append(buf, static_cast<size_t>(n));
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << out;
    if (service_->busy()) {
      step();
    } else {
      service_->poll();
      ::usleep(1000);
    }
  }
  int status = ::pclose(p);
  EXPECT_EQ(WEXITSTATUS(status), 1) << "it stops at the first ERROR";
  EXPECT_NE(out.find("DEVICE C0:11:22:33:44:55 -80 ADV"), std::string::npos) << out;
  EXPECT_NE(out.find("CONNECTED\nMTU 247\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ERROR unknown command bogus (see help)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("never"), std::string::npos) << out;
}

}  // namespace

namespace {

// qivble run by a person: without a socket it says what is missing; at its
// prompt it ends, and says so, when the world ends.
TEST_F(BleTool, TheToolSaysWhatIsMissingAndEndsWithTheWorld) {
  const std::string qivble = std::string(QIV_IMAGE_DIR) + "/qivble";
  FILE* p = ::popen(("env -u QIV_BLE_SOCKET " + qivble + " 'scan 1' 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  EXPECT_EQ(WEXITSTATUS(::pclose(p)), 2);
  EXPECT_NE(out.find("qivble: no socket: give --socket PATH or set QIV_BLE_SOCKET"),
            std::string::npos)
      << out;

  const std::string path = world_->dir() + "/ble.sock";
  std::string error;
  ASSERT_TRUE(service_->listen(path, &error)) << error;
  int in[2], outp[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(outp), 0);
  hostutil::SpawnOptions o;
  o.argv = {qivble, "--socket", path};
  o.in = in[0];
  o.out = outp[1];
  o.err = outp[1];
  pid_t pid = hostutil::spawn(o, &error);
  ASSERT_GT(pid, 0) << error;
  ::close(in[0]);
  ::close(outp[1]);
  const std::string line = "help\n";
  ASSERT_EQ(::write(in[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  // Served until its answer has come, then the world ends with the tool
  // still at its prompt (its input open).
  ::fcntl(outp[0], F_SETFL, ::fcntl(outp[0], F_GETFL) | O_NONBLOCK);
  std::string said;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (said.find("\nOK\n") == std::string::npos && std::chrono::steady_clock::now() < give_up) {
    service_->poll();
    ssize_t n = ::read(outp[0], buf, sizeof buf);
    if (n > 0) said.append(buf, static_cast<size_t>(n));
    ::usleep(1000);
  }
  ASSERT_NE(said.find("\nOK\n"), std::string::npos) << said;
  service_.reset();
  int status = 0;
  EXPECT_TRUE(hostutil::wait_exit(pid, &status, 30000)) << "qivble still waits at its prompt";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  ::fcntl(outp[0], F_SETFL, ::fcntl(outp[0], F_GETFL) & ~O_NONBLOCK);
  for (ssize_t n; (n = ::read(outp[0], buf, sizeof buf)) > 0;)
    said.append(buf, static_cast<size_t>(n));
  EXPECT_NE(said.find("qivble: the world has ended"), std::string::npos) << said;
  ::close(in[1]);
  ::close(outp[0]);
}

}  // namespace

namespace {

// A program in $PATH ("" when none).
std::string in_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "");
  for (std::string dir; std::getline(ss, dir, ':');)
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

// tshark's fields of every packet of `file`; ATT values as bytes, not as
// the characteristics' own kinds of values.
std::vector<std::vector<std::string>> tshark_rows(const std::string& file,
                                                  const std::vector<std::string>& fields,
                                                  std::string* error) {
  std::vector<std::string> argv = {in_path("tshark"), "-r", file,     "--disable-protocol",
                                   "btgatt",          "-T", "fields", "-E",
                                   "separator=|"};
  for (const std::string& f : fields) {
    argv.push_back("-e");
    argv.push_back(f);
  }
  hostutil::CaptureResult t;
  try {
    t = hostutil::run_capture(argv, "");
  } catch (const std::exception& e) {
    *error = std::string("tshark is not installed (scripts/setup.sh installs it): ") + e.what();
    return {};
  }
  if (!t.exited_ok()) *error = t.err;
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(t.out);
  for (std::string row; std::getline(in, row);) {
    std::vector<std::string> f;
    std::stringstream ss(row);
    for (std::string x; std::getline(ss, x, '|');) f.push_back(x);
    f.resize(fields.size());
    rows.push_back(f);
  }
  return rows;
}

// The world's BLE air in a capture file, as qivsim --pcap writes it: tshark
// (an independent decoder) checks the advertising packets' CRCs itself,
// follows the connection its CONNECT_IND sets up, and decodes the
// advertised names and the serial service's ATT traffic in both directions.
TEST_F(BleTool, TheCaptureDecodesInTshark) {
  const std::string file = world_->dir() + "/air.pcapng";
  pcap_ = std::make_unique<sim::air::PcapWriter>();
  std::string error;
  ASSERT_TRUE(pcap_->open(file, &error)) << error;
  world_->on_frame([this](const sim::world::FrameRecord& r) {
    sim::AirFrame f = r.frame;
    world_->master().budget().apply(f, 0);
    pcap_->write(f);
  });
  ASSERT_EQ(run("scan 1").back(), "OK");
  ASSERT_EQ(run("connect C0:11:22:33:44:55").back(), "OK");
  ASSERT_EQ(run("at hello"), (Lines{"< hello", "OK"}));
  ASSERT_EQ(run("disconnect").back(), "OK");

  const auto rows =
      tshark_rows(file,
                  {"btle_rf.channel", "btle.access_address", "btle.advertising_header.pdu_type",
                   "btcommon.eir_ad.entry.device_name", "btatt.opcode", "btatt.handle",
                   "btatt.value", "_ws.expert.message"},
                  &error);
  ASSERT_TRUE(error.empty()) << error;
  size_t adv = 0, data = 0;
  bool connect_ind = false, peer_name = false, serial_name = false, written = false,
       notified = false;
  for (const auto& r : rows) {
    if (r[1] == "0x8e89bed6") {
      // tshark checks these with the advertising CRCInit.
      EXPECT_EQ(r[7].find("CRC"), std::string::npos) << "RF channel " << r[0] << ": " << r[7];
      ++adv;
      // The advertising channels 37, 38 and 39 are RF channels 0, 12 and 39.
      EXPECT_TRUE(r[0] == "0" || r[0] == "12" || r[0] == "39") << "RF channel " << r[0];
      connect_ind = connect_ind || r[2] == "0x05";
      peer_name = peer_name || r[3].find("PEER") != std::string::npos;
      serial_name = serial_name || r[3].find("ZEM.334455") != std::string::npos;
      continue;
    }
    ++data;
    EXPECT_EQ(r[7].find("CRC"), std::string::npos) << "RF channel " << r[0] << ": " << r[7];
    EXPECT_FALSE(r[0] == "0" || r[0] == "12" || r[0] == "39")
        << "a connection's packet on an advertising channel: RF channel " << r[0];
    // "hello" CR LF written to the serial service's RX characteristic, and
    // notified back on its TX characteristic.
    if (r[6] == "68656c6c6f0d0a") {
      written = written || (r[4] == "0x52" && r[5] == "0x0702");
      notified = notified || (r[4] == "0x1b" && r[5] == "0x0704");
    }
  }
  EXPECT_GT(adv, 3u);
  EXPECT_GT(data, 10u);
  EXPECT_TRUE(connect_ind);
  EXPECT_TRUE(peer_name);
  EXPECT_TRUE(serial_name);
  EXPECT_TRUE(written);
  EXPECT_TRUE(notified);
}

}  // namespace

namespace {

// `at TEXT` against a module's own AT port over its BLE serial service: the
// answer of a command that lists every command comes whole, up to its final
// word, the same text the module gives on its serial console.
TEST(BleToolAt, ALongAnswerComesWhole) {
  sim::world::Driver world(sim::world::Driver::Options{.image_dir = QIV_IMAGE_DIR});
  std::string console;
  int console_port = -1;
  world.on_uart([&](int, int port, sim::time_us, const uint8_t* d, size_t n) {
    if (port == console_port) console.append(reinterpret_cast<const char*>(d), n);
  });
  const int id = world.start({.name = "m", .image = "minacor"});
  console_port = world.console(id);
  ble::CentralService service(world.master());
  auto run = [&](const std::string& command) {
    Lines out;
    service.command(command, [&](const std::string& l) { out.push_back(l); });
    const sim::time_us limit = world.now() + 120'000'000;
    while (service.busy() && world.now() < limit) {
      world.run_until(world.now() + 10000);
      service.poll();
    }
    return out;
  };
  // The serial console's answer, for comparison.
  world.run_until(world.now() + 1'000'000);
  const size_t at = console.size();  // after the start-up output
  world.add_input(id, "AT?\r\n");
  world.run_until(world.now() + 2'000'000);
  std::string expect;
  for (size_t pos = at; pos < console.size();) {
    size_t eol = console.find("\r\n", pos);
    if (eol == std::string::npos) break;
    if (eol > pos) expect += "< " + console.substr(pos, eol - pos) + "\n";
    pos = eol + 2;
  }
  ASSERT_GT(expect.size(), 1000u) << "a long answer";
  ASSERT_EQ(expect.substr(expect.size() - 5), "< OK\n") << expect;

  const Lines scan = run("scan 1");
  std::string address;
  for (const std::string& l : scan)
    if (l.find(" NAME \"ZEM.") != std::string::npos) address = l.substr(7, 17);
  ASSERT_FALSE(address.empty()) << ::testing::PrintToString(scan);
  ASSERT_EQ(run("connect " + address).back(), "OK");
  const Lines answer = run("at AT?");
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer.back(), "OK");
  std::string got;
  for (size_t i = 0; i + 1 < answer.size(); ++i) got += answer[i] + "\n";
  EXPECT_EQ(got, expect);
  world.end();
}

}  // namespace

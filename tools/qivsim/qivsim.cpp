// qivsim: several simulated modules in one world, for a person at a terminal
// (or a script): each device's AT port on a pseudo-terminal, virtual time
// paced to the wall clock, radio frames carried between the devices.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostutil/duration.h"
#include "hostutil/escape.h"
#include "hostutil/process.h"
#include "network/config.h"
#include "network/control.h"
#include "sim/air_pcap.h"
#include "sim/ble_central_service.h"
#include "world/driver.h"

namespace {

using sim::time_us;
using sim::world::Driver;

constexpr int kMaxPorts = sim::kMaxUart;

void usage(FILE* f) {
  std::fprintf(
      f,
      "Usage: qivsim [options] NAME=IMAGE [NAME=IMAGE ...]\n"
      "\n"
      "Runs simulated modules together in one world: one time master grants virtual\n"
      "time to every device in lockstep and carries the radio frames each one sends\n"
      "to all the others. Each device NAME runs the image program IMAGE (found next\n"
      "to qivsim, or in --image-dir) with its own flash file DIR/NAME.flash, and its\n"
      "AT port (the image's console port) is put on a new pseudo-terminal, printed\n"
      "at start as\n"
      "    NAME: port N on /dev/pts/K\n"
      "Attach any serial terminal to it (picocom, minicom, tio, screen, pyserial).\n"
      "Virtual time follows the wall clock; Ctrl-C (SIGINT) or SIGTERM ends the\n"
      "world. With --run-for the world instead runs as fast as the host allows for\n"
      "that much virtual time and then ends.\n"
      "\n"
      "Example:\n"
      "    qivsim a=brisola-t b=brisola-t\n"
      "    qivsim --run-for 60s --transcript - --frame-log - a=brisola-t\n"
      "\n"
      "Options:\n"
      "  --dir DIR              where flash files and device logs go (default:\n"
      "                         qivsim-world beside qivsim). DIR/NAME.log holds the\n"
      "                         device program's own messages. One qivsim at a time\n"
      "                         uses a DIR: a second one refuses to start.\n"
      "  --image-dir DIR        where image programs are (default: next to qivsim).\n"
      "  --run-for DURATION     run that much virtual time as fast as possible, then\n"
      "                         end (e.g. 500ms, 10s, 2m, 24h).\n"
      "  --ports NAME=P,P...    serial ports of NAME put on pseudo-terminals (default:\n"
      "                         its console port). Every port is carried by the world.\n"
      "  --flash NAME=FILE      flash file of NAME.\n"
      "  --pin NAME=PB12=1      input pin level of NAME at start (repeatable).\n"
      "  --adc NAME=VBAT=3300   analogue input of NAME in mV at start (repeatable).\n"
      "  --flash-cut-after NAME=N[:P]\n"
      "                         NAME loses its supply in its flash operation after\n"
      "                         the first N, P percent of it done (default 0), and\n"
      "                         restarts; what it is sending leaves the air then.\n"
      "  --device NAME=MODEL@WHERE[,KEY=VALUE]...\n"
      "                         a device model beside NAME's chip, on an I2C bus\n"
      "                         (i2cN:ADDRESS), an SPI bus (spiN:CS) or a serial port\n"
      "                         (uartN, which the world then no longer carries), e.g.\n"
      "                         --device a=wifi-coproc@uart1; the image program's\n"
      "                         --help lists the models and their settings.\n"
      "  --input NAME=TEXT      bytes for NAME's console port from time 0, one after\n"
      "                         another at the line's pace and only while the\n"
      "                         device's receiver is on, so that a script goes on\n"
      "                         after a restart (ATZ, AT+NWM=...). C escapes \\r \\n\n"
      "                         \\t \\\\ \\xHH; any other escape is refused\n"
      "                         (repeatable, in order).\n"
      "  --loss A=B=DB          path loss between devices A and B in dB (both ways).\n"
      "  --default-loss DB      path loss of every other pair (default 80).\n"
      "  --noise-floor DBM      fixed noise floor (default: thermal noise in the\n"
      "                         frame's bandwidth plus a 6 dB noise figure).\n"
      "  --frame-log FILE       log every frame put on the air, one line each:\n"
      "                         \"<time> <sender> <freq> LORA SF<sf> BW<bw> CR4/<4+cr>\n"
      "                         <power>dBm <len> <hex>\" (or FSK <bitrate>); '-' is stdout.\n"
      "  --pcap FILE            every frame put on the air in a capture file for\n"
      "                         Wireshark or tshark (pcapng, virtual time stamps):\n"
      "                         LoRa frames with a LoRaTap header (its LoRaWAN\n"
      "                         dissector decodes them), BLE packets as BLE LL with\n"
      "                         PHDR; RSSI and SNR as the gateway hears them.\n"
      "  --transcript FILE      log all serial output of the devices: \"<time>\n"
      "                         NAME:PORT <bytes with C escapes>\"; '-' is stdout.\n"
      "  --network FILE         a LoRaWAN gateway and network server on the air, set\n"
      "                         up by the lines of FILE (region, otaa, abp, downlink,\n"
      "                         mac, class, window, multicast, beacons, adr, ...;\n"
      "                         --network-cmd help lists them). A module on another\n"
      "                         region than the network's is heard by nobody: set\n"
      "                         its band first (AT+BAND).\n"
      "  --network-cmd LINE     one such line (repeatable, after the file's);\n"
      "                         --network-cmd help lists the lines and ends.\n"
      "  --network-log FILE     one decoded line per frame the network hears or sends\n"
      "                         (default: stdout).\n"
      "  --network-socket PATH  drive the network while the world runs: the qivnet\n"
      "                         tool queues downlinks (a device or a multicast\n"
      "                         group), network commands and classes through the\n"
      "                         Unix socket PATH, lists the sessions and follows the\n"
      "                         frames (see qivnet --help).\n"
      "  --ble-central PATH     a BLE central on the air, driven by the qivble tool\n"
      "                         through the Unix socket PATH (see qivble --help).\n"
      "  -h, --help             this text.\n"
      "\n"
      "Radio band: brisola-t and brisola-e read a band strap (pin PB12) and are\n"
      "low-band modules (470 MHz: P2P at 470 MHz, frequencies up to 600 MHz only)\n"
      "unless it is set; give --pin NAME=PB12=1 for a high-band (868 MHz) module.\n"
      "The strap chooses the defaults a new flash file gets at the first start.\n"
      "quenlarlp-sip and saffrond have no strap and are always high-band.\n"
      "\n"
      "Example: a P2P exchange (type on each module's pseudo-terminal, or pass\n"
      "the lines with --input):\n"
      "    qivsim --pin a=PB12=1 --pin b=PB12=1 a=brisola-t b=brisola-t\n"
      "    a: AT+NWM=0   AT+P2P=868000000:7:125:0:8:14   AT+PRECV=65534\n"
      "    b: AT+NWM=0   AT+P2P=868000000:7:125:0:8:14   AT+PSEND=48656C6C6F\n"
      "    a then reports +EVT:RXP2P:<rssi>:<snr>:48656C6C6F\n"
      "\n"
      "Device names are letters, digits, '-' and '_'. Frames the devices send are\n"
      "heard by every other device with an RSSI of (transmit power - path loss) and\n"
      "an SNR against the noise floor; whether a radio receives it is its own\n"
      "decision (frequency, modulation, timing, collisions).\n");
}

[[noreturn]] void die(const std::string& msg) {
  std::fprintf(stderr, "qivsim: %s\n", msg.c_str());
  std::exit(2);
}

struct DevSpec {
  sim::world::DeviceLaunch launch;
  std::string input;
  int id = 0;
};

// A mistake found once the world exists: reported like die(), after the
// world has ended (so that no socket or device program is left behind).
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

// "NAME=REST" -> the device index and REST.
size_t split_dev(const std::vector<DevSpec>& devs, const std::string& opt, const std::string& v,
                 std::string* rest) {
  size_t eq = v.find('=');
  if (eq == std::string::npos) die(opt + ": expected NAME=..., got " + v);
  std::string name = v.substr(0, eq);
  for (size_t i = 0; i < devs.size(); ++i) {
    if (devs[i].launch.name == name) {
      *rest = v.substr(eq + 1);
      return i;
    }
  }
  die(opt + ": no device named " + name);
}

FILE* open_log(const std::string& path) {
  if (path.empty()) return nullptr;
  if (path == "-") return stdout;
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) die("cannot write " + path + ": " + std::strerror(errno));
  return f;
}

// The network's lines, from --network and --network-cmd, in order.
struct NetworkOpts {
  std::vector<std::pair<std::string, std::string>> lines;  // {option, line}
  bool on = false;
  std::string log_path = "-";
  std::string socket;  // the control socket for qivnet
};

// Takes --network, --network-cmd and --network-log; false for other options.
// The lines are checked at once (a mistake ends qivsim before anything
// starts) and applied again to the world's network.
bool network_option(const std::string& a, const std::function<std::string()>& value,
                    NetworkOpts& n) {
  if (a == "--network") {
    std::string path = value();
    std::ifstream in(path);
    if (!in) die("--network: cannot read " + path);
    std::string line;
    // Mistakes are reported with the file's line number.
    for (int number = 1; std::getline(in, line); ++number)
      n.lines.emplace_back("--network " + path + ":" + std::to_string(number), line);
  } else if (a == "--network-cmd") {
    std::string line = value();
    if (line == "help") {
      std::printf("The lines of a --network FILE (or of --network-cmd LINE), in order:\n");
      for (const std::string& h : sim::network::NetworkSetup::help())
        std::printf("  %s\n", h.c_str());
      std::exit(0);
    }
    n.lines.emplace_back("--network-cmd", line);
  } else if (a == "--network-log") {
    n.log_path = value();
  } else if (a == "--network-socket") {
    n.socket = value();
  } else {
    return false;
  }
  n.on = true;
  return true;
}

int run(int argc, char** argv) {
  std::vector<DevSpec> devs;
  std::string dir;
  std::string image_dir = hostutil::self_dir();
  time_us run_for = sim::kNever;
  std::string frame_log_path, transcript_path, ble_socket, pcap_path;
  std::vector<std::pair<std::string, std::string>> late;  // options naming devices
  NetworkOpts network;
  // Checks the network's lines as they come, so that a mistake is reported
  // against the option that brought it.
  sim::network::NetworkSetup network_check;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("option " + a + " needs a value (see --help)");
      return argv[++i];
    };
    size_t lines_before = network.lines.size();
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a == "--dir") {
      dir = value();
    } else if (a == "--image-dir") {
      image_dir = value();
    } else if (a == "--run-for") {
      std::string v = value(), error;
      if (!hostutil::parse_duration(v, &run_for, &error, 0)) die("--run-for: " + error);
    } else if (a == "--frame-log") {
      frame_log_path = value();
    } else if (a == "--transcript") {
      transcript_path = value();
    } else if (a == "--pcap") {
      pcap_path = value();
    } else if (a == "--ble-central") {
      ble_socket = value();
    } else if (network_option(a, value, network)) {
      std::string error;
      for (size_t k = lines_before; k < network.lines.size(); ++k)
        if (!network_check.apply(network.lines[k].second, &error))
          die(network.lines[k].first + ": " + error);
    } else if (a == "--ports" || a == "--flash" || a == "--pin" || a == "--adc" || a == "--input" ||
               a == "--loss" || a == "--default-loss" || a == "--noise-floor" || a == "--device" ||
               a == "--flash-cut-after") {
      late.emplace_back(a, value());
    } else if (!a.empty() && a[0] == '-') {
      die("unknown option " + a + " (see --help)");
    } else {
      size_t eq = a.find('=');
      if (eq == std::string::npos) die("expected NAME=IMAGE, got " + a);
      DevSpec d;
      d.launch.name = a.substr(0, eq);
      d.launch.image = a.substr(eq + 1);
      if (!sim::world::valid_device_name(d.launch.name)) die("bad device name " + d.launch.name);
      if (d.launch.image.empty()) die("no image for " + d.launch.name);
      for (auto& o : devs)
        if (o.launch.name == d.launch.name) die("two devices named " + d.launch.name);
      // Every port is carried by the world; the console goes on a
      // pseudo-terminal unless --ports names others.
      d.launch.world_ports.clear();
      for (int p = 0; p < kMaxPorts; ++p) d.launch.world_ports.push_back(p);
      devs.push_back(std::move(d));
    }
  }
  if (devs.empty()) {
    usage(stderr);
    return 2;
  }

  struct Loss {
    size_t a, b;
    double db;
  };
  std::vector<Loss> losses;
  double default_loss = 80.0;
  bool have_floor = false;
  double floor_dbm = 0;
  for (auto& [opt, v] : late) {
    std::string rest;
    if (opt == "--default-loss" || opt == "--noise-floor") {
      char* end = nullptr;
      double x = std::strtod(v.c_str(), &end);
      if (v.empty() || *end) die(opt + ": bad number " + v);
      if (opt == "--default-loss") {
        default_loss = x;
      } else {
        have_floor = true;
        floor_dbm = x;
      }
      continue;
    }
    size_t k = split_dev(devs, opt, v, &rest);
    DevSpec& d = devs[k];
    if (opt == "--ports") {
      size_t pos = 0;
      while (pos <= rest.size()) {
        size_t comma = rest.find(',', pos);
        std::string p =
            rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (p.size() != 1 || p[0] < '0' || p[0] >= '0' + kMaxPorts) die("--ports: bad port " + p);
        int port = p[0] - '0';
        auto& ports = d.launch.pty_ports;
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
        if (comma == std::string::npos) break;
        pos = comma + 1;
      }
    } else if (opt == "--flash") {
      d.launch.flash = rest;
    } else if (opt == "--pin" || opt == "--adc" || opt == "--flash-cut-after") {
      d.launch.args.push_back(opt);
      d.launch.args.push_back(rest);
    } else if (opt == "--device") {
      // A model on a serial port takes the port from the world.
      size_t at = rest.find('@');
      if (at != std::string::npos && rest.compare(at + 1, 4, "uart") == 0) {
        size_t end = rest.find(',', at);
        std::string p =
            rest.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
        if (p.size() == 1 && p[0] >= '0' && p[0] < '0' + kMaxPorts) {
          int port = p[0] - '0';
          auto& wp = d.launch.world_ports;
          wp.erase(std::remove(wp.begin(), wp.end(), port), wp.end());
          auto& pp = d.launch.pty_ports;
          if (std::find(pp.begin(), pp.end(), port) != pp.end())
            die("--device " + v + ": port " + p + " is also on a pseudo-terminal (--ports)");
        }
      }
      d.launch.args.push_back(opt);
      d.launch.args.push_back(rest);
    } else if (opt == "--input") {
      std::string bytes, error;
      if (!hostutil::unescape(rest, &bytes, &error)) die("--input " + v + ": " + error);
      d.input += bytes;
    } else if (opt == "--loss") {
      std::string rest2;
      size_t b = split_dev(devs, opt, rest, &rest2);
      char* end = nullptr;
      double db = std::strtod(rest2.c_str(), &end);
      if (rest2.empty() || *end) die("--loss: bad number " + rest2);
      losses.push_back({k, b, db});
    }
  }
  for (DevSpec& d : devs) d.launch.console_pty = d.launch.pty_ports.empty();

  // Flash files and logs get a folder of their own, out of the way of
  // wherever qivsim was started from (a source tree, say).
  if (dir.empty()) dir = hostutil::self_dir() + "/qivsim-world";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // One world to a folder: a second would share the flash files and logs.
  const std::string lock_path = dir + "/qivsim.lock";
  int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) die("cannot write " + lock_path + ": " + std::strerror(errno));
  if (::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    char owner[32] = {};
    ssize_t n = ::pread(lock_fd, owner, sizeof owner - 1, 0);
    std::string pid_text = n > 0 ? std::string(owner, static_cast<size_t>(n)) : "";
    while (!pid_text.empty() && pid_text.back() == '\n') pid_text.pop_back();
    std::string who = pid_text.empty() ? "" : " (pid " + pid_text + ")";
    die(dir + " is in use by another qivsim" + who +
        ": two worlds in one folder would share flash files and logs; give this one its own "
        "--dir");
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock_fd, 0) != 0 || ::pwrite(lock_fd, pid.data(), pid.size(), 0) < 0) {
    // The lock holds without the note of who holds it.
  }

  FILE* frame_log = open_log(frame_log_path);
  FILE* transcript = open_log(transcript_path);
  FILE* network_log = network.on ? open_log(network.log_path) : nullptr;

  int rc = 0;
  sim::air::PcapWriter pcap;  // outlives the world, which writes to it
  try {
    Driver::Options wo;
    wo.dir = dir;
    wo.image_dir = image_dir;
    wo.temp_stem = "qivsim";
    Driver world(wo);
    world.master().budget().set_default_path_loss(default_loss);
    if (have_floor) world.master().budget().set_noise_floor(floor_dbm);
    world.set_transcript(transcript);
    world.set_frame_log(frame_log);
    if (!pcap_path.empty()) {
      std::string error;
      if (!pcap.open(pcap_path, &error)) throw Refused("--pcap: " + error);
      world.on_frame([&](const sim::world::FrameRecord& r) {
        // As the world's own receiver (the gateway, when there is one) hears it.
        sim::AirFrame f = r.frame;
        world.master().budget().apply(f, 0);
        pcap.write(f);
      });
    }
    world.on_exit([&](int id, int status, bool expected) {
      if (expected) return;
      std::fprintf(stderr, "qivsim: %s ended (%s); see %s\n", world.name(id).c_str(),
                   hostutil::describe_status(status).c_str(), world.log_path(id).c_str());
    });
    if (network.on) {
      std::string error;
      for (const auto& [opt, line] : network.lines)
        if (!world.network().apply(line, &error)) throw Refused(opt + ": " + error);
      world.start_network(network_log);
    }
    std::unique_ptr<sim::network::NetworkControl> control;
    if (!network.socket.empty()) {
      control = std::make_unique<sim::network::NetworkControl>(
          *world.network().server(), world.master(), world.network().gateway());
      std::string error;
      if (!control->listen(network.socket, &error)) throw Refused("--network-socket: " + error);
    }
    // Devices get the ids 1, 2, ... in the order they are named.
    for (const Loss& l : losses)
      world.master().budget().set_path_loss(static_cast<uint32_t>(l.a + 1),
                                            static_cast<uint32_t>(l.b + 1), l.db);
    for (DevSpec& d : devs) {
      try {
        d.id = world.start(d.launch);
      } catch (const std::runtime_error& e) {
        throw Refused(e.what());
      }
    }
    std::unique_ptr<sim::ble::CentralService> ble;
    if (!ble_socket.empty()) {
      ble = std::make_unique<sim::ble::CentralService>(world.master());
      std::string error;
      if (!ble->listen(ble_socket, &error)) throw Refused("--ble-central: " + error);
    }
    for (const auto& p : world.ptys())
      std::printf("%s: port %d on %s\n", world.name(p.id).c_str(), p.port, p.path.c_str());
    if (ble) std::printf("BLE central on %s\n", ble_socket.c_str());
    if (control) std::printf("network control on %s\n", network.socket.c_str());
    std::fflush(stdout);
    for (const DevSpec& d : devs) world.add_input(d.id, d.input);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    auto over = [&]() {
      if (g_stop) return true;
      if (ble) ble->poll();
      if (control) control->poll();
      for (const DevSpec& d : devs)
        if (world.master().alive(d.id)) return false;
      return true;
    };
    if (run_for != sim::kNever) {
      // As fast as the host allows.
      world.run_until(world.now() + run_for, over);
    } else {
      world.run_paced(over);
    }
    world.end();
  } catch (const Refused& e) {
    std::fprintf(stderr, "qivsim: %s\n", e.what());
    rc = 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qivsim: %s\n", e.what());
    rc = 1;
  }
  if (frame_log && frame_log != stdout) std::fclose(frame_log);
  if (transcript && transcript != stdout) std::fclose(transcript);
  if (network_log && network_log != stdout) std::fclose(network_log);
  return rc;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }

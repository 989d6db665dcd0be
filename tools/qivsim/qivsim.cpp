// qivsim: several simulated modules in one world, for a person at a terminal
// (or a script): each device's AT port on a pseudo-terminal, virtual time
// paced to the wall clock, radio frames carried between the devices.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/config.h"
#include "world/master.h"

namespace {

using sim::time_us;
using sim::world::format_time;
using sim::world::Master;
using sim::world::parse_duration;

constexpr int kMaxPorts = sim::kMaxUart;

void usage(FILE* f) {
  std::fprintf(f,
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
      "  --dir DIR              where flash files and device logs go (default: .).\n"
      "                         DIR/NAME.log holds the device program's own messages.\n"
      "  --image-dir DIR        where image programs are (default: next to qivsim).\n"
      "  --run-for DURATION     run that much virtual time as fast as possible, then\n"
      "                         end (e.g. 500ms, 10s, 2m, 24h).\n"
      "  --ports NAME=P,P...    serial ports of NAME put on pseudo-terminals (default:\n"
      "                         its console port). Every port is carried by the world.\n"
      "  --flash NAME=FILE      flash file of NAME.\n"
      "  --pin NAME=PB12=1      input pin level of NAME at start (repeatable).\n"
      "  --adc NAME=VBAT=3300   analogue input of NAME in mV at start (repeatable).\n"
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
      "  --transcript FILE      log all serial output of the devices: \"<time>\n"
      "                         NAME:PORT <bytes with C escapes>\"; '-' is stdout.\n"
      "  --network FILE         a LoRaWAN gateway and network server on the air, set\n"
      "                         up by the lines of FILE (region, otaa, abp, downlink,\n"
      "                         mac, class, window, multicast, beacons, adr, ...).\n"
      "  --network-cmd LINE     one such line (repeatable, after the file's).\n"
      "  --network-log FILE     one decoded line per frame the network hears or sends\n"
      "                         (default: stdout).\n"
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
  std::string name;
  std::string image;
  std::string flash;
  std::vector<int> pty_ports;  // empty: the console port
  std::vector<std::string> args;
  std::string input;
  size_t input_sent = 0;  // bytes of `input` already on the line
  // After the line end of a line of `input`, the next line waits until the
  // device has answered (a line end on its console since the line ended),
  // or until answer_until.
  bool line_ended = false;
  uint64_t answers = 0;  // console outputs with a line end so far
  uint64_t answers_before = 0;
  sim::time_us answer_until = 0;
  int console = 0;
  int id = 0;
};

struct Pty {
  int dev_index;
  int port;
  int master = -1;
  int slave = -1;  // kept open so that the terminal never hangs up
  std::string path;
};

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

bool valid_name(const std::string& n) {
  if (n.empty()) return false;
  for (char c : n)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
  return true;
}

// C escapes of --input. A backslash followed by anything else (or by
// nothing) is refused: such text would otherwise reach the device other than
// the user meant it.
bool unescape(const std::string& s, std::string* out, std::string* error) {
  out->clear();
  auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      *out += s[i];
      continue;
    }
    if (i + 1 == s.size()) {
      *error = "a '\\' at the end (write \\\\ for a backslash)";
      return false;
    }
    char c = s[++i];
    switch (c) {
      case 'r': *out += '\r'; break;
      case 'n': *out += '\n'; break;
      case 't': *out += '\t'; break;
      case '\\': *out += '\\'; break;
      case 'x':
        if (i + 2 < s.size() && hex(s[i + 1]) && hex(s[i + 2])) {
          *out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
          i += 2;
          break;
        }
        *error = "\\x needs two hex digits";
        return false;
      default:
        *error = std::string("unknown escape \\") + c + " (known: \\r \\n \\t \\\\ \\xHH)";
        return false;
    }
  }
  return true;
}

std::string escape(const uint8_t* d, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = d[i];
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\\') out += "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string self_dir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string s(buf);
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? "." : s.substr(0, slash);
}

// "NAME=REST" -> the device index and REST.
size_t split_dev(const std::vector<DevSpec>& devs, const std::string& opt, const std::string& v,
                 std::string* rest) {
  size_t eq = v.find('=');
  if (eq == std::string::npos) die(opt + ": expected NAME=..., got " + v);
  std::string name = v.substr(0, eq);
  for (size_t i = 0; i < devs.size(); ++i) {
    if (devs[i].name == name) {
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

void open_pty(Pty& p) {
  int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0) die(std::string("pty: ") + std::strerror(errno));
  const char* name = ::ptsname(m);
  if (!name) die("pty: no name");
  p.path = name;
  p.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p.slave >= 0) {
    termios t;
    if (::tcgetattr(p.slave, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(p.slave, TCSANOW, &t);
    }
  }
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  p.master = m;
}

// ---- The LoRaWAN network device (gateway and network server) -------------
struct NetworkOpts {
  sim::network::NetworkSetup setup;
  bool on = false;
  std::string log_path = "-";
  FILE* log = nullptr;
};

// Takes --network, --network-cmd and --network-log; false for other options.
bool network_option(const std::string& a, const std::function<std::string()>& value, NetworkOpts& n) {
  std::string error;
  if (a == "--network") {
    std::string path = value();
    std::ifstream in(path);
    if (!in) die("--network: cannot read " + path);
    std::string line;
    while (std::getline(in, line))
      if (!n.setup.apply(line, &error)) die("--network: " + error);
  } else if (a == "--network-cmd") {
    if (!n.setup.apply(value(), &error)) die("--network-cmd: " + error);
  } else if (a == "--network-log") {
    n.log_path = value();
  } else {
    return false;
  }
  n.on = true;
  return true;
}

void start_network(NetworkOpts& n, Master& world) {
  if (!n.on) return;
  n.log = n.log_path == "-" ? stdout : std::fopen(n.log_path.c_str(), "w");
  if (!n.log) die("cannot write " + n.log_path);
  n.setup.start(world);
  FILE* log = n.log;
  n.setup.server()->on_log = [log](const std::string& line) {
    std::fprintf(log, "network: %s\n", line.c_str());
    std::fflush(log);
  };
}
// ---------------------------------------------------------------------------

int64_t mono_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int run(int argc, char** argv) {
  std::vector<DevSpec> devs;
  std::string dir = ".";
  std::string image_dir = self_dir();
  time_us run_for = sim::kNever;
  std::string frame_log_path, transcript_path;
  std::vector<std::pair<std::string, std::string>> late;  // options naming devices
  NetworkOpts network;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("option " + a + " needs a value (see --help)");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a == "--dir") {
      dir = value();
    } else if (a == "--image-dir") {
      image_dir = value();
    } else if (a == "--run-for") {
      std::string v = value();
      if (!parse_duration(v, &run_for)) die("--run-for: bad duration " + v);
    } else if (a == "--frame-log") {
      frame_log_path = value();
    } else if (a == "--transcript") {
      transcript_path = value();
    } else if (network_option(a, value, network)) {
    } else if (a == "--ports" || a == "--flash" || a == "--pin" || a == "--adc" ||
               a == "--input" || a == "--loss" || a == "--default-loss" || a == "--noise-floor") {
      late.emplace_back(a, value());
    } else if (!a.empty() && a[0] == '-') {
      die("unknown option " + a + " (see --help)");
    } else {
      size_t eq = a.find('=');
      if (eq == std::string::npos) die("expected NAME=IMAGE, got " + a);
      DevSpec d;
      d.name = a.substr(0, eq);
      d.image = a.substr(eq + 1);
      if (!valid_name(d.name)) die("bad device name " + d.name);
      if (d.image.empty()) die("no image for " + d.name);
      for (auto& o : devs)
        if (o.name == d.name) die("two devices named " + d.name);
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
        std::string p = rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (p.size() != 1 || p[0] < '0' || p[0] >= '0' + kMaxPorts) die("--ports: bad port " + p);
        int port = p[0] - '0';
        if (std::find(d.pty_ports.begin(), d.pty_ports.end(), port) == d.pty_ports.end())
          d.pty_ports.push_back(port);
        if (comma == std::string::npos) break;
        pos = comma + 1;
      }
    } else if (opt == "--flash") {
      d.flash = rest;
    } else if (opt == "--pin" || opt == "--adc") {
      d.args.push_back(opt);
      d.args.push_back(rest);
    } else if (opt == "--input") {
      std::string bytes, error;
      if (!unescape(rest, &bytes, &error)) die("--input " + v + ": " + error);
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

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  dir = std::filesystem::absolute(dir).string();
  FILE* frame_log = open_log(frame_log_path);
  FILE* transcript = open_log(transcript_path);

  char tmpl[] = "/tmp/qivsim-XXXXXX";
  if (!::mkdtemp(tmpl)) die(std::string("mkdtemp: ") + std::strerror(errno));
  std::string sock_dir = tmpl;

  std::vector<Pty> ptys;
  int rc = 0;
  try {
    Master world(sock_dir + "/world.sock");
    world.budget().set_default_path_loss(default_loss);
    if (have_floor) world.budget().set_noise_floor(floor_dbm);
    std::map<int, size_t> index_of_id;
    std::map<std::pair<size_t, int>, std::string> early;  // output before its pty exists
    bool starting = true;

    Master::Callbacks cb;
    cb.uart = [&](int id, int port, time_us t, const uint8_t* data, size_t len) {
      size_t k = index_of_id.count(id) ? index_of_id[id] : devs.size();
      if (k < devs.size() && port == devs[k].console && std::memchr(data, '\n', len))
        ++devs[k].answers;
      if (transcript && k < devs.size()) {
        std::fprintf(transcript, "%s %s:%d %s\n", format_time(t).c_str(), devs[k].name.c_str(),
                     port, escape(data, len).c_str());
        std::fflush(transcript);
      }
      bool on_pty = false;
      for (Pty& p : ptys) {
        if (static_cast<size_t>(p.dev_index) != k || p.port != port) continue;
        ssize_t w = ::write(p.master, data, len);
        (void)w;  // a full terminal loses bytes, as a real line would
        on_pty = true;
      }
      if (!on_pty && starting) early[{k, port}].append(reinterpret_cast<const char*>(data), len);
    };
    cb.frame = [&](const sim::world::FrameRecord& r) {
      if (!frame_log) return;
      const sim::AirFrame& f = r.frame;
      std::string who = "world";
      if (f.sender && index_of_id.count(static_cast<int>(f.sender)))
        who = devs[index_of_id[static_cast<int>(f.sender)]].name;
      std::string hexs;
      char b[4];
      for (unsigned i = 0; i < f.len && i < sizeof f.payload; ++i) {
        std::snprintf(b, sizeof b, "%02X", f.payload[i]);
        hexs += b;
      }
      if (f.modem == sim::Modem::kLora)
        std::fprintf(frame_log, "%s %s %u LORA SF%u BW%u CR4/%u %ddBm %u %s\n",
                     format_time(r.t).c_str(), who.c_str(), f.frequency_hz, f.sf, f.bandwidth_hz,
                     4u + f.coding_rate, f.tx_power_dbm, f.len, hexs.c_str());
      else
        std::fprintf(frame_log, "%s %s %u FSK %ubps %ddBm %u %s\n", format_time(r.t).c_str(),
                     who.c_str(), f.frequency_hz, f.bitrate, f.tx_power_dbm, f.len, hexs.c_str());
      std::fflush(frame_log);
    };
    cb.exited = [&](int id, int status, bool expected) {
      if (expected || !index_of_id.count(id)) return;
      const DevSpec& d = devs[index_of_id[id]];
      std::fprintf(stderr, "qivsim: %s ended (%s %d); see %s/%s.log\n", d.name.c_str(),
                   WIFEXITED(status) ? "exit status" : "signal",
                   WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status), dir.c_str(),
                   d.name.c_str());
    };
    world.set_callbacks(cb);
    start_network(network, world);
    struct StopNetwork {  // the gateway leaves before the world ends
      NetworkOpts& n;
      ~StopNetwork() { n.setup.stop(); }
    } stop_network{network};
    // Devices get the ids 1, 2, ... in the order they are named.
    for (const Loss& l : losses)
      world.budget().set_path_loss(static_cast<uint32_t>(l.a + 1), static_cast<uint32_t>(l.b + 1), l.db);

    for (size_t k = 0; k < devs.size(); ++k) {
      DevSpec& d = devs[k];
      sim::world::DeviceConfig cfg;
      cfg.name = d.name;
      cfg.program = d.image.find('/') != std::string::npos ? d.image : image_dir + "/" + d.image;
      if (::access(cfg.program.c_str(), X_OK) != 0) die("no image program " + cfg.program);
      cfg.log_path = dir + "/" + d.name + ".log";
      if (::truncate(cfg.log_path.c_str(), 0) != 0 && errno != ENOENT)
        die("cannot write " + cfg.log_path + ": " + std::strerror(errno));
      cfg.cwd = dir;
      cfg.args = {"--flash", d.flash.empty() ? dir + "/" + d.name + ".flash" : d.flash};
      for (int p = 0; p < kMaxPorts; ++p) {
        cfg.args.push_back("--uart-world");
        cfg.args.push_back(std::to_string(p));
      }
      cfg.args.insert(cfg.args.end(), d.args.begin(), d.args.end());
      d.id = world.device_count() + 1;
      index_of_id[d.id] = k;
      for (int p : d.pty_ports) {
        Pty pty{static_cast<int>(k), p};
        open_pty(pty);
        ptys.push_back(pty);
      }
      int id = world.spawn(cfg);
      if (id != d.id) die("internal: device ids out of order");
      if (d.pty_ports.empty()) {
        // The console port is known once the program has introduced itself;
        // what it printed while starting is handed to the terminal now.
        int console = world.console_uart(id);
        Pty pty{static_cast<int>(k), console >= 0 ? console : 0};
        open_pty(pty);
        ptys.push_back(pty);
        std::string& held = early[{k, pty.port}];
        ssize_t w = ::write(pty.master, held.data(), held.size());
        (void)w;
      }
      early.clear();
    }
    starting = false;
    for (const Pty& p : ptys) {
      std::printf("%s: port %d on %s\n", devs[static_cast<size_t>(p.dev_index)].name.c_str(), p.port,
                  p.path.c_str());
    }
    std::fflush(stdout);
    for (DevSpec& d : devs) {
      int console = world.console_uart(d.id);
      d.console = console >= 0 ? console : 0;
    }
    // --input goes to the console one byte at a time, each once the one
    // before has arrived and only while the chip's receiver is on, as the
    // image's piped stdin does. A line goes only once the device has
    // answered the previous one (a line end on its console) or kAnswerWait
    // has passed without an answer: a device keeps what it receives while
    // busy in a buffer that a restart (ATZ, AT+NWM=...) empties, so the
    // script goes on after a restart instead of losing its rest.
    constexpr time_us kAnswerWait = 2'000'000;
    // When the next --input byte of device d can go (kNever: not now).
    auto is_line_end = [](char c) { return c == '\r' || c == '\n'; };
    auto due_of = [&](const DevSpec& d) {
      if (d.input_sent >= d.input.size()) return sim::kNever;
      time_us at = world.uart_ready_at(d.id, d.console);
      bool next_line = d.line_ended && !is_line_end(d.input[d.input_sent]);
      if (next_line && d.answers == d.answers_before && at != sim::kNever)
        at = std::max(at, d.answer_until);
      return at;
    };
    auto input_due = [&]() {
      time_us due = sim::kNever;
      for (const DevSpec& d : devs) due = std::min(due, due_of(d));
      return due;
    };
    auto input_waiting = [&]() { return input_due() <= world.now(); };
    auto feed_input = [&]() {
      for (DevSpec& d : devs) {
        if (due_of(d) > world.now()) continue;
        char c = d.input[d.input_sent++];
        world.send_uart(d.id, d.console, reinterpret_cast<const uint8_t*>(&c), 1);
        // The first '\r' or '\n' ends the line (a device may answer before
        // the rest of a "\r\n" has come).
        if (!is_line_end(c)) {
          d.line_ended = false;
        } else if (!d.line_ended) {
          d.line_ended = true;
          d.answers_before = d.answers;
          d.answer_until = world.now() + kAnswerWait;
        }
      }
    };

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    auto any_alive = [&]() {
      for (const DevSpec& d : devs)
        if (world.alive(d.id)) return true;
      return false;
    };

    if (run_for != sim::kNever) {
      time_us end = world.now() + run_for;
      // Slices, so that a signal can end a long run.
      while (!g_stop && world.now() < end && any_alive()) {
        feed_input();
        time_us step = std::min<time_us>(end - world.now(), 10'000'000);
        world.run_until(std::min(world.now() + step, input_due()), input_waiting);
      }
    } else {
      int64_t wall0 = mono_us();
      time_us virt0 = world.now();
      auto wall_target = [&]() { return virt0 + static_cast<time_us>(mono_us() - wall0); };
      // Runs towards the wall clock for at most 50 ms of host time, so that
      // terminal input is taken in promptly even when the devices keep the
      // host busy; a world that falls behind follows the wall clock from
      // where it is instead of rushing to catch up.
      auto catch_up = [&]() {
        int64_t slice_start = mono_us();
        time_us target = std::min(wall_target(), input_due());
        if (world.now() < target)
          world.run_until(target, [&]() {
            return mono_us() - slice_start > 50'000 || input_waiting();
          });
        if (world.now() + 200'000 < wall_target()) {
          wall0 = mono_us();
          virt0 = world.now();
        }
      };
      std::vector<pollfd> fds;
      while (!g_stop && any_alive()) {
        feed_input();
        catch_up();
        int timeout = 0;
        if (world.now() >= wall_target() && !input_waiting()) {
          time_us next = world.next_time();
          timeout = 1000;
          if (next != sim::kNever) {
            int64_t due_wall = wall0 + static_cast<int64_t>(next - virt0);
            int64_t left = due_wall - mono_us();
            timeout = static_cast<int>(std::clamp<int64_t>(left / 1000 + 1, 0, 1000));
          }
        }
        fds.clear();
        for (const Pty& p : ptys) fds.push_back({p.master, POLLIN, 0});
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n <= 0) continue;
        // Input counts from the moment it came.
        catch_up();
        for (size_t i = 0; i < fds.size(); ++i) {
          if (!(fds[i].revents & POLLIN)) continue;
          uint8_t buf[1024];
          ssize_t k = ::read(fds[i].fd, buf, sizeof buf);
          if (k <= 0) continue;
          const Pty& p = ptys[i];
          world.send_uart(devs[static_cast<size_t>(p.dev_index)].id, p.port, buf,
                          static_cast<size_t>(k));
        }
      }
    }
    world.end();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qivsim: %s\n", e.what());
    rc = 1;
  }
  for (Pty& p : ptys) {
    if (p.master >= 0) ::close(p.master);
    if (p.slave >= 0) ::close(p.slave);
  }
  std::filesystem::remove_all(sock_dir, ec);
  if (frame_log && frame_log != stdout) std::fclose(frame_log);
  if (transcript && transcript != stdout) std::fclose(transcript);
  if (network.log && network.log != stdout) std::fclose(network.log);
  return rc;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }

// The host program of an image: command line, serial attachments (terminal,
// pipe, pseudo-terminals, world), flash file, pacing of virtual time, and
// resets (the program is executed anew, keeping the chip's outside state).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hostutil/duration.h"
#include "hostutil/pty.h"
#include "sim/chip.h"
#include "sim/device_registry.h"
#include "sim/host.h"
#include "sim/link.h"
#include "sim/model.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr uint8_t kQuitKey = 0x1D;              // Ctrl-]
constexpr time_us kEndAfterInput = 10'000'000;  // piped stdin: run 10 s past its end
constexpr time_us kMaxLag = 200'000;            // wall pacing: forget a longer lag
constexpr time_us kSlack = 2'000;               // wall pacing: may run this far ahead
constexpr uint32_t kStateMagic = 0x51535431;    // "QST1"

enum class Kind : uint8_t { kNone = 0, kStdio = 1, kPty = 2, kWorld = 3 };
enum class Pace : uint8_t { kAuto = 0, kWall = 1, kFast = 2 };

struct Attachment {
  Kind kind = Kind::kNone;
  int master = -1;  // pty master
  int slave = -1;   // kept open so the pty never hangs up
  std::string path;
};

struct Options {
  std::string flash;
  std::vector<int> pty_ports;
  std::vector<int> world_ports;
  time_us run_for = kNever;
  Pace pace = Pace::kAuto;
  std::vector<std::pair<uint16_t, int>> pins;
  std::vector<std::pair<std::string, uint32_t>> adcs;
  bool uid_given = false;
  uint32_t uid[3] = {};
  std::string reset_image;
  std::string world;
  bool device_id_given = false;
  uint32_t device_id = 0;
  std::string pin_log;
  int state_fd = -1;
  std::vector<std::string> args;     // as given, without --sim-state
  std::vector<std::string> devices;  // NAME@WHERE[,KEY=VALUE]...
};

struct Launcher {
  Options opt;
  const ProgramInfo* info = nullptr;
  std::string exe_dir;
  std::string self;
  Attachment att[kMaxUart];
  int console = 0;

  // stdin as the console
  bool stdin_console = false;
  bool stdin_tty = false;
  bool stdin_eof = false;
  bool stdin_paused = false;  // piped: waiting for the receiver
  EventId stdin_pull = 0;
  time_us stdin_pull_at = kNever;
  std::deque<uint8_t> stdin_buf;

  bool tty_raw = false;
  struct termios tty_saved {};

  bool wall = false;
  bool world = false;
  bool auto_end = false;
  int64_t wall0 = 0;
  time_us virt0 = 0;

  FILE* pin_log = nullptr;
  uint32_t reset_count = 0;
  std::vector<std::unique_ptr<devices::Instance>> devices;
  // What each model kept through the reset, by model name.
  std::map<std::string, std::vector<uint8_t>> model_state;
};

Launcher L;

// ------------------------------------------------------------- helpers ---
[[noreturn]] void die(const std::string& msg) {
  std::fprintf(stderr, "%s\n", msg.c_str());
  host::finish(2);
}

bool parse_uint(const char* s, int base, uint64_t max, uint64_t* out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, base);
  if (*end || errno || v > max || s[0] == '-') return false;
  *out = v;
  return true;
}

bool parse_port(const char* s, int* port) {
  uint64_t v;
  if (!parse_uint(s, 10, kMaxUart - 1, &v)) return false;
  *port = static_cast<int>(v);
  return true;
}

std::string dir_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string image_path(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  return L.exe_dir + "/" + name;
}

// ------------------------------------------------------------ --help -----
void print_help(const char* prog) {
  const ProgramInfo& pi = *L.info;
  // An example pin this chip has (the band strap where it has one).
  std::string example_pin;
  for (const std::string& p : chip().pins)
    if (p == "PB12" || (example_pin.empty() && !p.empty())) example_pin = p;
  std::printf(
      "Usage: %s [options]\n"
      "\n"
      "Runs the %s firmware on a simulated chip. Serial port %d (the console)\n"
      "is on stdin/stdout unless moved elsewhere; the flash memory is kept in a\n"
      "file so that settings survive a restart.\n"
      "\n"
      "Serial ports of this image:\n",
      prog, pi.image_name, pi.console_uart);
  if (pi.port_help && *pi.port_help) {
    std::string s(pi.port_help);
    size_t pos = 0;
    while (pos < s.size()) {
      size_t nl = s.find('\n', pos);
      if (nl == std::string::npos) nl = s.size();
      std::printf("  %s\n", s.substr(pos, nl - pos).c_str());
      pos = nl + 1;
    }
  }
  std::printf(
      "\n"
      "Options:\n"
      "  --flash FILE         flash contents (default ./%s.flash). A missing file is\n"
      "                       created erased (0xFF), a short one extended with 0xFF.\n"
      "                       FILE.stats holds the counts of this run's flash\n"
      "                       operations (\"erases N\", \"programs N\" in write units),\n"
      "                       rewritten after each operation.\n"
      "  --pty PORT           put serial port PORT on a new pseudo-terminal in raw mode\n"
      "                       and print \"PORT <n>: <path>\" on stderr (repeatable; the\n"
      "                       console port may be moved too). A terminal program that\n"
      "                       sets a line speed on it (picocom -b 9600) other than the\n"
      "                       port's rate reads what a real line would give it, and\n"
      "                       so does the port; at 0 or the default 38400, bytes pass.\n"
      "  --run-for DURATION   end the program after DURATION of virtual time, e.g.\n"
      "                       90us, 250ms, 2s, 1.5m, 24h.\n"
      "  --pace wall|fast     virtual time follows the wall clock, or runs as fast as\n"
      "                       the host allows (default: wall when the console is a\n"
      "                       terminal or a pseudo-terminal is attached, else fast).\n"
      "  --pin %s=1%*s level of an input pin (repeatable; this chip's pin names).\n",
      pi.image_name, example_pin.c_str(),
      static_cast<int>(12 - std::min<size_t>(12, example_pin.size())), "");
  // What the board wires to its input pins.
  if (pi.pin_help && *pi.pin_help) {
    std::string s(pi.pin_help);
    for (size_t pos = 0; pos < s.size();) {
      size_t nl = s.find('\n', pos);
      if (nl == std::string::npos) nl = s.size();
      std::printf("%23s%s\n", "", s.substr(pos, nl - pos).c_str());
      pos = nl + 1;
    }
  }
  // An example analogue input, and the chip's inputs besides its pins.
  std::string example_adc = example_pin, other_inputs;
  for (const std::string& p : chip().pins)
    if (p == "PB3") example_adc = p;
  for (const std::string& a : chip().analog) other_inputs += (other_inputs.empty() ? "" : ", ") + a;
  std::printf("  --adc %s=1500%*s analogue input in millivolts (repeatable; a pin",
              example_adc.c_str(), static_cast<int>(9 - std::min<size_t>(9, example_adc.size())),
              "");
  if (other_inputs.empty())
    std::printf(").\n");
  else
    std::printf(" or\n%23sone of the chip's other inputs: %s).\n", "", other_inputs.c_str());
  std::printf(

      "  --uid W0:W1:W2       the 96-bit unique id as three hex words.\n"
      "  --reset-image NAME   program that a system reset starts (default: this one);\n"
      "                       found next to this program.\n"
      "  --world ENDPOINT     join a world (time master) at ENDPOINT ...\n"
      "  --device-id N        ... as device N.\n"
      "  --uart-world PORT    the world carries serial port PORT (repeatable).\n"
      "  --pin-log FILE       record output pin changes as \"<time_us> <pin> <level>\".\n");
  // Options of the hardware models, in the same layout.
  for (const Model& m : models()) {
    for (const ModelOption& mo : m.options) {
      std::string head = std::string(mo.name) + " " + mo.value;
      std::string help = mo.help;
      size_t pos = 0;
      bool first = true;
      while (pos <= help.size()) {
        size_t nl = help.find('\n', pos);
        if (nl == std::string::npos) nl = help.size();
        std::string line = help.substr(pos, nl - pos);
        if (first && head.size() <= 20)
          std::printf("  %-20s %s\n", head.c_str(), line.c_str());
        else if (first)
          std::printf("  %s\n%23s%s\n", head.c_str(), "", line.c_str());
        else
          std::printf("%23s%s\n", "", line.c_str());
        first = false;
        pos = nl + 1;
      }
    }
  }
  std::printf(
      "  -h, --help           this text.\n"
      "\n"
      "On a terminal the console is in raw mode: every key, Ctrl-C included, goes\n"
      "to the firmware; Ctrl-] quits. With the console on a pseudo-terminal and no\n"
      "--run-for, the program runs until it gets a signal (e.g. Ctrl-C where it was\n"
      "started).\n"
      "\n"
      "Piped stdin: its bytes reach the console port back to back at the port's baud\n"
      "rate from time 0, while the chip receives on that port (flow control: they\n"
      "wait while the port's receiver is off, e.g. during a reset). A program that\n"
      "polls its line (the bootloader) loses what comes while it is busy: the\n"
      "bytes do not wait for it to read. Virtual time runs as fast as the host\n"
      "allows, and without --run-for the program ends 10 s of virtual time after\n"
      "the last byte of stdin (or at once when nothing at all is scheduled any\n"
      "more). The console's output goes to stdout unbuffered.\n");
  std::printf(
      "\n"
      "Devices outside the chip (made anew at each start, with these settings):\n"
      "  --device NAME@WHERE[,KEY=VALUE]...\n"
      "                       put device model NAME on an I2C bus (WHERE = i2cN:ADDRESS,\n"
      "                       e.g. i2c2:0x70), an SPI bus (spiN:CS) or serial port N\n"
      "                       (uartN, which then carries nothing else); repeatable.\n"
      "  --uart-peer PORT=NAME[,KEY=VALUE]...\n"
      "                       the same as --device NAME@uartPORT[,KEY=VALUE]...\n"
      "Models:\n%s",
      devices::help().c_str());
}

// ------------------------------------------------------------ options ----
const ModelOption* model_option(const std::string& name) {
  for (const Model& m : models()) {
    for (const ModelOption& mo : m.options) {
      if (name == mo.name) return &mo;
    }
  }
  return nullptr;
}

Options parse_args(int argc, char** argv) {
  Options o;
  auto need = [&](int& i) -> const char* {
    if (i + 1 >= argc) die(std::string("option ") + argv[i] + " needs a value (see --help)");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--sim-state") {
      uint64_t fd;
      if (!parse_uint(need(i), 10, 1 << 20, &fd)) die("bad --sim-state");
      o.state_fd = static_cast<int>(fd);
      continue;
    }
    if (a == "-h" || a == "--help") {
      const char* slash = std::strrchr(argv[0], '/');
      print_help(slash ? slash + 1 : argv[0]);
      std::exit(0);
    } else if (a == "--flash") {
      o.flash = need(i);
      if (o.flash.empty()) die("--flash needs a file name");
    } else if (a == "--pty" || a == "--uart-world") {
      int port;
      const char* v = need(i);
      if (!parse_port(v, &port)) die(a + ": no serial port " + v);
      (a == "--pty" ? o.pty_ports : o.world_ports).push_back(port);
    } else if (a == "--run-for") {
      const char* v = need(i);
      std::string error;
      // A unit is required and days are not taken: an image runs for
      // seconds to hours, and "--run-for 10" is more likely a mistake than
      // ten microseconds.
      if (!hostutil::parse_duration(v, &o.run_for, &error, /*forms=*/0)) die("--run-for: " + error);
    } else if (a == "--pace") {
      std::string v = need(i);
      if (v == "wall")
        o.pace = Pace::kWall;
      else if (v == "fast")
        o.pace = Pace::kFast;
      else
        die("--pace: wall or fast");
    } else if (a == "--pin") {
      std::string v = need(i);
      auto eq = v.find('=');
      uint16_t pin;
      uint64_t level;
      if (eq == std::string::npos || !parse_uint(v.c_str() + eq + 1, 10, 1, &level))
        die("--pin: expected e.g. PB12=1, got " + v);
      std::string name = v.substr(0, eq);
      if (!host::parse_pin(name.c_str(), &pin))
        die("--pin: the chip (" + chip().name + ") has no pin " + name +
            "; its pins: " + host::valid_pin_names());
      o.pins.emplace_back(pin, static_cast<int>(level));
    } else if (a == "--adc") {
      std::string v = need(i);
      auto eq = v.find('=');
      uint64_t mv;
      if (eq == std::string::npos || eq == 0 || !parse_uint(v.c_str() + eq + 1, 10, 100000, &mv))
        die("--adc: expected e.g. PB3=1500 (mV), got " + v);
      std::string name = v.substr(0, eq);
      std::string valid = " " + host::valid_analog_names() + " ";
      if (valid.find(" " + name + " ") == std::string::npos)
        die("--adc: the chip (" + chip().name + ") has no analogue input " + name +
            "; its inputs: " + host::valid_analog_names());
      o.adcs.emplace_back(v.substr(0, eq), static_cast<uint32_t>(mv));
    } else if (a == "--uid") {
      std::string v = need(i);
      std::vector<std::string> parts;
      size_t pos = 0;
      for (;;) {
        size_t c = v.find(':', pos);
        parts.push_back(v.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
        if (c == std::string::npos) break;
        pos = c + 1;
      }
      uint64_t w;
      if (parts.size() != 3) die("--uid: expected W0:W1:W2 in hex, got " + v);
      for (int k = 0; k < 3; ++k) {
        if (parts[k].size() > 8 || !parse_uint(parts[k].c_str(), 16, 0xFFFFFFFFu, &w))
          die("--uid: expected W0:W1:W2 in hex, got " + v);
        o.uid[k] = static_cast<uint32_t>(w);
      }
      o.uid_given = true;
    } else if (a == "--reset-image") {
      o.reset_image = need(i);
      if (o.reset_image.empty()) die("--reset-image needs a name");
    } else if (a == "--world") {
      o.world = need(i);
    } else if (a == "--device-id") {
      uint64_t v;
      const char* s = need(i);
      if (!parse_uint(s, 10, 0xFFFFFFFFu, &v)) die(std::string("--device-id: bad number ") + s);
      o.device_id = static_cast<uint32_t>(v);
      o.device_id_given = true;
    } else if (a == "--device" || a == "--uart-peer") {
      std::string v = need(i);
      if (a == "--uart-peer") {
        size_t eq = v.find('=');
        if (eq == std::string::npos || eq == 0)
          die("--uart-peer: expected e.g. 1=loopback, got " + v);
        size_t comma = v.find(',', eq);
        std::string name =
            v.substr(eq + 1, comma == std::string::npos ? std::string::npos : comma - eq - 1);
        v = name + "@uart" + v.substr(0, eq) + (comma == std::string::npos ? "" : v.substr(comma));
      }
      o.devices.push_back(v);
    } else if (a == "--pin-log") {
      o.pin_log = need(i);
    } else if (const ModelOption* mo = model_option(a)) {
      const char* s = need(i);
      std::string error;
      if (!mo->set(s, &error)) die(error.empty() ? a + ": bad value " + s : error);
    } else {
      die("unknown option " + a + " (see --help)");
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--sim-state") {
      ++i;
      continue;
    }
    o.args.push_back(argv[i]);
  }
  if (o.device_id_given != !o.world.empty()) die("--world and --device-id go together");
  return o;
}

// ------------------------------------------------------------ state ------
// What a reset keeps, handed to the next program through an inherited memfd.
struct Writer {
  std::vector<uint8_t> b;
  template <typename T>
  void put(const T& v) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
    b.insert(b.end(), p, p + sizeof v);
  }
  void str(const std::string& s) {
    put<uint32_t>(static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
  }
};

struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool ok = true;
  template <typename T>
  T get() {
    T v{};
    if (end - p < static_cast<ptrdiff_t>(sizeof v)) {
      ok = false;
      return v;
    }
    std::memcpy(&v, p, sizeof v);
    p += sizeof v;
    return v;
  }
  std::string str() {
    uint32_t n = get<uint32_t>();
    if (!ok || static_cast<uint32_t>(end - p) < n) {
      ok = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    return s;
  }
};

int save_state() {
  Writer w;
  w.put(kStateMagic);
  w.put<uint64_t>(now());
  w.put<uint64_t>(host::deadline());
  w.put<uint32_t>(L.reset_count + 1);
  w.put<uint32_t>(host::quick_resets());
  w.put<uint8_t>(L.auto_end);
  for (int i = 0; i < kRetainedWords; ++i) w.put<uint32_t>(retained_read(i));
  w.put<uint32_t>(pin_count());
  for (uint16_t i = 0; i < pin_count(); ++i)
    w.put<uint8_t>(chip().pins[i].empty() ? 0 : static_cast<uint8_t>(pin_input(i)));
  w.put<uint32_t>(unique_id(0));
  w.put<uint32_t>(unique_id(1));
  w.put<uint32_t>(unique_id(2));
  w.put<uint32_t>(static_cast<uint32_t>(L.opt.adcs.size()));
  for (auto& a : L.opt.adcs) {
    w.str(a.first);
    w.put<uint32_t>(analog_mv(a.first.c_str()));
  }
  w.str(host::flash_path());
  for (int p = 0; p < kMaxUart; ++p) {
    w.put<uint8_t>(static_cast<uint8_t>(L.att[p].kind));
    w.put<int32_t>(L.att[p].master);
    w.put<int32_t>(L.att[p].slave);
    w.str(L.att[p].path);
    w.put<uint64_t>(host::uart_line_free(p));
  }
  w.put<uint8_t>(L.stdin_console);
  w.put<uint8_t>(L.stdin_tty);
  w.put<uint8_t>(L.stdin_eof);
  w.put<uint64_t>(L.stdin_pull && scheduled(L.stdin_pull) ? L.stdin_pull_at : kNever);
  w.str(std::string(L.stdin_buf.begin(), L.stdin_buf.end()));
  w.put<uint8_t>(L.tty_raw);
  w.put(L.tty_saved);
  w.put<uint8_t>(L.wall);
  uint32_t saving = 0;
  for (const Model& m : models()) saving += m.save ? 1 : 0;
  w.put<uint32_t>(saving);
  for (const Model& m : models()) {
    if (!m.save) continue;
    StateOut out;
    m.save(out);
    w.str(m.name);
    w.str(std::string(out.bytes().begin(), out.bytes().end()));
  }

  int fd = static_cast<int>(memfd_create("qiv-sim-state", 0));
  if (fd < 0) return -1;
  const uint8_t* p = w.b.data();
  size_t n = w.b.size();
  while (n) {
    ssize_t k = write(fd, p, n);
    if (k <= 0) {
      close(fd);
      return -1;
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

bool load_state(int fd) {
  std::vector<uint8_t> b;
  uint8_t buf[4096];
  for (;;) {
    ssize_t k = read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    b.insert(b.end(), buf, buf + k);
  }
  close(fd);
  Reader r{b.data(), b.data() + b.size()};
  if (r.get<uint32_t>() != kStateMagic) return false;
  host::set_now(r.get<uint64_t>());
  host::set_deadline(r.get<uint64_t>());
  L.reset_count = r.get<uint32_t>();
  host::set_quick_resets(r.get<uint32_t>());
  L.auto_end = r.get<uint8_t>();
  for (int i = 0; i < kRetainedWords; ++i) retained_write(i, r.get<uint32_t>());
  uint32_t npins = r.get<uint32_t>();
  for (uint32_t i = 0; i < npins && r.ok; ++i) {
    uint8_t level = r.get<uint8_t>();
    if (i < pin_count() && !chip().pins[i].empty())
      host::pin_preset_input(static_cast<uint16_t>(i), level);
  }
  uint32_t u0 = r.get<uint32_t>(), u1 = r.get<uint32_t>(), u2 = r.get<uint32_t>();
  host::set_unique_id(u0, u1, u2);
  uint32_t nadc = r.get<uint32_t>();
  for (uint32_t i = 0; i < nadc && r.ok; ++i) {
    std::string ch = r.str();
    analog_set_mv(ch.c_str(), r.get<uint32_t>());
  }
  L.opt.flash = r.str();
  for (int p = 0; p < kMaxUart; ++p) {
    L.att[p].kind = static_cast<Kind>(r.get<uint8_t>());
    L.att[p].master = r.get<int32_t>();
    L.att[p].slave = r.get<int32_t>();
    L.att[p].path = r.str();
    host::uart_set_line_free(p, r.get<uint64_t>());
  }
  L.stdin_console = r.get<uint8_t>();
  L.stdin_tty = r.get<uint8_t>();
  L.stdin_eof = r.get<uint8_t>();
  L.stdin_pull_at = r.get<uint64_t>();
  std::string pending = r.str();
  L.stdin_buf.assign(pending.begin(), pending.end());
  L.tty_raw = r.get<uint8_t>();
  L.tty_saved = r.get<struct termios>();
  L.wall = r.get<uint8_t>();
  uint32_t saved_models = r.get<uint32_t>();
  for (uint32_t i = 0; i < saved_models && r.ok; ++i) {
    std::string name = r.str();
    std::string bytes = r.str();
    L.model_state[name].assign(bytes.begin(), bytes.end());
  }
  // The models get their state once the chip's outside is set up (see main).
  return r.ok;
}

// ------------------------------------------------------------ terminal ---
void restore_tty() {
  if (L.tty_raw) tcsetattr(STDIN_FILENO, TCSAFLUSH, &L.tty_saved);
}

void on_signal(int sig) {
  restore_tty();
  signal(sig, SIG_DFL);
  raise(sig);
}

// ------------------------------------------------------------ outputs ----
void out_fd(void* ctx, int, const uint8_t* data, size_t len) {
  // A closed pipe or a full pseudo-terminal loses the bytes, as a line would.
  hostutil::write_all(static_cast<int>(reinterpret_cast<intptr_t>(ctx)), data, len);
}

// The line speed a program on a pseudo-terminal has set (picocom -b, a
// serial library's baud rate), or 0 while none is set. A new pseudo-terminal
// has the kernel's default speed, 38400, which programs that set none (a
// YMODEM sender, cat) keep: it counts as none, as does 0.
constexpr uint32_t kPtyDefaultSpeed = 38400;

uint32_t pty_speed(int fd) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return 0;
  static const std::pair<speed_t, uint32_t> kSpeeds[] = {
      {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
      {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
      {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  const speed_t s = cfgetospeed(&t);
  for (const auto& [code, baud] : kSpeeds)
    if (code == s) return baud == kPtyDefaultSpeed ? 0 : baud;
  return 0;
}

// Bytes between a pseudo-terminal and the UART: where the terminal's speed
// and the port's rate differ, the reader makes of them what a real line
// would give it; where the terminal sets no speed, they pass as they are.
std::vector<uint8_t> over_the_line(int port, const uint8_t* data, size_t len, bool to_chip) {
  const uint32_t far = pty_speed(L.att[port].master);
  const uint32_t baud = uart_baud(port);
  if (far == 0 || far == baud) return std::vector<uint8_t>(data, data + len);
  return to_chip ? host::uart_reframe(data, len, far, baud)
                 : host::uart_reframe(data, len, baud, far);
}

void out_pty(void* ctx, int port, const uint8_t* data, size_t len) {
  (void)ctx;
  const std::vector<uint8_t> line = over_the_line(port, data, len, false);
  hostutil::write_all(L.att[port].master, line.data(), line.size());
}

void out_world(void*, int port, const uint8_t* data, size_t len) {
  link::send_uart(port, data, len);
}

void pin_logger(void*, uint16_t pin, int level) {
  if (!L.pin_log) return;
  std::fprintf(L.pin_log, "%" PRIu64 " %s %d\n", now(), host::pin_name(pin).c_str(), level);
  std::fflush(L.pin_log);
}

// ------------------------------------------------------------ inputs -----
// Piped stdin: one byte is put on the console's line each time the previous
// one has arrived, read (blocking) only when virtual time gets there, so the
// timing depends on the bytes alone, never on how fast the writer is.
void stdin_pull_event(void*, uint32_t);

void schedule_stdin_pull(time_us at) {
  L.stdin_pull_at = at;
  L.stdin_pull = schedule(at, stdin_pull_event, nullptr);
}

bool stdin_next(uint8_t* byte) {
  if (L.stdin_buf.empty()) {
    if (L.stdin_eof) return false;
    uint8_t buf[256];
    ssize_t n;
    do n = read(STDIN_FILENO, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      L.stdin_eof = true;
      return false;
    }
    L.stdin_buf.insert(L.stdin_buf.end(), buf, buf + n);
  }
  *byte = L.stdin_buf.front();
  L.stdin_buf.pop_front();
  return true;
}

void stdin_ended() {
  if (L.auto_end) {
    time_us end = now() + kEndAfterInput;
    if (end < host::deadline()) host::set_deadline(end);
  }
}

void stdin_pull_event(void*, uint32_t) {
  L.stdin_pull = 0;
  L.stdin_pull_at = kNever;
  if (!host::uart_receiving(L.console)) {
    L.stdin_paused = true;
    return;
  }
  uint8_t b;
  if (!stdin_next(&b)) {
    stdin_ended();
    return;
  }
  host::uart_feed(L.console, &b, 1, now());
  schedule_stdin_pull(host::uart_line_free(L.console));
}

void rx_state_changed(void*, int port, bool receiving) {
  if (port == L.console && receiving && L.stdin_paused) {
    L.stdin_paused = false;
    time_us lf = host::uart_line_free(port);
    schedule_stdin_pull(lf > now() ? lf : now());
  }
}

// Bytes waiting on the terminal or the pseudo-terminals are put on their
// lines at `at`. Returns true when any arrived. `timeout_ms` as for poll().
bool poll_inputs(int timeout_ms, time_us at_if_now, bool use_wall_time) {
  struct pollfd fds[kMaxUart + 1];
  int port_of[kMaxUart + 1];
  int n = 0;
  if (L.stdin_console && L.stdin_tty) {
    fds[n] = {STDIN_FILENO, POLLIN, 0};
    port_of[n++] = L.console;
  }
  for (int p = 0; p < kMaxUart; ++p) {
    if (L.att[p].kind == Kind::kPty) {
      fds[n] = {L.att[p].master, POLLIN, 0};
      port_of[n++] = p;
    }
  }
  if (n == 0 && timeout_ms == 0) return false;
  int r = poll(fds, static_cast<nfds_t>(n), timeout_ms);
  if (r <= 0) return false;
  time_us at = at_if_now;
  if (use_wall_time) {
    time_us v = L.virt0 + static_cast<time_us>(hostutil::monotonic_us() - L.wall0);
    if (v > at) at = v;
  }
  bool any = false;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & POLLIN)) continue;
    uint8_t buf[512];
    ssize_t k = read(fds[i].fd, buf, sizeof buf);
    if (k <= 0) continue;
    if (fds[i].fd == STDIN_FILENO) {
      for (ssize_t j = 0; j < k; ++j) {
        if (buf[j] == kQuitKey) {
          host::uart_feed(port_of[i], buf, static_cast<size_t>(j), at);
          host::finish(0);
        }
      }
    }
    if (fds[i].fd == STDIN_FILENO) {
      host::uart_feed(port_of[i], buf, static_cast<size_t>(k), at);
    } else {
      const std::vector<uint8_t> line =
          over_the_line(port_of[i], buf, static_cast<size_t>(k), true);
      host::uart_feed(port_of[i], line.data(), line.size(), at);
    }
    any = true;
  }
  return any;
}

bool has_host_inputs() {
  if (L.stdin_console && L.stdin_tty) return true;
  for (auto& a : L.att)
    if (a.kind == Kind::kPty) return true;
  return false;
}

// ------------------------------------------------------------ the gate ---
time_us gate(void*, time_us now_, time_us want) {
  if (L.world) {
    if (has_host_inputs() && poll_inputs(0, now_, false)) return now_;
    return link::grant(now_, want);
  }
  if (!L.wall) {
    if (!has_host_inputs()) return want;
    if (poll_inputs(want == kNever ? -1 : 0, now_, false)) return now_;
    return want;
  }
  if (want == kNever && !has_host_inputs()) return kNever;  // nothing can ever come
  {
    // Bytes already taken from the host that are still on their way down a
    // line arrive at its baud rate in virtual time, whatever the wall clock
    // does: until they are in, the program runs as fast as the host allows
    // (the sender on the other side waits for its answer meanwhile), and
    // pacing goes on from where it then is.
    time_us queued = 0;
    if (L.stdin_console && L.stdin_tty) queued = host::uart_line_free(L.console);
    for (int p = 0; p < kMaxUart; ++p)
      if (L.att[p].kind == Kind::kPty) queued = std::max(queued, host::uart_line_free(p));
    if (queued > now_) {
      if (poll_inputs(0, now_, false)) return now_;
      const time_us to = std::min(want, queued);
      L.wall0 = hostutil::monotonic_us();
      L.virt0 = to;
      return to;
    }
  }
  {
    int64_t w = hostutil::monotonic_us();
    time_us v = L.virt0 + static_cast<time_us>(w - L.wall0);
    if (v > now_ + kMaxLag) {
      // Behind by more than a moment (a slow host): don't make up for it in
      // a burst; follow the wall clock from here on.
      L.wall0 = w;
      L.virt0 = now_;
    }
  }
  for (;;) {
    time_us v = L.virt0 + static_cast<time_us>(hostutil::monotonic_us() - L.wall0);
    if (want != kNever && want <= v + kSlack) {
      // Close enough: short waits (a busy loop's small steps) run without
      // sleeping, a little ahead of the wall clock.
      if (poll_inputs(0, now_, true)) return now_;
      return want;
    }
    int timeout = -1;
    if (want != kNever) {
      time_us left = want - kSlack - v;
      timeout = left > 3'600'000'000ull ? 3'600'000 : static_cast<int>((left + 999) / 1000);
    }
    if (poll_inputs(timeout, now_, true)) {
      time_us at = L.virt0 + static_cast<time_us>(hostutil::monotonic_us() - L.wall0);
      if (at < now_) at = now_;
      if (at > want) at = want;
      return at;
    }
  }
}

void idle_forever(void*) {
  // Nothing is scheduled and nothing can come: the run is over.
  host::finish(0);
}

// ------------------------------------------------------------ resets -----
void do_reset(void*, const char* image) {
  std::string prog = image ? image_path(image) : L.self;
  if (!L.opt.reset_image.empty() && !image) prog = image_path(L.opt.reset_image);
  struct stat st;
  if (image && !*image) {
    log("start of an image without a name; the core halts");
    halt();
  }
  if (stat(prog.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(prog.c_str(), X_OK) != 0) {
    log("cannot start %s: no such program; the core halts", prog.c_str());
    halt();
  }
  int fd = save_state();
  if (fd < 0) {
    log("reset: cannot keep the chip state: %s; the core halts", std::strerror(errno));
    halt();
  }
  std::vector<std::string> args = L.opt.args;
  args.push_back("--sim-state");
  args.push_back(std::to_string(fd));
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(prog.c_str()));
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (L.pin_log) std::fflush(L.pin_log);
  std::fflush(stdout);
  link::flush();
  execv(prog.c_str(), argv.data());
  log("cannot start %s: %s; the core halts", prog.c_str(), std::strerror(errno));
  close(fd);
  halt();
}

void exit_hook(void*) {
  restore_tty();
  if (L.pin_log) std::fflush(L.pin_log);
}

// ------------------------------------------------------------ start ------
void open_pty(int port) {
  Attachment& a = L.att[port];
  hostutil::PtyEnds ends;
  std::string error;
  // Kept across the exec of a reset: the terminal stays the same.
  if (!hostutil::open_pty(&ends, &error, /*close_on_exec=*/false)) die("--pty: " + error);
  a.master = ends.master;
  a.slave = ends.terminal;
  a.path = ends.path;
  a.kind = Kind::kPty;
}

void fresh_start() {
  Options& o = L.opt;
  if (o.flash.empty()) o.flash = std::string("./") + L.info->image_name + ".flash";
  L.att[L.console].kind = Kind::kStdio;
  for (int p : o.world_ports) L.att[p].kind = Kind::kWorld;
  for (int p : o.pty_ports) {
    if (L.att[p].kind == Kind::kPty) continue;
    open_pty(p);
  }
  L.stdin_console = L.att[L.console].kind == Kind::kStdio;
  L.stdin_tty = L.stdin_console && isatty(STDIN_FILENO);
  if (L.stdin_tty) {
    if (tcgetattr(STDIN_FILENO, &L.tty_saved) == 0) {
      L.tty_raw = true;
      hostutil::make_raw(STDIN_FILENO);
    }
  }
  switch (o.pace) {
    case Pace::kWall:
      L.wall = true;
      break;
    case Pace::kFast:
      L.wall = false;
      break;
    case Pace::kAuto:
      L.wall = L.stdin_tty || !o.pty_ports.empty();
      break;
  }
  L.auto_end = o.run_for == kNever && L.stdin_console && !L.stdin_tty && !L.wall &&
               o.world.empty() && o.pty_ports.empty();
  for (auto& [pin, level] : o.pins) host::pin_preset_input(pin, level);
  for (auto& [ch, mv] : o.adcs) analog_set_mv(ch.c_str(), mv);
  if (o.uid_given) {
    host::set_unique_id(o.uid[0], o.uid[1], o.uid[2]);
  } else if (o.device_id_given) {
    host::set_unique_id(unique_id(0), unique_id(1), unique_id(2) ^ o.device_id);
  }
  for (int p = 0; p < kMaxUart; ++p) {
    if (L.att[p].kind == Kind::kPty)
      std::fprintf(stderr, "PORT %d: %s\n", p, L.att[p].path.c_str());
  }
  std::fflush(stderr);
}

}  // namespace
}  // namespace sim

int main(int argc, char** argv) {
  using namespace sim;
  signal(SIGPIPE, SIG_IGN);
  L.info = &program_info();
  L.console = L.info->console_uart;
  if (L.console < 0 || L.console >= kMaxUart) L.console = 0;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = 0;
    L.self = self;
  } else {
    L.self = argv[0];
  }
  L.exe_dir = dir_of(L.self);
  L.opt = parse_args(argc, argv);
  host::add_exit_hook(exit_hook, nullptr);
  bool restored = false;
  if (L.opt.state_fd >= 0) {
    restored = load_state(L.opt.state_fd);
    if (!restored) die("--sim-state: the chip state could not be read");
  } else {
    fresh_start();
  }
  if (L.tty_raw) {
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGHUP, on_signal);
  }
  std::string err;
  if (!host::flash_open(L.opt.flash, L.info->flash, &err)) die("flash: " + err);
  std::vector<std::unique_ptr<devices::Instance>> devices;

  for (int p = 0; p < kMaxUart; ++p) {
    switch (L.att[p].kind) {
      case Kind::kStdio:
        host::uart_set_output(p, out_fd, reinterpret_cast<void*>(intptr_t{STDOUT_FILENO}));
        break;
      case Kind::kPty:
        host::uart_set_output(p, out_pty, nullptr);
        break;
      case Kind::kWorld:
        host::uart_set_output(p, out_world, nullptr);
        break;
      case Kind::kNone:
        break;
    }
  }
  for (const std::string& text : L.opt.devices) {
    devices::Placement entry;
    std::string err;
    if (!devices::parse(text, &entry, &err)) die("--device: " + err);
    if (entry.bus == devices::Bus::kUart && entry.bus_number < kMaxUart &&
        L.att[entry.bus_number].kind != Kind::kNone)
      die("--device " + text + ": serial port " + std::to_string(entry.bus_number) +
          " is already the console, a pseudo-terminal or carried by the world");
    L.devices.push_back(devices::create(text, &err));
    if (!L.devices.back()) die("--device " + text + ": " + err);
  }
  host::uart_set_rx_state_observer(rx_state_changed, nullptr);
  host::set_reset_count(L.reset_count);
  host::set_reset_handler(do_reset, nullptr);
  host::set_idle_forever_handler(idle_forever, nullptr);
  if (!L.opt.pin_log.empty()) {
    L.pin_log = std::fopen(L.opt.pin_log.c_str(), restored ? "ae" : "we");
    if (!L.pin_log) die("--pin-log: " + L.opt.pin_log + ": " + std::strerror(errno));
    host::pin_set_output_observer(pin_logger, nullptr);
  }
  // Join the world before anything is scheduled: a device started while the
  // world runs begins at the world's time.
  if (!L.opt.world.empty()) {
    if (!link::init(L.opt.world.c_str(), L.opt.device_id))
      die("--world: cannot join the world at " + L.opt.world);
    L.world = link::connected();
    if (link::start_time() > now()) host::set_now(link::start_time());
    link::set_uart_handler([](void*, int port, const uint8_t* data,
                              size_t len) { host::uart_feed(port, data, len, now()); },
                           nullptr);
  }
  for (const Model& m : models()) {
    if (!m.start) continue;
    auto it = L.model_state.find(m.name);
    if (restored && it != L.model_state.end()) {
      StateIn in(it->second.data(), it->second.size());
      m.start(&in);
    } else {
      m.start(nullptr);
    }
  }
  if (!restored) {
    time_us rf = L.opt.run_for;
    host::set_deadline(rf == kNever || rf > kNever - now() ? kNever : now() + rf);
  }
  if (L.stdin_console && !L.stdin_tty && !L.stdin_eof) {
    // Piped stdin continues where it was (a reset keeps the line's pacing).
    time_us at = restored ? L.stdin_pull_at : now();
    if (at == kNever) at = host::uart_line_free(L.console);
    schedule_stdin_pull(at > now() ? at : now());
  }
  L.wall0 = hostutil::monotonic_us();
  L.virt0 = now();
  host::set_gate(gate, nullptr);
  // Host inputs (a terminal) come through the gate at any time: no quiet
  // spans then.
  if (L.world && !has_host_inputs()) host::set_quiet_query(link::quiet_query, nullptr);
  program_start();
}

// Device models by name: the table the command line (and tests) use to put a
// model on a bus or a serial port by data. Each model registers itself with
// a static Registration in its own source file; a program gets the models it
// links (image programs link them all, see sim/devices/CMakeLists.txt).
//
// A device is written as
//   NAME@WHERE[,KEY=VALUE]...
// where WHERE is i2cN:ADDRESS (e.g. i2c2:0x70), spiN:CS (e.g. spi1:0) or
// uartN (e.g. uart1); the keys are the model's settings (its initial
// values). Everything here is header-only so that the table can be folded
// into a wider registry of models.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim::devices {

// What a factory made. It stays attached where the entry said while it
// lives; its owner (the launcher, a test) keeps it.
class Instance {
 public:
  virtual ~Instance() = default;
};

enum class Bus : uint8_t { kI2c, kSpi, kUart };

struct Placement {
  std::string name;
  Bus bus = Bus::kUart;
  int bus_number = 0;  // i2cN, spiN, uartN
  int address = 0;     // I2C 7-bit address or SPI chip select; 0 for a UART
  std::vector<std::pair<std::string, std::string>> settings;

  const std::string* setting(std::string_view key) const {
    for (const auto& kv : settings)
      if (kv.first == key) return &kv.second;
    return nullptr;
  }
};

// Makes the model for a entry, or nullptr with a reason in *error (a bus the
// model cannot sit on, a bad setting).
using Factory = std::unique_ptr<Instance> (*)(const Placement& entry, std::string* error);

struct Entry {
  const char* name;
  const char* help;  // one line: where it sits and its settings
  Factory make;
};

inline std::vector<Entry>& table() {
  static std::vector<Entry> t;
  return t;
}

struct Registration {
  Registration(const char* name, const char* help, Factory make) {
    table().push_back({name, help, make});
  }
};

inline const Entry* find(std::string_view name) {
  for (const Entry& e : table())
    if (name == e.name) return &e;
  return nullptr;
}

namespace detail {
inline bool number(const std::string& s, long max, int* out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 0);
  if (*end || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}
}  // namespace detail

// Parses "NAME@WHERE[,KEY=VALUE]..." (see the top of this file).
inline bool parse(const std::string& text, Placement* entry, std::string* error) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (;;) {
    size_t comma = text.find(',', pos);
    parts.push_back(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  const std::string& head = parts[0];
  size_t at = head.find('@');
  if (at == std::string::npos || at == 0) {
    *error = "expected NAME@WHERE, got " + text;
    return false;
  }
  Placement s;
  s.name = head.substr(0, at);
  std::string where = head.substr(at + 1);
  auto bus = [&](const char* prefix, Bus kind, bool addressed, long max_bus, long max_address) {
    size_t n = std::char_traits<char>::length(prefix);
    if (where.compare(0, n, prefix) != 0) return false;
    std::string rest = where.substr(n);
    size_t colon = rest.find(':');
    if (addressed != (colon != std::string::npos)) return false;
    if (!detail::number(rest.substr(0, colon), max_bus, &s.bus_number)) return false;
    if (addressed && !detail::number(rest.substr(colon + 1), max_address, &s.address)) return false;
    s.bus = kind;
    return true;
  };
  if (!bus("i2c", Bus::kI2c, true, 15, 0x7F) && !bus("spi", Bus::kSpi, true, 15, 15) &&
      !bus("uart", Bus::kUart, false, 15, 0)) {
    *error = "expected i2cN:ADDRESS, spiN:CS or uartN after @, got " + where;
    return false;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    size_t eq = parts[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "expected KEY=VALUE, got " + parts[i];
      return false;
    }
    s.settings.emplace_back(parts[i].substr(0, eq), parts[i].substr(eq + 1));
  }
  *entry = std::move(s);
  return true;
}

// Parses the text and makes the model; nullptr with a reason in *error.
inline std::unique_ptr<Instance> create(const std::string& text, std::string* error) {
  Placement entry;
  if (!parse(text, &entry, error)) return nullptr;
  const Entry* e = find(entry.name);
  if (!e) {
    *error = "no device model " + entry.name;
    return nullptr;
  }
  std::string why;
  std::unique_ptr<Instance> made = e->make(entry, &why);
  if (!made) *error = entry.name + ": " + why;
  return made;
}

// One line per model, for --help.
inline std::string help() {
  std::string s;
  for (const Entry& e : table()) s += std::string("  ") + e.name + ": " + e.help + "\n";
  return s;
}

// False (with a reason) when the entry has a setting the model does not know.
inline bool known_settings(const Placement& entry, std::initializer_list<std::string_view> keys,
                           std::string* error) {
  for (const auto& kv : entry.settings) {
    bool known = false;
    for (std::string_view k : keys) known = known || kv.first == k;
    if (!known) {
      *error = "no setting " + kv.first;
      return false;
    }
  }
  return true;
}

// A setting as a number; false (with a reason) when present but not one.
inline bool setting_double(const Placement& entry, std::string_view key, double* out,
                           std::string* error) {
  const std::string* v = entry.setting(key);
  if (!v) return true;
  char* end = nullptr;
  double d = std::strtod(v->c_str(), &end);
  if (v->empty() || *end) {
    *error = std::string(key) + ": not a number: " + *v;
    return false;
  }
  *out = d;
  return true;
}

}  // namespace sim::devices

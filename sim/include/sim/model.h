// Hardware models that register themselves: a model (a chip stand-in's
// peripheral, a device on a bus, a part of the simulated chip) declares here
// what the rest of the host program needs of it, so that adding one touches
// no central list:
//
//   options   command-line options of the model; the launcher parses them,
//             lists them in --help and passes them on through a reset.
//   on_reset  back to power-on state; sim::models_reset() runs every model's
//             (the stand-ins' reset_platform(), test fixtures).
//   save      state that survives a device reset (the program is executed
//             anew); written just before the reset...
//   start     ...and handed back when the launcher starts the program again,
//             after the flash, the ports and the pins are set up and before
//             the firmware runs. On a fresh start `saved` is nullptr: the
//             model applies its options then.
//
//   namespace {
//   uint32_t g_gain = 1;
//   bool set_gain(const char* v, std::string* error) { ... }
//   void start(sim::StateIn* saved) { if (saved) g_gain = saved->get<uint32_t>(); }
//   void save(sim::StateOut& out) { out.put(g_gain); }
//   }  // namespace
//   SIM_MODEL(my_sensor, {.name = "my-sensor",
//                         .options = {{"--my-sensor-gain", "N", "gain of the sensor.", set_gain}},
//                         .on_reset = [] { g_gain = 1; },
//                         .save = save,
//                         .start = start});
//
// Registration is static: a model is present when its object file is linked
// (in a static library, when something else in that file is used). Hooks run
// in registration order; models must not depend on each other's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

// State written for the next program of the device (plain bytes: both
// programs are built from the same tree).
class StateOut {
 public:
  template <typename T>
  void put(const T& v) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
    bytes_.insert(bytes_.end(), p, p + sizeof v);
  }
  void put_string(const std::string& s) {
    put<uint32_t>(static_cast<uint32_t>(s.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Reads back what StateOut wrote; reading past the end gives zeros and
// clears ok().
class StateIn {
 public:
  StateIn(const uint8_t* data, size_t len) : p_(data), end_(data + len) {}
  template <typename T>
  T get() {
    T v{};
    if (static_cast<size_t>(end_ - p_) < sizeof v) {
      ok_ = false;
      return v;
    }
    std::memcpy(&v, p_, sizeof v);
    p_ += sizeof v;
    return v;
  }
  std::string get_string() {
    uint32_t n = get<uint32_t>();
    if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
      ok_ = false;
      return {};
    }
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  bool ok() const { return ok_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  bool ok_ = true;
};

struct ModelOption {
  const char* name;   // "--flash-fail-after"
  const char* value;  // shown in --help ("N"); every option takes one value
  const char* help;   // --help text; '\n' starts a continuation line
  // Takes the value; false (with a reason in *error) stops the launcher.
  bool (*set)(const char* value, std::string* error);
};

struct Model {
  const char* name = "";
  std::vector<ModelOption> options;
  void (*on_reset)() = nullptr;
  void (*save)(StateOut& out) = nullptr;
  void (*start)(StateIn* saved) = nullptr;
};

struct ModelRegistrar {
  explicit ModelRegistrar(Model model);
};

// Every registered model, in registration order.
const std::vector<Model>& models();
// Runs every model's on_reset.
void models_reset();

}  // namespace sim

// Registers a model; `ident` only names the registration object.
#define SIM_MODEL(ident, ...) \
  static ::sim::ModelRegistrar ident##_model_registrar { ::sim::Model __VA_ARGS__ }

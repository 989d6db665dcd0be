// The trace channel: up-buffer 0 goes to the trace log file of the launcher
// option --trace-log (and to trace_text() for tests); writes never block.
#include <cstdio>
#include <string>

#include "internal.h"
#include "rtt.h"
#include "sim/model.h"

namespace apollo3sim {
namespace detail {
namespace {

constexpr unsigned kBuffers = 3;

struct Trace {
  std::string text;
  std::string path;
  std::FILE* file = nullptr;
};

Trace& tr() {
  static Trace* t = new Trace;  // written to until the program ends
  return *t;
}

void put(const char* data, size_t len) {
  Trace& t = tr();
  t.text.append(data, len);
  if (t.file) {
    std::fwrite(data, 1, len, t.file);
    std::fflush(t.file);
  }
}

bool set_trace_option(const char* v, std::string* error) {
  if (!set_trace_log(v)) {
    *error = std::string("--trace-log: cannot open ") + v;
    return false;
  }
  return true;
}

}  // namespace
}  // namespace detail

const std::string& trace_text() { return detail::tr().text; }
void clear_trace_text() { detail::tr().text.clear(); }

bool set_trace_log(const std::string& path) {
  detail::Trace& t = detail::tr();
  if (t.file) std::fclose(t.file);
  t.file = nullptr;
  t.path = path;
  if (path.empty()) return true;
  t.file = std::fopen(path.c_str(), "ab");
  return t.file != nullptr;
}

}  // namespace apollo3sim

// The file stays open through a reset (the option is given again to the
// program the reset starts, which appends).
SIM_MODEL(apollo3_rtt,
          {.name = "apollo3.rtt",
           .options = {{"--trace-log", "FILE",
                        "append the trace channel's bytes (developer trace\nlines) to FILE.",
                        apollo3sim::detail::set_trace_option}},
           .on_reset = [] { apollo3sim::detail::tr().text.clear(); }});

using namespace apollo3sim::detail;

extern "C" {

int RTT_ConfigUpBuffer(unsigned index, const char*, void*, unsigned, unsigned) {
  return index < kBuffers ? 0 : -1;
}

unsigned RTT_Write(unsigned index, const void* data, unsigned len) {
  if (index != 0 || !data) return 0;
  put(static_cast<const char*>(data), len);
  return len;
}

unsigned RTT_WriteString(unsigned index, const char* text) {
  return text ? RTT_Write(index, text, static_cast<unsigned>(__builtin_strlen(text))) : 0;
}

int RTT_vprintf(unsigned index, const char* format, va_list* args) {
  char buf[1024];
  int n = std::vsnprintf(buf, sizeof buf, format, *args);
  if (n < 0) return n;
  const unsigned len = static_cast<unsigned>(n) < sizeof buf
                           ? static_cast<unsigned>(n)
                           : static_cast<unsigned>(sizeof buf - 1);
  return static_cast<int>(RTT_Write(index, buf, len));
}

int RTT_printf(unsigned index, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = RTT_vprintf(index, format, &ap);
  va_end(ap);
  return n;
}

}  // extern "C"

#include "commands.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <regex>
#include <sstream>

namespace cmd {

std::string answer(const std::string& command, const std::string& value) {
  return command + "=" + value + "\r\nOK\r\n";
}

std::string word(const std::string& reply_word) { return reply_word + "\r\n"; }

Bytes stored_defaults(const Image& img) {
  return fdn::flash_with_record(fdn::default_record(img, true));
}

systest::DeviceOptions with_flash(const Bytes& flash) {
  systest::DeviceOptions o;
  o.initial_flash = flash;
  return o;
}

void put_bytes(Bytes& flash, uint32_t addr, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), flash.begin() + static_cast<std::ptrdiff_t>(fdn::at(addr)));
}

Bytes get_bytes(const Bytes& flash, uint32_t addr, size_t len) {
  size_t o = fdn::at(addr);
  if (flash.size() < o + len) return {};
  return Bytes(flash.begin() + static_cast<std::ptrdiff_t>(o),
               flash.begin() + static_cast<std::ptrdiff_t>(o + len));
}

Bytes text_bytes(const std::string& text, size_t size) {
  Bytes b(size, 0);
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(std::min(size, text.size())),
            b.begin());
  return b;
}

std::string flash_diff(const Bytes& want, const Bytes& got) {
  if (want.size() != got.size())
    return "flash of " + std::to_string(got.size()) + " bytes, expected " +
           std::to_string(want.size());
  std::ostringstream out;
  int shown = 0;
  for (size_t page = 0; page * fdn::kPageSize < want.size() && shown < 6; ++page) {
    size_t from = page * fdn::kPageSize;
    for (size_t i = from; i < from + fdn::kPageSize && i < want.size(); ++i) {
      if (want[i] == got[i]) continue;
      char line[96];
      std::snprintf(line, sizeof line,
                    "\n  page at 0x%08zX differs first at 0x%08zX: 0x%02X, expected 0x%02X",
                    fdn::kFlashBase + from, fdn::kFlashBase + i, got[i], want[i]);
      out << line;
      ++shown;
      break;
    }
  }
  return shown ? out.str() : "flash unchanged";
}

uint32_t adc_code(uint32_t millivolts, int bits) {
  const uint64_t full = uint64_t{1} << bits;
  const uint64_t code = (uint64_t{millivolts} * full + 1650) / 3300;
  return static_cast<uint32_t>(code >= full ? full - 1 : code);
}

uint32_t mv_for_code(uint32_t code, int bits) {
  uint32_t mv = static_cast<uint32_t>((uint64_t{code} * 3300) >> bits);
  while (adc_code(mv, bits) < code) ++mv;
  return mv;
}

double volts_of(const std::string& reply, const std::string& command) {
  std::smatch m;
  std::regex form("^" + std::regex_replace(command, std::regex(R"([+])"), R"(\+)") +
                  R"(=(-?[0-9]+\.[0-9]{6})\r\nOK\r\n$)");
  if (!std::regex_match(reply, m, form)) return std::numeric_limits<double>::quiet_NaN();
  return std::stod(m[1].str());
}

systest::time_us byte_time(uint32_t baud) { return (10'000'000ull + baud - 1) / baud; }

double output_byte_time(const systest::Device& d, int port, size_t from) {
  const std::vector<systest::OutputChunk>& chunks = d.chunks(port);
  size_t offset = 0, first = chunks.size(), last = chunks.size();
  std::vector<size_t> starts(chunks.size());
  for (size_t i = 0; i < chunks.size(); ++i) {
    starts[i] = offset;
    offset += chunks[i].bytes.size();
    if (offset > from) {
      if (first == chunks.size()) first = i;
      last = i;
    }
  }
  if (first == chunks.size() || first == last) return 0;
  size_t bytes = starts[last] - std::max(starts[first], from);
  return static_cast<double>(chunks[last].t - chunks[first].t) / static_cast<double>(bytes);
}

}  // namespace cmd

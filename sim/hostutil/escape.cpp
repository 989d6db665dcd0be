#include "hostutil/escape.h"

namespace hostutil {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string escape(std::string_view s, size_t max_bytes) {
  std::string out;
  if (s.size() > max_bytes) {
    out = "...";
    s = s.substr(s.size() - max_bytes);
  }
  for (unsigned char c : s) {
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHexDigits[c >> 4];
          out += kHexDigits[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

bool unescape(std::string_view s, std::string* out, std::string* error) {
  std::string result;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      result += s[i];
      continue;
    }
    if (i + 1 == s.size()) {
      *error = "a '\\' at the end (write \\\\ for a backslash)";
      return false;
    }
    char c = s[++i];
    switch (c) {
      case 'r':
        result += '\r';
        break;
      case 'n':
        result += '\n';
        break;
      case 't':
        result += '\t';
        break;
      case '\\':
        result += '\\';
        break;
      case 'x': {
        int hi = i + 1 < s.size() ? hex_value(s[i + 1]) : -1;
        int lo = i + 2 < s.size() ? hex_value(s[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          *error = "\\x needs two hex digits";
          return false;
        }
        result += static_cast<char>(hi << 4 | lo);
        i += 2;
        break;
      }
      default:
        *error = std::string("unknown escape \\") + c + " (known: \\r \\n \\t \\\\ \\xHH)";
        return false;
    }
  }
  *out = std::move(result);
  return true;
}

std::string hex(const uint8_t* data, size_t len) {
  std::string s;
  s.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    s += kHexDigits[data[i] >> 4];
    s += kHexDigits[data[i] & 15];
  }
  return s;
}

}  // namespace hostutil

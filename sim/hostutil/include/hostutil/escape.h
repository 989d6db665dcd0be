// Bytes shown as text and text read back as bytes, with C escapes: the form
// of transcripts, failure messages and scripted input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hostutil {

// Printable ASCII as it is; "\r", "\n", "\t", "\\" for those; every other
// byte as "\xHH" (upper case). With `max_bytes`, only the last max_bytes
// bytes are shown, after "..." (for long output in messages).
std::string escape(std::string_view bytes, size_t max_bytes = std::string_view::npos);
inline std::string escape(const uint8_t* data, size_t len) {
  return escape(std::string_view(reinterpret_cast<const char*>(data), len));
}

// The inverse for typed text: "\r", "\n", "\t", "\\" and "\xHH" (exactly two
// hex digits). A backslash before anything else, or at the end, is refused
// (false, with the reason in *error): such text would otherwise reach a
// device other than the person meant it.
bool unescape(std::string_view text, std::string* out, std::string* error);

// Two hex digits per byte, upper case, nothing between.
std::string hex(const uint8_t* data, size_t len);
inline std::string hex(const std::vector<uint8_t>& data) { return hex(data.data(), data.size()); }

}  // namespace hostutil

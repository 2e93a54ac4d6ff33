#include "quoted_value.h"

#include "python_api.h"

#include <cstdint>
#include <cstdio>

namespace quorvane::python {
namespace {

// Decodes the code point starting at text[*position] and advances past it.
// The input comes from PyUnicode_AsUTF8AndSize, so it is well-formed.
char32_t next_code_point(std::string_view text, std::size_t* position) {
  const auto lead = static_cast<std::uint8_t>(text[*position]);
  std::size_t length = 1;
  char32_t code_point = lead;
  if (lead >= 0xF0) {
    length = 4;
    code_point = lead & 0x07;
  } else if (lead >= 0xE0) {
    length = 3;
    code_point = lead & 0x0F;
  } else if (lead >= 0xC0) {
    length = 2;
    code_point = lead & 0x1F;
  }
  for (std::size_t i = 1; i < length && *position + i < text.size(); ++i) {
    code_point = (code_point << 6) | (static_cast<std::uint8_t>(text[*position + i]) & 0x3F);
  }
  *position += length;
  return code_point;
}

}  // namespace

std::string quoted_value(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t start = position;
    const char32_t code_point = next_code_point(text, &position);
    switch (code_point) {
      case U'"': quoted += "\\\""; continue;
      case U'\\': quoted += "\\\\"; continue;
      case U'\0': quoted += "\\0"; continue;
      case U'\t': quoted += "\\t"; continue;
      case U'\n': quoted += "\\n"; continue;
      case U'\r': quoted += "\\r"; continue;
      default: break;
    }
    // Printable as Python's str.isprintable() sees it.
    if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(code_point))) {
      quoted.append(text.substr(start, position - start));
    } else {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(code_point));
      quoted += escape;
    }
  }
  quoted += '"';
  return quoted;
}

}  // namespace quorvane::python

// How a rejected option string is shown inside an error message.
#pragma once

#include <string>
#include <string_view>

namespace quorvane::python {

// `text` (valid UTF-8) in double quotes, with `"` and `\` escaped by a
// backslash, NUL, tab, line feed and carriage return as \0 \t \n \r, and
// every other non-printable character as \u{hex} (lowercase code point), so
// that the message shows exactly what was passed.
std::string quoted_value(std::string_view text);

}  // namespace quorvane::python

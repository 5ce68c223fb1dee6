// Rendering of operating-system errors: the text of an IoError as an abort message shows it.
// Nothing here fails (only allocation can throw).
#pragma once

#include "circuit/io_error.hpp"

#include <string>
#include <string_view>

namespace gridflip {

// "Os { code: n, kind: K, message: "..." }", "Error { kind: K, message: "..." }" or
// "Custom { kind: K, error: "..." }", by the error's form.
std::string render_io_error(const IoError& error);

// The system's message for an OS error number, with trailing white space removed.
std::string system_text(int code);

// The cleaning system_text applies to the platform's text: invalid UTF-8 becomes
// U+FFFD (one per maximal invalid sequence) and trailing White_Space is removed.
std::string clean_system_text(std::string_view raw);

// `utf8` in double quotes, escaped: \\ \" \t \r \n \0, and \u{hex} for every other
// character that is not printable or is Grapheme_Extend. Invalid UTF-8 is shown as
// U+FFFD.
std::string quoted(std::string_view utf8);

// The character classes quoted() escapes.
bool is_printable(char32_t code_point) noexcept;
bool is_grapheme_extended(char32_t code_point) noexcept;

}  // namespace gridflip

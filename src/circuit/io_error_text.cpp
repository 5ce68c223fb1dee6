// Rendering of operating-system errors: the three forms, quoting, and the system's texts.
#include "circuit/io_error_text.hpp"

#include "circuit/os_error.hpp"
#include "unicode_tables.hpp"

#include <algorithm>
#include <iterator>

namespace gridflip {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

bool in_ranges(const unicode::CodePointRange* first, const unicode::CodePointRange* last,
               char32_t code_point) noexcept {
  // The first range that ends at or after the code point is the only candidate.
  const auto found = std::lower_bound(
      first, last, code_point,
      [](const unicode::CodePointRange& range, char32_t code) { return range.last < code; });
  return found != last && found->first <= code_point;
}

template <std::size_t N>
bool in_table(const unicode::CodePointRange (&table)[N], char32_t code_point) noexcept {
  return in_ranges(std::begin(table), std::end(table), code_point);
}

bool is_white_space(char32_t code_point) noexcept {
  return in_table(unicode::white_space, code_point);
}

struct Decoded {
  char32_t code_point;  // U+FFFD for an invalid sequence
  std::size_t size;     // bytes taken
  bool valid;
};

// One character at `at`. An invalid sequence yields U+FFFD for its maximal prefix
// that could still have begun a valid character (at least one byte), as Python's
// "replace" handler counts them.
Decoded decode_one(std::string_view text, std::size_t at) noexcept {
  const auto byte_at = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte_at(at);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t continuation;
  char32_t code_point;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuation = 1;
    code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuation = 2;
    code_point = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuation = 3;
    code_point = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return {0xFFFD, 1, false};
  }
  for (std::size_t taken = 1; taken <= continuation; ++taken) {
    if (at + taken >= text.size()) return {0xFFFD, taken, false};
    const unsigned char next = byte_at(at + taken);
    if (next < low || next > high) return {0xFFFD, taken, false};
    low = 0x80;
    high = 0xBF;
    code_point = (code_point << 6) | (next & 0x3Fu);
  }
  return {code_point, continuation + 1, true};
}

void append_unicode_escape(std::string& out, char32_t code_point) {
  constexpr char digits[] = "0123456789abcdef";
  char hex[8];
  std::size_t count = 0;
  do {
    hex[count++] = digits[code_point & 0xFu];
    code_point >>= 4;
  } while (code_point != 0);
  out += "\\u{";
  while (count > 0) out += hex[--count];
  out += '}';
}

}  // namespace

bool is_printable(char32_t code_point) noexcept {
  return !in_table(unicode::not_printable, code_point);
}

bool is_grapheme_extended(char32_t code_point) noexcept {
  return in_table(unicode::grapheme_extend, code_point);
}

std::string quoted(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded next = decode_one(utf8, at);
    switch (next.code_point) {
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (!is_printable(next.code_point) || is_grapheme_extended(next.code_point)) {
          append_unicode_escape(out, next.code_point);
        } else if (next.valid) {
          out += utf8.substr(at, next.size);
        } else {
          out += replacement_character;
        }
    }
    at += next.size;
  }
  out += '"';
  return out;
}

std::string clean_system_text(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t kept = 0;  // the length up to the last character that is not white space
  for (std::size_t at = 0; at < raw.size();) {
    const Decoded next = decode_one(raw, at);
    out += next.valid ? raw.substr(at, next.size) : replacement_character;
    if (!is_white_space(next.code_point)) kept = out.size();
    at += next.size;
  }
  out.resize(kept);
  return out;
}

std::string system_text(int code) { return clean_system_text(os_error_message(code)); }

std::string render_io_error(const IoError& error) {
  std::string out;
  switch (error.form()) {
    case IoError::Form::os: {
      const int code = error.os_code();
      out = "Os { code: ";
      out += std::to_string(code);
      out += ", kind: ";
      out += kind_name(os_error_kind(code));
      out += ", message: ";
      out += gridflip::quoted(system_text(code));
      break;
    }
    case IoError::Form::simple:
      out = "Error { kind: ";
      out += kind_name(error.kind());
      out += ", message: ";
      out += gridflip::quoted(error.message());
      break;
    case IoError::Form::custom:
      out = "Custom { kind: ";
      out += kind_name(error.kind());
      out += ", error: ";
      out += gridflip::quoted(error.message());
      break;
  }
  out += " }";
  return out;
}

}  // namespace gridflip

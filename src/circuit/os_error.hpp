// The platform's description of an OS error number: its kind and its text.
// Neither function fails; only the text's allocation can throw.
#pragma once

#include "circuit/io_error.hpp"

#include <string>

namespace gridflip {

// The kind of errno `code`, by meaning; Uncategorized for numbers without one.
ErrorKind os_error_kind(int code) noexcept;

// The C library's message for errno `code`, exactly as it gives it (no trimming, no
// check of its encoding). When the library refuses, the text is
// "OS Error {code} (strerror_r() returned error {e})".
std::string os_error_message(int code);

}  // namespace gridflip

// The operating system's entropy source, as the generator needs it: 32 bytes per key.
#pragma once

#include <cstdint>

namespace gridflip {

// Fills `bytes` with cryptographically strong random bytes. Never fails: a source that cannot
// be read ends the process with a report on descriptor 2, so no generator ever runs on a key
// that did not come from it.
void read_entropy(std::uint8_t (&bytes)[32]) noexcept;

}  // namespace gridflip

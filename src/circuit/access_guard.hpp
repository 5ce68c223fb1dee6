// Catching faults on a mapped view: on Linux a page past the end of a file that
// shrank while mapped, or one that its file system cannot back with storage (a
// full tmpfs under a sparse file), raises SIGBUS, which would kill the interpreter.
// Never fails; the body's own exceptions pass through.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gridflip {

// Runs body(context) with faults on [base, base + length) caught. Returns true
// when the body ran to its end, false when a fault on the view cut it short: the
// body is then left at the faulting access, so it must hold nothing that needs
// releasing (no owner may live in its frames). Faults elsewhere, and SIGBUS sent
// by kill, go to whatever handler was installed before, or to the default action. Calls must not
// overlap (the interpreter lock, held for the whole of a call, serialises them).
bool run_with_access_guard(const std::uint8_t* base, std::size_t length, void (*body)(void*),
                           void* context);

}  // namespace gridflip

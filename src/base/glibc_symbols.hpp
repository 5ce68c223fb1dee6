// Binding to the first version of a glibc symbol. glibc 2.34 moved the threading functions from
// libpthread into libc under new symbol versions; a reference to one of those would alone raise
// the wheel's manylinux tag from 2_28 to 2_34. The first versions still resolve on every glibc
// since, from whichever library holds them.
#pragma once

#if defined(__GLIBC__) && defined(__x86_64__)
#define GRIDFLIP_FIRST_GLIBC_VERSION(name) __asm__(".symver " #name ", " #name "@GLIBC_2.2.5")
#else
#define GRIDFLIP_FIRST_GLIBC_VERSION(name) static_assert(true)
#endif

/* The tests' known keys: byte j of key n. The interposer (tests/python/preload/interpose.c)
 * serves them to child interpreters and the generator tests' entropy script to the C++ suite;
 * C and C++ both include this, and tests/python/conftest.py's known_key() is its Python twin. */
#ifndef GRIDFLIP_TESTS_KNOWN_KEYS_H
#define GRIDFLIP_TESTS_KNOWN_KEYS_H

#include <stddef.h>

static inline unsigned char known_key_byte(size_t n, size_t j) {
  /* The mask keeps it in range; a C cast would trip C++'s -Wold-style-cast. */
  return (n * 37u + j * 11u + 5u) & 0xFFu;
}

#endif

# Sources and build settings of the per-thread random source.
set(GRIDFLIP_RANDOM_SOURCES
  ${CMAKE_SOURCE_DIR}/src/random/thread_random.cpp
  ${CMAKE_SOURCE_DIR}/src/random/entropy_posix.cpp
  ${CMAKE_SOURCE_DIR}/src/random/fork_watch_posix.cpp
  ${CMAKE_SOURCE_DIR}/src/random/chacha12_dispatch.cpp
  ${CMAKE_SOURCE_DIR}/src/random/chacha12_portable.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND GRIDFLIP_RANDOM_SOURCES
    ${CMAKE_SOURCE_DIR}/src/random/chacha12_sse2.cpp
    ${CMAKE_SOURCE_DIR}/src/random/chacha12_avx2.cpp
    ${CMAKE_SOURCE_DIR}/src/random/chacha12_avx512.cpp)
  # Only the accelerated block functions get wider instructions; the dispatcher picks them at
  # run time, so the module itself stays baseline x86-64.
  # GCC's scheduling before register allocation orders the 8-block AVX2 rounds with fewer
  # stalls: 5-7% more keystream on Zen 3 (benchmarks/keystream/README.md).
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/random/chacha12_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2;$<$<CXX_COMPILER_ID:GNU>:-fschedule-insns>")
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/random/chacha12_avx512.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx512f")
endif()

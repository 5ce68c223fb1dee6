# The per-thread random source.
set(random_sources
  ${CMAKE_CURRENT_LIST_DIR}/thread_random.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entropy_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fork_watch_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chacha12_dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chacha12_portable.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND random_sources
    ${CMAKE_CURRENT_LIST_DIR}/chacha12_sse2.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chacha12_avx2.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chacha12_avx512.cpp)
  # Only the accelerated block functions get wider instructions; the dispatcher picks them at
  # run time, so the module itself stays baseline x86-64.
  # GCC's scheduling before register allocation orders the 8-block AVX2 rounds with fewer
  # stalls: 5-7% more keystream on Zen 3 (benchmarks/keystream/README.md).
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/chacha12_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2;$<$<CXX_COMPILER_ID:GNU>:-fschedule-insns>")
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/chacha12_avx512.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx512f")
endif()
gridflip_layer(random SOURCES ${random_sources} BELOW gridflip_report)

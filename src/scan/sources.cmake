# The logic-tile scan and its kernels.
set(scan_sources
  ${CMAKE_CURRENT_LIST_DIR}/scan_kernels_dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scan_kernels_portable.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND scan_sources ${CMAKE_CURRENT_LIST_DIR}/scan_kernels_avx2.cpp)
  # Only the AVX2 kernels get wider instructions; the dispatcher picks them at run time.
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/scan_kernels_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2")
endif()
# The scan reads its draws as the generator lays them out.
gridflip_layer(scan SOURCES ${scan_sources} BELOW gridflip_random)

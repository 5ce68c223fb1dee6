# Sources and build settings of the logic-tile scan's kernels.
set(GRIDFLIP_SCAN_SOURCES
  ${CMAKE_SOURCE_DIR}/src/scan_kernels_dispatch.cpp
  ${CMAKE_SOURCE_DIR}/src/scan_kernels_portable.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  list(APPEND GRIDFLIP_SCAN_SOURCES ${CMAKE_SOURCE_DIR}/src/scan_kernels_avx2.cpp)
  # Only the AVX2 kernels get wider instructions; the dispatcher picks them at run time.
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/scan_kernels_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2")
endif()

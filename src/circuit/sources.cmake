# Sources and build settings of the circuit file mapping.
# os_error_posix.cpp describes the platform's error numbers (kind and text) for the
# rendering of OS errors; it sits here with the other POSIX calls of the file access.
set(GRIDFLIP_CIRCUIT_SOURCES
  ${CMAKE_SOURCE_DIR}/src/circuit/io_error.cpp
  ${CMAKE_SOURCE_DIR}/src/circuit/io_error_text.cpp
  ${CMAKE_SOURCE_DIR}/src/circuit/circuit_map.cpp
  ${CMAKE_SOURCE_DIR}/src/circuit/circuit_map_posix.cpp
  ${CMAKE_SOURCE_DIR}/src/circuit/os_error_posix.cpp
  ${CMAKE_SOURCE_DIR}/src/circuit/access_guard_posix.cpp
  ${CMAKE_SOURCE_DIR}/src/circuit/unique_fd_posix.cpp)

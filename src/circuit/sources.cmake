# The circuit file mapping and the text of its errors. os_error_posix.cpp describes the
# platform's error numbers (kind and text) for that text; it sits here with the other POSIX
# calls of the file access.
gridflip_layer(circuit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/io_error.cpp
    ${CMAKE_CURRENT_LIST_DIR}/io_error_text.cpp
    ${CMAKE_CURRENT_LIST_DIR}/circuit_map.cpp
    ${CMAKE_CURRENT_LIST_DIR}/circuit_map_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/os_error_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/access_guard_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unique_fd_posix.cpp
  BELOW gridflip_report)

# Unicode property tables for the quoting of rendered error texts, generated at build time
# from the build interpreter's Unicode database.
set(unicode_tables ${CMAKE_BINARY_DIR}/generated/unicode_tables.hpp)
add_custom_command(
  OUTPUT ${unicode_tables}
  COMMAND ${Python_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/generate_unicode_tables.py ${unicode_tables}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/generate_unicode_tables.py
  COMMENT "Generating Unicode property tables"
  VERBATIM)
add_custom_target(gridflip_unicode_tables DEPENDS ${unicode_tables})
add_dependencies(gridflip_circuit gridflip_unicode_tables)
target_include_directories(gridflip_circuit PRIVATE ${CMAKE_BINARY_DIR}/generated)

# Unicode property tables for the quoting of rendered error texts, generated at build
# time from the build interpreter's Unicode database.
set(GRIDFLIP_UNICODE_TABLES ${CMAKE_BINARY_DIR}/generated/unicode_tables.hpp)
add_custom_command(
  OUTPUT ${GRIDFLIP_UNICODE_TABLES}
  COMMAND ${Python_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/generate_unicode_tables.py
          ${GRIDFLIP_UNICODE_TABLES}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/generate_unicode_tables.py
  COMMENT "Generating Unicode property tables"
  VERBATIM)
add_custom_target(gridflip_unicode_tables DEPENDS ${GRIDFLIP_UNICODE_TABLES})
# This file is included before the object library exists; the dependency is added
# once the directory has been read.
cmake_language(DEFER CALL add_dependencies gridflip_objects gridflip_unicode_tables)

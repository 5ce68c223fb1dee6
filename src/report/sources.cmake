# The abort reports: the abort flow, the report on descriptor 2, the module's allocation
# failures and the backtraces. No Python: every layer above may abort.
set(report_sources
  ${CMAKE_CURRENT_LIST_DIR}/call_abort.cpp
  ${CMAKE_CURRENT_LIST_DIR}/abort_report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/allocation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/backtrace.cpp)

# The symboliser of abort backtraces. GCC ships its libbacktrace as a static
# archive: linked in, it names frames from DWARF and the symbol table and needs
# nothing at run time. Compilers without it get the unnamed symboliser, whose
# entries give each frame's object and offset for addr2line.
#   GRIDFLIP_SYMBOLISER=auto (default) | libbacktrace (required) | unnamed
set(GRIDFLIP_SYMBOLISER auto CACHE STRING "Backtrace symboliser: auto, libbacktrace or unnamed")
set_property(CACHE GRIDFLIP_SYMBOLISER PROPERTY STRINGS auto libbacktrace unnamed)

add_library(gridflip_backtrace INTERFACE)
set(GRIDFLIP_NAMED_BACKTRACES OFF)

if(NOT GRIDFLIP_SYMBOLISER STREQUAL "unnamed")
  # Asked of the compiler, which knows its own library directory.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libbacktrace.a
                  OUTPUT_VARIABLE GRIDFLIP_LIBBACKTRACE OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(libbacktrace_dir "${GRIDFLIP_LIBBACKTRACE}" DIRECTORY)
  if(IS_ABSOLUTE "${GRIDFLIP_LIBBACKTRACE}" AND EXISTS "${GRIDFLIP_LIBBACKTRACE}"
     AND EXISTS "${libbacktrace_dir}/include/backtrace.h")
    # -idirafter: that directory also holds the compiler's own headers, which
    # must keep their place behind the C++ library's.
    target_compile_options(gridflip_backtrace INTERFACE "SHELL:-idirafter ${libbacktrace_dir}/include")
    target_link_libraries(gridflip_backtrace INTERFACE "${GRIDFLIP_LIBBACKTRACE}")
    # The archive's fstat and lstat go to statx-based versions (backtrace_stat_shim_posix.cpp),
    # so that it asks no more of the C library than the module's own code does.
    target_link_options(gridflip_backtrace INTERFACE "LINKER:--wrap=fstat,--wrap=lstat")
    list(APPEND report_sources ${CMAKE_CURRENT_LIST_DIR}/backtrace_libbacktrace.cpp
         ${CMAKE_CURRENT_LIST_DIR}/backtrace_stat_shim_posix.cpp)
    set(GRIDFLIP_NAMED_BACKTRACES ON)
    message(STATUS "gridflip: backtraces named by ${GRIDFLIP_LIBBACKTRACE}")
  elseif(GRIDFLIP_SYMBOLISER STREQUAL "libbacktrace")
    message(FATAL_ERROR "gridflip: ${CMAKE_CXX_COMPILER} has no libbacktrace.a with backtrace.h")
  else()
    set(GRIDFLIP_SYMBOLISER unnamed)
  endif()
endif()
if(GRIDFLIP_SYMBOLISER STREQUAL "unnamed")
  list(APPEND report_sources ${CMAKE_CURRENT_LIST_DIR}/backtrace_unnamed.cpp)
  message(STATUS "gridflip: backtraces give objects and offsets only (no libbacktrace)")
endif()

gridflip_layer(report SOURCES ${report_sources} BELOW gridflip_base gridflip_backtrace)

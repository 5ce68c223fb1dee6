# The lowest helpers: Result and Status, what the CPU runs, the C library's symbol versions, the
# calling thread's stack.
gridflip_layer(base SOURCES ${CMAKE_CURRENT_LIST_DIR}/cpu_features.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stack_bounds_posix.cpp)
# Every layer includes from src/, by folder.
cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH source_root)
target_include_directories(gridflip_base PUBLIC ${source_root})

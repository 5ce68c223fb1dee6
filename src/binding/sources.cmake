# The Python-facing layer: the entry point, the call frame, the arguments, the exceptions.
gridflip_layer(binding
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/module.cpp
    ${CMAKE_CURRENT_LIST_DIR}/interpreter_hooks.cpp
    ${CMAKE_CURRENT_LIST_DIR}/py_error.cpp
    ${CMAKE_CURRENT_LIST_DIR}/arguments.cpp
  BELOW gridflip_lib Python::Module)

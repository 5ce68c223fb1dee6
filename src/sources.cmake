# The mutate operation and the logic-tile pass, over every layer below; no Python.
gridflip_layer(lib SOURCES ${CMAKE_CURRENT_LIST_DIR}/lib.cpp
               BELOW gridflip_scan gridflip_circuit gridflip_random gridflip_report)

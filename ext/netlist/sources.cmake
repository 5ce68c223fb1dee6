# gridflip_evolution._netlist: the region decoder behind NetlistFitness, a module of its own
# that shares nothing with the gridflip module or its layers. The core builds without Python.
add_library(netlist_decoder OBJECT ${CMAKE_CURRENT_LIST_DIR}/region_decoder.cpp)
target_link_libraries(netlist_decoder PRIVATE gridflip_warnings)
python_add_library(_netlist MODULE WITH_SOABI ${CMAKE_CURRENT_LIST_DIR}/module.cpp)
target_link_libraries(_netlist PRIVATE netlist_decoder gridflip_warnings)
if(GRIDFLIP_STRIP_DEBUG_INFO)
  target_link_options(_netlist PRIVATE "LINKER:--strip-debug")
endif()
install(TARGETS _netlist LIBRARY DESTINATION gridflip_evolution)

# The module's layers, lowest first: base, report, circuit, random, scan, lib (the operation),
# binding. Each is an object library that links only the layers below it, so code that calls
# upward fails to link in any program that leaves the upper layer out (the core's tests leave
# out the binding and Python). tools/check-layers reads these declarations and fails on an
# include that points up.

# gridflip_layer(<name> SOURCES <files...> [BELOW <layers...>]): the object library
# gridflip_<name>, added to the GRIDFLIP_LAYERS list that the module and the tests link.
function(gridflip_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "SOURCES;BELOW")
  add_library(gridflip_${name} OBJECT ${layer_SOURCES})
  target_link_libraries(gridflip_${name} PUBLIC ${layer_BELOW} PRIVATE gridflip_warnings)
  set_property(GLOBAL APPEND PROPERTY GRIDFLIP_LAYERS gridflip_${name})
endfunction()

# Sources and build settings of the circuit file mapping.
set(GRIDFLIP_CIRCUIT_SOURCES)
function(gridflip_circuit_configure target)
endfunction()

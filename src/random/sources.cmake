# Sources and build settings of the per-thread random source.
set(GRIDFLIP_RANDOM_SOURCES)
function(gridflip_random_configure target)
endfunction()

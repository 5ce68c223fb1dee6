// Argument binding and conversion for mutate.

"""Plain-Python models of gridflip's mutation pass and random stream, for checking the module."""

"""Evolution of iCE40 circuits around gridflip.mutate."""

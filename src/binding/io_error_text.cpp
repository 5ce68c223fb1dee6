// Rendering of operating-system errors.

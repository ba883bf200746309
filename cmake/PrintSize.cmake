# Prints the size of FILE in bytes (used after every image and firmware-file link).
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: ${size} bytes")

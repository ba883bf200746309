# Makes the linker map FILE independent of where the sources were compiled from: clang names an
# anonymous namespace in a mangled name by a hash of the source path as it was passed on the
# command line (absolute, or relative to the build folder under a compiler cache), so the same
# sources would give different maps in different folders. The hash is replaced by 0, and the
# blanks the linker padded such a name with (as many as the hash's length left) by one blank; the
# map's object column still tells which file each symbol comes from.
# Usage: cmake -DFILE=<map> -P StableMap.cmake
file(READ "${FILE}" map)
string(REGEX REPLACE "(\\?A0x[0-9A-F]+@[^ \n]*) +" "\\1 " stable "${map}")
string(REGEX REPLACE "\\?A0x[0-9A-F]+@" "?A0x0@" stable "${stable}")
if(NOT stable STREQUAL map)
  file(WRITE "${FILE}" "${stable}")
endif()

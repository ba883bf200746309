# Writes OUTPUT: the size table of the images as the README shows it (Markdown), from the files
# of this build: for each name in NAMES (a ;-list) <DIR>/<name>.efi and <DIR>/<name>.ffs, largest
# image first, then the volume VOLUME.
# Usage: cmake -DOUTPUT=<file> -DDIR=<images dir> -DNAMES=<names> -DVOLUME=<fv> -P SizeTable.cmake
set(table "| Image | `.efi` bytes | `.ffs` bytes |\n|---|---|---|\n")
set(by_size "")
foreach(name IN LISTS NAMES)
  file(SIZE "${DIR}/${name}.efi" efi)
  list(APPEND by_size "${efi}:${name}")
endforeach()
list(SORT by_size COMPARE NATURAL ORDER DESCENDING)
foreach(entry IN LISTS by_size)
  string(REGEX REPLACE "^([0-9]+):(.*)$" "\\1;\\2" entry "${entry}")
  list(GET entry 0 efi)
  list(GET entry 1 name)
  file(SIZE "${DIR}/${name}.ffs" ffs)
  string(APPEND table "| `${name}` | ${efi} | ${ffs} |\n")
endforeach()
get_filename_component(volume_name "${VOLUME}" NAME)
file(SIZE "${VOLUME}" volume)
string(APPEND table "\n`${volume_name}`: ${volume} bytes.\n")
file(WRITE "${OUTPUT}" "${table}")

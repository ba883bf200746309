# Writes OUTPUT: the size table of the images as the README shows it (Markdown), from the files
# of this build: for each name in NAMES (a ;-list) <DIR>/<name>.efi and <DIR>/<name>.ffs, then
# the volume VOLUME.
# Usage: cmake -DOUTPUT=<file> -DDIR=<images dir> -DNAMES=<names> -DVOLUME=<fv> -P SizeTable.cmake
set(table "| Image | `.efi` bytes | `.ffs` bytes |\n|---|---|---|\n")
foreach(name IN LISTS NAMES)
  file(SIZE "${DIR}/${name}.efi" efi)
  file(SIZE "${DIR}/${name}.ffs" ffs)
  string(APPEND table "| `${name}` | ${efi} | ${ffs} |\n")
endforeach()
get_filename_component(volume_name "${VOLUME}" NAME)
file(SIZE "${VOLUME}" volume)
string(APPEND table "\n`${volume_name}`: ${volume} bytes.\n")
file(WRITE "${OUTPUT}" "${table}")

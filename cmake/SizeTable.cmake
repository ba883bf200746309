# Writes OUTPUT: the size table of the images as the README shows it (Markdown), from the files
# of this build: for each name in NAMES (a ;-list) <DIR>/<name>.efi and <DIR>/<name>.ffs, largest
# image first, with the legacy fingerprint module the firmware file carries (MODULE_<name>: which
# module, MODULE_FILE_<name>: the file packed; "none" without), then the volume VOLUME.
# Usage: cmake -DOUTPUT=<file> -DDIR=<images dir> -DNAMES=<names> -DVOLUME=<fv>
#              [-DMODULE_<name>=<words> -DMODULE_FILE_<name>=<file>]... -P SizeTable.cmake
set(table "| Image | `.efi` bytes | `.ffs` bytes | legacy module in the `.ffs` |\n")
string(APPEND table "|---|---|---|---|\n")
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
  set(module "none")
  if(DEFINED MODULE_${name})
    file(SIZE "${MODULE_FILE_${name}}" module_size)
    set(module "${MODULE_${name}}, ${module_size} bytes")
  endif()
  string(APPEND table "| `${name}` | ${efi} | ${ffs} | ${module} |\n")
endforeach()
get_filename_component(volume_name "${VOLUME}" NAME)
file(SIZE "${VOLUME}" volume)
string(APPEND table "\n`${volume_name}`: ${volume} bytes.\n")
file(WRITE "${OUTPUT}" "${table}")

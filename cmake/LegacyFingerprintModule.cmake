# The legacy fingerprint module FingerprintAuthDxe's firmware file carries.
#
# By default that is the simulation stand-in assembled from sim/components/legacy_module/: it
# answers the driver's far calls as the simulated board and the OVMF harness expect and never
# talks to a reader. A product needs the platform's own 16-bit module instead:
#
#     cmake --preset uefi -DLEGACY_FINGERPRINT_MODULE=/path/to/module.bin
#
# Either way the build writes the module it packs to images/LegacyFingerprintModule.bin, checked
# against the limits FingerprintAuthDxe enforces when it loads the module (at least one byte, at
# most FP_MODULE_MAX_SIZE of platform/fingerprint_module.h, the room its slot at 0x40000 has),
# and says at configure time, on the packing line and in images/sizes.md which module it is.
set(LEGACY_FINGERPRINT_MODULE "" CACHE FILEPATH
    "The platform's 16-bit legacy fingerprint module for FingerprintAuthDxe's firmware file (empty: the simulation stand-in)")

# pack_legacy_fingerprint_module(<target> STAND_IN <file> SECTION_GUID <GUID>)
#
# Makes <target> (built by ALL): the stand-in <file> (whose custom command the caller wrote) and
# images/LegacyFingerprintModule.bin, the module to pack. Sets on <target> what add_uefi_driver's
# FFS_SECTIONS reads (FFS_SECTION, FFS_SECTION_FILE), LEGACY_MODULE_STAND_IN (the stand-in, for
# its own checks) and LEGACY_MODULE_ORIGIN (which module is packed, in words).
function(pack_legacy_fingerprint_module target)
  cmake_parse_arguments(MOD "" "STAND_IN;SECTION_GUID" "" ${ARGN})
  set(packed ${CMAKE_BINARY_DIR}/images/LegacyFingerprintModule.bin)
  set(limits ${PROJECT_SOURCE_DIR}/platform/fingerprint_module.h)
  set(checker ${PROJECT_SOURCE_DIR}/cmake/CheckFingerprintModule.cmake)
  if(LEGACY_FINGERPRINT_MODULE)
    get_filename_component(source "${LEGACY_FINGERPRINT_MODULE}" ABSOLUTE)
    if(NOT EXISTS "${source}" OR IS_DIRECTORY "${source}")
      message(FATAL_ERROR "LEGACY_FINGERPRINT_MODULE: no such file: ${source}")
    endif()
    get_filename_component(source_name "${source}" NAME)
    set(origin "the platform's module ${source_name}")
  else()
    set(source ${MOD_STAND_IN})
    set(origin "the simulation stand-in (never talks to a reader: not for a product)")
  endif()
  message(STATUS "FingerprintAuthDxe.ffs carries the legacy fingerprint module: ${origin}")
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -DMODULE=${source} -DLIMITS=${limits} -DOUTPUT=${packed}
            -P ${checker}
    DEPENDS ${source} ${limits} ${checker}
    COMMENT "Legacy fingerprint module for FingerprintAuthDxe.ffs: ${origin}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${MOD_STAND_IN} ${packed})
  set_target_properties(${target} PROPERTIES
    FFS_SECTION "freeform:${MOD_SECTION_GUID}:${packed}"
    FFS_SECTION_FILE ${packed}
    LEGACY_MODULE_STAND_IN ${MOD_STAND_IN}
    LEGACY_MODULE_ORIGIN "${origin}")
endfunction()

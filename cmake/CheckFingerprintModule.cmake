# Copies the legacy fingerprint module MODULE to OUTPUT once it fits what FingerprintAuthDxe
# accepts: at least one byte and at most FP_MODULE_MAX_SIZE bytes (read from LIMITS,
# platform/fingerprint_module.h); the driver refuses to load any other with EFI_LOAD_ERROR.
# Usage: cmake -DMODULE=<file> -DLIMITS=<header> -DOUTPUT=<file> -P CheckFingerprintModule.cmake
file(STRINGS "${LIMITS}" limit_line REGEX "FP_MODULE_MAX_SIZE = (0x[0-9A-Fa-f]+|[0-9]+)")
if(NOT limit_line MATCHES "FP_MODULE_MAX_SIZE = (0x[0-9A-Fa-f]+|[0-9]+)")
  message(FATAL_ERROR "${LIMITS} defines no FP_MODULE_MAX_SIZE")
endif()
math(EXPR limit "${CMAKE_MATCH_1}")
if(NOT EXISTS "${MODULE}")
  message(FATAL_ERROR "legacy fingerprint module ${MODULE}: no such file")
endif()
file(SIZE "${MODULE}" size)
if(size EQUAL 0)
  message(FATAL_ERROR "legacy fingerprint module ${MODULE} is empty: FingerprintAuthDxe "
                      "refuses a module section without a module")
endif()
if(size GREATER limit)
  message(FATAL_ERROR "legacy fingerprint module ${MODULE} has ${size} bytes: FingerprintAuthDxe "
                      "loads at most ${limit} (FP_MODULE_MAX_SIZE, its slot at 0x40000)")
endif()
file(COPY_FILE "${MODULE}" "${OUTPUT}")
message(STATUS "LegacyFingerprintModule.bin: ${size} bytes, from ${MODULE}")

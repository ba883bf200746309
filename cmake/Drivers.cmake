include(${CMAKE_CURRENT_LIST_DIR}/LegacyFingerprintModule.cmake)

# add_uefi_driver(<Name> ENTRY <EntryPoint> SOURCES <files...> FILE_GUID <GUID>
#                 [DEPENDS_ON <protocol GUID names...>] [FFS_SECTIONS <targets...>])
#
# Firmware build: <Name>.efi, a PE32+ image of the EFI boot-service-driver subsystem with base
# relocations and no imports, linked with its own copy of the support library; and <Name>.ffs,
# the image packed as a firmware file by tools/ffs/make_ffs.py. The driver declares what its
# firmware file says about it: FILE_GUID, the file's name (fixed for good: the firmware finds a
# driver's own file, and the sections in it, by this name), and DEPENDS_ON, the protocols that
# must be installed before its entry point can do its work, each the name of an EFI_GUID
# constant of platform/guids.h (all of them ANDed in the dependency expression; none means
# TRUE). Both stay on the target as the properties UEFI_FILE_GUID and UEFI_DEPENDS_ON, from
# which the firmware-file check takes what each file must say. FFS_SECTIONS names targets that
# each provide one extra section of the firmware file: such a target carries the properties
# FFS_SECTION (the packager's --section argument) and FFS_SECTION_FILE (the file it reads), see
# sim/components/legacy_module/CMakeLists.txt.
# Size: every function and data item in a section of its own (-Oz -ffunction-sections
# -fdata-sections from the top-level CMakeLists.txt, one COMDAT per assembly routine in
# platform/hardware_io_firmware.S), so that /opt:ref drops whatever the image does not reference.
# The link is reproducible (/Brepro: the PE time stamp is a hash of the image, not the time; the
# map made independent of the source folder by cmake/StableMap.cmake), and keeps the import
# library lld-link writes for a /dll out of the images folder.
# Host build: <Name>_native, the same sources as a static library against the simulated bus.
function(add_uefi_driver name)
  cmake_parse_arguments(DRV "" "ENTRY;FILE_GUID" "SOURCES;DEPENDS_ON;FFS_SECTIONS" ${ARGN})
  if(NOT DRV_FILE_GUID MATCHES "^[0-9A-F]+-[0-9A-F]+-[0-9A-F]+-[0-9A-F]+-[0-9A-F]+$")
    message(FATAL_ERROR "${name}: FILE_GUID must be a GUID in upper case (got '${DRV_FILE_GUID}')")
  endif()
  if(UEFI_FIRMWARE_BUILD)
    add_executable(${name} ${DRV_SOURCES})
    target_link_libraries(${name} PRIVATE driver_support hardware_io)
    target_link_options(${name} PRIVATE
      /subsystem:efi_boot_service_driver /entry:${DRV_ENTRY} /nodefaultlib /machine:x64
      /dll /filealign:32 /wx /opt:ref /Brepro /implib:${CMAKE_CURRENT_BINARY_DIR}/${name}.lib
      /map:${CMAKE_BINARY_DIR}/images/${name}.map)
    set_target_properties(${name} PROPERTIES SUFFIX .efi
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/images)
    set_target_properties(${name} PROPERTIES
      UEFI_FILE_GUID ${DRV_FILE_GUID} UEFI_DEPENDS_ON "${DRV_DEPENDS_ON}"
      UEFI_FFS_SECTIONS "${DRV_FFS_SECTIONS}")
    set_property(GLOBAL APPEND PROPERTY UEFI_DRIVER_IMAGES ${name})
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DFILE=${CMAKE_BINARY_DIR}/images/${name}.map
              -P ${PROJECT_SOURCE_DIR}/cmake/StableMap.cmake
      COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${name}> -P ${PROJECT_SOURCE_DIR}/cmake/PrintSize.cmake
      VERBATIM)
    uefi_driver_firmware_file(${name} ${DRV_FFS_SECTIONS})
    add_uefi_debug_twin(${name})
  else()
    add_library(${name}_native STATIC ${DRV_SOURCES})
    target_link_libraries(${name}_native PUBLIC driver_support)
  endif()
endfunction()

# <Name>.ffs beside <Name>.efi, rebuilt whenever the image, the packager, the GUID header or a
# section file changes.
function(uefi_driver_firmware_file name)
  find_program(FFS_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(FFS_PYTHON NAMES python3 REQUIRED)
  set(ffs ${CMAKE_BINARY_DIR}/images/${name}.ffs)
  set(packager ${PROJECT_SOURCE_DIR}/tools/ffs/make_ffs.py)
  set(guids ${PROJECT_SOURCE_DIR}/platform/guids.h)
  get_target_property(file_guid ${name} UEFI_FILE_GUID)
  get_target_property(depends_on ${name} UEFI_DEPENDS_ON)
  set(depends_args)
  foreach(protocol IN LISTS depends_on)
    list(APPEND depends_args --depends ${protocol})
  endforeach()
  set(section_args)
  set(section_depends)
  foreach(provider IN LISTS ARGN)
    list(APPEND section_args "--section=$<TARGET_PROPERTY:${provider},FFS_SECTION>")
    list(APPEND section_depends ${provider} "$<TARGET_PROPERTY:${provider},FFS_SECTION_FILE>")
  endforeach()
  add_custom_command(OUTPUT ${ffs}
    COMMAND ${FFS_PYTHON} -B ${packager} --name ${name} --image $<TARGET_FILE:${name}>
            --output ${ffs} --guid ${file_guid} --guids ${guids} ${depends_args} ${section_args}
    COMMAND ${CMAKE_COMMAND} -DFILE=${ffs} -P ${PROJECT_SOURCE_DIR}/cmake/PrintSize.cmake
    DEPENDS ${name} ${packager} ${PROJECT_SOURCE_DIR}/tools/ffs/packing.py ${guids}
            ${section_depends}
    COMMENT "Packing firmware file ${name}.ffs"
    VERBATIM)
  add_custom_target(${name}_ffs ALL DEPENDS ${ffs})
  set_property(GLOBAL APPEND PROPERTY UEFI_FIRMWARE_FILES ${name})
endfunction()

# add_uefi_firmware_volume(<Name> DRIVERS <drivers...>)
#
# Firmware build: <Name>.fv in the images folder, the firmware files of the drivers named (in
# that order) packed into one firmware volume by tools/ffs/make_fv.py (FFS2, erase polarity 1).
# Its path is published as the global property UEFI_FIRMWARE_VOLUME.
function(add_uefi_firmware_volume name)
  cmake_parse_arguments(FV "" "" "DRIVERS" ${ARGN})
  find_program(FFS_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(FFS_PYTHON NAMES python3 REQUIRED)
  set(volume ${CMAKE_BINARY_DIR}/images/${name}.fv)
  set(packager ${PROJECT_SOURCE_DIR}/tools/ffs/make_fv.py)
  set(files)
  set(file_targets)
  foreach(driver IN LISTS FV_DRIVERS)
    list(APPEND files ${CMAKE_BINARY_DIR}/images/${driver}.ffs)
    list(APPEND file_targets ${driver}_ffs)
  endforeach()
  add_custom_command(OUTPUT ${volume}
    COMMAND ${FFS_PYTHON} -B ${packager} --output ${volume} ${files}
    COMMAND ${CMAKE_COMMAND} -DFILE=${volume} -P ${PROJECT_SOURCE_DIR}/cmake/PrintSize.cmake
    DEPENDS ${files} ${file_targets} ${packager} ${PROJECT_SOURCE_DIR}/tools/ffs/packing.py
    COMMENT "Packing firmware volume ${name}.fv"
    VERBATIM)
  add_custom_target(${name}_fv ALL DEPENDS ${volume})
  set_property(GLOBAL PROPERTY UEFI_FIRMWARE_VOLUME ${volume})
endfunction()

# add_uefi_size_table(DRIVERS <drivers...>)
#
# Firmware build: images/sizes.md, the README's size table (each driver's .efi and .ffs, the
# legacy fingerprint module a firmware file carries, then the firmware volume) written from this
# build's own files.
function(add_uefi_size_table)
  cmake_parse_arguments(SIZES "" "" "DRIVERS" ${ARGN})
  get_property(volume GLOBAL PROPERTY UEFI_FIRMWARE_VOLUME)
  set(table ${CMAKE_BINARY_DIR}/images/sizes.md)
  set(inputs ${volume})
  set(module_args)
  foreach(driver IN LISTS SIZES_DRIVERS)
    list(APPEND inputs $<TARGET_FILE:${driver}> ${CMAKE_BINARY_DIR}/images/${driver}.ffs)
    get_target_property(providers ${driver} UEFI_FFS_SECTIONS)
    foreach(provider IN LISTS providers)
      get_target_property(origin ${provider} LEGACY_MODULE_ORIGIN)
      if(origin)
        get_target_property(module ${provider} FFS_SECTION_FILE)
        list(APPEND module_args "-DMODULE_${driver}=${origin}" "-DMODULE_FILE_${driver}=${module}")
        list(APPEND inputs ${module})
      endif()
    endforeach()
  endforeach()
  add_custom_command(OUTPUT ${table}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${table} -DDIR=${CMAKE_BINARY_DIR}/images
            "-DNAMES=${SIZES_DRIVERS}" -DVOLUME=${volume} ${module_args}
            -P ${PROJECT_SOURCE_DIR}/cmake/SizeTable.cmake
    COMMAND ${CMAKE_COMMAND} -E cat ${table}
    DEPENDS ${inputs} ${PROJECT_SOURCE_DIR}/cmake/SizeTable.cmake NotebookDrivers_fv
    COMMENT "Writing the size table images/sizes.md"
    VERBATIM)
  add_custom_target(uefi_size_table ALL DEPENDS ${table})
endfunction()

# add_uefi_debug_twin(<image target>)
#
# Firmware build: <Name>.debug beside <Name>.efi, the image's debug twin. It is a second link of
# the same sources, compiled with the same flags (DWARF included, see the top-level
# CMakeLists.txt), with the image's link options and /debug:dwarf, which keeps the DWARF sections
# the image's own link drops. tools/debuginfo/debug_twin.py then gives it the image's time stamps,
# drops its COFF symbol table and checks that every section the loader maps (code, data,
# relocations, headers' entry point, base and directories) is the image's byte for byte: the
# build fails otherwise. gdb and llvm-symbolizer read the twin as a PE32+ file with DWARF
# at the image's link address (ImageBase): load it at (load address - ImageBase).
function(add_uefi_debug_twin image)
  find_program(FFS_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(FFS_PYTHON NAMES python3 REQUIRED)
  set(twin ${image}_debug)
  get_target_property(sources ${image} SOURCES)
  get_target_property(libraries ${image} LINK_LIBRARIES)
  get_target_property(options ${image} LINK_OPTIONS)
  get_target_property(folder ${image} RUNTIME_OUTPUT_DIRECTORY)
  list(FILTER options EXCLUDE REGEX "^/(map|implib):")
  add_executable(${twin} ${sources})
  target_link_libraries(${twin} PRIVATE ${libraries})
  target_include_directories(${twin} PRIVATE $<TARGET_PROPERTY:${image},INCLUDE_DIRECTORIES>)
  target_link_options(${twin} PRIVATE ${options} /debug:dwarf
    /implib:${CMAKE_CURRENT_BINARY_DIR}/${twin}.lib)
  set_target_properties(${twin} PROPERTIES OUTPUT_NAME ${image} SUFFIX .debug
    RUNTIME_OUTPUT_DIRECTORY ${folder})
  # Relinked after every link of the image, whose stamps it takes, and after a change of the tool.
  add_dependencies(${twin} ${image})
  set_property(TARGET ${twin} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:${image}>
    ${PROJECT_SOURCE_DIR}/tools/debuginfo/debug_twin.py)
  add_custom_command(TARGET ${twin} POST_BUILD
    COMMAND ${FFS_PYTHON} -B ${PROJECT_SOURCE_DIR}/tools/debuginfo/debug_twin.py finish
            $<TARGET_FILE:${image}> $<TARGET_FILE:${twin}>
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY UEFI_DEBUG_TWINS ${image})
endfunction()

# add_uefi_driver(<Name> ENTRY <EntryPoint> SOURCES <files...>)
#
# Firmware build: <Name>.efi, a PE32+ image of the EFI boot-service-driver subsystem with base
# relocations and no imports, linked with its own copy of the support library.
# Host build: <Name>_native, the same sources as a static library against the simulated bus.
function(add_uefi_driver name)
  cmake_parse_arguments(DRV "" "ENTRY" "SOURCES" ${ARGN})
  if(UEFI_FIRMWARE_BUILD)
    add_executable(${name} ${DRV_SOURCES})
    target_link_libraries(${name} PRIVATE driver_support hardware_io)
    target_link_options(${name} PRIVATE
      /subsystem:efi_boot_service_driver /entry:${DRV_ENTRY} /nodefaultlib /machine:x64
      /dll /filealign:32 /wx /opt:ref /map:${CMAKE_BINARY_DIR}/images/${name}.map)
    set_target_properties(${name} PROPERTIES SUFFIX .efi
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/images)
    set_property(GLOBAL APPEND PROPERTY UEFI_DRIVER_IMAGES ${name})
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${name}> -P ${PROJECT_SOURCE_DIR}/cmake/PrintSize.cmake
      VERBATIM)
  else()
    add_library(${name}_native STATIC ${DRV_SOURCES})
    target_link_libraries(${name}_native PUBLIC driver_support)
  endif()
endfunction()

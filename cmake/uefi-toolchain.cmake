# Firmware build: clang++ for the x86_64 Windows target (PE/COFF objects, Microsoft x64 ABI)
# and lld-link producing PE32+ EFI boot-service-driver images.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(UEFI_FIRMWARE_BUILD ON)

find_program(UEFI_CLANG NAMES clang clang-14 REQUIRED)
find_program(UEFI_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(UEFI_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(UEFI_LLVM_AR NAMES llvm-ar llvm-ar-14 REQUIRED)
find_program(UEFI_LLVM_RANLIB NAMES llvm-ranlib llvm-ranlib-14 REQUIRED)

set(CMAKE_C_COMPILER ${UEFI_CLANG})
set(CMAKE_CXX_COMPILER ${UEFI_CLANGXX})
set(CMAKE_ASM_COMPILER ${UEFI_CLANG})
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_ASM_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_AR ${UEFI_LLVM_AR})
set(CMAKE_RANLIB ${UEFI_LLVM_RANLIB})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(UEFI_COMPILE_FLAGS
    "--target=x86_64-unknown-windows -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector \
-mno-red-zone -mgeneral-regs-only -mno-stack-arg-probe -fno-builtin \
-fno-asynchronous-unwind-tables -fno-unwind-tables")
# The optimisation level and the sections per function are set in the top-level CMakeLists.txt
# (add_compile_options), so that a change reaches build folders configured before it.
# Header dependencies: clang for a Windows target counts as simulating MSVC, for which CMake's
# Generic platform sets no depfile flags, so without these an object would not be rebuilt after a
# header it includes changes.
set(CMAKE_DEPFILE_FLAGS_C "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_CXX_FLAGS_INIT "${UEFI_COMPILE_FLAGS}")
set(CMAKE_C_FLAGS_INIT "${UEFI_COMPILE_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "--target=x86_64-unknown-windows")

set(CMAKE_EXECUTABLE_SUFFIX .efi)
set(CMAKE_CXX_LINK_EXECUTABLE
    "${UEFI_LLD_LINK} /nologo <LINK_FLAGS> <OBJECTS> <LINK_LIBRARIES> /out:<TARGET>")

# The SMM timer callback is registered without floating-point save, so no SSE/AVX register may
# be touched anywhere in an SMM image. Disassembles IMAGE with OBJDUMP and fails on any xmm, ymm
# or zmm register.
# Usage: cmake -DOBJDUMP=<llvm-objdump> -DIMAGE=<file> -P smm_no_simd.cmake
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${IMAGE}
  OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not disassemble ${IMAGE}")
endif()
string(REGEX MATCHALL "[^\n]*\n" lines "${listing}")
set(instructions 0)
set(simd "")
foreach(line IN LISTS lines)
  if(line MATCHES "^ *[0-9a-f]+:")
    math(EXPR instructions "${instructions} + 1")
    if(line MATCHES "%?[xyz]mm[0-9]")
      string(APPEND simd "${line}")
    endif()
  endif()
endforeach()
if(instructions EQUAL 0)
  message(FATAL_ERROR "no instructions found in ${IMAGE}")
endif()
if(NOT simd STREQUAL "")
  message(FATAL_ERROR "${IMAGE} uses SSE/AVX registers:\n${simd}")
endif()
message(STATUS "${IMAGE}: ${instructions} instructions, no xmm/ymm/zmm register")

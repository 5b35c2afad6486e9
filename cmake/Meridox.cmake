# Build rules shared by every calculator.

# Splits one entry of MERIDOX_DELIVERABLES into its fields.
function(meridox_deliverable_fields entry out_name out_symbol out_dir)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 symbol)
  list(GET fields 2 dir)
  set(${out_name} ${name} PARENT_SCOPE)
  set(${out_symbol} ${symbol} PARENT_SCOPE)
  set(${out_dir} ${dir} PARENT_SCOPE)
endfunction()

# Warnings and floating-point rules for all of our own code. No FMA
# contraction and no fast-math: results must match the documented
# evaluation order to the bit.
function(meridox_compile_options target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -ffp-contract=off)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports false -Wrestrict overlaps inside std::string operator+.
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()

# meridox_wide_sources(<target> <avx2|avx512> <files...>)
#
# Adds kernel files built with wider vector instructions to a target and
# defines MERIDOX_WIDE_KERNELS on it; common/cpu_features.hpp chooses among
# the versions at run time, so the rest of the target stays baseline x86-64.
# avx2 means AVX2 and FMA; avx512 adds AVX-512 F, DQ and VL. The same files go
# into the Windows DLLs, assembled with unaligned vector moves only: GCC for
# Windows does not align the stack slots of spilled 32- and 64-byte vectors,
# and an unaligned move to such a slot is correct where an aligned one faults.
# Elsewhere than x86-64 with GCC or Clang the files are left out.
function(meridox_wide_sources target level)
  if(NOT (CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64"
          AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang"))
    return()
  endif()
  if(level STREQUAL "avx2")
    set(flags -mavx2 -mfma)
  elseif(level STREQUAL "avx512")
    set(flags -mavx2 -mfma -mavx512f -mavx512dq -mavx512vl)
  else()
    message(FATAL_ERROR "meridox_wide_sources: unknown level ${level}")
  endif()
  if(WIN32)
    list(APPEND flags -Wa,-muse-unaligned-vector-move)
  endif()
  target_sources(${target} PRIVATE ${ARGN})
  set_source_files_properties(${ARGN} PROPERTIES COMPILE_OPTIONS "${flags}")
  target_compile_definitions(${target} PRIVATE MERIDOX_WIDE_KERNELS=1)
endfunction()

# Looks up the exported entry of a deliverable in the list.
function(meridox_entry_of name out_symbol)
  foreach(entry IN LISTS MERIDOX_DELIVERABLES)
    meridox_deliverable_fields("${entry}" n s d)
    if(n STREQUAL name)
      set(${out_symbol} ${s} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${name} is not in cmake/deliverables.cmake")
endfunction()

# meridox_add_calculator(NAME <lib> CORE <static core target> ENTRY_SOURCE <file>)
#
# The core target holds the calculator's code and its own copy of the shared
# kit; unit tests link it directly. The shared library adds the entry file
# and exports the entry function alone: on ELF a version script makes every
# other symbol (template instantiations of the standard library included)
# local, so that several calculators loaded into one process cannot bind to
# each other's globals.
function(meridox_add_calculator)
  cmake_parse_arguments(ARG "" "NAME;CORE;ENTRY_SOURCE" "" ${ARGN})
  meridox_entry_of(${ARG_NAME} symbol)
  add_library(${ARG_NAME} SHARED ${ARG_ENTRY_SOURCE})
  meridox_compile_options(${ARG_NAME})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_CORE})
  set_target_properties(${ARG_NAME} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
  if(WIN32)
    # No "lib" prefix, and the C++ and GCC runtimes linked in, so that the
    # DLL loads on a PC that has only the system DLLs.
    set_target_properties(${ARG_NAME} PROPERTIES PREFIX "")
    target_link_options(${ARG_NAME} PRIVATE -static -static-libgcc -static-libstdc++)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(map ${PROJECT_BINARY_DIR}/exports/${ARG_NAME}.map)
    file(WRITE ${map} "{\n  global: ${symbol};\n  local: *;\n};\n")
    target_link_options(${ARG_NAME} PRIVATE "LINKER:--version-script=${map}" ${MERIDOX_NO_UNDEFINED})
    set_property(TARGET ${ARG_NAME} APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()

# Sanitizer and fuzzing builds. Both instrument every target of the build (the
# shared kit, the calculators, their shared libraries, the tests and the host)
# with AddressSanitizer and UndefinedBehaviorSanitizer, and stop at the first
# finding. A shared library normally links with --no-undefined; GCC links its
# sanitizer runtimes into shared libraries, so that stays. Clang leaves them to
# the executable that loads the library, so there the libraries' references to
# the runtime are left for the loader to resolve.
option(MERIDOX_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(MERIDOX_BUILD_FUZZ "Build the libFuzzer targets (clang)" OFF)
set(MERIDOX_NO_UNDEFINED "LINKER:--no-undefined")
if(MERIDOX_SANITIZE OR MERIDOX_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "Sanitizer and fuzz builds need GCC or Clang")
  endif()
  # float-cast-overflow: converting a double beyond the int range to int (a
  # sheet's 1e308 turned into an index) is undefined; GCC leaves it out of
  # "undefined", Clang includes it.
  set(_meridox_sanitizers -fsanitize=address,undefined,float-cast-overflow
    -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${_meridox_sanitizers})
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
  if(MERIDOX_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "MERIDOX_BUILD_FUZZ needs clang++ (libFuzzer); use the fuzz preset")
    endif()
    # Coverage feedback for the fuzzer in every object; the fuzz executables
    # add the libFuzzer driver themselves.
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(MERIDOX_NO_UNDEFINED "")
  endif()
endif()

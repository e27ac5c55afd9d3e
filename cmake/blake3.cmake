# BLAKE3: prefer an installed libblake3; otherwise build the reference C
# implementation shipped in Debian's librust-blake3-dev, with its x86-64
# assembly kernels and runtime CPU dispatch.
find_path(BLAKE3_SYSTEM_INCLUDE blake3.h PATH_SUFFIXES blake3)
find_library(BLAKE3_SYSTEM_LIBRARY blake3)
if(BLAKE3_SYSTEM_INCLUDE AND BLAKE3_SYSTEM_LIBRARY)
  add_library(blake3 UNKNOWN IMPORTED)
  set_target_properties(blake3 PROPERTIES
    IMPORTED_LOCATION "${BLAKE3_SYSTEM_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${BLAKE3_SYSTEM_INCLUDE}")
  message(STATUS "BLAKE3: system library ${BLAKE3_SYSTEM_LIBRARY}")
  return()
endif()

file(GLOB BLAKE3_SOURCE_DIRS LIST_DIRECTORIES true "/usr/share/cargo/registry/blake3-*/c")
list(SORT BLAKE3_SOURCE_DIRS)
list(REVERSE BLAKE3_SOURCE_DIRS)
list(GET BLAKE3_SOURCE_DIRS 0 BLAKE3_C_DIR)
if(NOT EXISTS "${BLAKE3_C_DIR}/blake3.c")
  message(FATAL_ERROR "BLAKE3 C sources not found: install librust-blake3-dev")
endif()
message(STATUS "BLAKE3: building from ${BLAKE3_C_DIR}")

add_library(blake3 STATIC
  "${BLAKE3_C_DIR}/blake3.c"
  "${BLAKE3_C_DIR}/blake3_dispatch.c"
  "${BLAKE3_C_DIR}/blake3_portable.c"
  "${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S"
  "${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S"
  "${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S"
  "${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S")
target_include_directories(blake3 SYSTEM PUBLIC "${BLAKE3_C_DIR}")
set_target_properties(blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)

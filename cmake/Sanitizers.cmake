# Sanitized builds. VIVANTO_SANITIZE names the sanitizers every target of ours
# is built with, the plug-in included, so that its accesses are checked from
# inside: "address,undefined" or "thread". Any finding stops the program
# (-fno-sanitize-recover), so a test or fuzz run cannot pass over one.
set(VIVANTO_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined or thread")
option(VIVANTO_BUILD_FUZZERS "Build the libFuzzer targets (clang, with VIVANTO_SANITIZE)" OFF)

if(VIVANTO_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "VIVANTO_SANITIZE needs GCC or Clang")
  endif()
  add_compile_options(-fsanitize=${VIVANTO_SANITIZE} -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VIVANTO_SANITIZE})
endif()

if(VIVANTO_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "the fuzz targets need clang (libFuzzer)")
  endif()
  if(NOT VIVANTO_SANITIZE MATCHES "address")
    message(FATAL_ERROR "the fuzz targets need VIVANTO_SANITIZE=address,undefined")
  endif()
endif()

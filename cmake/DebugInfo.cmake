# How much debug information a RelWithDebInfo build carries: "full" (-g, the
# default, for a debugger) or "lines" (-g1: files, lines and function names,
# all that sanitizer reports and backtraces print). Debug information does not
# change the generated code, and full information doubles the compile time of
# the test-heavy sources, so scripts/test.sh builds its presets with "lines".
set(VIVANTO_DEBUG_INFO full CACHE STRING "Debug information of RelWithDebInfo builds: full or lines")
set_property(CACHE VIVANTO_DEBUG_INFO PROPERTY STRINGS full lines)
if(VIVANTO_DEBUG_INFO STREQUAL "lines")
  foreach(language C CXX)
    if(CMAKE_${language}_COMPILER_ID MATCHES "GNU|Clang")
      string(REGEX REPLACE "(^| )-g( |$)" "\\1-g1\\2" CMAKE_${language}_FLAGS_RELWITHDEBINFO
        "${CMAKE_${language}_FLAGS_RELWITHDEBINFO}")
    endif()
  endforeach()
elseif(NOT VIVANTO_DEBUG_INFO STREQUAL "full")
  message(FATAL_ERROR "VIVANTO_DEBUG_INFO is '${VIVANTO_DEBUG_INFO}'; it must be full or lines")
endif()

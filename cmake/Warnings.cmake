# Warnings on for every target of ours. They are errors only where we choose
# so (the presets and CI set CMAKE_COMPILE_WARNING_AS_ERROR): an ordinary
# build, or a distribution's with its own flags and compiler, warns and goes on.
add_library(vivanto_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(vivanto_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    # Designated initialisers leave the rest at their defaults on purpose.
    -Wno-missing-field-initializers)
endif()

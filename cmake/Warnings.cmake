# Warnings on and treated as errors, for every target of ours.
add_library(vivanto_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(vivanto_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror
    # Designated initialisers leave the rest at their defaults on purpose.
    -Wno-missing-field-initializers)
endif()

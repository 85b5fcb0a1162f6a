# Compiles the plug-in's source for Mac OS X i386 on Linux, so that the
# Mach-O object's symbols can be checked. No Apple SDK, C++ library or linker
# exists here: clang runs freestanding (the source needs only the compiler's
# own stdint.h and stddef.h) and nothing is linked. The dylib itself is built
# on a Mac with cmake/macos-i386.cmake.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i386)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET i386-apple-macosx10.6)
set(CMAKE_CXX_COMPILER_TARGET i386-apple-macosx10.6)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_FLAGS_INIT "-ffreestanding -nostdlibinc")
set(CMAKE_CXX_FLAGS_INIT "-ffreestanding -nostdlibinc")

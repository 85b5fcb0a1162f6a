# Cross-builds the Windows x86 DLL and its test program with Debian's
# MinGW-w64 i686 toolchain. The POSIX-threads flavour is chosen because the
# test program uses std::thread; the plug-in itself uses no threads, and
# everything is linked statically, so nothing of MinGW's runtime ships as a DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# i686 compilers default to x87 arithmetic, whose excess precision rounds the
# stage's arithmetic twice; SSE2 evaluates float and double as written.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
# No libstdc++, libgcc or winpthread DLL beside ours: the editor would not
# find them, and the test program must run from a bare Wine prefix.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

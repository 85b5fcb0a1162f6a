# 32-bit Linux build with Debian's multilib compilers, so that 32-bit
# pointers and handles, as in both shipped builds, are exercised on every run.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

# -m32 alone would evaluate floats on the x87 with excess precision, which
# rounds the stage's arithmetic twice; SSE2 evaluates it as written.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Kernels without IA32 emulation run the programs under qemu-i386.
include(${CMAKE_CURRENT_LIST_DIR}/I386Emulator.cmake)

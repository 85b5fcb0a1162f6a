# The Mac OS X i386 build's own machine code, run on Linux. The plug-in's
# source is compiled by clang for i386-apple-macosx10.6 into Mach-O objects
# (cmake/MacObject.cmake); no Apple SDK, C++ library or linker exists here,
# so the stand-in host's loader maps and relocates them, as the Mac's dynamic
# loader would a dylib, in a 32-bit Linux build of the host and the tests
# made as the linux-i686 preset makes them.
include(${CMAKE_CURRENT_LIST_DIR}/linux-i686.cmake)
# linux-i686.cmake also sends the test programs through qemu-i386 where the
# kernel cannot run 32-bit programs itself (cmake/I386Emulator.cmake).

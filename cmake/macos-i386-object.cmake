# The Mac OS X i386 build's own machine code, run on Linux. The plug-in's
# source is compiled by clang for i386-apple-macosx10.6 into Mach-O objects
# (cmake/MacObject.cmake); no Apple SDK, C++ library or linker exists here,
# so the stand-in host's loader maps and relocates them, as the Mac's dynamic
# loader would a dylib, in a 32-bit Linux build of the host and the tests
# made as the linux-i686 preset makes them.
include(${CMAKE_CURRENT_LIST_DIR}/linux-i686.cmake)

# The kernel of a build machine may lack IA-32 emulation ("Exec format
# error"): a 32-bit probe that does not run sends every test program through
# qemu-i386 instead.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(vivanto_i386_probe ${CMAKE_BINARY_DIR}/CMakeFiles/i386_probe)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "int main(void) { return 0; }"
    COMMAND gcc -m32 -x c - -o ${vivanto_i386_probe} RESULT_VARIABLE vivanto_i386_built)
  execute_process(COMMAND ${vivanto_i386_probe} RESULT_VARIABLE vivanto_i386_runs
    OUTPUT_QUIET ERROR_QUIET)
  if(vivanto_i386_built EQUAL 0 AND NOT vivanto_i386_runs EQUAL 0)
    find_program(VIVANTO_QEMU_I386 qemu-i386 REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VIVANTO_QEMU_I386})
  endif()
endif()

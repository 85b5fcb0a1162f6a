# How this machine runs 32-bit x86 Linux programs, for toolchain files whose
# programs are such (include it after setting CMAKE_C_COMPILER): natively where
# the kernel can (IA32 emulation), else under qemu-user's qemu-i386 (Debian:
# qemu-user), which CTest, GoogleTest's discovery and try_run then put in
# front of every program built. Kernels built without IA32 emulation refuse
# those programs with "Exec format error".
#
# The answer is found once per build tree by compiling a tiny program with
# "${CMAKE_C_COMPILER} -m32" and starting it, and kept in the cache:
# VIVANTO_I386_EMULATOR is empty when programs run natively, else the
# emulator command. Setting it by hand (-DVIVANTO_I386_EMULATOR=...) skips
# the probe.

# try_compile reads the toolchain file again in a project of its own, where
# the answer does not matter.
get_property(vivanto_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(vivanto_in_try_compile)
  return()
endif()

if(NOT DEFINED VIVANTO_I386_EMULATOR)
  set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/i386-probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 probe.c -o probe
    WORKING_DIRECTORY ${probe_dir} RESULT_VARIABLE probe_built OUTPUT_QUIET ERROR_VARIABLE probe_error)
  if(NOT probe_built EQUAL 0)
    message(FATAL_ERROR "cannot build a 32-bit x86 program with ${CMAKE_C_COMPILER} -m32 "
      "(Debian: gcc-multilib g++-multilib):\n${probe_error}")
  endif()
  execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE probe_ran OUTPUT_QUIET ERROR_QUIET)
  if(probe_ran EQUAL 0)
    set(emulator "")
    message(STATUS "32-bit x86 programs run natively")
  else()
    find_program(VIVANTO_QEMU_I386 NAMES qemu-i386 qemu-i386-static)
    if(NOT VIVANTO_QEMU_I386)
      message(FATAL_ERROR "this kernel cannot run 32-bit x86 programs (${probe_ran}) and qemu-i386 "
        "was not found to run them emulated: install Debian's qemu-user")
    endif()
    # "max" offers every instruction set extension qemu emulates, so the
    # vector loops chosen at run time are exercised as far as it can.
    set(emulator ${VIVANTO_QEMU_I386} -cpu max)
    message(STATUS "this kernel cannot run 32-bit x86 programs (a test program gave \"${probe_ran}\"): they run under ${emulator}")
  endif()
  set(VIVANTO_I386_EMULATOR "${emulator}" CACHE STRING
    "Command running 32-bit x86 Linux programs on this machine (empty: natively)")
  file(REMOVE_RECURSE ${probe_dir})
endif()

if(VIVANTO_I386_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VIVANTO_I386_EMULATOR})
endif()

# The Mac OS X i386 object's symbol table, read with LLVM's Mach-O tools.
find_program(VIVANTO_LLVM_NM NAMES llvm-nm-14 llvm-nm REQUIRED)
find_program(VIVANTO_LLVM_OBJDUMP NAMES llvm-objdump-14 llvm-objdump REQUIRED)
add_test(NAME macos_object_exports_only_the_entry_points
  COMMAND ${PROJECT_SOURCE_DIR}/tests/check_macos_object.sh ${VIVANTO_LLVM_NM} ${VIVANTO_LLVM_OBJDUMP}
    $<TARGET_PROPERTY:hueflare,VIVANTO_PLUGIN_FILE>)

# The plug-in's source compiled for Mac OS X i386 by clang, freestanding (the
# source needs only the compiler's own headers), into Mach-O relocatable
# objects: with the compile settings every build of the plug-in shares
# (hueflare_settings), our warnings, and what the Mac build adds (hidden
# symbols, position-independent code, C++11). The host of this build is
# another compiler's, so the commands are spelled out here.
find_program(VIVANTO_MACOS_CLANG NAMES clang++-14 clang++ REQUIRED)
set(VIVANTO_MACOS_TARGET i386-apple-macosx10.6)

# Adds `target`, which compiles plugin/hueflare.cpp to `object` (in this
# directory's build folder) with the further compile flags given after it.
function(vivanto_add_macos_object target object)
  set(source ${PROJECT_SOURCE_DIR}/plugin/hueflare.cpp)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${object})
  separate_arguments(build_type_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS_RELWITHDEBINFO}")
  set(settings hueflare_settings)
  add_custom_command(OUTPUT ${output}
    COMMAND ${VIVANTO_MACOS_CLANG} -target ${VIVANTO_MACOS_TARGET}
      -ffreestanding -nostdlibinc -std=c++11 -fPIC
      -fvisibility=hidden -fvisibility-inlines-hidden ${build_type_flags}
      "-D$<JOIN:$<TARGET_PROPERTY:${settings},INTERFACE_COMPILE_DEFINITIONS>,;-D>"
      "-I$<JOIN:$<TARGET_PROPERTY:${settings},INTERFACE_INCLUDE_DIRECTORIES>,;-I>"
      $<TARGET_PROPERTY:${settings},INTERFACE_COMPILE_OPTIONS>
      $<TARGET_PROPERTY:vivanto_warnings,INTERFACE_COMPILE_OPTIONS>
      ${ARGN} -c ${source} -o ${output}
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/host/bibble_host.h
    COMMENT "Compiling the plug-in for ${VIVANTO_MACOS_TARGET}: ${object}"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
  set_target_properties(${target} PROPERTIES VIVANTO_PLUGIN_FILE ${output})
endfunction()

# Where `cmake --install` and the Debian package put things, relative to the
# prefix: vivanto in bin/, the plug-in and the example's chart maker in a
# folder of vivanto's own under the multiarch library folder (as Debian keeps
# plug-ins: /usr/lib/x86_64-linux-gnu/vivanto/), the README in
# share/doc/vivanto/. vivanto finds the plug-in from its own path, so the
# installed tree works under any prefix, or unpacked anywhere.
include(GNUInstallDirs)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(vivanto_plugindir_default lib/${CMAKE_LIBRARY_ARCHITECTURE}/vivanto)
else()
  set(vivanto_plugindir_default ${CMAKE_INSTALL_LIBDIR}/vivanto)
endif()
set(VIVANTO_INSTALL_PLUGINDIR ${vivanto_plugindir_default} CACHE STRING
  "Where the plug-in and the example's chart maker are installed, relative to the prefix")
if(IS_ABSOLUTE "${VIVANTO_INSTALL_PLUGINDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  message(FATAL_ERROR "VIVANTO_INSTALL_PLUGINDIR and CMAKE_INSTALL_BINDIR must be relative to the prefix")
endif()
# The plug-in as seen from an installed vivanto, e.g. ../lib/x86_64-linux-gnu/vivanto.
file(RELATIVE_PATH VIVANTO_PLUGINDIR_FROM_BINDIR /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VIVANTO_INSTALL_PLUGINDIR})

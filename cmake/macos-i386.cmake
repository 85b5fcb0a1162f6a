# Builds the Mac OS X i386 dylib on a Mac whose Xcode still links i386 (the
# macOS 10.13 SDK or older). Not run on our Linux machines, which have no
# Apple linker; there the object is compiled and checked instead
# (cmake/macos-i386-object.cmake). Use it through the macos-i386 preset, which
# also selects the Mac host boolean and evaluation.
set(CMAKE_OSX_ARCHITECTURES i386)
set(CMAKE_OSX_DEPLOYMENT_TARGET 10.6)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)

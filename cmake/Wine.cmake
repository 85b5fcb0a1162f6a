# The Windows build's programs run here under Wine: CTest and GoogleTest's
# discovery start them through run_under_wine.sh with a prefix in the build tree.
find_program(VIVANTO_WINE wine REQUIRED)
set(VIVANTO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/run_under_wine.sh ${VIVANTO_WINEPREFIX})
# The test program opens the DLL by the path CMake gave it: Wine's drive Z:
# is the Unix root, so "/work/.../hueflare.dll" names the same file.

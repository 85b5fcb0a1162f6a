# The Windows build's programs run here under Wine: CTest starts them through
# run_under_wine.sh with a prefix in the build tree. Wine is needed only to run
# the tests, never to build: without it the DLL and the test programs build,
# and each test fails saying that Wine is missing.
find_program(VIVANTO_WINE wine)
if(NOT VIVANTO_WINE)
  message(STATUS "Wine not found: the Windows build's tests will fail until it is installed (Debian: wine wine32:i386)")
endif()
set(VIVANTO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/run_under_wine.sh ${VIVANTO_WINEPREFIX})
# The test program opens the DLL by the path CMake gave it: Wine's drive Z:
# is the Unix root, so "/work/.../hueflare.dll" names the same file.

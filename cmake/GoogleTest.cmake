# GoogleTest: the installed package for native builds; built from the sources
# Debian ships (googletest package) for cross and 32-bit builds, where no
# matching binary package exists. One test source serves every build.
option(VIVANTO_GTEST_FROM_SOURCE "Build GoogleTest from /usr/src/googletest" OFF)
if(NOT VIVANTO_GTEST_FROM_SOURCE)
  find_package(GTest CONFIG QUIET)
endif()
if(NOT TARGET GTest::gtest_main)
  set(VIVANTO_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${VIVANTO_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install Debian's googletest package")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VIVANTO_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # GoogleTest 1.11 and later name their targets GTest:: themselves.
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gtest ALIAS gtest)
  endif()
endif()
include(GoogleTest)

# The platform tests alone, for a build whose target has no GoogleTest
# installed (the MinGW cross build): GoogleTest is compiled from its sources,
# which Debian's libgtest-dev puts in /usr/src/googletest. Run the result
# on the target, or under Wine with VAULTCAT_WINDOWS_PLATFORM_TESTS in the
# native build (cmake/windows_tests.cmake).
set(VAULTCAT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the platform tests")
if(NOT EXISTS ${VAULTCAT_GTEST_SOURCE_DIR}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${VAULTCAT_GTEST_SOURCE_DIR} (install libgtest-dev)")
endif()

# Nothing of GoogleTest goes into an install or a package.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VAULTCAT_GTEST_SOURCE_DIR}/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(vaultcat_platform_tests ${PROJECT_SOURCE_DIR}/tests/unit/platform_test.cpp)
target_link_libraries(vaultcat_platform_tests PRIVATE vaultcat_platform gtest_main)
target_include_directories(vaultcat_platform_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
if(MINGW)
  target_link_options(vaultcat_platform_tests PRIVATE -static)
endif()

# Runs the Windows build under Wine as part of the native build's tests:
#
#   VAULTCAT_WINDOWS_PROGRAM         the cross-built vaultcat.exe; the
#                                    end-to-end tests run again against it,
#                                    named windows.<suite>.<test>
#   VAULTCAT_WINDOWS_PLATFORM_TESTS  (optional) the cross-built
#                                    vaultcat_platform_tests.exe, run as
#                                    windows.platform_tests
#
# A setup test makes the Wine prefix (under this build directory) and
# checks that the program starts; if Wine or the program is missing it
# fails, and every Windows test fails with it rather than being skipped.
# The end-to-end harness splits its command on spaces, so neither path may
# hold one.
find_program(VAULTCAT_WINE NAMES wine64 wine HINTS /usr/lib/wine DOC "Wine, to run the Windows build")
set(VAULTCAT_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
# The prefix needs neither .NET nor a browser engine; without these
# overrides its creation offers to download them. Wine reads a Unix command
# line in the locale's character set, and the tests pass UTF-8 names: in the
# C locale "ä" would reach the program as two Latin-1 letters.
set(vaultcat_wine_env WINEPREFIX=${VAULTCAT_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= LC_ALL=C.UTF-8)

add_test(NAME windows.prepare_wine
  COMMAND ${CMAKE_COMMAND} -DWINE=${VAULTCAT_WINE} -DPREFIX=${VAULTCAT_WINE_PREFIX}
          -DPROGRAM=${VAULTCAT_WINDOWS_PROGRAM} -P ${CMAKE_CURRENT_LIST_DIR}/prepare_wine.cmake)
set_tests_properties(windows.prepare_wine PROPERTIES FIXTURES_SETUP vaultcat_wine TIMEOUT 600)

if(TARGET vaultcat_e2e_tests)
  list(JOIN vaultcat_wine_env " " vaultcat_wine_env_words)
  gtest_discover_tests(vaultcat_e2e_tests
    DISCOVERY_MODE PRE_TEST
    TEST_PREFIX "windows."
    PROPERTIES
      ENVIRONMENT "VAULTCAT_COMMAND=env ${vaultcat_wine_env_words} ${VAULTCAT_WINE} ${VAULTCAT_WINDOWS_PROGRAM}"
      FIXTURES_REQUIRED vaultcat_wine)
endif()

set(VAULTCAT_WINDOWS_PLATFORM_TESTS "" CACHE FILEPATH "The cross-built vaultcat_platform_tests.exe, run under Wine")
if(VAULTCAT_WINDOWS_PLATFORM_TESTS)
  add_test(NAME windows.platform_tests
    COMMAND env ${vaultcat_wine_env} ${VAULTCAT_WINE} ${VAULTCAT_WINDOWS_PLATFORM_TESTS})
  set_tests_properties(windows.platform_tests PROPERTIES FIXTURES_REQUIRED vaultcat_wine)
endif()

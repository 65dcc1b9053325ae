# cmake -DWINE=... -DPREFIX=... -DPROGRAM=... -P prepare_wine.cmake
#
# Gets Wine ready for the Windows tests: creates or updates the prefix (the
# first start takes a while, better here than inside a test's time limit)
# and runs the program once without arguments, which prints its usage.
if(NOT WINE OR NOT EXISTS "${WINE}")
  message(FATAL_ERROR "Wine was not found (${WINE}); install wine64 to run the Windows tests")
endif()
if(NOT EXISTS "${PROGRAM}")
  message(FATAL_ERROR "No Windows program at ${PROGRAM}; build it with cmake/mingw-w64-x86_64.cmake first")
endif()

set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} "-all")
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")

execute_process(COMMAND "${WINE}" wineboot --init
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 300)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Wine could not set up ${PREFIX} (${result}):\n${output}")
endif()

execute_process(COMMAND "${WINE}" "${PROGRAM}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors TIMEOUT 120)
if(NOT result EQUAL 0 OR NOT output MATCHES "Usage:")
  message(FATAL_ERROR "${PROGRAM} did not run under Wine (${result}):\n${output}\n${errors}")
endif()
message(STATUS "Wine runs ${PROGRAM}")

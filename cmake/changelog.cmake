# Writes the package's changelog from changelog.in, at build time, so that
# its date follows the sources: SOURCE_DATE_EPOCH where it is set (as
# reproducible builds set it), else the date of the git commit the sources
# are checked out at, else (a source tarball) the time of the build.
# "UNRELEASED" says that no distribution built the package.
#
#   cmake -DSOURCE_DIR=... -DTEMPLATE=changelog.in -DOUTPUT=changelog
#         -DPROJECT_VERSION=... -DVAULTCAT_PACKAGE_MAINTAINER=... -P changelog.cmake
#
# The output is rewritten only when it changes.
set(VAULTCAT_CHANGELOG_COMMIT "")
find_program(git git)
if(git)
  # Only a repository whose top is the source tree: a tarball unpacked
  # inside some other checkout must not take that checkout's commit.
  execute_process(COMMAND ${git} -C ${SOURCE_DIR} rev-parse --show-toplevel
                  OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  file(REAL_PATH "${SOURCE_DIR}" source)
  if(NOT failed AND top)
    file(REAL_PATH "${top}" top)
  endif()
  if(NOT failed AND top STREQUAL source)
    execute_process(COMMAND ${git} -C ${SOURCE_DIR} log -1 --format=%ct%n%h
                    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND commit MATCHES "^([0-9]+)\n([0-9a-f]+)$")
      set(VAULTCAT_CHANGELOG_COMMIT " (commit ${CMAKE_MATCH_2})")
      if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
        set(ENV{SOURCE_DATE_EPOCH} ${CMAKE_MATCH_1})
      endif()
    endif()
  endif()
endif()
# string(TIMESTAMP) takes SOURCE_DATE_EPOCH when it is set; English names in
# any locale.
string(TIMESTAMP VAULTCAT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)

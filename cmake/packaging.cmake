# Install rules and packages.
#
# Elsewhere than Windows, `cmake --install` puts the program in bin/, the
# manual page (gzipped) in share/man/man1/, the bash completion in
# share/bash-completion/completions/, the lintian overrides in
# share/lintian/overrides/, and the user's README (docs/README.user.md, as
# README.md), the format description, the changelog and the licence (as
# `copyright`, in Debian's machine-readable form) in share/doc/vaultcat/.
# CPack makes a .tar.gz of that, or with `cpack -G DEB` a Debian package. On
# Windows the program sits at the top of a .zip beside the user's README and
# the licence, with the format description in docs/, where the usage text
# points.
include(GNUInstallDirs)

set(VAULTCAT_PACKAGE_MAINTAINER "the vaultcat developers <vaultcat@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog: a name and an address")
set(VAULTCAT_PACKAGE_HOMEPAGE "https://vaultcat.example.org/"
    CACHE STRING "Home page named in the Debian package and its copyright file")

if(WIN32)
  install(TARGETS vaultcat RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/README.user.md DESTINATION . RENAME README.md)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/format.md DESTINATION docs)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  install(TARGETS vaultcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(VAULTCAT_PACKAGE_BUILD AND CMAKE_OBJCOPY)
    # What strip leaves and Debian's own packages drop: the compilers'
    # version strings.
    add_custom_command(TARGET vaultcat POST_BUILD
                       COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:vaultcat> VERBATIM)
  endif()

  # The changelog is written at build time, dated as the commit built from
  # (changelog.cmake); the copyright file holds LICENSE word for word.
  add_custom_target(vaultcat_changelog ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DTEMPLATE=${CMAKE_CURRENT_LIST_DIR}/changelog.in
            -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/changelog -DPROJECT_VERSION=${PROJECT_VERSION}
            -DVAULTCAT_PACKAGE_MAINTAINER=${VAULTCAT_PACKAGE_MAINTAINER} -P ${CMAKE_CURRENT_LIST_DIR}/changelog.cmake
    BYPRODUCTS ${CMAKE_CURRENT_BINARY_DIR}/changelog
    VERBATIM)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE VAULTCAT_LICENSE_TEXT)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" found "${VAULTCAT_LICENSE_TEXT}")
  set(VAULTCAT_COPYRIGHT ${CMAKE_MATCH_1})
  # A field's lines after the first start with a space; an empty one is " .".
  string(REGEX REPLACE "\n+$" "" VAULTCAT_LICENSE_TEXT "${VAULTCAT_LICENSE_TEXT}")
  string(REPLACE "\n" "\n " VAULTCAT_LICENSE_TEXT " ${VAULTCAT_LICENSE_TEXT}")
  string(REGEX REPLACE "\n \n" "\n .\n" VAULTCAT_LICENSE_TEXT "${VAULTCAT_LICENSE_TEXT}")
  string(REGEX REPLACE "\n \n" "\n .\n" VAULTCAT_LICENSE_TEXT "${VAULTCAT_LICENSE_TEXT}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/copyright @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

  # Debian keeps manual pages and changelogs gzipped at the highest level,
  # without a time stamp (-n), so that the same sources give the same bytes;
  # other documents too, once they pass 4 kB (measured at configure time,
  # which a change to them runs again). Each pair: a file, and its name
  # once installed.
  set(vaultcat_gzipped)
  foreach(pair "docs/vaultcat.1;vaultcat.1" "${CMAKE_CURRENT_BINARY_DIR}/changelog;changelog"
               "docs/README.user.md;README.md" "docs/format.md;format.md")
    list(GET pair 0 source)
    list(GET pair 1 name)
    get_filename_component(source ${source} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    if(name MATCHES "[.]md$")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
      file(SIZE ${source} size)
      if(size LESS_EQUAL 4096)
        install(FILES ${source} DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME ${name})
        continue()
      endif()
    endif()
    add_custom_command(
      OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} gzipped/${name}
      COMMAND gzip -9nf gzipped/${name}
      DEPENDS ${source}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      VERBATIM)
    list(APPEND vaultcat_gzipped ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name}.gz)
    if(NOT name STREQUAL "vaultcat.1")
      install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
    endif()
  endforeach()
  add_custom_target(gzipped_docs ALL DEPENDS ${vaultcat_gzipped})
  add_dependencies(gzipped_docs vaultcat_changelog)

  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gzipped/vaultcat.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/vaultcat.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vaultcat)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/vaultcat.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vaultcat)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_PACKAGE_NAME vaultcat)
set(CPACK_PACKAGE_VENDOR "the vaultcat developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lists, checks and extracts the files of GCF cache files")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# The Debian package: vaultcat_<version>_<architecture>.deb. Its Depends
# line comes from the libraries the program links (dpkg-shlibdeps, from
# dpkg-dev), so it names libc and the C++ runtime at the versions the build
# needs.
set(CPACK_PACKAGE_CONTACT ${VAULTCAT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_HOMEPAGE_URL ${VAULTCAT_PACKAGE_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${VAULTCAT_PACKAGE_HOMEPAGE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# fusermount3, to unmount what m mounts (and to mount as a user not root).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fuse3)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vaultcat reads GCF cache files: single-file archives that hold a tree of
folders and files whose bytes live in a pool of equal-sized data blocks
(format versions 5 and 6). It lists the whole tree, checks which files the
cache holds whole, and extracts one file byte for byte, or folders, files
or the whole cache, all or nothing (or every file held whole), or mounts
the cache read-only for any program to read. It never writes to the cache
file, and it checks every record, index and chain it reads, so a damaged
file gives a message and exit status 1.")
include(CPack)

# Install rules and packages.
#
# Elsewhere than Windows, `cmake --install` puts the program in bin/, the
# manual page in share/man/man1/ and the README and licence in
# share/doc/vaultcat/; CPack makes a .tar.gz of that. On Windows the program
# sits at the top of the package beside the README and the licence, and
# CPack makes a .zip.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS vaultcat RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  install(TARGETS vaultcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/vaultcat.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_PACKAGE_NAME vaultcat)
set(CPACK_PACKAGE_VENDOR "the vaultcat developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lists and extracts the files of GCF cache files")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
include(CPack)

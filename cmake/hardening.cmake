# Hardening of optimised native builds, as Debian builds its packages: the
# flags come from dpkg-buildflags (package dpkg-dev) with every hardening
# feature on, which on amd64 means the strong stack protector,
# _FORTIFY_SOURCE, format-string checks, and relocations read-only and bound
# at start-up (relro, bind now). Position-independent executables are the
# compiler's default on Debian, so no flag asks for them.
#
# Of what dpkg-buildflags prints, only the hardening flags are taken (not -g,
# -O2 or the file prefix map), and they go on vaultcat_options, so that each
# target gets them and no global flag changes. Left out are Debug builds
# (_FORTIFY_SOURCE needs the optimiser, and warns without it), the sanitizer
# and fuzzing builds, which check more on their own, and cross builds (the
# MinGW build among them), since the flags are the build machine's. Without
# dpkg-buildflags a build goes on unhardened; a package build stops instead.
option(VAULTCAT_HARDEN "Harden optimised native builds with the flags dpkg-buildflags gives, where it exists" ON)
find_program(VAULTCAT_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(VAULTCAT_DPKG_BUILDFLAGS)
if(VAULTCAT_PACKAGE_BUILD AND NOT (VAULTCAT_HARDEN AND VAULTCAT_DPKG_BUILDFLAGS))
  message(FATAL_ERROR "A package build is hardened with the flags of dpkg-buildflags: install dpkg-dev, "
                      "and leave VAULTCAT_HARDEN on")
endif()
if(NOT VAULTCAT_HARDEN OR NOT VAULTCAT_DPKG_BUILDFLAGS OR CMAKE_CROSSCOMPILING OR MSVC
   OR VAULTCAT_SANITIZE OR VAULTCAT_FUZZ)
  return()
endif()

set(vaultcat_hardening_compile)
set(vaultcat_hardening_link)
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${VAULTCAT_DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  foreach(flag IN LISTS flags)
    if(kind STREQUAL "LDFLAGS")
      if(flag MATCHES "^-Wl,-z,|^-pie$")
        list(APPEND vaultcat_hardening_link ${flag})
      endif()
    elseif(flag MATCHES "^-D_FORTIFY_SOURCE")
      # A compiler or CXXFLAGS that define it already would make this a
      # redefinition, which -Werror fails.
      list(APPEND vaultcat_hardening_compile -U_FORTIFY_SOURCE ${flag})
    elseif(flag MATCHES "^-f(stack-protector|stack-clash-protection|cf-protection|PIE$)|^-mbranch-protection=|^-Wformat|^-Werror=format-security$")
      list(APPEND vaultcat_hardening_compile ${flag})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES vaultcat_hardening_compile)
string(JOIN " " shown ${vaultcat_hardening_compile} ${vaultcat_hardening_link})
message(STATUS "Hardening flags, from dpkg-buildflags (not in Debug builds): ${shown}")
target_compile_options(vaultcat_options INTERFACE "$<$<NOT:$<CONFIG:Debug>>:${vaultcat_hardening_compile}>")
target_link_options(vaultcat_options INTERFACE "$<$<NOT:$<CONFIG:Debug>>:${vaultcat_hardening_link}>")

# Cross-compiles a 64-bit Windows console program with Debian's MinGW-w64
# compilers, the posix-threads flavour (package g++-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVAULTCAT_BUILD_TESTS=OFF
#
# The program links its runtime statically (see the top-level CMakeLists),
# so vaultcat.exe needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VAULTCAT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VAULTCAT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VAULTCAT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VAULTCAT_MINGW_TRIPLE}-windres)

# Libraries and headers come from the cross sysroot only; build tools from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VAULTCAT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

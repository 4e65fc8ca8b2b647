# Cross build of the Windows DLLs with MinGW-w64 (posix thread model) for
# the architecture in KIOSKKIT_MINGW_ARCH (x86_64 or i686): included by the
# toolchain file of each architecture, mingw-w64-<arch>.cmake.
set(arch ${KIOSKKIT_MINGW_ARCH})
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${arch})
set(CMAKE_C_COMPILER ${arch}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${arch}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${arch}-w64-mingw32-windres)
set(CMAKE_DLLTOOL ${arch}-w64-mingw32-dlltool)
set(CMAKE_OBJDUMP ${arch}-w64-mingw32-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${arch}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

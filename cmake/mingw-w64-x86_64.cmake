# Cross build of the Windows DLLs for x86_64 with MinGW-w64.
set(KIOSKKIT_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

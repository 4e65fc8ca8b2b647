# Cross build of the Windows DLLs for i686 with MinGW-w64.
set(KIOSKKIT_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

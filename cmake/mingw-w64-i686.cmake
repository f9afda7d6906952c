# Cross build for 32-bit Windows with MinGW-w64 on Debian: the build that
# loads the 32-bit driver libraries. Machines without 32-bit kernel support
# cannot run what it makes, Wine included.
set(HWDS_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

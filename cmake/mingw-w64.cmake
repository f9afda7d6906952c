# What the MinGW-w64 cross builds on Debian share; the file of each target
# sets HWDS_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR, then includes this one.
# The compilers of the posix thread model: the win32 model has no std::thread
# or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${HWDS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HWDS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HWDS_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HWDS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads linked in: the programs and driver
# libraries run on a bare Windows, with no MinGW DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Tests and test discovery run the programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

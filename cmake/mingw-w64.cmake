# Cross-builds for 64-bit Windows with Debian's mingw-w64 compilers (POSIX thread model, so
# std::thread and std::mutex work). The programs link the C++ and C runtimes statically: the
# build folder runs on a bare Windows without any DLL of the tool chain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TUNOVA_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TUNOVA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TUNOVA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TUNOVA_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TUNOVA_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

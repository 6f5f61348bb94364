# Cross-compiling for 64-bit Windows with the posix-thread flavour of mingw-w64; the modules loaded into
# other processes take the C++ runtime of the flavour without a thread library (CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(WIASTIIO_MINGW_TARGET x86_64-w64-mingw32)
set(WIASTIIO_MINGW_GCC_DIR_WIN32 /usr/lib/gcc/${WIASTIIO_MINGW_TARGET}/12-win32)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under Wine, in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")

# Cross-compiling for 64-bit Windows with clang and lld against the mingw-w64 runtime, so that the debug
# information can be CodeView in a PDB beside each binary. clang finds the mingw-w64 headers and
# libraries but not which of gcc's two libstdc++ flavours to use: CMakeLists.txt gives each target its
# flavour's folders, the posix-thread one (with winpthreads after libstdc++) or the one without a
# thread library.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(WIASTIIO_MINGW_TARGET x86_64-w64-mingw32)
set(WIASTIIO_MINGW_GCC_DIR_POSIX /usr/lib/gcc/${WIASTIIO_MINGW_TARGET}/12-posix)
set(WIASTIIO_MINGW_GCC_DIR_WIN32 /usr/lib/gcc/${WIASTIIO_MINGW_TARGET}/12-win32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${WIASTIIO_MINGW_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${WIASTIIO_MINGW_TARGET})
set(CMAKE_RC_COMPILER ${WIASTIIO_MINGW_TARGET}-windres)
# lld 16 links: lld 14 numbers a DLL's exports from an ordinal base of 0, with an empty ordinal 0.
find_program(WIASTIIO_LLD NAMES ld.lld-16 REQUIRED)
set(WIASTIIO_LINK_FLAGS "-fuse-ld=lld --ld-path=${WIASTIIO_LLD}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${WIASTIIO_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${WIASTIIO_LINK_FLAGS}")
# Which runtime folder a program links against is each target's own; the compiler checks only compile.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH /usr/${WIASTIIO_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")

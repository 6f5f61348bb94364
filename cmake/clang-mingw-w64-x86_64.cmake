# Cross-compiling for 64-bit Windows with clang and lld against the mingw-w64 runtime (the posix-thread
# flavour of its libstdc++), so that the debug information can be CodeView in a PDB beside each binary.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(WIASTIIO_MINGW_TARGET x86_64-w64-mingw32)
set(WIASTIIO_MINGW_GCC_DIR /usr/lib/gcc/${WIASTIIO_MINGW_TARGET}/12-posix)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${WIASTIIO_MINGW_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${WIASTIIO_MINGW_TARGET})
set(CMAKE_RC_COMPILER ${WIASTIIO_MINGW_TARGET}-windres)
# clang finds the mingw-w64 headers and libraries but not which of gcc's two libstdc++ flavours to use.
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${WIASTIIO_MINGW_GCC_DIR}/include/c++ -isystem ${WIASTIIO_MINGW_GCC_DIR}/include/c++/${WIASTIIO_MINGW_TARGET}")
# lld 16 links: lld 14 numbers a DLL's exports from an ordinal base of 0, with an empty ordinal 0.
# The static libstdc++ needs winpthreads after it (-pthread puts -lpthread there).
find_program(WIASTIIO_LLD NAMES ld.lld-16 REQUIRED)
set(WIASTIIO_LINK_FLAGS "-fuse-ld=lld --ld-path=${WIASTIIO_LLD} -pthread -L${WIASTIIO_MINGW_GCC_DIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${WIASTIIO_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${WIASTIIO_LINK_FLAGS}")
set(CMAKE_FIND_ROOT_PATH /usr/${WIASTIIO_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")

# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain
# (apt-get install g++-mingw-w64-x86-64-posix libz-mingw-w64-dev):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The result is a static rawgraft.exe that needs no MinGW DLL beside it, so
# it can be copied to a Windows machine alone or run under Wine as it is.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RAWGRAFT_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER
  NAMES ${RAWGRAFT_MINGW_TRIPLET}-g++-posix ${RAWGRAFT_MINGW_TRIPLET}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${RAWGRAFT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link libgcc, libstdc++ and winpthread into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# And zlib: find_package(ZLIB) takes libz-mingw-w64-dev's libz.a under the
# root path, not the import library of a zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

# CTest and try_run start Windows programs through the Wine launcher,
# quietly and in a prefix of their own; it says so when Wine is missing.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR
  "${CMAKE_CURRENT_LIST_DIR}/../tests/windows/run_under_wine.sh" ABSOLUTE)

# Cross-compiles the updater for Windows with mingw-w64 (the POSIX-threads flavour, for
# std::thread), on a Debian machine:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The build's own programs (fwimage, which makes the images, and the tests) run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_ASM_COMPILER ${MINGW_TRIPLET}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: a program runs in any Wine prefix (or on Windows) with no DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine runs what the build runs (fwimage at build time, the tests under CTest), in a prefix of
# the build's own that is made on first use.
find_program(UPDATER_WINE NAMES wine wine64)
if(UPDATER_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run;${CMAKE_BINARY_DIR}/wine-prefix)
endif()

# Cross-compiles ringlens for 64-bit Windows with Debian's mingw-w64
# compilers (package g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DRINGLENS_BUILD_TESTS=OFF
# The program is linked statically, so ringlens.exe needs no DLL beyond
# those Windows itself provides.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
# The win32-threads compiler is enough for a single-threaded program and
# needs no winpthread DLL; fall back to the default name where it is absent.
find_program(MINGW_CXX NAMES ${MINGW_TRIPLET}-g++-win32 ${MINGW_TRIPLET}-g++ REQUIRED)
find_program(MINGW_CC NAMES ${MINGW_TRIPLET}-gcc-win32 ${MINGW_TRIPLET}-gcc)
find_program(MINGW_RC NAMES ${MINGW_TRIPLET}-windres)
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
if(MINGW_CC)
  set(CMAKE_C_COMPILER ${MINGW_CC})
endif()
if(MINGW_RC)
  set(CMAKE_RC_COMPILER ${MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Whatever runs the built programs on this machine (try_run, tests).
find_program(WINE_PROGRAM NAMES wine wine64)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()

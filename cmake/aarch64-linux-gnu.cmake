# Cross-compiles ringlens for aarch64 Linux with Debian's cross compiler
# (package g++-aarch64-linux-gnu):
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DRINGLENS_BUILD_TESTS=OFF
# The programs are linked statically, so qemu-user runs them on this
# machine without a tree of the other architecture's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CROSS_TRIPLET aarch64-linux-gnu)
find_program(CROSS_CXX NAMES ${CROSS_TRIPLET}-g++ REQUIRED)
find_program(CROSS_CC NAMES ${CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_CXX})
if(CROSS_CC)
  set(CMAKE_C_COMPILER ${CROSS_CC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(QEMU_PROGRAM NAMES qemu-aarch64 qemu-aarch64-static)
if(QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_PROGRAM})
endif()

# Cross-compiles ringlens for s390x Linux with Debian's cross compiler
# (package g++-s390x-linux-gnu):
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake \
#         -DRINGLENS_BUILD_TESTS=OFF
# The programs are linked statically, so qemu-user runs them on this
# machine without a tree of the other architecture's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(CROSS_TRIPLET s390x-linux-gnu)
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

find_program(QEMU_PROGRAM NAMES qemu-s390x qemu-s390x-static)
if(QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_PROGRAM})
endif()

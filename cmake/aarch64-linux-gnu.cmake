# Cross-compiles the Linux tools for arm64 with Debian's GCC for
# aarch64-linux-gnu, and runs what the tests run of them under qemu's user
# mode (Debian's qemu-user-static):
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

find_program(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
find_program(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
if(NOT CMAKE_CXX_COMPILER)
  message(FATAL_ERROR "The arm64 build needs aarch64-linux-gnu-g++ (apt-get install -y g++-aarch64-linux-gnu)")
endif()
find_program(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

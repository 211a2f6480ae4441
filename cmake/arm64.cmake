# SPDX-License-Identifier: MIT
# arm64, a processor without an I/O port space, built with Debian's cross
# compiler; its tests run the binary under qemu-aarch64, where there is one
# (Debian 13's qemu-user for i386 has none).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
find_program(LPTLINE_QEMU_AARCH64 qemu-aarch64)
if(LPTLINE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LPTLINE_QEMU_AARCH64})
endif()

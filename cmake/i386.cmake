# SPDX-License-Identifier: MIT
# The 32-bit PC, built with Debian's i686 cross compiler rather than
# gcc-multilib, which Debian's other cross compilers refuse to sit beside.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

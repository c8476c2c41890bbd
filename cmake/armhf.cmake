# Cross build for the device: 32-bit ARM, hard float (Debian's armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run under user-mode QEMU; the binaries are static, so no sysroot is
# needed at run time.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "")

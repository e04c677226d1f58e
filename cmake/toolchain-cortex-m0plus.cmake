# Bare-metal Cortex-M0+ with the Arm GNU toolchain and newlib (Debian's
# gcc-arm-none-eabi and libnewlib-arm-none-eabi): the node library as a
# node's firmware would build it. Programs link with nosys specs, so they
# build but are not meant to run here.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_AR arm-none-eabi-ar)
set(CMAKE_RANLIB arm-none-eabi-ranlib)
set(CMAKE_SIZE arm-none-eabi-size)

# Without an operating system a test program cannot link before the flags
# below are known; the compiler check builds a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Each function and object in its own section, so that the linker drops what
# a firmware does not use; no heap is linked in (the library never allocates).
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-m0plus -mthumb -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "-Os -DNDEBUG")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-mcpu=cortex-m0plus -mthumb -specs=nosys.specs -Wl,--gc-sections")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

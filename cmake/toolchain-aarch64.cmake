# Cross build for the 64-bit ARM board (aarch64, glibc) on a Debian host whose
# arm64 libraries are installed through multiarch (scripts/install-deps.sh
# --aarch64). Test programs run under qemu's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps the arm64 libraries under /usr/lib/aarch64-linux-gnu of the
# host's own root, so the host root is the target root too; programs found
# while building are host programs.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only the arm64 .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# -L / lets qemu find the arm64 dynamic loader and libraries of multiarch.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-aarch64;-L;/")

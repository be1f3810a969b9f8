# Cross build for 32-bit ARM hard-float (armv7, Debian armhf) with Debian's
# crossbuild-essential-armhf and the armhf -dev packages (dpkg
# --add-architecture armhf). Programs built here run under qemu-arm (ctest
# uses the emulator below); QEMU_CPU picks the model.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
# GCC notes at every std::sort that the argument passing of some types
# changed in GCC 7.1: everything here is built by one compiler, so it is noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

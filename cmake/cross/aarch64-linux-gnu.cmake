# Cross build for 64-bit ARM with Debian's crossbuild-essential-arm64 and the
# arm64 -dev packages (dpkg --add-architecture arm64). Programs built here run
# under qemu-aarch64 (ctest uses the emulator below); QEMU_CPU picks the model.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

#!/usr/bin/env bash
# Cross-builds ostrel for 64-bit ARM (aarch64) or 32-bit ARM hard-float
# (armhf) with Debian's cross compilers and runs every test under qemu-user:
#
# 1. the C++ suite and the Python suite against the build tree (build-<arch>/),
#    the Python suite in the target's Python of a minimal Debian tree
#    (build-roots/<debian arch>/, scripts/target-root.sh), once per processor:
#    - aarch64: cortex-a72 (NEON only, as in a Raspberry Pi 4) and max (SVE
#      and SVE2); the kernel test also at 128- and 256-bit SVE, where
#      Highway picks its SVE2_128 and SVE_256 targets;
#    - armhf: cortex-a7 (as in a Raspberry Pi 2 or a Zero 2 in 32-bit mode);
# 2. the wheel (build-dist/ostrel-<version>-cp311-abi3-linux_<aarch64|armv7l>.whl)
#    installed into a virtual environment of the same tree, with the Python
#    suite against the installed module (scripts/test-wheel.sh).
#
# OSTREL_EMULATED=1 is set for every run: long tests shrink their sizes.
#
#   scripts/test-cross.sh aarch64|armhf
#
# Environment: JOBS (default 2), CI=true (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  aarch64) DEB=arm64 TRIPLET=aarch64-linux-gnu WHEEL_ARCH=aarch64 CPUS=(cortex-a72 max) ;;
  armhf) DEB=armhf TRIPLET=arm-linux-gnueabihf WHEEL_ARCH=armv7l CPUS=(cortex-a7) ;;
  *) echo "usage: scripts/test-cross.sh aarch64|armhf" >&2; exit 2 ;;
esac
ARCH=$1
JOBS="${JOBS:-2}"
WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi
BUILD=build-$ARCH
ROOT=$PWD/build-roots/$DEB
export OSTREL_EMULATED=1

bash scripts/setup.sh --cross
bash scripts/target-root.sh "$DEB" "$ROOT"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/cross/$TRIPLET.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=$WERROR -DOSTREL_BUILD_BENCH=OFF \
      -DPython3_EXECUTABLE=/usr/bin/python3 -DOSTREL_TEST_PYTHON="$ROOT/usr/bin/qemu-python3"
cmake --build "$BUILD" -j "$JOBS"

for cpu in "${CPUS[@]}"; do
  echo "test-cross: $ARCH on $cpu"
  QEMU_CPU=$cpu ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
done
if [ "$ARCH" = aarch64 ]; then
  for bytes in 16 32; do
    echo "test-cross: kernels on $((bytes * 8))-bit SVE"
    QEMU_CPU=max,sve-default-vector-length=$bytes qemu-aarch64 "$BUILD/kernels_test" \
      --gtest_brief=1
  done
fi

VERSION=$(sed -n 's/^project(ostrel VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
WHEEL=build-dist/ostrel-$VERSION-cp311-abi3-linux_$WHEEL_ARCH.whl
rm -f "$WHEEL"
OSTREL_TARGET=$WHEEL_ARCH JOBS="$JOBS" /usr/bin/python3 -m build --no-isolation --wheel \
  --outdir build-dist .
QEMU_CPU=${CPUS[-1]} bash scripts/test-wheel.sh "$WHEEL" "$DEB"

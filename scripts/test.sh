#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ unit tests and the Python
# suite (build/), the Python suite against the installed wheel (build-wheel/),
# then C++ and Python again under AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), the concurrency tests under
# ThreadSanitizer (build-tsan/), then a short fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --cross  # --cross: the ARM builds of the platforms block below
JOBS="${JOBS:-2}"
WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=$WERROR \
      -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS"

# The wheel (build-wheel/), installed into a fresh virtual environment: the
# Python suite runs against the installed module, which must be the one in the
# environment's site-packages with its type stub and py.typed beside it. A
# wheel that lacks a file or carries another version or tag fails here.
VERSION=$(sed -n 's/^project(ostrel VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
VENV=$PWD/build-wheel/venv
rm -rf build-wheel/dist "$VENV"
JOBS="$JOBS" /usr/bin/python3 -m build --no-isolation --wheel --outdir build-wheel/dist .
/usr/bin/python3 -m venv --system-site-packages "$VENV"
"$VENV/bin/pip" install -q --no-index \
  "build-wheel/dist/ostrel-$VERSION-cp311-abi3-linux_$(uname -m).whl"
(
  cd "$VENV"  # the current directory is on sys.path: no ostrel here
  unset PYTHONPATH OSTREL_MODULE_DIR
  export PYTHONDONTWRITEBYTECODE=1
  SITE=$(bin/python -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
  bin/python - "$SITE" <<'EOF'
import pathlib, sys, ostrel
module, site = pathlib.Path(ostrel.__file__), pathlib.Path(sys.argv[1])
assert sys.prefix != sys.base_prefix and module == site / "ostrel.abi3.so", module
assert (site / "ostrel.pyi").is_file() and (site / "py.typed").is_file(), sorted(site.iterdir())
print("installed:", module)
EOF
  # conftest.py checks that the suite imports the module from $SITE.
  OSTREL_MODULE_DIR="$SITE" bin/python -m pytest -q -p no:cacheprovider ../../tests/python
)

# The same tests again, C++ and Python, with AddressSanitizer and
# UndefinedBehaviorSanitizer (the Python suite loads a sanitized copy of the
# module into an interpreter started with the sanitizer runtimes). The engine
# model runs 16 sequences there: the sanitized Debug build is about 15 times
# slower.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON \
      -DOSTREL_WERROR=$WERROR -DOSTREL_BUILD_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 OSTREL_MODEL_SEQUENCES=16 \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS"

# The engine's tests with ThreadSanitizer: concurrent adds, purges and
# filtered searches, and scoring split over pools of several sizes.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_TSAN=ON \
      -DOSTREL_WERROR=$WERROR -DOSTREL_BUILD_BENCH=OFF -DOSTREL_BUILD_PYTHON=OFF
cmake --build build-tsan -j "$JOBS" --target core_test
TSAN_OPTIONS=halt_on_error=1 OSTREL_MODEL_SEQUENCES=16 build-tsan/core_test

# Time-boxed fuzzing of the parsers, the filter engine and the search
# pipeline against its model (clang, libFuzzer).
FUZZ_SECONDS="${FUZZ_SECONDS:-20}" bash scripts/fuzz.sh

# --- Platforms --------------------------------------------------------------
# The x86-64 wheel once more, installed into a minimal Debian tree that has no
# libroaring0 and no libhwy1 (chroot): the wheel must carry what it needs.
# Then aarch64 and armhf: cross-built, every C++ and Python test under
# qemu-user (aarch64 on a Cortex-A72 and on the "max" CPU with SVE2, armhf on
# a Cortex-A7), and each wheel in its target's tree (scripts/test-cross.sh).
bash scripts/test-wheel.sh build-wheel/dist/ostrel-*-cp311-abi3-linux_"$(uname -m)".whl \
  "$(dpkg --print-architecture)"
JOBS="$JOBS" bash scripts/test-cross.sh aarch64
JOBS="$JOBS" bash scripts/test-cross.sh armhf
# --- end of platforms -------------------------------------------------------

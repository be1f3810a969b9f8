#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ unit tests and the Python
# suite (build/), then the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
JOBS="${JOBS:-2}"
WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=$WERROR \
      -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON \
      -DOSTREL_WERROR=$WERROR -DOSTREL_BUILD_BENCH=OFF -DOSTREL_BUILD_PYTHON=OFF
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS" -L cpp

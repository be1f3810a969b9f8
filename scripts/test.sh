#!/usr/bin/env bash
# Sets up, builds and runs every test: the C++ unit tests and the Python
# suite (build/), then both again under AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/), then a short fuzzing run.
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

# The same tests again, C++ and Python, with AddressSanitizer and
# UndefinedBehaviorSanitizer (the Python suite loads a sanitized copy of the
# module into an interpreter started with the sanitizer runtimes).
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON \
      -DOSTREL_WERROR=$WERROR -DOSTREL_BUILD_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS"

# Time-boxed fuzzing of the parsers and the filter engine (clang, libFuzzer).
FUZZ_SECONDS="${FUZZ_SECONDS:-20}" bash scripts/fuzz.sh

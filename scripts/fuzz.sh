#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/<name>_fuzz.cpp) with clang into
# build-fuzz/ and runs each for a bounded time on a scratch copy of its seed
# corpus (tests/fuzz/corpus/<name>/), so the repository's corpus is never
# written to. Prints the executions of every target; exits non-zero if any
# target crashes, leaks, times out or reports undefined behaviour. Crashing
# inputs are kept under build-fuzz/artifacts/<name>/.
#
# Environment: FUZZ_SECONDS (per target, default 20), FUZZ_MAX_LEN (default
# 4096), JOBS (build parallelism, default 2), CI=true (warnings are errors,
# as in scripts/test.sh). Installs nothing: run scripts/setup.sh first
# (clang and libclang-rt-14-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"

FUZZ_SECONDS="${FUZZ_SECONDS:-20}"
FUZZ_MAX_LEN="${FUZZ_MAX_LEN:-4096}"
JOBS="${JOBS:-2}"
BUILD="$ROOT/build-fuzz"

for tool in clang clang++ cmake ninja; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "fuzz: $tool not found; run scripts/setup.sh first" >&2
    exit 2
  fi
done

WERROR=OFF
if [ "${CI:-}" = "true" ]; then WERROR=ON; fi
CXX=clang++ CC=clang cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTREL_FUZZ=ON -DOSTREL_WERROR=$WERROR -DOSTREL_BUILD_BENCH=OFF -DOSTREL_BUILD_PYTHON=OFF \
  >/dev/null

targets=()
for src in "$ROOT"/tests/fuzz/*_fuzz.cpp; do
  [ -e "$src" ] || continue
  targets+=("$(basename "$src" .cpp)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets under tests/fuzz/" >&2
  exit 2
fi
cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}"

SCRATCH="$(mktemp -d "${TMPDIR:-/tmp}/ostrel-fuzz.XXXXXX")"
trap 'rm -rf "$SCRATCH"' EXIT

# Undefined behaviour must stop the run like a crash does.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# A smaller quarantine than the default 256 MiB keeps each target's resident
# memory near 300 MiB instead of 900; options given by the caller win.
export ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=64${ASAN_OPTIONS:+:$ASAN_OPTIONS}"

failed=()
summary=()
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  corpus="$SCRATCH/corpus-$name"
  mkdir -p "$corpus" "$BUILD/artifacts/$name"
  if [ -d "$ROOT/tests/fuzz/corpus/$name" ]; then
    cp -R "$ROOT/tests/fuzz/corpus/$name/." "$corpus/"
  fi
  log="$SCRATCH/$target.log"
  echo "fuzz: $target for ${FUZZ_SECONDS}s"
  status=0
  "$BUILD/$target" "$corpus" -max_total_time="$FUZZ_SECONDS" -max_len="$FUZZ_MAX_LEN" \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$name/" \
    >"$log" 2>&1 || status=$?
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  summary+=("$(printf '%-12s %12s executions  exit %d' "$target" "${execs:-?}" "$status")")
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "fuzz: $target FAILED (exit $status); end of its log (the crashing input is" \
      "named on the 'Test unit written to' line):" >&2
    tail -n 60 "$log" >&2
  fi
done

echo "fuzz: results (${FUZZ_SECONDS}s per target)"
printf '  %s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failing targets: ${failed[*]}" >&2
  exit 1
fi

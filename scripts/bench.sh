#!/usr/bin/env bash
# Compares ostrel with numpy brute force, faiss and hnswlib (bench/compare.py):
# installs what is missing (the peers come from Debian: python3-faiss,
# python3-hnswlib), builds the module in Release into build-release/, runs the
# comparison and writes bench/results/<YYYY-MM-DD>.md. Arguments are passed to
# compare.py, e.g. `bash scripts/bench.sh --peer-threads 2`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh python3-hnswlib python3-faiss
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=OFF \
      -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build-release --target ostrel -j "${JOBS:-2}"
PYTHONPATH=build-release/python exec /usr/bin/python3 bench/compare.py --build-dir build-release "$@"

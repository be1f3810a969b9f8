#!/usr/bin/env bash
# Compares ostrel with numpy brute force, faiss and hnswlib (bench/compare.py):
# installs what is missing (from Debian: the peers python3-faiss and
# python3-hnswlib, and python3-matplotlib for the plots), builds the module in
# Release into build-release/ (with the vector_bench program, for the encoding
# time), runs the comparison and writes
# bench/results/<YYYY-MM-DD>.md with its recall-versus-latency plots
# (<YYYY-MM-DD>-d128.png, -d768.png). Arguments are passed to compare.py, e.g.
# `bash scripts/bench.sh --quick` (smoke test), `--skip-big` (no 1M-document
# row) or `--peer-threads 1` (the peers run with their default threads otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh python3-hnswlib python3-faiss python3-matplotlib
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON \
      -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build-release --target ostrel vector_bench -j "${JOBS:-2}"
PYTHONPATH=build-release/python exec /usr/bin/python3 bench/compare.py --build-dir build-release \
    --encode-bench build-release/vector_bench "$@"

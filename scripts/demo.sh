#!/usr/bin/env bash
# Builds the Python module into build/ and runs the package-search demo
# (examples/package_search.py) on the packages installed on this machine.
# Arguments are passed to the demo, e.g. `bash scripts/demo.sh --no-pad`.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build build --target ostrel -j "${JOBS:-2}"
echo
PYTHONPATH=build/python exec /usr/bin/python3 examples/package_search.py "$@"

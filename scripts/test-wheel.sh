#!/usr/bin/env bash
# Installs a wheel into a fresh virtual environment of a minimal Debian tree
# of the wheel's architecture (build-roots/<arch>/, scripts/target-root.sh:
# Python, numpy and pytest, but no libroaring0 and no libhwy1), checks that
# the module and the libraries it loads come from the wheel
# (scripts/check_wheel.py) and runs the Python suite against it. The tree is
# entered with chroot for this machine's architecture and run under
# qemu-user (QEMU_CPU from the caller) for another.
#
#   scripts/test-wheel.sh WHEEL amd64|arm64|armhf
#
# Run as root, after scripts/setup.sh --cross.
set -euo pipefail
cd "$(dirname "$0")/.."
WHEEL=$(realpath "$1")
ARCH=$2
ROOT=$PWD/build-roots/$ARCH
bash scripts/target-root.sh "$ARCH" "$ROOT"

# Everything the run needs is copied into the tree, the suite with the README
# and the examples that it runs: a chroot sees nothing else.
rm -rf "$ROOT/ostrel-test"
mkdir -p "$ROOT/ostrel-test/tests"
cp "$WHEEL" scripts/check_wheel.py README.md "$ROOT/ostrel-test/"
cp -R tests/python "$ROOT/ostrel-test/tests/python"
cp -R examples "$ROOT/ostrel-test/examples"
find "$ROOT/ostrel-test" -name __pycache__ -prune -exec rm -rf {} +

# in_root CMD ARGS...: runs a program of the tree with the variables in RUN_ENV.
if [ "$ARCH" = "$(dpkg --print-architecture)" ]; then
  # A private mount namespace holds the tree's /proc for the run alone.
  mkdir -p "$ROOT/proc"
  in_root() {
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp USER=root "${RUN_ENV[@]}" \
      unshare --mount --propagation private -- \
      sh -c 'root=$1; shift; mount -t proc proc "$root/proc" && exec chroot "$root" "$@"' \
      sh "$ROOT" "$@"
  }
  TEST=/ostrel-test
  PYTHON=/usr/bin/python3
else
  in_root() { (cd "$ROOT/ostrel-test" && env "${RUN_ENV[@]}" "$@"); }
  TEST=$ROOT/ostrel-test
  PYTHON=$ROOT/usr/bin/qemu-python3
fi

RUN_ENV=(PYTHONDONTWRITEBYTECODE=1)
in_root "$PYTHON" -m venv --without-pip --system-site-packages "$TEST/venv"
in_root "$TEST/venv/bin/python" -m pip install -q --no-index --no-cache-dir \
  --root-user-action=ignore "$TEST/$(basename "$WHEEL")"
SITE=$(in_root "$TEST/venv/bin/python" "$TEST/check_wheel.py")
# conftest.py checks that the suite imports the module from $SITE.
RUN_ENV+=(OSTREL_MODULE_DIR="$SITE")
in_root "$TEST/venv/bin/python" -m pytest -q -p no:cacheprovider "$TEST/tests/python"

#!/usr/bin/env bash
# Installs everything ostrel needs to build and test, from Debian packages.
# Idempotent: installs only what is missing, and runs `apt-get update` once.
#
# `--cross` also installs what the ARM builds need (scripts/test-cross.sh,
# OSTREL_TARGET wheels): the cross compilers, the arm64 and armhf libraries
# (dpkg --add-architecture), qemu-user, mmdebstrap and patchelf. Other
# arguments are more packages (the benchmark script adds the peers).
set -euo pipefail

PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libroaring-dev rapidjson-dev libhwy-dev
          libgtest-dev libbenchmark-dev python3-dev python3-pytest python3-numpy
          python3-setuptools python3-wheel python3-venv python3-pip python3-build)
PACKAGES+=(python3-mypy)  # tests/python/test_docs.py checks the README and examples against the stub
# --- cross builds (ARM) -------------------------------------------------------
CROSS_ARCHES=()
if [ "${1:-}" = "--cross" ]; then
  shift
  CROSS_ARCHES=(arm64 armhf)
  PACKAGES+=(crossbuild-essential-arm64 crossbuild-essential-armhf qemu-user mmdebstrap patchelf)
  for arch in "${CROSS_ARCHES[@]}"; do
    PACKAGES+=("libroaring-dev:$arch" "libhwy-dev:$arch" "libgtest-dev:$arch"
               "libpython3.11-dev:$arch")
  done
fi
# --- end of cross builds ------------------------------------------------------
PACKAGES+=("$@")  # callers may ask for more (the benchmark script adds the peers and matplotlib)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
# Foreign architectures first: the one update below then fetches their lists.
for arch in "${CROSS_ARCHES[@]}"; do
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $SUDO dpkg --add-architecture "$arch"
  fi
done
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

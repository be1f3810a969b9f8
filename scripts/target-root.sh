#!/usr/bin/env bash
# Makes a minimal Debian tree of another architecture (or of this one) in
# which the Python suite runs: python3, python3-numpy, python3-pytest and
# python3-pip with their libraries, and nothing of ostrel's build (no
# libroaring0, no libhwy1). `mmdebstrap --variant=extract` unpacks the
# packages without running their maintainer scripts, so the BLAS and LAPACK
# links that numpy needs and dpkg's list of installed packages are made here.
#
# For a foreign architecture the tree gets usr/bin/qemu-python3, which runs
# the tree's Python under qemu-user (QEMU_CPU picks the processor). Python
# started through it, or through a virtual environment made with it, starts
# its child interpreters through it too.
#
#   scripts/target-root.sh arm64|armhf|amd64 DIR
#
# Packages come from the Debian mirrors this machine's apt uses, for its
# release. Does nothing when DIR is already complete. Run as root, after
# scripts/setup.sh --cross (mmdebstrap, qemu-user).
set -euo pipefail
ARCH=$1
ROOT=$(realpath -m "$2")
case "$ARCH" in
  arm64) TRIPLET=aarch64-linux-gnu QEMU=qemu-aarch64 ;;
  armhf) TRIPLET=arm-linux-gnueabihf QEMU=qemu-arm ;;
  amd64) TRIPLET=x86_64-linux-gnu QEMU= ;;
  *) echo "target-root: unknown architecture $ARCH" >&2; exit 2 ;;
esac
DONE="$ROOT/.ostrel-root"
if [ -e "$DONE" ]; then exit 0; fi
rm -rf "$ROOT"
mkdir -p "$(dirname "$ROOT")"

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  if [ -s "$f" ] && grep -q '^[^#]*debian\.org/debian' "$f"; then sources+=("$f"); fi
done
if [ ${#sources[@]} -eq 0 ]; then sources=(http://deb.debian.org/debian); fi
. /etc/os-release
mmdebstrap --quiet --variant=extract --architectures="$ARCH" --skip=cleanup/apt/cache \
  --include=python3,python3-numpy,python3-pytest,python3-pip,libstdc++6 \
  "$VERSION_CODENAME" "$ROOT" "${sources[@]}"

# dpkg's status as configuring the packages would have written it (the demo,
# examples/package_search.py, indexes it); then the downloaded packages go.
for deb in "$ROOT"/var/cache/apt/archives/*.deb; do
  dpkg-deb --field "$deb" | sed '/^Package:/a Status: install ok installed'
  echo
done >"$ROOT/var/lib/dpkg/status"
rm -f "$ROOT"/var/cache/apt/archives/*.deb

# What update-alternatives would have made.
ln -sf blas/libblas.so.3 "$ROOT/usr/lib/$TRIPLET/libblas.so.3"
ln -sf lapack/liblapack.so.3 "$ROOT/usr/lib/$TRIPLET/liblapack.so.3"

if [ -n "$QEMU" ]; then
  # argv[0] is this file as it was called: Python finds its prefix (or the
  # virtual environment whose bin/python links here) from it, and runs
  # sys.executable, that is this file again, for child interpreters.
  cat >"$ROOT/usr/bin/qemu-python3" <<WRAPPER
#!/bin/sh
exec $QEMU -L "$ROOT" -0 "\$0" "$ROOT/usr/bin/python3" "\$@"
WRAPPER
  chmod 755 "$ROOT/usr/bin/qemu-python3"
fi
touch "$DONE"

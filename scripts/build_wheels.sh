#!/bin/sh
# Binary wheels that install without a compiler on glibc 2.31 and later:
# x86_64 for every CPython 3.9-3.13 that pyenv has here; aarch64 and armv7l
# for the Pythons that Debian-based board systems ship (3.9 on Debian 11,
# 3.11 on Debian 12, 3.13 on Debian 13), each built against that
# interpreter's own headers (for ARM, from a tree of that release); and
# armv6l for the same three, for Raspberry Pi OS on the Pi 1 and Pi Zero.
# Each is installed and called in its own interpreter (scripts/wheels.sh);
# an ARM wheel's emulated trial runs while the next wheel compiles.
#
#   sh scripts/build_wheels.sh [OUTDIR]     (default dist/; needs root for ARM)
#
# QUILLMERE_WHEEL_MACHINES (e.g. "x86_64 armv6l") and QUILLMERE_WHEEL_MINORS
# (e.g. "11") narrow the build while working on it. A release the mirror
# cannot give is reported and its wheels are skipped.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
. scripts/rootfs.sh
. scripts/wheels.sh
started=$(date +%s)
# Nothing started here outlives the stage, even when it fails.
trap 'wait' EXIT

out="${1:-dist}"
case "$out" in /*) ;; *) out="$REPO/$out" ;; esac
machines="${QUILLMERE_WHEEL_MACHINES:-x86_64 aarch64 armv7l armv6l}"
minors="${QUILLMERE_WHEEL_MINORS:-9 10 11 12 13}"

# x86_64 first: its trials need no tree, and the trees of the ARM releases
# are made meanwhile only if the cache lacks them.
for machine in $machines; do
  for minor in $minors; do
    if [ "$machine" != x86_64 ] && [ -z "$(wheel_release "$minor")" ]; then
      continue
    fi
    done_this_run "wheel-$machine-$minor" || wheel_build "$machine" "$minor"
  done
done
status=0
wheel_wait || status=$?

mkdir -p "$out"
shipped=""
for machine in $machines; do
  for minor in $minors; do
    wheel=$(wheel_path "$machine" "$minor")
    [ -n "$wheel" ] || continue
    cp "$wheel" "$out/"
    shipped="$shipped $(basename "$wheel")"
  done
done
echo "== wheels in $out:$shipped"
echo "== wheel stage took $(elapsed "$started")"
exit "$status"

#!/bin/sh
# Builds the release tree and runs every benchmark in build/bin (bench_*).
set -e
cd "$(dirname "$0")/.."
VELMORA_EXTRA_PACKAGES="ffmpeg" scripts/deps.sh
scripts/build.sh release
for b in build/bin/bench_*; do
  [ -x "$b" ] || continue
  echo "== $b"
  "$b" "$@"
done

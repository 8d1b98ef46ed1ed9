#!/bin/sh
# Builds the release tree and runs every benchmark in build/bin (bench_*).
set -e
cd "$(dirname "$0")/.."
# libavcodec is the anchor bench_quenda and bench_g7231 are measured against;
# without it those two are not built.
VELMORA_EXTRA_PACKAGES="ffmpeg libavcodec-dev libavutil-dev" scripts/deps.sh
scripts/build.sh release
for b in build/bin/bench_*; do
  [ -x "$b" ] || continue
  echo "== $b"
  "$b" "$@"
done

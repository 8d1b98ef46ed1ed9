#!/bin/sh
# Installs what is needed, builds, and runs the main job: velmora-view hosting
# the registered viewer control, watching the camera simulator on loopback
# for ten seconds (more arguments go to velmora-view, e.g. --seconds 60).
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release
export VELMORA_REGISTRY="$PWD/build/registry"
build/bin/velmora-regsvr "$PWD/build/lib/libvelmora.so" >/dev/null

out=$(mktemp)
build/bin/camsim --port 0 >"$out" 2>&1 &
camsim=$!
trap 'kill $camsim 2>/dev/null; rm -f "$out"' EXIT INT TERM
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/^camsim: audio on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$out" >&2; echo "demo: the camera simulator did not start" >&2; exit 1; }
echo "camera simulator on 127.0.0.1:$port"
build/bin/velmora-view --set ipaddr=127.0.0.1 --set port="$port" --connect --seconds 10 "$@" </dev/null

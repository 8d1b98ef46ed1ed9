#!/bin/sh
# Records the camera simulator (ts_q5 pictures, a 1000 Hz tone) for ten
# seconds with three seconds of pre-record, checks the recording with
# velmora-recinfo, extracts its pictures from the first key frame, decodes
# them with quenda-decode and compares the MD5s with the reference.
# Prints "ok" and exits 0 when all of it holds. Builds first unless
# VELMORA_BIN names a directory of built programs.
set -e
cd "$(dirname "$0")/.."
if [ -z "$VELMORA_BIN" ]; then
  scripts/build.sh >/dev/null
  VELMORA_BIN=build/bin
fi
bin=$VELMORA_BIN
ref=tests/reference/mpeg4
work=$(mktemp -d)
cam_pid=
cleanup() {
  [ -n "$cam_pid" ] && kill "$cam_pid" 2>/dev/null || true
  [ -n "$RECORD_CHECK_KEEP" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "record-check: $*" >&2; exit 1; }

export VELMORA_DRIVES="$work/drives"
export VELMORA_VIDEO=headless VELMORA_AUDIO=null

"$bin/camsim" --port 0 --video "$ref/ts_q5.frames" --audio tone:1000 --quiet </dev/null >"$work/camsim.out" 2>&1 &
cam_pid=$!
tries=0
until grep -q 'video on' "$work/camsim.out"; do
  tries=$((tries + 1))
  [ $tries -gt 300 ] && fail "camera simulator did not start"
  sleep 0.1
done
port=$(sed -n 's/.*audio on [^:]*:\([0-9]*\),.*/\1/p' "$work/camsim.out")

# Three seconds of streaming fill the pre-record span, then ten recorded.
{
  sleep 5; echo 14; sleep 10; echo 15; sleep 1; echo quit
} | "$bin/velmora-engine" 127.0.0.1 "$port" tansy tansy --record 'c:\check' --prerecord 3000 \
    --seconds 30 >"$work/engine.out" 2>&1 || fail "velmora-engine failed: $(cat "$work/engine.out")"

"$bin/velmora-recinfo" 'c:\check' --extract-frames "$work/check.frames" --from-key >"$work/recinfo.out" ||
  fail "velmora-recinfo: $(cat "$work/recinfo.out")"
"$bin/quenda-decode" "$work/check.frames" >"$work/decoded.md5" || fail "quenda-decode failed"
[ -s "$work/decoded.md5" ] || fail "nothing decoded"

# The recording starts at any picture of the looping clip: find the first
# decoded MD5 in the reference and compare from there, wrapping.
grep -v '^#' "$ref/ts_q5.framemd5" | awk -F, '{gsub(/ /,"",$NF); print $NF}' >"$work/ref.md5"
awk '{print $NF}' "$work/decoded.md5" >"$work/got.md5"
first=$(head -1 "$work/got.md5")
start=$(grep -n -m1 -x "$first" "$work/ref.md5" | cut -d: -f1)
[ -n "$start" ] || fail "first decoded picture is not a reference picture"
total=$(wc -l <"$work/ref.md5")
got=$(wc -l <"$work/got.md5")
[ "$got" -ge 250 ] || fail "only $got pictures recorded"
awk -v start="$start" -v total="$total" 'NR==FNR {ref[NR]=$0; next}
  { want = ref[(start - 1 + FNR - 1) % total + 1]; if ($0 != want) { print "picture " FNR " differs"; bad=1; exit } }
  END { exit bad }' "$work/ref.md5" "$work/got.md5" || fail "decoded pictures differ from the reference"
echo ok

#!/bin/sh
# Installs what is needed, builds, and runs the main job: the viewer watching
# the built-in camera simulator on loopback (arguments go to velmora-demo).
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release
exec build/bin/velmora-demo "$@"

#!/bin/sh
# Installs what is needed, builds, and runs the main job: the engine host
# watching the built-in camera simulator on loopback. Until the camera link
# exists it runs a short self-check of the build instead.
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release
if [ -x build/bin/velmora-demo ]; then
  exec build/bin/velmora-demo "$@"
fi
echo "engine host not built yet: running the self-check"
exec ctest --test-dir build -L "platform|engine|shared" --output-on-failure

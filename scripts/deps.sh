#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# Quiet when everything is already there.
set -e
PACKAGES="build-essential cmake ninja-build pkg-config clang libclang-rt-dev \
libgtest-dev libgmock-dev libbenchmark-dev libx11-dev libasound2-dev \
xvfb xauth"
[ -n "$VELMORA_EXTRA_PACKAGES" ] && PACKAGES="$PACKAGES $VELMORA_EXTRA_PACKAGES"

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing:$missing"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing

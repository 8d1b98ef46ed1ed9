#!/bin/sh
# Configures and builds one flavour of the project.
#   scripts/build.sh            release build in build/
#   scripts/build.sh sanitize   AddressSanitizer + UBSan build in build-sanitize/
#   scripts/build.sh thread     ThreadSanitizer build in build-thread/
#   scripts/build.sh fuzz       clang libFuzzer build in build-fuzz/
set -e
cd "$(dirname "$0")/.."
flavour=${1:-release}
case "$flavour" in
  release)  dir=build;          extra="" ;;
  sanitize) dir=build-sanitize; extra="-DVELMORA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug" ;;
  thread)   dir=build-thread;   extra="-DVELMORA_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo" ;;
  fuzz)     dir=build-fuzz;     extra="-DVELMORA_FUZZ=ON -DVELMORA_SANITIZE=address,undefined -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++" ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DVELMORA_WERROR=ON $extra >/dev/null
cmake --build "$dir" -j "$(nproc)"

#!/bin/bash
# Builds the station and runs every test: unit tests in virtual time, the
# interop tests against real peers, the end-to-end tests of the real binaries.
#   ./test.sh             normal build in build/
#   ./test.sh --sanitize  the same under AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
dir=build
flags=(-DDAVRILON_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags+=(-DDAVRILON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" > /dev/null
ninja -C "$dir"
cd "$dir"
ctest --output-on-failure -j2

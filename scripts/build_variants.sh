#!/bin/bash
# The builds that users, packagers and other compilers make, each with
# warnings as errors, and the unit tests of the hardened Release build:
#   Release with the C++ library's assertions (as hardened distributions build),
#   Debian's own build flags (dpkg-buildflags), without the tests,
#   clang.
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRA_PACKAGES="clang dpkg-dev" scripts/setup.sh
out=${1:-build-variants}

cmake -S . -B "$out/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDAVRILON_WERROR=ON \
  -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS > /dev/null
ninja -C "$out/release"
(cd "$out/release" && ctest -L unit -j2 --output-on-failure | tail -n 3)

CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$out/debian" -G Ninja -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
  -DDAVRILON_WERROR=ON > /dev/null
ninja -C "$out/debian"

CXX=clang++ cmake -S . -B "$out/clang" -G Ninja -DDAVRILON_WERROR=ON > /dev/null
ninja -C "$out/clang"
echo "build variants: release, debian flags, clang: all built"

#!/bin/bash
# Installs what building and testing the station needs, on Debian 12, when it
# is missing. Safe to run again: it installs nothing that is already there.
set -euo pipefail
# EXTRA_PACKAGES: more, for builds beyond the usual one (a blank-separated list).
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev socat ser2net python3 python3-serial libc-bin
  ${EXTRA_PACKAGES:-})
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

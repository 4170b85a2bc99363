#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing (through sudo when not root).
# With arguments, those packages instead (scripts/ensure-deps.sh clang).
set -euo pipefail

# dpkg-dev and file: the Debian package's dependency list (cpack -G DEB, dpkg-shlibdeps).
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgtest-dev libgmock-dev libsystemd-dev libmicrohttpd-dev
          dpkg-dev file)
(($# > 0)) && packages=("$@")
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
((${#missing[@]} == 0)) && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "Need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
echo "Installing ${missing[*]} ..."
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

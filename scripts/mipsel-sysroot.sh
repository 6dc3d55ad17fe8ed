#!/usr/bin/env bash
# Unpacks Debian's mipsel JsonCpp and GoogleTest into a build-local sysroot
# (nothing is installed for mipsel): scripts/mipsel-sysroot.sh DIR
set -euo pipefail
dir=$(realpath -m "$1")
[ -f "$dir/.done" ] && exit 0
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  $SUDO dpkg --add-architecture mipsel
fi
$SUDO apt-get update -qq
mkdir -p "$dir/debs"
( cd "$dir/debs" && apt-get download libjsoncpp-dev:mipsel libjsoncpp25:mipsel \
    libgtest-dev:mipsel libgmock-dev:mipsel 2>/dev/null )
for d in "$dir"/debs/*.deb; do dpkg-deb -x "$d" "$dir"; done
touch "$dir/.done"

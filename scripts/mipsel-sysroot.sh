#!/usr/bin/env bash
# Unpacks Debian's mipsel JsonCpp and GoogleTest into a build-local sysroot:
#   scripts/mipsel-sysroot.sh DIR
# Nothing is installed and the machine's package architectures stay as they
# are: the packages come through an apt state folder of the script's own.
set -euo pipefail
. "$(dirname "$0")/debian-mirror.sh"
dir=$(realpath -m "$1")
[ -f "$dir/.done" ] && exit 0
apt_dir=$dir/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$dir/debs"
# The machine's own Debian mirror and release, for mipsel only.
mirror=$(debian_mirror)
suite=$(debian_suite)
cat > "$apt_dir/parts/mipsel.sources" <<EOS
Types: deb
URIs: $mirror
Suites: $suite
Components: main
Architectures: mipsel
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOS
apt_opts=(-o APT::Architecture=mipsel -o APT::Architectures::=mipsel -o Dir::Etc::SourceList=/dev/null
          -o Dir::Etc::SourceParts="$apt_dir/parts" -o Dir::State::Lists="$apt_dir/lists"
          -o Dir::Cache="$apt_dir/cache" -o Dir::State::status=/dev/null -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" update -qq
( cd "$dir/debs" && apt-get "${apt_opts[@]}" download libjsoncpp-dev libjsoncpp25 libgtest-dev libgmock-dev > /dev/null )
for d in "$dir"/debs/*.deb; do dpkg-deb -x "$d" "$dir"; done
touch "$dir/.done"

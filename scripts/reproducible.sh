#!/usr/bin/env bash
# Two clean builds of this revision, in two different folders, must give the
# same bytes: vx40.so as linked, and the release files (stripped library and
# its debug information). Extra arguments go to cmake (a toolchain file, say).
#   scripts/reproducible.sh [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=build-repro
rm -rf "$root"
mkdir -p "$root"
for side in one two-with-a-longer-path; do
  cmake -S . -B "$root/$side" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX40_TESTS=OFF -DVX40_BENCH=OFF \
    "$@" > "$root/$side.log" 2>&1 || { cat "$root/$side.log"; exit 1; }
  cmake --build "$root/$side" --target vx40_release >> "$root/$side.log" 2>&1 || { tail -n 30 "$root/$side.log"; exit 1; }
done
status=0
for f in vx40.so release/lib/vx40.so; do
  if cmp -s "$root/one/$f" "$root/two-with-a-longer-path/$f"; then
    echo "reproducible: $f identical ($(sha256sum < "$root/one/$f" | cut -c1-16))"
  else
    echo "reproducible: $f DIFFERS between two clean builds"
    status=1
  fi
done
a=$(cd "$root/one/release" && find lib/debug -type f | sort)
b=$(cd "$root/two-with-a-longer-path/release" && find lib/debug -type f | sort)
if [ -n "$a" ] && [ "$a" = "$b" ] && cmp -s "$root/one/release/$a" "$root/two-with-a-longer-path/release/$b"; then
  echo "reproducible: $a identical"
else
  echo "reproducible: debug file differs ($a / $b)"
  status=1
fi
exit $status

#!/usr/bin/env bash
# The README's two commands on a brand-new machine: makes a minimal Debian
# root (debootstrap --variant=minbase) of this machine's release from this
# machine's configured mirror, copies the working tree in (tracked and
# untracked files, not what .gitignore leaves out, no .git), and runs, inside
# it with a clean environment, the main command and then the test command.
# Each is timed and its installed packages counted. Mounts are taken down and
# the root removed whatever happens (--keep leaves the root for a look).
#
#   scripts/fresh-root.sh [--keep] [DIR]     as root; DIR default: a new folder in /var/tmp
#
# Not part of the test command: it takes as long as a CI run on a new machine
# (the soft-float runtime is built from scratch inside the root).
# Exit status: 0 both passed, 1 a command failed inside the root, 2 usage.
set -euo pipefail
# The whole script is one function, read before it runs: editing the tree
# during a run cannot change the run.
main() {
cd "$(dirname "$0")/.."
. scripts/debian-mirror.sh
keep=0
if [ "${1:-}" = "--keep" ]; then keep=1; shift; fi
[ $# -le 1 ] || { echo "usage: scripts/fresh-root.sh [--keep] [DIR]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "fresh-root: must run as root (debootstrap, chroot, mounts)" >&2; exit 2; }
command -v debootstrap > /dev/null || {
  echo "fresh-root: installing debootstrap"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      debootstrap; } > /dev/null
}
root=${1:-$(mktemp -d /var/tmp/vx40-fresh-root.XXXXXX)}
mkdir -p "$root"
root=$(realpath "$root")
[ -z "$(ls -A "$root")" ] || { echo "fresh-root: $root is not empty" >&2; exit 2; }
log=$root.log
: > "$log"

cleanup() {
  # Deepest mounts first; a lazy unmount if something still holds one.
  findmnt -rn -o TARGET | grep -F "$root/" | sort -r | while read -r m; do
    umount "$m" 2> /dev/null || umount -l "$m"
  done
  rm -f "$root.src.tar"
  if [ "$keep" -eq 0 ]; then rm -rf --one-file-system "$root"; else echo "fresh-root: kept $root"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The tree as it is now, before the minutes debootstrap takes.
snapshot=$root.src.tar
git ls-files -z --cached --others --exclude-standard | tar -c --null -T - -f "$snapshot"
t0=$SECONDS
echo "fresh-root: debootstrap --variant=minbase $(debian_suite) into $root (output in $log)"
debootstrap --variant=minbase "$(debian_suite)" "$root" "$(debian_mirror)" >> "$log" 2>&1 ||
  { tail -n 20 "$log"; echo "fresh-root: debootstrap failed"; exit 1; }
echo "fresh-root: root made in $((SECONDS - t0)) s"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys"
mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev"
mkdir -p "$root/src"
tar -x -C "$root/src" -f "$snapshot" && rm -f "$snapshot"

inside() {  # command line, run in the root from /src with a clean environment
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /src && $1" < /dev/null
}
packages() { inside "dpkg-query -W -f='\${Status}\n' | grep -c 'install ok installed'"; }

status=0
p0=$(packages)
run() {  # name, command line: runs it, prints its time and the packages it added
  local name=$1 cmd=$2 start=$SECONDS before after
  before=$(packages)
  echo "fresh-root: $name: $cmd"
  if inside "$cmd" > "$root.$name.log" 2>&1; then
    after=$(packages)
    results+=("$(printf '%-5s passed in %d min %02d s; %d packages installed' "$name" \
      $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60)) $((after - before)))")
  else
    tail -n 40 "$root.$name.log"
    results+=("$name FAILED after $((SECONDS - start)) s (all of it in $root.$name.log)")
    status=1
  fi
  echo "${results[-1]}"
}
# The tree's files outside the build folders: the commands may add none.
tree() { inside "find . -path './build*' -prune -o -type f -print | sort"; }
results=()
tree > "$root.tree-before"
run main "scripts/main.sh"
[ "$status" -ne 0 ] || run test "scripts/test.sh"
tree > "$root.tree-after"
if [ "$status" -eq 0 ]; then
  if cmp -s "$root.tree-before" "$root.tree-after"; then
    results+=("tree  clean: no file added or removed outside the build folders")
  else
    # diff exits 1 for files that differ: its list, not a failure of the script.
    results+=("tree  CHANGED outside the build folders: $(diff "$root.tree-before" "$root.tree-after" |
      grep '^[<>]' | paste -sd' ' - || true)")
    status=1
  fi
fi
echo "== fresh root: $(debian_suite) minbase, $p0 packages to start =="
printf '%s\n' "${results[@]}"
[ "$status" -ne 0 ] || grep -A 40 '^== summary ==' "$root.test.log"
exit "$status"
}
main "$@"

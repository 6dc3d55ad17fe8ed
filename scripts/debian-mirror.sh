# Sourced: the machine's own Debian mirror and release, as its apt sources
# name them (no host name is written in this repository).
#   debian_mirror   the first mirror URI of the apt sources
#   debian_suite    the release's code name
debian_mirror() {
  local m
  m=$(grep -h -m1 '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' || true)
  [ -n "$m" ] || m=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' || true)
  [ -n "$m" ] || { echo "no Debian mirror in the apt sources" >&2; return 1; }
  echo "$m"
}
debian_suite() { (. /etc/os-release && echo "$VERSION_CODENAME"); }

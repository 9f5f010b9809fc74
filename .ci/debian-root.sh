#!/usr/bin/env bash
# A Debian unstable root with CPython 3.14, 3.15 and the 3.14 debug build, and
# a way to run a command in it with this checkout mounted at /src.
#   .ci/debian-root.sh make          create the root (reused when present)
#   .ci/debian-root.sh run CMD...    run CMD in the root, in /src
#   .ci/debian-root.sh ready         exit status 0 when the root exists
#   .ci/debian-root.sh path          print where the root is (or goes)
# Env: PLEXOR_DEBIAN_ROOT (default ~/.cache/plexor/debian-sid). Needs root.
# The PLEXOR_* variables and CI pass into the root. Each run has mounts of its
# own (a private mount namespace), so runs from several checkouts can overlap.
set -euo pipefail
SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${PLEXOR_DEBIAN_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/plexor/debian-sid}"

say() { echo "[debian-root] $*" >&2; }
source "$SRC/.ci/pythons.sh"

# Debian's packages of the interpreters ROOT_PYTHONS (headers and venv, or
# the debug build), and g++, comma-separated.
packages() {
  local py list=()
  for py in "${ROOT_PYTHONS[@]}"; do
    case $py in
      *d) list+=("${py%d}-dbg" "lib${py%d}-dbg") ;;
      *)  list+=("$py-dev" "$py-venv") ;;
    esac
  done
  list+=(g++)
  local IFS=,
  echo "${list[*]}"
}

make_root() {
  if [[ -f "$DIR/.plexor-ready" ]]; then return; fi
  command -v debootstrap >/dev/null || {
    say "installing debootstrap"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  }
  say "creating $DIR (a few minutes)"
  rm -rf "$DIR"
  mkdir -p "$DIR"
  debootstrap --variant=minbase --include="$(packages)" sid "$DIR" >"$DIR.log" 2>&1 ||
    { tail -20 "$DIR.log" >&2; exit 1; }
  touch "$DIR/.plexor-ready"
}

# Files the root needs from the host on every run (they may change).
sync_host_files() {
  mkdir -p "$DIR/etc/ssl/certs" "$DIR/src"
  cp /etc/ssl/certs/ca-certificates.crt "$DIR/etc/ssl/certs/ca-certificates.crt"
  cp -L /etc/resolv.conf "$DIR/etc/resolv.conf"
  [[ -d /etc/xdg/pip ]] && { mkdir -p "$DIR/etc/xdg"; cp -r /etc/xdg/pip "$DIR/etc/xdg/"; }
  return 0
}

run_in_root() {
  make_root
  sync_host_files
  local -a env=(HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 PLEXOR_IN_DEBIAN_ROOT=1)
  local name
  for name in $(compgen -e); do
    [[ $name == PLEXOR_* && $name != PLEXOR_DEBIAN_ROOT || $name == CI ]] && env+=("$name=${!name}")
  done
  # The mounts live in a new mount namespace and go away with it.
  unshare --mount --propagation private -- bash -c '
    set -e
    dir=$1 src=$2; shift 2
    mount -t proc proc "$dir/proc"
    mount --bind "$src" "$dir/src"
    exec chroot "$dir" /usr/bin/env -i "$@"' \
    bash "$DIR" "$SRC" "${env[@]}" bash -c 'cd /src && exec "$@"' bash "$@"
}

case "${1:-}" in
  make)  make_root ;;
  run)   shift; run_in_root "$@" ;;
  ready) [[ -f "$DIR/.plexor-ready" ]] ;;
  path)  echo "$DIR" ;;
  *)     sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac

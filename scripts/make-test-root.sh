#!/bin/bash
# A fresh Debian 12 root to test in, entered with chroot as packaging and CI
# systems do (run as root). The bare root, debootstrap --variant=minbase
# bookworm, is made once into $PAIRDOT_ROOT_CACHE; each use overlays it.
#
#   make-test-root.sh up DIR [SOURCE]     DIR/root: an overlay of the bare root
#       with /proc, /sys, /dev and a tmpfs on /run; SOURCE (a git working
#       tree) copied to /src: its tracked files and the untracked, unignored
#   make-test-root.sh run DIR COMMAND [ARG...]   COMMAND in DIR/root, in /src,
#       with a new login's environment
#   make-test-root.sh down DIR     kills what runs in DIR/root, unmounts all
#       below it, removes DIR
#
# The root gets the host's resolv.conf and a policy-rc.d that keeps the
# packages' daemons from starting, as build chroots do.
set -euo pipefail
cache=${PAIRDOT_ROOT_CACHE:-/var/cache/pairdot/bookworm-minbase}
mirror=${PAIRDOT_DEBIAN_MIRROR:-http://deb.debian.org/debian}
fail() { echo "make-test-root.sh: $*" >&2; exit 1; }
[ $# -ge 2 ] || fail "usage: make-test-root.sh up DIR [SOURCE] | run DIR COMMAND... | down DIR"
action=$1 dir=$(realpath -m "$2")
shift 2
root=$dir/root

bare_root() { # once, under a lock: other users of the cache may run now
  mkdir -p "$(dirname "$cache")"
  exec 9>"$cache.lock"
  flock 9
  if [ ! -f "$cache/etc/debian_version" ]; then
    command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null ||
      fail "cannot install debootstrap"
    rm -rf "$cache.new"
    debootstrap --variant=minbase bookworm "$cache.new" "$mirror" >"$cache.log" 2>&1 ||
      fail "debootstrap failed, see $cache.log"
    mv "$cache.new" "$cache"
  fi
  exec 9>&-
}

# The mounts below DIR, deepest first.
mounts() { awk -v d="$dir" '$5 == d || index($5, d "/") == 1 {print $5}' /proc/self/mountinfo | sort -r; }

up() {
  [ ! -e "$dir" ] || fail "$dir exists"
  trap 'trap - EXIT; down; fail "cannot make the root in $dir"' EXIT
  bare_root
  # The upper layer on a tmpfs: an overlay's upper layer may not sit on an
  # overlay, which is the root file system in a container.
  mkdir -p "$dir"/{layers,root}
  mount -t tmpfs -o mode=755 tmpfs "$dir/layers"
  mkdir "$dir"/layers/{upper,work}
  mount -t overlay overlay -o "lowerdir=$cache,upperdir=$dir/layers/upper,workdir=$dir/layers/work" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=755 tmpfs "$root/run"
  mkdir -m 1777 "$root/run/lock"
  # Nothing mounted in the root, by the tests or apt, shows outside it.
  mount --make-rprivate "$root"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
  mkdir "$root/src"
  if [ $# -gt 0 ]; then
    git -C "$1" ls-files -z --cached --others --exclude-standard |
      tar -C "$1" --null --ignore-failed-read -T - -cf - | tar -C "$root/src" -xf -
  fi
  trap - EXIT
}

down() {
  local pids p
  for _ in $(seq 50); do
    pids=""
    for p in /proc/[0-9]*; do
      [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && pids+=" ${p#/proc/}"
    done
    [ -n "$pids" ] || break
    # shellcheck disable=SC2086 # one pid a word
    kill -KILL $pids 2>/dev/null
    sleep 0.1
  done
  for p in $(mounts); do umount -l "$p" || true; done
  [ -z "$(mounts)" ] || fail "still mounted, $dir left: $(mounts | paste -sd' ')"
  rm -rf --one-file-system "$dir"
}

case $action in
up) up "$@" ;;
run)
  [ -d "$root/src" ] || fail "no root in $dir (make-test-root.sh up)"
  exec chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    sh -c 'cd /src && exec "$@"' sh "$@" ;;
down) down ;;
*) fail "unknown action $action" ;;
esac

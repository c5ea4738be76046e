#!/bin/sh
# Inside a fresh Debian 12 root, as root: installs pairdot-mpich and
# pairdot-openmpi from /src/debs as an admin would, runs a 4-rank job with
# each, finds the manual pages and the modules, and removes both, leaving
# nothing behind.
set -eu
export DEBIAN_FRONTEND=noninteractive
# Open MPI's launcher, as root, on a machine with fewer cores than ranks.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fail() { echo "in_root.sh: $*" >&2; exit 1; }
step() { echo "== $*"; }
debs=$(ls /src/debs/pairdot-mpich_*.deb /src/debs/pairdot-openmpi_*.deb)
version=$(dpkg-deb -f /src/debs/pairdot-mpich_*.deb Version)
grep -qsw "$(uname -n)" /etc/hosts || echo "127.0.1.1 $(uname -n)" >>/etc/hosts

# What the packages may touch; the same before they come and after they go.
files() {
  find /usr /etc /opt /var/lib/dpkg/alternatives -xdev -printf '%p %y %m %l\n' 2>/dev/null | sort
}

step "apt-get install ./pairdot-mpich_*.deb ./pairdot-openmpi_*.deb, and their dependencies"
apt-get update -qq
# shellcheck disable=SC2086 # one path a word
apt-get install -y -qq --no-install-recommends $debs man-db lmod >/dev/null
dpkg -r pairdot-mpich pairdot-openmpi >/dev/null
files >/tmp/files-before
# shellcheck disable=SC2086
dpkg -i $debs >/dev/null

for mpi in mpich openmpi; do
  step "a 4-rank job with pairdot-$mpi"
  out=$(/usr/lib/pairdot/$mpi/bin/pairdot-run --np 4 2>&1) || fail "pairdot-$mpi: $out"
  echo "$out" | grep -q "^verified 4 ranks, 2 pairs on 1 host$" || fail "pairdot-$mpi: $out"
done

step "/usr/bin and man from the preferred variant (MPICH)"
/usr/bin/pairdot-run --np 4 >/dev/null || fail "/usr/bin/pairdot-run --np 4"
for tool in pairdot-run pairdot-check pairdot-probe; do
  /usr/bin/$tool --version | grep -q "^$tool $version (MPICH [0-9]" || fail "$(/usr/bin/$tool --version)"
done
# man -w names the page that /usr/share/man/man1's link leads to.
[ "$(man -w pairdot-run)" = /usr/lib/pairdot/mpich/share/man/man1/pairdot-run.1.gz ] ||
  fail "man -w: $(man -w pairdot-run)"
for page in pairdot pairdot-check pairdot-probe; do man -w "$page" >/dev/null; done
man pairdot-run 2>/dev/null | grep -q "^EXIT STATUS" || fail "man pairdot-run has no EXIT STATUS"

step "module load under Lmod"
bash -c '
  . /etc/profile.d/lmod.sh  # as a login shell does, before set -e
  set -e
  module use /usr/share/modulefiles
  for mpi in openmpi mpich; do
    module load "pairdot/$1-$mpi"
    [ "$(command -v pairdot-run)" = "/usr/lib/pairdot/$mpi/bin/pairdot-run" ] || exit 1
    [ "$(man -w pairdot-run)" = "/usr/lib/pairdot/$mpi/share/man/man1/pairdot-run.1.gz" ] || exit 1
    man -w dpkg >/dev/null  # the system pages too
    pairdot-run --np 4 >/dev/null
  done
  # One variant at a time: loading mpich replaced openmpi.
  [ "$(module -t list 2>&1 | grep -c ^pairdot/)" = 1 ] || exit 1
' sh "$version" || fail "module load"

step "dpkg -r, and nothing left behind"
dpkg -r pairdot-mpich >/dev/null
/usr/bin/pairdot-run --version | grep -q "(Open MPI " || fail "/usr/bin/pairdot-run did not move to Open MPI's"
dpkg -r pairdot-openmpi >/dev/null
files >/tmp/files-after
diff /tmp/files-before /tmp/files-after || fail "files left or changed by the packages (above)"
step "passed"

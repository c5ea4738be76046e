#!/bin/sh
# The Debian packages as an admin gets them (root only; skips without root
# unless PAIRDOT_REQUIRE_PACKAGE=1):
#   package_test.sh debs SOURCE BUILD OTHER OUT   this build's package and the
#       one of the MPI library OTHER into OUT: from OTHER's preset build tree
#       when there is one, else built in BUILD/package-OTHER
#   package_test.sh lint OUT                dpkg-deb --info and lintian: no error
#   package_test.sh up DIR                  a fresh Debian 12 root in DIR
#   package_test.sh use DIR OUT             in_root.sh in it, with OUT's packages
#   package_test.sh down DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
make_root=$here/../../scripts/make-test-root.sh
# Packages apt fetched for the root, kept between runs as the bare root is.
archives=${PAIRDOT_ROOT_ARCHIVES:-/var/cache/pairdot/archives}
action=$1
shift
if [ "$(id -u)" != 0 ]; then
  [ "${PAIRDOT_REQUIRE_PACKAGE:-0}" = 1 ] && { echo "package_test.sh: needs root" >&2; exit 1; }
  echo "package_test.sh: skipped, needs root"
  exit 77
fi

case $action in
debs)
  src=$1 build=$2 other=$3 out=$4
  rm -rf "$out" && mkdir -p "$out"
  cmake --build "$build" --target package >/dev/null
  other_build=$src/build/$other
  if [ ! -f "$other_build/CMakeCache.txt" ]; then
    other_build=$build/package-$other
    cmake -S "$src" -B "$other_build" -DMPI_EXECUTABLE_SUFFIX=".$other" \
      -DPAIRDOT_BUILD_TESTS=OFF -DPAIRDOT_BUILD_BENCH=OFF >/dev/null
  fi
  cmake --build "$other_build" --target package -j 2 >/dev/null
  cp "$build"/packages/*.deb "$other_build"/packages/*.deb "$out"/
  ls -l "$out"
  ;;
lint)
  for deb in "$1"/*.deb; do
    dpkg-deb --info "$deb" >/dev/null
    lintian --fail-on error --display-info --pedantic "$deb"
  done
  ;;
up)
  "$make_root" up "$1" "$here"
  mkdir -p "$archives/partial"
  mount --bind "$archives" "$1/root/var/cache/apt/archives"
  ;;
use)
  mkdir "$1/root/src/debs"
  cp "$2"/*.deb "$1/root/src/debs/"
  "$make_root" run "$1" sh /src/in_root.sh
  ;;
down) "$make_root" down "$1" ;;
*) echo "package_test.sh: unknown action $action" >&2; exit 2 ;;
esac

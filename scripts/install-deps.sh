#!/bin/sh
# Installs what building and testing pairdot needs on Debian 12 (run as root).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  g++ make cmake libgtest-dev \
  mpich libmpich-dev openmpi-bin libopenmpi-dev \
  clang clang-tidy clang-format cppcheck libclang-rt-14-dev valgrind \
  iproute2 util-linux procps gnuplot-nox time iperf3 libcli11-dev nlohmann-json3-dev libtinyxml2-dev \
  g++-mingw-w64-x86-64-posix wine wine64 wine64-tools \
  slurmctld slurmd slurm-client munge \
  prometheus prometheus-node-exporter curl \
  help2man dpkg-dev lintian debootstrap systemd >/dev/null

#!/bin/bash
# Stands in for ssh between simulated hosts: drops ssh's options, takes the
# host and hands the remaining words to a shell on that host, as ssh does.
# Like an ssh session, everything the command starts ends with it: it runs in
# a PID namespace of its own, killed when this process ends, and this
# process is killed when its parent (the launcher) ends. So a daemon that
# detaches ends too: Open MPI must keep its default tree spawn, whose orted
# stays in the foreground. PAIRDOT_ON_HOST names another way onto a host
# (tests/slurm/on_node.sh).
set -u
while [ $# -gt 0 ]; do
  case $1 in
  --) shift; break ;;
  -[BbcDEeFIiJLlmOopQRSWw]) shift 2 ;; # options that take a value
  -*) shift ;;
  *) break ;;
  esac
done
if [ $# -lt 2 ]; then
  echo "remote_shell.sh: want a host and a command" >&2
  exit 255
fi
host=${1#*@}
shift
exec setpriv --pdeathsig KILL "${PAIRDOT_ON_HOST:-$(dirname "$0")/on_host.sh}" "$host" \
  unshare --pid --kill-child --mount-proc sh -c "$*"

#!/bin/sh
# Runs one rank of a job under GNU time; its peak RSS (KiB) goes to DIR/RANK.
# Usage (as the launcher's program): rank_rss.sh DIR PROGRAM [ARG...]
dir=$1
shift
rank=${PMI_RANK:-${OMPI_COMM_WORLD_RANK:-x$$}}
exec /usr/bin/time -f %M -o "$dir/$rank" "$@"

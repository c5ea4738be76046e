#!/bin/sh
# One rank of a test job: optional preload and standard output redirection,
# then the rank's exit status is written to $PAIRDOT_STATUS_DIR/exit.<rank>.
# Usage (the launcher's shim): rank.sh PROGRAM [ARG...]
rank=${PMI_RANK:-${OMPI_COMM_WORLD_RANK:-0}}
case "${PAIRDOT_RANK_STDOUT:-}" in
full) exec >/dev/full ;;
closed) exec >&- ;;
esac
LD_PRELOAD=${PAIRDOT_PRELOAD:-} "$@"
status=$?
# Written whole or not at all: Open MPI may kill a rank mid-write.
echo "$status" >"$PAIRDOT_STATUS_DIR/.exit.$rank" &&
  mv "$PAIRDOT_STATUS_DIR/.exit.$rank" "$PAIRDOT_STATUS_DIR/exit.$rank"
exit "$status"

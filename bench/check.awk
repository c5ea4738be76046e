# check.awk: the check of a pairdot job's output that a user might write in
# awk, the baseline pairdot-check is compared with.
# Usage: awk [-v np=N] -f check.awk FILE...
# Reads plain lines and lines tagged "[r] " (MPICH) or "[1,r]<stdout>:"
# (Open MPI); drops MPICH's extra tags inside a line. Checks the line
# formats, each rank's vector once, one result per pair, and the products.
# Exit 0 good, 1 bad.

function fail(msg) {
  bad++
  if (bad <= 10) print FILENAME ":" FNR ": " msg > "/dev/stderr"
}

# Strips a launcher tag from the line; sets tag to its rank or -1.
function untag(line) {
  tag = -1
  if (match(line, /^\[[0-9]+\] /)) {
    tag = substr(line, 2, RLENGTH - 3) + 0
    line = substr(line, RLENGTH + 1)
    gsub(/\[[0-9]+\] /, "", line)
    return line
  }
  if (match(line, /^\[1,[0-9]+\]<stdout>:/)) {
    tag = substr(line, 4, RLENGTH - 13) + 0
    return substr(line, RLENGTH + 1)
  }
  return line
}

function take_vector(line,    f, r) {
  split(line, f, /[ \t]+/)
  r = f[2] + 0
  if ((r % 2 == 1) != (f[1] == "ProcessX")) fail("wrong header for rank " r)
  if (tag >= 0 && tag != r) fail("rank " r " tagged " tag)
  if (r in vec) fail("rank " r " printed its vector twice")
  vec[r] = f[4] " " f[5] " " f[6] " " f[7] " " f[8]
  if (r > top) top = r
}

function take_result(line,    f, a, b) {
  split(line, f, /[ \t]+/)
  a = f[4] + 0
  b = f[6] + 0
  if (b % 2 != 1 || a != b - 1) fail("bad pair " a " ; " b)
  if (tag >= 0 && tag != b) fail("result of rank " b " tagged " tag)
  if (b in res) fail("rank " b " printed its result twice")
  res[b] = f[8] + 0
  if (b > top) top = b
}

function dot(a, b,    x, y, i, s) {
  split(a, x, " ")
  split(b, y, " ")
  s = 0
  for (i = 1; i <= 5; i++) s += x[i] * y[i]
  return s
}

BEGIN { top = -1 }

{
  line = untag($0)
  if (line == "") next
  if (line ~ /^Process[XY] [0-9]+ : \t\t[0-4] [0-4] [0-4] [0-4] [0-4] $/) take_vector(line)
  else if (line ~ /^ For processesXY [0-9]+ ; [0-9]+ :\t[0-9]+ $/) take_result(line)
  else fail("unexpected line")
}

END {
  n = np != "" ? np + 0 : top + 1
  if (top >= n) fail("rank " top " in a job of " n)
  for (r = 0; r < n; r++) {
    if (!(r in vec)) { fail("no vector from rank " r); continue }
    if (r % 2 == 0) continue
    if (!(r in res)) fail("no result from rank " r)
    else if ((r - 1) in vec && res[r] != dot(vec[r - 1], vec[r])) fail("wrong product from rank " r)
  }
  if (bad) { print "bad: " bad " problems" > "/dev/stderr"; exit 1 }
  print "verified " n " ranks"
}

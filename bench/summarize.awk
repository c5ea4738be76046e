# summarize.awk: medians and ratios of bench/run.sh's raw timings, as
# markdown tables (mode=startup, cpu, checker) or plot data (mode=plotdata).
# Input is tab-separated with a header line per file (awk -F '\t').

# Median of v[1..n], sorted in place.
function median(v, n,    i, j, x) {
  for (i = 2; i <= n; i++) {
    x = v[i]
    for (j = i - 1; j >= 1 && v[j] > x; j--) v[j + 1] = v[j]
    v[j + 1] = x
  }
  if (n == 0) return -1
  return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}

# The p-quantile (0..1) of v[1..n], already sorted, by nearest rank.
function quantile(v, n, p) { return v[int(p * (n - 1) + 0.5) + 1] }

# Median of the values stored under key in the flat arrays vals/count.
function median_of(key,    v, i) {
  for (i = 1; i <= count[key]; i++) v[i] = vals[key, i]
  return median(v, count[key])
}

function add(key, value) {
  if (!(key in count)) { count[key] = 0; order[++keys] = key }
  vals[key, ++count[key]] = value
}

function mib(kib) { return kib == "-" || kib == "" ? "-" : sprintf("%.1f", kib / 1024) }

FNR == 1 { file++; next }

# startup inputs: verdict.tsv, rank_rss.tsv, startup.tsv
mode == "startup" && file == 1 { verdict[$1, $2] = $3; next }
mode == "startup" && file == 2 { rss_med[$1, $2, $3] = $4; rss_max[$1, $2, $3] = $5; next }
(mode == "startup" || mode == "plotdata") {
  job = $1 SUBSEP $2
  if (!(job in jobs)) { jobs[job] = 1; job_order[++njobs] = job }
  if ($6 != 0) { failed[job]++; next }
  add(job SUBSEP $4, $5)
  t[job, $3, $4] = $5
  rounds[job] = $3 > rounds[job] ? $3 : rounds[job]
  next
}

# cpu input: cpu.tsv
mode == "cpu" {
  job = $1 SUBSEP $2 SUBSEP $3
  if (!(job in jobs)) { jobs[job] = 1; job_order[++njobs] = job }
  if ($9 != "" && $9 != 0) { failed[job]++; next }
  for (c = 4; c <= 8; c++) add(job SUBSEP c, $c)
  next
}

# checker input: checker.tsv
mode == "checker" {
  input = $1 SUBSEP $2
  if (!(input in inputs)) { inputs[input] = 1; input_order[++ninputs] = input; bytes[input] = $3 }
  if ($8 != 0) { failed[input]++; next }
  add(input SUBSEP $5, $6)
  add(input SUBSEP $5 SUBSEP "rss", $7)
  next
}

function startup_table(    i, split_job, job, p, b, r, n, pr, pm, lib, np) {
  print "| library | processes | rounds | pairdot median (s) | bare_mpi median (s) | ratio of medians | paired ratios: median (p25–p75) | peak RSS per rank, pairdot: median / max (MiB) | bare_mpi (MiB) | failed runs | output check |"
  print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  for (i = 1; i <= njobs; i++) {
    job = job_order[i]
    split(job, split_job, SUBSEP)
    lib = split_job[1]; np = split_job[2]
    p = median_of(job SUBSEP "pairdot")
    b = median_of(job SUBSEP "bare_mpi")
    n = 0
    for (r = 1; r <= rounds[job]; r++)
      if ((job, r, "pairdot") in t && (job, r, "bare_mpi") in t && t[job, r, "bare_mpi"] > 0)
        pr[++n] = t[job, r, "pairdot"] / t[job, r, "bare_mpi"]
    pm = median(pr, n)
    printf "| %s | %d | %d | %.3f | %.3f | %.3f | %.3f (%.3f–%.3f) | %s / %s | %s / %s | %d | %s |\n",
      lib, np, rounds[job], p, b, p / b, pm, quantile(pr, n, 0.25), quantile(pr, n, 0.75),
      mib(rss_med[lib, np, "pairdot"]),
      mib(rss_max[lib, np, "pairdot"]), mib(rss_med[lib, np, "bare_mpi"]),
      mib(rss_max[lib, np, "bare_mpi"]), failed[job], verdict[lib, np]
    if (np <= 16) {
      checked[lib]++
      if (pm <= 1.05) within[lib]++
      if (p / b <= 1.05) within_medians[lib]++
    }
  }
  print ""
  split("mpich openmpi", libs, " ")
  for (i = 1; i <= 2; i++) {
    lib = libs[i]
    if (!(lib in checked)) continue
    printf "Target pairdot/bare_mpi ≤ 1.05 up to 16 processes, %s: %s by the median of paired ratios (%d of %d process counts), %d of %d by the ratio of medians.\n\n",
      lib, within[lib] == checked[lib] ? "met" : "not met", within[lib], checked[lib],
      within_medians[lib], checked[lib]
  }
}

function checker_table(    i, parts, input, w, c, a, mb, name, n, cell, forms) {
  print "| input | ranks | size (MB) | wc -l median (s) | pairdot-check median (s) | awk median (s) | pairdot-check / wc -l | awk / pairdot-check | pairdot-check MB/s | pairdot-check ns per rank | pairdot-check peak RSS (MiB) | awk peak RSS (MiB) | failed runs |"
  print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for (i = 1; i <= ninputs; i++) {
    input = input_order[i]
    split(input, parts, SUBSEP)
    name = parts[1]; n = parts[2]
    mb = bytes[input] / 1e6
    w = median_of(input SUBSEP "wc")
    c = median_of(input SUBSEP "pairdot-check")
    a = median_of(input SUBSEP "awk")
    per_rank[name, n] = c / n
    sizes[n] = 1
    printf "| %s | %d | %.1f | %.4f | %s | %s | %s | %s | %s | %s | %s | %s | %d |\n", name, n, mb, w,
      c < 0 ? "-" : sprintf("%.4f", c), a < 0 ? "n/a" : sprintf("%.4f", a),
      c < 0 ? "-" : sprintf("%.1f", c / w), a < 0 || c <= 0 ? "n/a" : sprintf("%.1f", a / c),
      c <= 0 ? "-" : sprintf("%.0f", mb / c), c <= 0 ? "-" : sprintf("%.0f", c / n * 1e9),
      c < 0 ? "-" : mib(median_of(input SUBSEP "pairdot-check" SUBSEP "rss")),
      a < 0 ? "n/a" : mib(median_of(input SUBSEP "awk" SUBSEP "rss")), failed[input]
  }
  print ""
  print "Linearity of pairdot-check: time per rank (ns) against job size; constant means linear."
  print ""
  printf "| form |"; for (n = 1000; n in sizes; n *= 10) printf " %d |", n; print ""
  printf "|---|"; for (n = 1000; n in sizes; n *= 10) printf "---:|"; print ""
  split("plain mpich-tagged openmpi-tagged", forms, " ")
  for (i = 1; i <= 3; i++) {
    printf "| %s |", forms[i]
    for (n = 1000; n in sizes; n *= 10) {
      cell = "-"
      if ((forms[i], n) in per_rank && per_rank[forms[i], n] > 0)
        cell = sprintf("%.0f", per_rank[forms[i], n] * 1e9)
      printf " %s |", cell
    }
    print ""
  }
}

# One line per process count: np, then pairdot and bare_mpi medians of
# MPICH and of Open MPI ("-" where not measured).
function plot_data(    i, parts, job, np, lib, nps, m) {
  for (i = 1; i <= njobs; i++) {
    split(job_order[i], parts, SUBSEP)
    nps[parts[2]] = 1
  }
  for (np = 1; np <= 1048576; np *= 2) {
    if (!(np in nps)) continue
    printf "%d", np
    split("mpich openmpi", libs, " ")
    for (lib = 1; lib <= 2; lib++) {
      job = libs[lib] SUBSEP np
      m = (job SUBSEP "pairdot") in count ? median_of(job SUBSEP "pairdot") : "-"
      printf "\t%s", m
      m = (job SUBSEP "bare_mpi") in count ? median_of(job SUBSEP "bare_mpi") : "-"
      printf "\t%s", m
    }
    print ""
  }
}

function cpu_table(    i, parts, job, m, c) {
  print "| library | processes | program | wall (s) | user CPU (s) | system CPU (s) | CPU / wall | voluntary context switches | involuntary | failed runs |"
  print "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|"
  for (i = 1; i <= njobs; i++) {
    job = job_order[i]
    split(job, parts, SUBSEP)
    for (c = 4; c <= 8; c++) m[c] = median_of(job SUBSEP c)
    printf "| %s | %s | %s | %.2f | %.2f | %.2f | %.1f | %d | %d | %d |\n", parts[1], parts[2],
      parts[3], m[4], m[5], m[6], (m[4] > 0 ? (m[5] + m[6]) / m[4] : 0), m[7], m[8], failed[job]
  }
}

END {
  if (mode == "cpu") cpu_table()
  else if (mode == "startup") startup_table()
  else if (mode == "checker") checker_table()
  else if (mode == "plotdata") plot_data()
}

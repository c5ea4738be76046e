# startup.gp: job wall time against process count, from bench/run.sh's
# plot data (np, then pairdot and bare_mpi medians of MPICH, of Open MPI).
# Usage: gnuplot -e "datafile='startup.dat'; outfile='startup.png'" startup.gp
set terminal pngcairo size 900,600 noenhanced font ",11"
set output outfile
set title "Job wall time on 2 cores: pairdot against bare_mpi (median of rounds)"
set xlabel "processes"
set ylabel "wall time of the whole job (s)"
set logscale x 2
set logscale y 10
set xrange [0.8:80]
set xtics (1, 2, 4, 8, 16, 32, 64)
set grid xtics ytics mytics
set key top left
set datafile missing "-"
set style data linespoints
plot datafile using 1:2 title "MPICH pairdot" lw 2 pt 7 lc rgb "#1f77b4", \
     datafile using 1:3 title "MPICH bare_mpi" lw 2 pt 6 dt 2 lc rgb "#1f77b4", \
     datafile using 1:4 title "Open MPI pairdot" lw 2 pt 5 lc rgb "#d62728", \
     datafile using 1:5 title "Open MPI bare_mpi" lw 2 pt 4 dt 2 lc rgb "#d62728"

# The XA benchmark's chart: transactions per second against clients, both
# completion modes beside PostgreSQL's two-phase commit.
#   gnuplot -e "data='FILE'; output='PNG'; subtitle='TEXT'" bench/xa/xa-throughput.gp
# FILE: one line per client count: "clients default parallel pgbench" (tx/s).
if (!exists("subtitle")) subtitle = ""
set terminal pngcairo size 900,540 font "sans,11" noenhanced
set output output
set title "Whole XA transactions per second against concurrent clients\n".subtitle
set xlabel "concurrent clients"
set ylabel "transactions per second"
set yrange [0:*]
set grid ytics
set key top left Left reverse
set offsets 0, 0, graph 0.3, 0
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
plot data using 2:xtic(1) title "Morvalen, default completions" lc rgb "#4e79a7", \
     ''   using 3          title "Morvalen, MORVALEN_PARALLEL_COMPLETIONS=1" lc rgb "#f28e2b", \
     ''   using 4          title "PostgreSQL 15 two-phase commit (pgbench)" lc rgb "#59a14f"

# The windowed load rows as a chart: requests per second and CPU per request by window, the
# library beside the raw libcurl loop, one row of panels per protocol; below them the rows
# against a service that answers after 200 ms.
# Usage: gnuplot -e "h1='h1.dat'; h2='h2.dat'; latency='latency.dat'; out='chart.svg'" \
#          bench/load-chart.gp
# h1, h2: window label, velmora req/s, raw-poll req/s, velmora CPU µs, raw-poll CPU µs, then
# req/s and CPU µs with the inline executor; in the "all" line the raw-poll figures are those of
# its best window.
# latency: protocol and calls, velmora req/s (all at once), raw-poll req/s (256 in flight).
set terminal svg size 960,1080 dynamic font "sans,12" background rgb "white"
set output out
set multiplot layout 3,2 title "Load rows by window: velmora beside the raw libcurl loop"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set yrange [0:*]
set key below horizontal
set xtics nomirror
set ytics nomirror
set title "HTTP/1.1: requests per second"
plot h1 using 2:xtic(1) title "velmora" lc rgb "#3465a4", \
  '' using 6 title "velmora, inline executor" lc rgb "#73d216", '' using 3 title "raw-poll" lc rgb "#aaaaaa"
set title "HTTP/1.1: CPU µs per request"
plot h1 using 4:xtic(1) title "velmora" lc rgb "#3465a4", \
  '' using 7 title "velmora, inline executor" lc rgb "#73d216", '' using 5 title "raw-poll" lc rgb "#aaaaaa"
set title "HTTP/2: requests per second"
plot h2 using 2:xtic(1) title "velmora" lc rgb "#3465a4", \
  '' using 6 title "velmora, inline executor" lc rgb "#73d216", '' using 3 title "raw-poll" lc rgb "#aaaaaa"
set title "HTTP/2: CPU µs per request"
plot h2 using 4:xtic(1) title "velmora" lc rgb "#3465a4", \
  '' using 7 title "velmora, inline executor" lc rgb "#73d216", '' using 5 title "raw-poll" lc rgb "#aaaaaa"
set title "Service answering after 200 ms: requests per second"
plot latency using 2:xtic(1) title "velmora, all at once" lc rgb "#3465a4", \
  '' using 3 title "raw-poll, 256 in flight" lc rgb "#aaaaaa"
unset multiplot

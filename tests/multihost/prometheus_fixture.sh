#!/bin/bash
# CTest fixture: Debian's Prometheus node exporter (its textfile collector
# alone, reading DIR/textfile) and a Prometheus server scraping it every
# second, both on free loopback ports, their data and logs in DIR. Without
# them it does nothing (the tests then skip), unless
# PAIRDOT_REQUIRE_MULTIHOST=1.
#
#   prometheus_fixture.sh up DIR | down DIR
#
# DIR receives: url (Prometheus's), textfile/, prometheus.yml, data/, *.pid, *.log.
set -u
action=$1 dir=$2
# Ends what an earlier start left, by its recorded pid: TERM, KILL after 10 s.
stop() {
  local file pid
  for file in "$dir"/*.pid; do
    [ -f "$file" ] || continue
    pid=$(cat "$file")
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null && sleep 0.2; done
    kill -KILL "$pid" 2>/dev/null
    rm -f "$file"
  done
}
stop
rm -rf "$dir"
[ "$action" = down ] && exit 0
if ! command -v prometheus >/dev/null || ! command -v prometheus-node-exporter >/dev/null; then
  [ "${PAIRDOT_REQUIRE_MULTIHOST:-0}" = 1 ] &&
    { echo "FAIL: no prometheus or prometheus-node-exporter" >&2; exit 1; }
  echo "no prometheus or prometheus-node-exporter: the Prometheus tests will skip"
  exit 0
fi
mkdir -p "$dir/textfile" "$dir/data"

# A loopback port nothing listens on, from 19090 up.
free_port() {
  local port
  for ((port = ${1:-19090}; port < 19990; port++)); do
    [ -z "$(ss -Htln "sport = :$port")" ] && { echo "$port"; return; }
  done
  return 1
}
# Waits up to 30 s for URL to answer.
wait_up() { # URL WHAT
  for _ in $(seq 150); do
    curl -sf -o /dev/null "$1" && return
    sleep 0.2
  done
  echo "FAIL: $2 did not start; its log:" >&2
  cat "$dir/$2.log" >&2
  stop
  exit 1
}

exporter=$(free_port) || { echo "FAIL: no free port" >&2; exit 1; }
prometheus-node-exporter --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$dir/textfile" --web.listen-address="127.0.0.1:$exporter" \
  </dev/null >"$dir/exporter.log" 2>&1 &
echo $! >"$dir/exporter.pid"
wait_up "http://127.0.0.1:$exporter/metrics" exporter

cat >"$dir/prometheus.yml" <<END
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: pairdot
    static_configs:
      - targets: ['127.0.0.1:$exporter']
END
server=$(free_port $((exporter + 1))) || { echo "FAIL: no free port" >&2; stop; exit 1; }
prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/data" \
  --web.listen-address="127.0.0.1:$server" </dev/null >"$dir/prometheus.log" 2>&1 &
echo $! >"$dir/prometheus.pid"
wait_up "http://127.0.0.1:$server/-/ready" prometheus
echo "http://127.0.0.1:$server" >"$dir/url"
echo "node exporter on 127.0.0.1:$exporter, Prometheus on 127.0.0.1:$server"

#!/usr/bin/env bash
# collector.sh [COUNT]: the collector's ingest throughput and latency with 1 and 20 clients on
# SQLite and PostgreSQL, against the same rows stored straight into the same engine (the floor);
# the groups page with 10,000 groups and 1,000,000 reports; the server's peak memory under load.
# Built natively and optimised, without sanitizers (bench/CollectorBench.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-2000}
out=$PWD/${KELVANE_BUILD_DIR:-build}/bench-native
mkdir -p "$out"
common=(collector/KestrumCollectorReport.cpp collector/KestrumCollectorForm.cpp collector/KestrumCollectorStore.cpp
        collector/KestrumCollectorSqlite.cpp collector/KestrumCollectorPostgres.cpp collector/KestrumCollectorFiles.cpp
        report/KestrumReportText.cpp delivery/KestrumBugReportFile.cpp delivery/KestrumZip.cpp)
flags=(-std=c++20 -O2 -DNDEBUG -I. -I/usr/include/postgresql $(pkg-config --cflags cpp-httplib))
libs=($(pkg-config --libs cpp-httplib) -lsqlite3 -lpq -lz -pthread)
g++ "${flags[@]}" "${common[@]}" collector/KestrumCollectorPages.cpp collector/KestrumCollectorServer.cpp collector/KestrumCollectorMain.cpp \
  "${libs[@]}" -o "$out/kestrum-collector"
g++ "${flags[@]}" "${common[@]}" bench/CollectorBench.cpp "${libs[@]}" -o "$out/CollectorBench"
reports=collector/demo/bugreport.txt
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -f "$work/pg/db/postmaster.pid" ] && kill -INT "$(head -1 "$work/pg/db/postmaster.pid")" 2>/dev/null || true
  sleep 1
  rm -rf "$work"
}
trap cleanup EXIT

serve() {  # serve DATA [ARGS...]: starts the collector, sets $port and $pid
  "$out/kestrum-collector" serve --listen 127.0.0.1:0 --data "$1" --quiet --rate 0 --threads 20 "${@:2}" >"$work/serve.out" &
  pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do grep -q listening "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
  port=$(sed 's/.*://' "$work/serve.out")
}

# A private PostgreSQL cluster on a Unix socket; as root it belongs to nobody, as PostgreSQL
# refuses to run as root.
pgbin=$(ls -d /usr/lib/postgresql/*/bin | tail -1)
mkdir -p "$work/pg"
as=()
if [ "$(id -u)" = 0 ]; then chown nobody "$work/pg"; chmod 755 "$work"; as=(runuser -u nobody --); fi
"${as[@]}" "$pgbin/initdb" -A trust -U collector -D "$work/pg/db" >/dev/null
"${as[@]}" "$pgbin/pg_ctl" -w -D "$work/pg/db" -l "$work/pg/log" -o "-k $work/pg -c listen_addresses=''" start >/dev/null
pg() { echo "postgresql://collector@/$1?host=$work/pg"; }
"${as[@]}" psql -q "$(pg postgres)" -c 'CREATE DATABASE bench_http' -c 'CREATE DATABASE bench_floor' -c 'CREATE DATABASE bench_pages'

echo "== ingest, $count reports per run, $(nproc) cores"
for engine in sqlite postgresql; do
  echo "-- $engine"
  if [ $engine = sqlite ]; then db=(); floor=$work/floor.db; else db=(--database "$(pg bench_http)"); floor=$(pg bench_floor); fi
  serve "$work/$engine" "${db[@]}"
  for clients in 1 20; do "$out/CollectorBench" load "$port" $clients "$count" "$reports"; done
  grep VmHWM "/proc/$pid/status" | sed 's/^/  server peak memory /'
  kill "$pid"; wait "$pid" 2>/dev/null || true
  "$out/CollectorBench" floor "$floor" "$count" "$reports"
done

echo "== groups page, 10,000 groups and 1,000,000 reports"
for engine in sqlite postgresql; do
  if [ $engine = sqlite ]; then dbarg=$work/pages/collector.db; db=(); mkdir -p "$work/pages"; else dbarg=$(pg bench_pages); db=(--database "$dbarg"); fi
  "$out/CollectorBench" populate "$dbarg" 10000 1000000
  serve "$work/pages" "${db[@]}"
  for query in "sort=last" "sort=count" "sort=count&version=1.0.7"; do
    curl -s -o /dev/null "http://127.0.0.1:$port/?$query"
    best=$(for _ in 1 2 3 4 5; do curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$port/?$query"; done | sort -n | head -1)
    echo "$engine /?$query: best of 5 ${best}s"
  done
  kill "$pid"; wait "$pid" 2>/dev/null || true
done

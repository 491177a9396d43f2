#!/usr/bin/env bash
# A 2 x 2 sweep through a real Dask cluster on loopback (a scheduler and two workers) gives the
# same sweep.csv as the same sweep run locally.
#   sweep_on_cluster_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
export TOLBU_BUILD_DIR=$2
work=$(mktemp -d)
declare -a pids=()
cleanup() {
  # Workers first, then the scheduler; whatever does not end within 5 s is killed.
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
  for _ in $(seq 1 50); do
    local alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

dask-scheduler --host 127.0.0.1 --port 0 --dashboard-address 127.0.0.1:0 \
  --scheduler-file "$work/scheduler.json" >"$work/scheduler.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 200); do [ -s "$work/scheduler.json" ] && break; sleep 0.1; done
[ -s "$work/scheduler.json" ] || { cat "$work/scheduler.log"; echo "no scheduler"; exit 1; }
address=$(jq -r .address "$work/scheduler.json")
for w in 1 2; do
  dask-worker --scheduler-file "$work/scheduler.json" --host 127.0.0.1 --nthreads 1 \
    --no-nanny --dashboard-address 127.0.0.1:0 --local-directory "$work/w$w" \
    >"$work/worker-$w.log" 2>&1 &
  pids+=($!)
done
for _ in $(seq 1 300); do
  [ "$(grep -l "Registered to" "$work"/worker-*.log 2>/dev/null | wc -l)" -eq 2 ] && break
  sleep 0.1
done

sweep=(--bars 400 --sweep fast=3,5 slow=12,20)
"$src/scripts/backtest" "${sweep[@]}" --jobs 2 --out "$work/local" >"$work/local.txt" 2>&1 ||
  { cat "$work/local.txt"; echo "the local sweep failed"; exit 1; }
"$src/scripts/backtest" "${sweep[@]}" --cluster "$address" --out "$work/cluster" \
  >"$work/cluster.txt" 2>&1 || {
  cat "$work/cluster.txt"
  for log in "$work"/cluster/run-*.log; do echo "== $log"; tail -20 "$log"; done
  echo "the sweep on the cluster failed"
  exit 1
}
grep -q "4 backtests on $address (2 workers)" "$work/cluster.txt" ||
  { cat "$work/cluster.txt"; echo "not run on the cluster's two workers"; exit 1; }

# The same rows in the same order; only the report column's folder differs.
strip() { sed "s#$1/run-#RUN-#" "$1/sweep.csv"; }
if ! diff <(strip "$work/local") <(strip "$work/cluster"); then
  echo "sweep.csv differs between the local sweep and the cluster's"
  exit 1
fi
[ "$(wc -l <"$work/cluster/sweep.csv")" -eq 5 ] || { cat "$work/cluster/sweep.csv"; exit 1; }
echo "sweep on the cluster: sweep.csv identical to the local one"

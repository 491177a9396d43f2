#!/usr/bin/env bash
# scripts/backtest's command line: bad options refused with exit 2 and a reason, --help lists
# every option, sweeps over seeds and data files, a failing run named and the sweep failed,
# a quantity below the lot size failing the run, and the example over the sample data.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
backtest=$root/scripts/backtest
: "${TOLBU_BUILD_DIR:?the build folder holding tolbu-sim and the examples}"
work=$(mktemp -d /tmp/tolbu-backtest-cli.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect STATUS TEXT ARGS...: the script exits STATUS and its output holds TEXT.
expect() {
  local want=$1 text=$2; shift 2
  local got=0
  "$backtest" "$@" >out.txt 2>&1 || got=$?
  [ "$got" -eq "$want" ] || { fail "[$*] exit $got, expected $want"; sed 's/^/    /' out.txt | tail -5 >&2; }
  grep -qF -- "$text" out.txt || { fail "[$*] output lacks '$text'"; sed 's/^/    /' out.txt | tail -5 >&2; }
}

# Refusals, before anything runs.
expect 2 "--jobs must be a whole number above 0, not '0'" --jobs 0 --sweep fast=3,5
expect 2 "--jobs must be a whole number above 0, not 'two'" --jobs two
expect 2 "--sweep fast= has no values" --sweep fast=
expect 2 "--sweep fast=3,,5 has an empty value" --sweep fast=3,,5
expect 2 "--sweep seed= takes whole numbers" --sweep seed=1,x
expect 2 "unknown --sort 'best'" --sort best --sweep fast=3,5
expect 2 "--bars must be a whole number above 0" --bars -5
expect 2 "--data: no file $work/missing.csv" --data missing.csv
expect 2 "--out needs a value" --out
expect 2 "unknown option: --fats" --fats 3
printf 'time,open,high,low,close,volume\n' >VNM_x.csv
expect 2 "--data $work/VNM_x.csv is for VNM, which --symbol HPG,VIC does not trade" \
  --symbol HPG,VIC --data VNM_x.csv
expect 2 "is for FPT, which --symbol HPG does not trade" --symbol HPG --sweep data=FPT=VNM_x.csv

# --help names every option the script takes.
"$backtest" --help >help.txt || fail "--help exit $?"
for option in $(grep -o '^ *--[a-z-]*\(|--[a-z-]*\)*)' "$backtest" | tr -d ' )' | tr '|' '\n'); do
  grep -q -- "$option" help.txt || fail "--help does not list $option"
done
grep -q -- "--quantity" help.txt && grep -q -- "--title" help.txt || fail "--help lacks --quantity/--title"

# A quantity below the symbol's lot fails the run, naming the lot size.
expect 1 "is not a multiple of HPG's lot size 100" --symbol HPG --bars 60 --out hpg

# Seeds are histories of the sim: two seeds, two different reports.
expect 0 "2 backtests in" --bars 150 --sweep seed=1,2 --out seeds
[ "$(cut -d, -f1 seeds/sweep.csv | sort | tr '\n' ' ')" = "1 2 seed " ] ||
  fail "sweep.csv seeds: $(cut -d, -f1 seeds/sweep.csv | tr '\n' ' ')"
cmp -s seeds/run-0/report.json seeds/run-1/report.json && fail "seeds 1 and 2 gave the same report"

# Data files as a sweep key; a faulty one fails its run, which is named, and the sweep.
sample=$root/examples/data/VNM_1m.csv
head -201 "$sample" >VNM_a.csv
{ head -101 VNM_a.csv; sed -n 101p VNM_a.csv; sed -n '102,201p' VNM_a.csv; } >VNM_bad.csv
expect 1 "run 1 (data=$work/VNM_bad.csv) failed (exit 1)" --sweep data=VNM_a.csv,VNM_bad.csv --out files
grep -qF "VNM_bad.csv:102: duplicate time" out.txt || fail "the faulty file's line is not shown"
[ "$(wc -l <files/sweep.csv)" -eq 2 ] || fail "sweep.csv should hold the one run that finished"
[ "$(jq '.metrics.bars' files/run-0/report.json)" -eq 200 ] || fail "run 0 did not replay the file's 200 bars"

# --bars counts the file's bars, across the lunch break (bars 150 and 151 are 90 minutes apart).
expect 0 "Back end: positions agree" --data VNM_a.csv --bars 160 --out counted
[ "$(jq '.metrics.bars' counted/report.json)" -eq 160 ] || fail "--bars 160 over a file with a gap"

# The example over the shipped sample: the file's range and resolution, every bar replayed.
expect 0 "Back end: positions agree" --data "$sample" --out sample
bars=$(( $(wc -l <"$sample") - 1 ))
[ "$(jq '.metrics.bars' sample/report.json)" -eq "$bars" ] || fail "the sample's $bars bars were not all replayed"
[ "$(jq '.metrics.trades' sample/report.json)" -gt 0 ] || fail "no trade over the sample"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"

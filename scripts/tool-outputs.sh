#!/usr/bin/env bash
# The tools' outputs for a fixed set of runs, written to OUT with the time
# stamps masked, so that two builds' outputs can be compared byte for byte
# (diff -r) after a change that must not change them:
#   the bench's demo, a scenario of every wire fault, the replay of a
#   recording (each with every output file), vx40-report over the demo's
#   rounds, and vx40-ups serving the wire-fault scenario to vx40-bench --port
#   on a pseudo-terminal, with typed commands.
#
#   scripts/tool-outputs.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$(realpath "${1:?usage: tool-outputs.sh BUILD_DIR OUT_DIR}")
out=${2:?usage: tool-outputs.sh BUILD_DIR OUT_DIR}
cd "$(dirname "$0")/.."
rm -rf "$out" && mkdir -p "$out"
out=$(realpath "$out")
bench=$build/vx40-bench ups=$build/vx40-ups report=$build/vx40-report

cat > "$out/wire.json" <<'JSON'
{"rounds": [
  {"wire": {"41": {"chksum": true}}},
  {"wire": {"43": {"lchksum": true}}},
  {"wire": {"44": {"rtn": 2}}},
  {"wire": {"44": {"rtn": 4, "rtn_info": true}}},
  {"wire": {"46": {"late": true}}},
  {"status": {"inverter": "fault", "battery_voltage": "pre_alarm"}, "analog": {"output_a_a": 3.5}},
  {"wire": {"41": {"noise": "\u0001garbage~12"}, "43": {"chunk": 5}, "44": {"chunk": 1}}},
  {"wire": {"46": {"adr": 2}}, "short": {"41": 30}},
  {"drop": ["43"], "status": {"inverter": "normal"}}]}
JSON

# Every output of one bench run, in OUT/NAME.*; its exit status last in .out.
run_bench() {  # name, options...
  local name=$1; shift
  local status=0
  "$bench" "$@" --json "$out/$name.jsonl" --trace "$out/$name.trace" --record "$out/$name.record" \
    --report "$out/$name.html" --history "$out/$name.history" --save-cache "$out/$name.cache" \
    > "$out/$name.out" 2> "$out/$name.err" || status=$?
  echo "exit $status" >> "$out/$name.out"
}
run_bench demo
run_bench wire --scenario "$out/wire.json"
run_bench replay --replay "$out/wire.record"
run_bench replay-example --replay examples/session.jsonl
"$report" "$out/demo.jsonl" "$out/report.html" > "$out/report.out" 2>&1 || echo "exit $?" >> "$out/report.out"
"$report" --from "2000-01-01" "$out/wire.jsonl" "$out/report-from.html" >> "$out/report.out" 2>&1 ||
  echo "exit $?" >> "$out/report.out"

# vx40-ups on a pseudo-terminal, the bench as its host; typed commands on stdin.
link=$out/ups.link fifo=$out/ups.stdin
mkfifo "$fifo"
"$ups" --pty --link "$link" --scenario "$out/wire.json" --late-after 1200 --trace "$out/ups.trace" \
  --json "$out/ups.jsonl" < "$fifo" > "$out/ups.out" 2> "$out/ups.err" &
pid=$!
exec 7> "$fifo"
for _ in $(seq 200); do [ -L "$link" ] && break; sleep 0.05; done
"$bench" --port "$link" --timeout 1 --interval 0 --scenario "$out/wire.json" --json "$out/port.jsonl" \
  > "$out/port.out" 2> "$out/port.err" || echo "exit $?" >> "$out/port.out"
printf 'help\nstatus\nset input_v_ab 180\nset inverter fault\nset nothing 1\ndrop 44\nfault 46 chksum\nfault 46 what\nsilent 0\nbogus\n' >&7
sleep 0.5
"$bench" --port "$link" --timeout 1 --interval 0 --rounds 2 --json "$out/port2.jsonl" \
  > "$out/port2.out" 2> "$out/port2.err" || echo "exit $?" >> "$out/port2.out"
echo status >&7
sleep 0.3
exec 7>&-
kill -INT "$pid"; wait "$pid" || echo "exit $?" >> "$out/ups.out"
rm -f "$fifo"

# Saved records as hex lines, their time stamp (the last seven bytes) masked.
for f in "$out"/*.history "$out"/*.cache; do
  [ -s "$f" ] || continue
  od -An -v -tx1 -w139 "$f" | tr -d ' ' | sed -E 's/[0-9a-f]{14}$/TIME/' > "$f.hex"
  rm "$f"
done
# Time stamps masked: wall clocks, records' time stamps, seconds since the
# start, durations.
for f in "$out"/*; do
  case $f in *.hex|*/wire.json|*.link) continue ;; esac
  sed -i -E -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}[ T][0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?/CLOCK/g' \
    -e 's/"(t|seconds|clock|time|at)":[-0-9.e+]+/"\1":T/g' \
    -e 's/^ *[0-9]+\.[0-9]{6} /T /' -e 's/[0-9]+(\.[0-9]+)? ?(ms|s)\b/N\2/g' \
    -e 's/("(record|cache)":"[0-9a-f]*)[0-9a-f]{14}"/\1TIME"/g' -e 's/"t0":[0-9]+/"t0":T/g' \
    -e 's#[^ "]*/examples/#SRC/examples/#g' -e "s#$out#OUT#g" -e 's#/dev/pts/[0-9]+#PTS#g' "$f"
done
echo "tool-outputs: $(ls "$out" | wc -l) files in $out"

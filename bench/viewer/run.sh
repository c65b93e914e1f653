#!/usr/bin/env bash
# The viewer's first fill, two builds side by side: each round runs the "before" and the "after"
# program once (alternating which goes first), on a 20,000-feature file with some registers
# above 0xFFFF and on a 2,000-feature file without any. Prints median [min..max] per figure.
#
#   bench/viewer/run.sh BEFORE/qx_bench_viewer AFTER/qx_bench_viewer [rounds] [cap seconds]
#
# Runs offscreen unless DISPLAY is set (for example under xvfb-run with openbox).
set -euo pipefail
before=$(realpath "$1")
after=$(realpath "$2")
rounds=${3:-3}
cap=${4:-120}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$after" --generate big.xml --features 20000 --far-every 100
"$after" --generate small.xml --features 2000 --far-every 0

run() { # label program file
  local line
  line=$("$2" --xml "$3" --cap-seconds "$cap" 2>/dev/null | grep '^response_ms=' || echo "failed=1")
  echo "$1 $line" | tee -a results.txt
}
for ((r = 0; r < rounds; r++)); do
  for file in big.xml small.xml; do
    if ((r % 2 == 0)); then
      run "before:$file" "$before" "$file"; run "after:$file" "$after" "$file"
    else
      run "after:$file" "$after" "$file"; run "before:$file" "$before" "$file"
    fi
  done
done

echo
echo "median [min..max] over $rounds rounds (cap ${cap}s)"
for label in before:big.xml after:big.xml before:small.xml after:small.xml; do
  printf '%s\n' "$label"
  for key in response_ms stall_ms gap_ms fill_ms rows read_rows unbuilt_rows clipboard_writes clipboard_ms boxes_max capped cpu_ms expand_ms \
      filter_ms filter_cpu_ms; do
    grep "^$label " results.txt | tr ' ' '\n' | sed -n "s/^$key=//p" | sort -n |
      awk -v k="$key" '{ v[NR] = $1 } END {
        if (NR == 0) exit;
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
        printf "  %-17s %10s [%s..%s]\n", k, m, v[1], v[NR] }'
  done
done

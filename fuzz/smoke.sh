#!/usr/bin/env bash
# A short libFuzzer run of every target on its committed seeds, for CI.
# Builds the fuzz preset first when needed. Seed files are copied to a
# scratch directory, so nothing is written into the tree. Exits non-zero
# when any target crashes, leaks, times out or trips a sanitizer; the
# failing input is printed in hex so that the log alone reproduces it.
#
#   fuzz/smoke.sh             # 60 s per target
#   FUZZ_SECONDS=10 fuzz/smoke.sh
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
bin=$root/build/fuzz/fuzz

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vexa-smoke.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

cd "$root" || exit 1
if [ ! -f build/fuzz/CMakeCache.txt ]; then
  cmake --preset fuzz >"$scratch/configure.log" 2>&1 ||
    { tail -n 40 "$scratch/configure.log" >&2; echo "fuzz: configure failed" >&2; exit 1; }
fi
cmake --build --preset fuzz >"$scratch/build.log" 2>&1 ||
  { tail -n 40 "$scratch/build.log" >&2; echo "fuzz: build failed" >&2; exit 1; }

status=0
# target:max_len. Round trips need room for a head, a trial and a filter.
for entry in decode:4096 round_trip:16384 filters:8192 api:8192; do
  target=${entry%%:*}
  max_len=${entry#*:}
  work=$scratch/$target
  mkdir -p "$work/corpus" "$work/crash"
  cp "$root/fuzz/seeds/$target"/* "$work/corpus/"
  echo "== ${target}_fuzz for ${seconds} s"
  "$bin/${target}_fuzz" -max_total_time="$seconds" -max_len="$max_len" -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/crash/" \
      "$work/corpus" >"$work/log" 2>&1
  rc=$?
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' "$work/log"
  if [ $rc -ne 0 ]; then
    status=1
    echo "${target}_fuzz failed with status $rc:" >&2
    tail -n 60 "$work/log" >&2
    for artifact in "$work/crash"/*; do
      [ -e "$artifact" ] || continue
      echo "-- $(basename "$artifact") ($(wc -c <"$artifact") bytes):" >&2
      od -An -tx1 -v "$artifact" | head -64 >&2
    done
  fi
done
exit $status

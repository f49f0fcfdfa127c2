#!/usr/bin/env bash
# Peak resident memory of whole runs, in both directions: the tables and
# buffers are fixed in size, so no input may take a run to 8 MiB. Inputs: the
# shipped samples, one file of several blocks made of them, and the corpus
# files when the corpus is on this machine. Needs GNU time; skipped under the
# sanitizers, whose shadow memory dwarfs the limit.
# Usage: bash memory.sh <vexa binary> <corpus dir> <scratch dir>
set -u

# shellcheck source=common.bash
source "$(dirname "$0")/common.bash" "$@"
SAMPLES=$(realpath "$(dirname "$0")/../samples")
if [ "${VEXA_SANITIZED:-0}" = 1 ]; then
    skip "peak memory" "sanitized build"
    exit 0
fi
if [ ! -x /usr/bin/time ]; then
    skip "peak memory" "no /usr/bin/time"
    exit 0
fi
enter_scratch


MEMORY_LIMIT_KIB=8192
RUN_PREFIX=(/usr/bin/time -f %M -o rss.txt)
peak_kib=0

run() {
    rm -f rss.txt
    vexa_run_ok "$1" 600 "${@:2}" || return 1
    local kib
    kib=$(tail -n 1 rss.txt)
    [ "$kib" -lt "$MEMORY_LIMIT_KIB" ] || fail "$1" "peak resident memory $kib KiB, not below $MEMORY_LIMIT_KIB KiB"
    [ "$kib" -le "$peak_kib" ] || peak_kib=$kib
}

samples=()
for path in "$SAMPLES"/*; do
    [ -f "$path" ] && [ "${path##*.}" != md ] && samples+=("$path")
done
# Sound first, so that the structured model takes every block; then every
# kind, twice: four blocks in all.
cat "$SAMPLES"/*.wav "${samples[@]}" "${samples[@]}" > several_blocks
inputs=("${samples[@]}" "$PWD/several_blocks")
if [ -d "$CORPUS" ]; then
    inputs+=("$(realpath "$CORPUS")"/*)
else
    echo "note: no corpus at '$CORPUS'; the samples only"
fi

for path in "${inputs[@]}"; do
    [ -f "$path" ] && [ "${path##*.}" != md ] || continue
    run "${path##*/}: compress" c "$path" packed.vx || continue
    run "${path##*/}: decompress" d packed.vx restored
done

echo "memory.sh: $checks runs, peak memory $peak_kib KiB, $failed failed checks"
[ "$failed" -eq 0 ]

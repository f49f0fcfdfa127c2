#!/usr/bin/env bash
# Real files: each must compress to exactly its reference file in
# <corpus>/expected/<name>.vx, and each reference file must restore the
# original. Skipped, with a note, when the corpus is not on this machine.
# Usage: bash corpus.sh <vexa binary> <corpus dir> <scratch dir>
set -u

BIN=$(realpath "$1")
CORPUS=$2
WORK=$3
if [ ! -d "$CORPUS" ] || [ ! -d "$CORPUS/expected" ]; then
    echo "note: no corpus at '$CORPUS'; corpus checks skipped"
    exit 0
fi
CORPUS=$(realpath "$CORPUS")
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || { echo "cannot use scratch dir $WORK" >&2; exit 1; }

checks=0
failed=0
fail() {
    echo "FAIL [$1]: $2" >&2
    failed=$((failed + 1))
}

run() {
    local name=$1
    shift
    timeout 600 "$BIN" "$@" >out.txt 2>err.txt
    status=$?
    checks=$((checks + 1))
    stderr_text=
    IFS= read -r -d '' stderr_text <err.txt   # a builtin: no process per run
    if [[ $stderr_text == *Sanitizer* || $stderr_text == *"runtime error"* ]]; then
        fail "$name" "sanitizer report: $(head -c 600 err.txt)"
    elif [ "$status" -ne 0 ]; then
        fail "$name" "vexa $* ended with status $status: $(head -c 300 err.txt)"
    fi
}

files=0
for path in "$CORPUS"/*; do
    [ -f "$path" ] || continue
    name=${path##*/}
    expected="$CORPUS/expected/$name.vx"
    if [ ! -f "$expected" ]; then
        [ "$name" = MANIFEST.md ] || echo "note: $name has no reference file; round trip only"
        run "$name: compress" c "$path" packed.vx
        run "$name: decompress" d packed.vx restored
        cmp -s "$path" restored || fail "$name" "the round trip changed the file"
        continue
    fi
    files=$((files + 1))
    run "$name: compress" c "$path" packed.vx
    if ! cmp -s "$expected" packed.vx; then
        fail "$name" "compressed bytes differ from expected/$name.vx ($(cmp "$expected" packed.vx 2>&1 | head -1))"
    fi
    # Decoding the reference file rather than our own output checks the
    # decoder even when the compressor has drifted.
    run "$name: decompress" d "$expected" restored
    cmp -s "$path" restored || fail "$name" "expected/$name.vx does not restore the original"
done
[ "$files" -gt 0 ] || fail "corpus" "no file in $CORPUS has a reference file"

echo "corpus.sh: $files files with reference bytes, $checks runs, $failed failed checks"
[ "$failed" -eq 0 ]

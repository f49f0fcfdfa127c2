#!/usr/bin/env bash
# Real files: each in <dir> must compress to exactly its reference file in
# <dir>/expected/<name>.vx, and each reference file must restore the
# original; all reference files concatenated restore all originals in turn. Run on the samples shipped in tests/samples (always there) and on
# the corpus, which is skipped when it is not on this machine.
# Usage: bash corpus.sh <vexa binary> <dir> <scratch dir>
set -u

# shellcheck source=common.bash
source "$(dirname "$0")/common.bash" "$@"
if [ ! -d "$CORPUS" ] || [ ! -d "$CORPUS/expected" ]; then
    skip "corpus" "no files with reference bytes at '$CORPUS'"
    exit 0
fi
CORPUS=$(realpath "$CORPUS")
enter_scratch


run() { vexa_run_ok "$1" 600 "${@:2}"; }

files=0
: > all.vx
: > all.orig
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
    cat "$expected" >> all.vx && cat "$path" >> all.orig
done
[ "$files" -gt 0 ] || fail "corpus" "no file in $CORPUS has a reference file"
run "all reference files concatenated: decompress" d all.vx restored
cmp -s all.orig restored || fail "concatenation" "does not restore the originals in turn ($(cmp all.orig restored 2>&1 | head -1))"

echo "corpus.sh: $files files with reference bytes, $checks runs, $failed failed checks"
[ "$failed" -eq 0 ]

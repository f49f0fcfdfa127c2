#!/usr/bin/env bash
# Runs that must be refused or must fail cleanly: output and input naming the
# same file, outputs that cannot be written, inputs too large or without a
# length. Each ends with status 1, "path: reason" on stderr, no summary, and
# no partial output left behind.
# Usage: bash faults.sh <vexa binary> <corpus dir> <scratch dir>
set -u

# shellcheck source=common.bash
source "$(dirname "$0")/common.bash" "$@"
enter_scratch


run() { vexa_run "$1" 120 "${@:2}"; }

# Status 1, nothing on stdout, and exactly one stderr line starting "path: ".
expect_refused() {
    local name=$1 path=$2
    [ "$status" -eq 1 ] || fail "$name" "status $status, expected 1 (stderr: $(head -c 300 err.txt))"
    [ ! -s out.txt ] || fail "$name" "stdout should be empty: $(head -c 300 out.txt)"
    if [ "$(wc -l < err.txt)" -ne 1 ] || [ "$(head -c $((${#path} + 2)) err.txt)" != "$path: " ]; then
        fail "$name" "stderr '$(head -c 300 err.txt)' should be one line starting '$path: '"
    fi
}
expect_stderr() {
    printf '%s\n' "$2" > want_err.txt
    cmp -s want_err.txt err.txt || fail "$1" "stderr is '$(head -c 300 err.txt)', expected '$2'"
}
# Under wine, the server deletes a killed run's output just after the
# process is gone, not with it: a moment's grace there.
expect_absent() {
    local tries=1
    [ "$ON_WINDOWS" = 0 ] || tries=30
    while [ "$tries" -gt 0 ] && { [ -e "$2" ] || [ -L "$2" ]; }; do
        tries=$((tries - 1))
        [ "$tries" -eq 0 ] || sleep 0.1
    done
    [ ! -e "$2" ] && [ ! -L "$2" ] || fail "$1" "$2 was left behind"
}
expect_same() { cmp -s "$2" "$3" || fail "$1" "$3 differs from $2"; }

printf 'plain words for a plain test, repeated: plain words for a plain test\n' > x
cp x x.orig
"${VEXA[@]}" c x.orig x.vx >/dev/null || { echo "cannot compress a test file" >&2; exit 1; }
cp x.vx x.vx.orig
head -c 300000 /dev/urandom > noise.bin
"${VEXA[@]}" c noise.bin noise.vx >/dev/null || { echo "cannot compress a test file" >&2; exit 1; }

# --- Input and output are one file, however it is named: refused before the
# output is opened, so the input survives.
mkdir -p sub
ln -f x hard_x
ln -sf x sym_x
ln -sf "$PWD/x" sub/abs_sym_x
for out in x ./x sub/../x "$PWD/x" hard_x sym_x sub/abs_sym_x; do
    run "same file: c x $out" c x "$out"
    expect_refused "same file: c x $out" "$out"
    expect_same "same file: c x $out" x.orig x
    expect_same "same file: c x $out (link intact)" x.orig hard_x
done
run "same file: input through a symlink" c sym_x x
expect_refused "same file: input through a symlink" x
expect_same "same file: input through a symlink" x.orig x
ln -f x.vx hard_x.vx
for out in x.vx ./x.vx hard_x.vx; do
    run "same file: d x.vx $out" d x.vx "$out"
    expect_refused "same file: d x.vx $out" "$out"
    expect_same "same file: d x.vx $out" x.vx.orig x.vx
done

# --- A full device: every failed write, flush or close is reported with the
# output path. Small runs fail at the final flush, large ones mid-run.
for case in "c x" "c noise.bin" "d x.vx" "d noise.vx"; do
    # shellcheck disable=SC2086  # mode and input
    run "/dev/full: $case" $case /dev/full
    expect_refused "/dev/full: $case" /dev/full
    expect_stderr "/dev/full: $case" "/dev/full: No space left on device"
done
: > empty.bin
run "/dev/full: c of an empty input" c empty.bin /dev/full
expect_stderr "/dev/full: c of an empty input" "/dev/full: No space left on device"
[ -c /dev/full ] || fail "/dev/full" "/dev/full is no longer a character device"

# --- A regular output that cannot grow (file size limit, SIGXFSZ ignored so
# that the write fails with EFBIG instead of killing the process): the
# partial output is removed.
if posix_only "file size limits"; then
    if (trap '' XFSZ; ulimit -f 64 && head -c 200000 /dev/zero > limit_probe 2>/dev/null); then
        skip "partial output" "the file size limit is not enforced here"
    else
        for case in "c noise.bin" "d noise.vx"; do
            (trap '' XFSZ; ulimit -f 64; timeout 120 "${VEXA[@]}" $case capped.out >out.txt 2>err.txt) 2>/dev/null
            status=$?
            checks=$((checks + 1))
            [ "$status" -eq 1 ] || fail "size limit, SIGXFSZ ignored: $case" "status $status, expected 1"
            expect_stderr "size limit, SIGXFSZ ignored: $case" "capped.out: File too large"
            expect_absent "size limit, SIGXFSZ ignored: $case" capped.out
        done
        # Through a symbolic link, the file written is the one removed.
        ln -sf capped.target capped.link
        (trap '' XFSZ; ulimit -f 64; timeout 120 "${VEXA[@]}" c noise.bin capped.link >out.txt 2>err.txt) 2>/dev/null
        status=$?
        checks=$((checks + 1))
        [ "$status" -eq 1 ] || fail "size limit through a symlink" "status $status, expected 1"
        expect_absent "size limit through a symlink" capped.target
        rm -f capped.link
    fi
    rm -f limit_probe

    # --- A run ended by a signal leaves no partial output either. With the file
    # size limit at its default action the run dies of SIGXFSZ.
    (ulimit -f 64; "${VEXA[@]}" c noise.bin capped.out >out.txt 2>err.txt) 2>/dev/null
    status=$?
    checks=$((checks + 1))
    [ "$status" -ne 0 ] || fail "size limit, default action" "status 0 from a run that cannot write its output"
    expect_absent "size limit, default action" capped.out
fi

# Ends the background run $pid with SIGNAL (TERM unless given), closes the
# FIFO it reads (fd 3), and checks its STATUS (143: death by SIGTERM) and
# that it left no OUTPUT behind.
expect_killed() {   # WHAT OUTPUT [SIGNAL STATUS]
    kill -"${3:-TERM}" "$pid"
    exec 3>&-
    wait "$pid"
    status=$?
    checks=$((checks + 1))
    [ "$status" -eq "${4:-143}" ] || fail "$1" "status $status, expected ${4:-143}"
    expect_absent "$1" "$2"
}

# Starts the decoder on a FIFO in the background ($pid), fed a little on
# fd 3, and waits until its output is created.
decode_slowly() {
    "${VEXA[@]}" d slow.fifo killed.out >out.txt 2>err.txt &
    pid=$!
    exec 3>slow.fifo
    head -c 4000 noise.vx >&3
    for _ in $(seq 100); do [ -e killed.out ] && break; sleep 0.1; done
    sleep 0.5   # past the point where the run has recorded its output
}

# SIGTERM while the decoder waits for input, its output already created: the
# output goes, and the run dies of the signal. On Windows, Ctrl-C too (wine
# turns SIGINT into it), which ends the run with the system's status for
# it, 0xC000013A, of which a shell sees 58.
mkfifo slow.fifo
decode_slowly
expect_killed "SIGTERM mid-run" killed.out
if [ "$ON_WINDOWS" = 1 ]; then
    decode_slowly
    expect_killed "Ctrl-C mid-run" killed.out INT 58
fi

# --- Inputs too large for the 32-bit length: refused before the output is
# opened, so an existing output survives. Sparse files cost no disk space.
printf 'keep me' > kept.bin
cp kept.bin kept.orig
for size in 4294967296 4294967297; do
    if truncate -s "$size" huge.bin 2>/dev/null; then
        run "input of $size bytes" c huge.bin fresh.vx
        expect_refused "input of $size bytes" huge.bin
        expect_absent "input of $size bytes" fresh.vx
        run "input of $size bytes keeps output" c huge.bin kept.bin
        expect_refused "input of $size bytes keeps output" huge.bin
        expect_same "input of $size bytes keeps output" kept.orig kept.bin
    else
        skip "input of $size bytes" "cannot make a sparse file of that size here"
    fi
    rm -f huge.bin
done
# Lengths from 2^31 up to the largest are taken: compressing one takes
# minutes, so each run is stopped after a few seconds. Not refused, it is
# still running then, and its partial output goes with it.
for size in 2147483648 4294967295; do
    if truncate -s "$size" huge.bin 2>/dev/null; then
        vexa_run "input of $size bytes taken" 3 c huge.bin fresh.vx
        [ "$status" -eq 124 ] && [ ! -s err.txt ] ||
            fail "input of $size bytes taken" "status $status, stderr '$(head -c 300 err.txt)'; expected a run stopped by timeout"
        expect_absent "input of $size bytes taken" fresh.vx
    else
        skip "input of $size bytes taken" "cannot make a sparse file of that size here"
    fi
    rm -f huge.bin
done
# A whole round trip past 2^31, counts and bytes: about five minutes, so
# only when asked for.
if [ "${VEXA_TEST_LARGE:-0}" = 1 ] && truncate -s 2147483648 huge.bin 2>/dev/null; then
    printf 'tail' >> huge.bin
    vexa_run "input of 2^31 + 4 bytes" 1200 c huge.bin huge.vx
    grep -q '^huge.bin (2147483652 bytes) -> huge.vx ([0-9]* bytes) in ' out.txt ||
        fail "input of 2^31 + 4 bytes" "status $status, summary '$(cat out.txt)'"
    timeout 1200 "${VEXA[@]}" d huge.vx /dev/stdout 2>err.txt | cmp -s - huge.bin ||
        fail "input of 2^31 + 4 bytes" "the round trip changed the data"
    grep -q '^huge.vx ([0-9]* bytes) -> /dev/stdout (2147483652 bytes) in ' err.txt ||
        fail "input of 2^31 + 4 bytes" "decompression summary '$(cat err.txt)'"
    rm -f huge.bin huge.vx
else
    skip "round trip past 2 GiB" "takes minutes; VEXA_TEST_LARGE=1 runs it"
fi

# --- Inputs that are no file to compress: a directory (either way) and a
# device, which has no length and may never end. Decompression reads a
# device to its end: /dev/zero, empty streams without end, runs until stopped.
mkdir -p a_dir
for mode in c d; do
    run "directory input ($mode)" "$mode" a_dir dir.out
    expect_refused "directory input ($mode)" a_dir
    expect_absent "directory input ($mode)" dir.out
done
run "character device" c /dev/zero dev.out
expect_refused "character device" /dev/zero
expect_stderr "character device" "/dev/zero: is a character device; vexa compresses files and pipes"
expect_absent "character device" dev.out
block=$(find /dev -maxdepth 1 -type b -readable 2>/dev/null | head -n 1)
if ! posix_only "block devices"; then
    :
elif [ -n "$block" ]; then
    run "block device" c "$block" dev.out
    expect_refused "block device" "$block"
    expect_stderr "block device" "$block: is a block device; vexa compresses files and pipes"
    expect_absent "block device" dev.out
else
    skip "block device" "no readable block device"
fi
"${VEXA[@]}" d /dev/zero dev.out >out.txt 2>err.txt &
pid=$!
sleep 0.5
expect_killed "decompress /dev/zero" dev.out

# --- Pipes are taken whole into an unlinked file in $TMPDIR first (on
# Windows, a file in %TEMP% deleted when closed); nothing of it stays there,
# whatever the end. Past the largest length the reading stops: refused,
# nothing left behind.
mkdir -p spool
in_spool=(env "TMPDIR=$PWD/spool")
spool_left() { ls -A spool; }
if [ "$ON_WINDOWS" = 1 ]; then
    in_spool=()  # wine would start a server of its own for another $TMPDIR
    # The prefix's one temporary folder: CTest runs these scripts one at a
    # time there, and the server deletes a file a moment after its close.
    spool_left() {
        local tries=30 left
        while left=$(find "${WINEPREFIX:-$HOME/.wine}"/drive_c/users/*/Temp -maxdepth 1 -name 'vx*.tmp') &&
              [ -n "$left" ] && [ $((tries -= 1)) -gt 0 ]; do
            sleep 0.1
        done
        echo "$left"
    }
fi
cat /dev/zero | "${in_spool[@]}" timeout 300 "${VEXA[@]}" c /dev/stdin piped.vx >out.txt 2>err.txt
status=${PIPESTATUS[1]}
checks=$((checks + 1))
expect_refused "compress from an endless pipe" /dev/stdin
expect_stderr "compress from an endless pipe" "/dev/stdin: too large: vexa compresses files of less than 4 GiB"
expect_absent "compress from an endless pipe" piped.vx
[ -z "$(spool_left)" ] || fail "compress from an endless pipe" "left behind: $(spool_left)"
mkfifo spool.fifo
"${in_spool[@]}" "${VEXA[@]}" c spool.fifo piped.vx >out.txt 2>err.txt &
pid=$!
exec 3>spool.fifo
head -c 200000 noise.bin >&3
sleep 0.5
expect_killed "SIGTERM while taking a pipe" piped.vx
[ -z "$(spool_left)" ] || fail "SIGTERM while taking a pipe" "left behind: $(spool_left)"
if posix_only "a missing \$TMPDIR"; then
    cat x | TMPDIR=$PWD/no_such_dir timeout 120 "${VEXA[@]}" c /dev/stdin piped.vx >out.txt 2>err.txt
    status=${PIPESTATUS[1]}
    checks=$((checks + 1))
    expect_stderr "missing \$TMPDIR" "$PWD/no_such_dir: No such file or directory"
    expect_refused "missing \$TMPDIR" "$PWD/no_such_dir"
    expect_absent "missing \$TMPDIR" piped.vx
fi

echo "faults.sh: $checks runs, $failed failed checks"
[ "$failed" -eq 0 ]

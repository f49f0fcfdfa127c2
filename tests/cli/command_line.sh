#!/usr/bin/env bash
# The command line as a user meets it: the usage text, the mode letter, files
# that cannot be opened, and the summary line of a completed run.
# Usage: bash command_line.sh <vexa binary> <corpus dir> <scratch dir>
set -u

# shellcheck source=common.bash
source "$(dirname "$0")/common.bash" "$@"
enter_scratch


run() { vexa_run "$1" 120 "${@:2}"; }

expect_status() {
    [ "$status" -eq "$2" ] || fail "$1" "status $status, expected $2 (stderr: $(head -c 300 err.txt))"
}
expect_stdout_empty() { [ ! -s out.txt ] || fail "$1" "unexpected stdout: $(head -c 300 out.txt)"; }
expect_stderr_empty() { [ ! -s err.txt ] || fail "$1" "unexpected stderr: $(head -c 300 err.txt)"; }
expect_stderr() {
    printf '%s\n' "$2" > want_err.txt
    cmp -s want_err.txt err.txt || fail "$1" "stderr is '$(head -c 300 err.txt)', expected '$2'"
}
expect_absent() { [ ! -e "$2" ] && [ ! -L "$2" ] || fail "$1" "$2 exists but should not"; }
expect_same() { cmp -s "$2" "$3" || fail "$1" "$3 differs from $2"; }

# The exact summary: both paths as typed, both counts, two decimals of seconds.
# The line is read from out.txt, or from the file given sixth.
expect_summary() {
    local name=$1 in=$2 in_bytes=$3 out=$4 out_bytes=$5 file=${6:-out.txt}
    local prefix="$in ($in_bytes bytes) -> $out ($out_bytes bytes) in "
    local line
    line=$(cat "$file")
    if [ "$(wc -l < "$file")" -ne 1 ] || [ "${line#"$prefix"}" = "$line" ] ||
       ! [[ ${line#"$prefix"} =~ ^[0-9]+\.[0-9]{2}\ s\.$ ]]; then
        fail "$name" "summary is '$line', expected '${prefix}<seconds with two decimals> s.'"
    fi
}

printf '%s%12s\n%s\n%s\n' 'experimental vexa method v.0.01' '' \
    'To compress:   vexa c input output' 'To decompress: vexa d input output' > usage.txt
printf 'a few words of plain text\n' > in.txt
printf 'keep me' > kept.bin
cp kept.bin kept.orig

# --- Wrong argument counts and mode letters: usage on stdout, status 1, no file touched.
for args in "" "c" "c in.txt" "c in.txt fresh.vx extra" "d in.txt fresh.vx extra more"; do
    # shellcheck disable=SC2086  # the words are the arguments
    run "usage for arguments '$args'" $args
    expect_status "usage for arguments '$args'" 1
    cmp -s usage.txt out.txt || fail "usage for arguments '$args'" "stdout is not the usage text: $(head -c 200 out.txt)"
    expect_stderr_empty "usage for arguments '$args'"
    expect_absent "usage for arguments '$args'" fresh.vx
done
for mode in C D x "" " c" "-c"; do
    run "usage for mode '$mode'" "$mode" in.txt fresh.vx
    expect_status "usage for mode '$mode'" 1
    cmp -s usage.txt out.txt || fail "usage for mode '$mode'" "stdout is not the usage text"
    expect_stderr_empty "usage for mode '$mode'"
    expect_absent "usage for mode '$mode'" fresh.vx
    run "usage for mode '$mode' keeps output" "$mode" in.txt kept.bin
    expect_same "usage for mode '$mode' keeps output" kept.orig kept.bin
done

# --- Only the first letter of the mode counts.
run "mode word compress" compress in.txt word.vx
expect_status "mode word compress" 0
run "mode word decompress" decompress word.vx word.txt
expect_status "mode word decompress" 0
expect_same "mode words round trip" in.txt word.txt

# --- Summary lines: exact counts, paths as typed, the decompression's counts swapped.
in_size=$(stat -c %s in.txt)
mkdir -p sub
run "summary compress" c ./sub/../in.txt sub/in.vx
expect_status "summary compress" 0
expect_stderr_empty "summary compress"
vx_size=$(stat -c %s sub/in.vx)
expect_summary "summary compress" ./sub/../in.txt "$in_size" sub/in.vx "$vx_size"
run "summary decompress" d sub/in.vx ./back.txt
expect_status "summary decompress" 0
expect_stderr_empty "summary decompress"
expect_summary "summary decompress" sub/in.vx "$vx_size" ./back.txt "$in_size"
expect_same "summary round trip" in.txt back.txt
# Of concatenated streams and padding, the whole input is read.
{ cat sub/in.vx sub/in.vx; printf '\0\0\0'; } > twice.vx
run "summary of two streams" d twice.vx twice.txt
expect_summary "summary of two streams" twice.vx $((2 * vx_size + 3)) twice.txt $((2 * in_size))

# --- Names in any script: opened, written and shown as typed.
name='données-日本.txt'
cp in.txt "$name"
run "unicode names" c "$name" "$name.vx"
expect_summary "unicode names" "$name" "$in_size" "$name.vx" "$vx_size"
run "unicode names" d "$name.vx" "$name.back"
expect_same "unicode names" in.txt "$name.back"

# --- The empty input: 9 zero bytes, and back to an empty file.
: > empty.bin
run "empty compress" c empty.bin empty.vx
expect_status "empty compress" 0
expect_summary "empty compress" empty.bin 0 empty.vx 9
printf '\0\0\0\0\0\0\0\0\0' > nine_zeros.bin
expect_same "empty compress" nine_zeros.bin empty.vx
printf 'stale' > empty.out
run "empty decompress" d empty.vx empty.out
expect_status "empty decompress" 0
expect_summary "empty decompress" empty.vx 9 empty.out 0
[ -f empty.out ] && [ ! -s empty.out ] || fail "empty decompress" "output is not an empty file"

# --- An existing, longer output is replaced, not overwritten in place.
head -c 100000 /dev/zero > long.out
run "longer output truncated" c in.txt long.out
expect_status "longer output truncated" 0
expect_same "longer output truncated" sub/in.vx long.out
head -c 100000 /dev/zero > long.out
run "longer output truncated by decompression" d sub/in.vx long.out
expect_same "longer output truncated by decompression" in.txt long.out

# --- A missing input: named on stderr, the output neither created nor touched.
for mode in c d; do
    run "missing input ($mode)" "$mode" missing.bin fresh.vx
    expect_status "missing input ($mode)" 1
    expect_stderr "missing input ($mode)" "missing.bin: No such file or directory"
    expect_stdout_empty "missing input ($mode)"
    expect_absent "missing input ($mode)" fresh.vx
    run "missing input keeps output ($mode)" "$mode" missing.bin kept.bin
    expect_status "missing input keeps output ($mode)" 1
    expect_same "missing input keeps output ($mode)" kept.orig kept.bin
done

# --- An output in a directory that does not exist.
run "output in missing directory" c in.txt no/such/dir/out.vx
expect_status "output in missing directory" 1
expect_stderr "output in missing directory" "no/such/dir/out.vx: No such file or directory"
expect_stdout_empty "output in missing directory"

# --- Permissions. Root ignores permission bits, so run those cases as an
# unprivileged user when we are root and can switch; otherwise skip them.
if posix_only "permissions"; then
    mkdir -m 777 pub
    cp in.txt pub/in.txt && chmod 644 pub/in.txt
    if [ "$(id -u)" = 0 ]; then
        if command -v setpriv >/dev/null &&
           setpriv --reuid=65534 --regid=65534 --clear-groups "$BIN" c pub/in.txt pub/probe.vx >/dev/null 2>&1; then
            RUN_PREFIX=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        else
            RUN_PREFIX=(skip)
        fi
    fi
    if [ "${RUN_PREFIX[*]}" = skip ]; then
        skip "permissions" "running as root without a usable unprivileged user"
    else
        mkdir -m 555 pub/ro
        run "output in read-only directory" c pub/in.txt pub/ro/out.vx
        expect_status "output in read-only directory" 1
        expect_stderr "output in read-only directory" "pub/ro/out.vx: Permission denied"
        expect_stdout_empty "output in read-only directory"
        expect_absent "output in read-only directory" pub/ro/out.vx

        cp in.txt pub/secret.bin && chmod 000 pub/secret.bin
        run "unreadable input" c pub/secret.bin pub/fresh.vx
        expect_status "unreadable input" 1
        expect_stderr "unreadable input" "pub/secret.bin: Permission denied"
        expect_absent "unreadable input" pub/fresh.vx

        # A refused output must not be removed as if it were our partial file.
        cp kept.orig pub/locked.bin && chmod 444 pub/locked.bin
        run "read-only existing output" c pub/in.txt pub/locked.bin
        expect_status "read-only existing output" 1
        expect_stderr "read-only existing output" "pub/locked.bin: Permission denied"
        expect_same "read-only existing output" kept.orig pub/locked.bin

        # Someone else's file, group-writable: the output cannot have its group,
        # so its group gets no more than everyone else.
        if [ "$(id -u)" = 0 ]; then
            cp in.txt pub/shared.txt && chmod 775 pub/shared.txt
            run "group not settable" c pub/shared.txt pub/shared.vx
            expect_status "group not settable" 0
            [ "$(stat -c '%a %u' pub/shared.vx)" = "755 65534" ] ||
                fail "group not settable" "output is $(stat -c '%a %u:%g' pub/shared.vx), expected 755 owned by 65534"
        else
            skip "group not settable" "needs root to make another user's file"
        fi
    fi
    RUN_PREFIX=()
fi

# --- Compressed data from a pipe: the summary counts the bytes actually read.
cat sub/in.vx | timeout 120 "${VEXA[@]}" d /dev/stdin piped.txt >out.txt 2>err.txt
status=${PIPESTATUS[1]}
checks=$((checks + 1))
expect_status "decompress from a pipe" 0
expect_same "decompress from a pipe" in.txt piped.txt
expect_summary "decompress from a pipe" /dev/stdin "$vx_size" piped.txt "$in_size"

# --- Data to compress from a pipe: the same bytes as from the file, the
# length it turned out to have. It ends in zeros, which are skipped rather
# than stored while the pipe is taken in.
{ head -c 300000 /dev/urandom; head -c 200000 /dev/zero; printf 'x'; head -c 150000 /dev/zero; } > holes.bin
"${VEXA[@]}" c holes.bin holes.vx >/dev/null
cat holes.bin | timeout 120 "${VEXA[@]}" c /dev/stdin piped.vx >out.txt 2>err.txt
status=${PIPESTATUS[1]}
checks=$((checks + 1))
expect_same "compress from a pipe" holes.vx piped.vx
expect_summary "compress from a pipe" /dev/stdin 650001 piped.vx "$(stat -c %s holes.vx)"

# --- Attributes. A finished output has the input's permission bits and
# access and modification times (to the nanosecond where the file system
# keeps them, and from before the run read the input), both ways, and its
# owner and group when we are root. A wider existing output is narrowed.
# Windows has times to 100 ns and, of the rest, only the read-only flag.
umask 022
printf 'private words\n' > attr.txt
modes="600 640 755 444" digits=123456789
attributes() { stat -c '%a %u:%g %x %y' "$1"; }
if [ "$ON_WINDOWS" = 1 ]; then
    modes="644 444" digits=1234567
    attributes() { echo "$(($(stat -c 0%a "$1") & 0200 ? 1 : 0)) $(stat -c '%x %y' "$1")"; }
elif [ "$(id -u)" = 0 ]; then
    chown 65534:65534 attr.txt
else
    skip "owner and group" "not root"
fi
for mode in $modes; do
    chmod "$mode" attr.txt
    touch -m -d "2001-02-03 04:05:06.$digits" attr.txt
    touch -a -d "2002-03-04 05:06:07.$digits" attr.txt
    printf 'old' > attr.vx && chmod 666 attr.vx && rm -f attr.back
    for step in "c attr.txt attr.vx" "d attr.vx attr.back"; do
        set -- $step
        want=$(attributes "$2")
        run "attributes $mode: $1" "$@"
        [ "$(attributes "$3")" = "$want" ] ||
            fail "attributes $mode: $1" "output has '$(attributes "$3")', expected '$want'"
    done
done
chmod 600 attr.txt

# While it is written the output is private, new or not (the run waits on a
# FIFO for its input); from a pipe, a finished output gets the mode of a
# new file, or keeps the one it had.
if posix_only "mode while writing"; then
    mkfifo attr.fifo
    for existing in 604 ""; do
        name="mode while writing${existing:+ over a $existing file}"
        rm -f held.out
        if [ -n "$existing" ]; then printf 'old' > held.out && chmod "$existing" held.out; fi
        timeout 120 "$BIN" d attr.fifo held.out >out.txt 2>err.txt &
        exec 3>attr.fifo
        for _ in $(seq 200); do [ "$(stat -c %a held.out 2>/dev/null)" = 600 ] && break; sleep 0.05; done
        [ "$(stat -c %a held.out)" = 600 ] || fail "$name" "mode $(stat -c %a held.out) while written, expected 600"
        cat attr.vx >&3
        exec 3>&-
        wait $!
        checks=$((checks + 1))
        [ "$(stat -c %a held.out)" = "${existing:-644}" ] && cmp -s attr.txt held.out ||
            fail "$name" "finished with mode $(stat -c %a held.out), expected ${existing:-644}, or wrong data"
    done
fi

# --- The output on standard output, under any name: the data pure, the
# summary on standard error instead.
stdout_names="/dev/stdout /dev/fd/1"
[ "$ON_WINDOWS" = 0 ] || stdout_names=/dev/stdout  # the one name Windows is given
for out in $stdout_names; do
    timeout 120 "${VEXA[@]}" c in.txt "$out" 2>err.txt | cat > piped.vx
    expect_same "c to $out" sub/in.vx piped.vx
    expect_summary "c to $out" in.txt "$in_size" "$out" "$vx_size" err.txt
    timeout 120 "${VEXA[@]}" d sub/in.vx "$out" 2>err.txt | cat > piped.txt
    expect_same "d to $out" in.txt piped.txt
    expect_summary "d to $out" sub/in.vx "$vx_size" "$out" "$in_size" err.txt
    checks=$((checks + 2))
done
# A file behind standard output is the caller's: its mode stays, and a
# failed run does not remove it.
: > caller.out && chmod 604 caller.out
timeout 120 "${VEXA[@]}" c in.txt "${stdout_names##* }" >caller.out 2>/dev/null
[ "$ON_WINDOWS" = 1 ] || [ "$(stat -c %a caller.out)" = 604 ] ||
    fail "c into the caller's file" "mode changed to $(stat -c %a caller.out)"
head -c 12 sub/in.vx > cut.vx
timeout 120 "${VEXA[@]}" d cut.vx "${stdout_names##* }" >caller.out 2>err.txt
status=$?
checks=$((checks + 2))
expect_status "failed d into the caller's file" 1
[ -f caller.out ] || fail "failed d into the caller's file" "the caller's file was removed"

# --- Progress. on_terminal CMD: runs the shell command CMD on a
# pseudo-terminal, what it showed in tty.txt, its status in $status.
# slow_feed FILE: writes FILE into the FIFO slow.fifo over about two seconds.
on_terminal() {
    timeout 120 script -qec "$1" /dev/null </dev/null >tty.txt 2>&1
    status=$?
    wait
    checks=$((checks + 1))
}
slow_feed() {
    local piece=$(($(stat -c %s "$1") / 20 + 1))
    for i in $(seq 0 19); do
        dd if="$1" bs="$piece" skip="$i" count=1 status=none
        sleep 0.1
    done > slow.fifo
}

# On a terminal, a run of more than a second redraws one status line,
# erased before the summary; a shorter one shows nothing. Elsewhere there is
# never more than the summary.
if ! posix_only "progress on a pseudo-terminal"; then
    :
elif script -qec true /dev/null </dev/null >/dev/null 2>&1; then
    seq 1 60000 > slow.txt
    "$BIN" c slow.txt slow.vx >/dev/null
    mkfifo slow.fifo
    slow_feed slow.vx &
    on_terminal "'$BIN' d slow.fifo slow.out"
    expect_status "progress: slow decompression" 0
    expect_same "progress: slow decompression" slow.txt slow.out
    LC_ALL=C grep -qaE $'\r *[0-9]+%  [0-9]+\\.[0-9] MB/s  ([0-9]+:[0-9]{2}|--:--) left\e\\[K' tty.txt ||
        fail "progress: slow decompression" "no line of percent, speed and time left: $(od -c tty.txt | head -5)"
    LC_ALL=C grep -qaE $'\r\e\\[Kslow.fifo \\([0-9]+ bytes\\) -> slow.out \\(348894 bytes\\) in [0-9.]+ s\\.\r$' tty.txt ||
        fail "progress: slow decompression" "the line is not erased before the summary: $(tail -c 100 tty.txt | od -c)"

    slow_feed slow.txt &
    on_terminal "'$BIN' c slow.fifo slow.out"
    expect_same "progress: compression from a slow pipe" slow.vx slow.out
    LC_ALL=C grep -qaE $'\r[0-9]+\\.[0-9] MB read, [0-9]+\\.[0-9] MB/s\e\\[K' tty.txt ||
        fail "progress: compression from a slow pipe" "no line of bytes read and speed: $(od -c tty.txt | head -5)"

    slow_feed slow.vx &
    run "progress: slow decompression, not on a terminal" d slow.fifo slow.out
    wait
    expect_stderr_empty "progress: slow decompression, not on a terminal"

    on_terminal "'$BIN' d sub/in.vx quick.out 2>&1 >/dev/null"
    [ "$status" -eq 0 ] && [ ! -s tty.txt ] || fail "progress: quick run on a terminal" "showed $(od -c tty.txt | head -3)"
else
    skip "progress" "no pseudo-terminal through script(1)"
fi

echo "command_line.sh: $checks runs, $failed failed checks"
[ "$failed" -eq 0 ]

# Shared by the scripts of this folder, each run as
#   bash script.sh <vexa binary> <corpus dir> <scratch dir>
# A script sources this, then calls enter_scratch; it counts runs and failed
# checks, and ends with `[ "$failed" -eq 0 ]`. Cases that cannot run on this
# machine call skip; the script then ends with status 77, which CTest reports
# as skipped, unless a check failed.
BIN=$(realpath "$1")
CORPUS=$2
WORK=$3
# The program as a command: under VEXA_EMULATOR when set (wine for the
# Windows build), where what only POSIX systems have is left out (posix_only).
read -r -a EMULATOR <<< "${VEXA_EMULATOR-}"
VEXA=("${EMULATOR[@]}" "$BIN")
ON_WINDOWS=0
if [[ ${VEXA_EMULATOR-} == *wine* ]]; then
    ON_WINDOWS=1
    export LC_ALL=C.UTF-8  # wine passes names on in the locale's encoding
fi
posix_only() {
    [ "$ON_WINDOWS" = 0 ] && return 0
    echo "not on Windows: $1"
    return 1
}

enter_scratch() {
    rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || { echo "cannot use scratch dir $WORK" >&2; exit 1; }
}

checks=0
failed=0
fail() {
    echo "FAIL [$1]: $2" >&2
    failed=$((failed + 1))
}

# skip WHAT REASON: a group of cases this machine cannot run (a missing tool,
# privilege or file system feature). Reported as skipped, never as passed.
skipped=()
skip() {
    echo "SKIPPED [$1]: $2"
    skipped+=("$1")
}
end_with_skips() {
    local status=$?
    if [ "$status" -eq 0 ] && [ ${#skipped[@]} -gt 0 ]; then
        echo "skipped on this machine: ${skipped[*]}"
        exit 77
    fi
}
trap end_with_skips EXIT

# vexa_run NAME SECONDS ARGS...: runs vexa (under the RUN_PREFIX command when
# set: another user, a meter) with stdout in out.txt, stderr in err.txt and $stderr_text, and
# the exit status in $status; a hang shows as 124, a signal as 128 + n. A
# sanitizer report fails the case even when the status looks right, and
# makes vexa_run return 1.
RUN_PREFIX=()
vexa_run() {
    local name=$1 limit=$2
    shift 2
    timeout "$limit" "${RUN_PREFIX[@]}" "${VEXA[@]}" "$@" >out.txt 2>err.txt
    status=$?
    checks=$((checks + 1))
    stderr_text=
    IFS= read -r -d '' stderr_text <err.txt   # a builtin: no process per run
    if [[ $stderr_text == *Sanitizer* || $stderr_text == *"runtime error"* ]]; then
        fail "$name" "sanitizer report: $(head -c 600 err.txt)"
        return 1
    fi
}

# vexa_run that must also end with status 0.
vexa_run_ok() {
    local name=$1 limit=$2
    vexa_run "$@" || return 1
    shift 2
    [ "$status" -eq 0 ] || fail "$name" "vexa $* ended with status $status: $(head -c 300 err.txt)$(head -c 300 out.txt)"
}

#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds example.c against it
# as a user would: through pkg-config (shared, then static with --static),
# and, after the whole prefix has been moved, through find_package (both
# libraries); a program built against the 0.2.0 header; and the same
# CMake project with the source tree embedded by add_subdirectory. Every
# program must run and restore its buffer.
#
#   install.sh BUILD_DIR SCRATCH_DIR C_COMPILER VERSION
# Exits 77 (skipped) when pkg-config or the C compiler is missing.
set -euo pipefail

build=$1 scratch=$2 cc=$3 version=$4
here=$(cd "$(dirname "$0")" && pwd)
command -v pkg-config >/dev/null || { echo "skipped: pkg-config is not installed"; exit 77; }
command -v "$cc" >/dev/null || { echo "skipped: no C compiler $cc"; exit 77; }

cmake=${CMAKE:-cmake}
rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix

# Runs a command, showing its output only when it fails.
quiet() {
  "$@" >"$scratch/step.log" 2>&1 || { cat "$scratch/step.log"; echo "failed: $*"; exit 1; }
}

quiet "$cmake" --install "$build" --prefix "$prefix"

# Runs a built example; it must also have been linked the way it claims.
run() {
  local program=$1 linkage=$2
  if readelf -d "$program" | grep -q 'NEEDED.*libvexa\.so\.0'; then
    [ "$linkage" = shared ] || { echo "$program needs libvexa.so.0 but should hold the library"; exit 1; }
  else
    [ "$linkage" = static ] || { echo "$program does not load libvexa.so.0"; exit 1; }
  fi
  "$program"
}

echo "== pkg-config"
pc=$(find "$prefix" -name vexa.pc)
export PKG_CONFIG_PATH=${pc%/vexa.pc}
[ "$(pkg-config --modversion vexa)" = "$version" ] || { echo "vexa.pc says $(pkg-config --modversion vexa)"; exit 1; }
flags=(-std=c99 -Wall -Wextra -Wpedantic -Werror)
# shellcheck disable=SC2046  # pkg-config's output is a list of words
quiet "$cc" "${flags[@]}" "$here/example.c" $(pkg-config --cflags --libs vexa) -o "$scratch/pc_shared"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir vexa) run "$scratch/pc_shared" shared
# A wholly static program: the linker takes libvexa.a, and what it needs
# beyond libc must come from Libs.private.
# shellcheck disable=SC2046
quiet "$cc" "${flags[@]}" -static "$here/example.c" $(pkg-config --static --cflags --libs vexa) -o "$scratch/pc_static"
run "$scratch/pc_static" static

# Built against the 0.2.0 header, run with today's shared library.
quiet "$cc" "${flags[@]}" -I"$here/abi" "$here/abi/old_program.c" -L"$(pkg-config --variable=libdir vexa)" -lvexa \
  -o "$scratch/old_program"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir vexa) run "$scratch/old_program" shared

echo "== find_package, from a moved prefix"
mv "$prefix" "$scratch/moved"
quiet "$cmake" -S "$here/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/moved" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release -DEXAMPLE_SOURCE="$here/example.c"
quiet "$cmake" --build "$scratch/consumer"
run "$scratch/consumer/example_shared" shared
run "$scratch/consumer/example_static" static

echo "== add_subdirectory, from the source tree"
quiet "$cmake" -S "$here/consumer" -B "$scratch/embedded" -DVEXA_SOURCE_DIR="$(cd "$here/../.." && pwd)" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release -DEXAMPLE_SOURCE="$here/example.c"
quiet "$cmake" --build "$scratch/embedded" -j 2
run "$scratch/embedded/example_shared" shared
run "$scratch/embedded/example_static" static

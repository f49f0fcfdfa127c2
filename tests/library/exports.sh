#!/usr/bin/env bash
# The shared library exports exactly the functions that vexa.h declares,
# no more (no C++ internals, no run-time pieces) and no fewer, and carries
# the SONAME that programs record.
#
#   exports.sh LIBRARY HEADER
set -euo pipefail

lib=$1 header=$2
declared=$(sed -n 's/^VEXA_API [^(]*[ *]\(vexa_[a-z0-9_]*\)(.*/\1/p' "$header" | sort)
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
[ -n "$declared" ] || { echo "no VEXA_API declarations found in $header"; exit 1; }

status=0
if [ "$declared" != "$exported" ]; then
  echo "exported but not declared:"
  comm -13 <(echo "$declared") <(echo "$exported") | sed 's/^/  /'
  echo "declared but not exported:"
  comm -23 <(echo "$declared") <(echo "$exported") | sed 's/^/  /'
  status=1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != libvexa.so.0 ]; then
  echo "SONAME is '$soname', not libvexa.so.0"
  status=1
fi
[ $status -ne 0 ] || echo "$(echo "$declared" | wc -l) functions exported, SONAME $soname"
exit $status

#!/usr/bin/env bash
# Usage: check-exports.sh <shared library> <public header>
# Passes when the library exports exactly the functions its header declares
# with the library's API macro: nothing missing, nothing extra.
set -euo pipefail
lib=$1
header=$2
macro=$(basename "$header" .h | tr '[:lower:]' '[:upper:]')_API

declared=$(grep -vE '^[[:space:]]*#' "$header" | tr '\n' ' ' | grep -oE "${macro}[^;(]*\(" \
  | sed -E 's/\($//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)$/\1/' | sort -u) || true
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWiV]$/ {print $3}' \
  | grep -vE '^(_init|_fini)$' | sort -u) || true

missing=$(comm -23 <(echo "$declared") <(echo "$exported") | sed '/^$/d')
extra=$(comm -13 <(echo "$declared") <(echo "$exported") | sed '/^$/d')
status=0
if [ -n "$missing" ]; then echo "declared in $(basename "$header") but not exported:"; echo "$missing"; status=1; fi
if [ -n "$extra" ]; then echo "exported but not declared in $(basename "$header"):"; echo "$extra"; status=1; fi
[ $status -eq 0 ] && echo "$(basename "$lib"): $(echo "$declared" | sed '/^$/d' | wc -l) exports, as declared"
exit $status

#!/usr/bin/env bash
# Usage: check-dll.sh <objdump> <library.dll> <public header> <import library>
# Checks a Windows DLL of the kit as a host meets it:
#  - it exports exactly the functions its header declares, by their plain
#    names (no name@N decoration, which GetProcAddress, VB6 Declare and
#    P/Invoke would not find);
#  - it imports only DLLs every Windows system has, and the kit's own: no
#    MinGW runtime DLL has to be shipped beside it;
#  - every name it imports from another DLL of the kit is exported there by
#    that name (cashgate binds notecore's undecorated names);
#  - its MinGW import library maps the symbols a C caller of the header
#    refers to onto those plain names.
set -euo pipefail
objdump=$1
dll=$2
header=$3
implib=$4
macro=$(basename "$header" .h | tr '[:lower:]' '[:upper:]')_API
dir=$(dirname "$dll")

declared=$(grep -vE '^[[:space:]]*#' "$header" | tr '\n' ' ' | grep -oE "${macro}[^;(]*\(" \
  | sed -E 's/\($//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)$/\1/' | sort -u) || true

# objdump -p prints the export names under "[Ordinal/Name Pointer] Table"
# (one "[   n] name" line each) and the imports per "DLL Name:" block.
exports_of() {
  "$objdump" -p "$1" | awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^$/ {on=0} on {print $NF}' | sort -u
}
exported=$(exports_of "$dll")

status=0
missing=$(comm -23 <(echo "$declared") <(echo "$exported") | sed '/^$/d')
extra=$(comm -13 <(echo "$declared") <(echo "$exported") | sed '/^$/d')
if [ -n "$missing" ]; then echo "declared in $(basename "$header") but not exported by that name:"; echo "$missing"; status=1; fi
if [ -n "$extra" ]; then echo "exported but not declared in $(basename "$header"):"; echo "$extra"; status=1; fi

system_dlls='^(kernel32|user32|advapi32|msvcrt|ws2_32|setupapi|hid|shlwapi|secur32|crypt32|bcrypt|ntdll|shell32|ole32)\.dll$'
kit_dlls='^(cardkit|notecore|cashgate|patronlink)\.dll$'
imports=$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
while read -r imported; do
  [ -z "$imported" ] && continue
  lower=$(echo "$imported" | tr '[:upper:]' '[:lower:]')
  if [[ $lower =~ $kit_dlls ]]; then
    # The names bound from the kit's DLL must be its exports, undecorated.
    wanted=$("$objdump" -p "$dll" | awk -v d="$imported" '
      /DLL Name:/ {on = ($3 == d); next}
      on && /^[[:space:]]*$/ {on = 0}
      on && $1 ~ /^[0-9a-f]+$/ && NF == 3 {print $3}' | sort -u)
    have=$(exports_of "$dir/../${lower%.dll}/$lower" 2>/dev/null || true)
    unbound=$(comm -23 <(echo "$wanted") <(echo "$have") | sed '/^$/d')
    if [ -n "$unbound" ]; then echo "imports from $imported that it does not export:"; echo "$unbound"; status=1; fi
  elif ! [[ $lower =~ $system_dlls ]]; then
    echo "imports $imported, which would have to be shipped beside it"
    status=1
  fi
done <<<"$imports"

# The import library: each export's symbol, as the header's declaration
# makes a C compiler name it (_name@N on i686), imports the plain name.
nm_tool=${objdump%objdump}nm
bad=$("$nm_tool" "$implib" | awk '$2 == "T" {print $3}' | sed -E 's/^_//; s/@[0-9]+$//' | sort -u \
  | comm -3 - <(echo "$declared") | sed '/^$/d')
if [ -n "$bad" ]; then echo "$(basename "$implib") does not match the exports:"; echo "$bad"; status=1; fi

[ $status -eq 0 ] && echo "$(basename "$dll"): $(echo "$declared" | sed '/^$/d' | wc -l) undecorated exports, as declared; system imports only"
exit $status

#!/usr/bin/env bash
# Packs one architecture of the Windows kit as a zip for host developers:
# the four DLLs (bin/), the headers (include/), import libraries for MinGW
# (lib/lib<name>.dll.a) and MSVC (lib/<name>.lib), the .def files they were
# made from, a short README and the licence of the MariaDB client inside
# patronlink.dll. Then checks the package as an MSVC host meets it: a C
# program that takes the address of every export is compiled for the MSVC
# ABI (clang) and linked against the .lib files (lld-link), and each name it
# imports must be one the DLL exports.
#
# Usage: tools/windows/package.sh <Windows build> <output folder> <arch>
# Makes <output folder>/kioskkit-windows-<arch>/ and its .zip.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=$1
out=$2
arch=$3
name=kioskkit-windows-$arch
stage=$out/$name
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$out/$name

rm -rf "$stage" "$out/$name.zip"
cmake --install "$build" --prefix "$stage" >/dev/null
cp tools/windows/package-README.txt "$stage/README.txt"
mkdir -p "$stage/licenses"
if [ -f "$build/../mariadb/source/libmariadb/COPYING.LIB" ]; then
  cp "$build/../mariadb/source/libmariadb/COPYING.LIB" "$stage/licenses/mariadb-connector-c.txt"
fi
for lib in cardkit notecore cashgate patronlink; do
  for file in "bin/$lib.dll" "lib/lib$lib.dll.a" "lib/$lib.lib" "lib/$lib.def" "include/$lib.h"; do
    [ -f "$stage/$file" ] || { echo "package $name lacks $file" >&2; exit 1; }
  done
done
(cd "$out" && zip -qr "$name.zip" "$name")

# The MSVC host: every export's address taken through the headers.
check=$out/$name.msvc-check
rm -rf "$check"
mkdir -p "$check"
cat >"$check/host.c" <<'C'
#include <cardkit.h>
#include <cashgate.h>
#include <notecore.h>
#include <patronlink.h>
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
#define KK_EXPORT(library, name) (const void*)&name,
void start(void) {
  const void* volatile every_export[] = {
#include "exports_table.inc"
  };
  ExitProcess(every_export[0] != 0 ? 0 : 1);
}
C
# (MinGW's kernel32 import library carries no SEH tables, which a 32-bit
# MSVC link wants unless told otherwise.)
case $arch in
  x86_64) triple=x86_64-pc-windows-msvc machine=(/machine:x64) ;;
  i686) triple=i686-pc-windows-msvc machine=(/machine:x86 /safeseh:no) ;;
esac
clang --target=$triple -ffreestanding -O1 -Wall -Werror -I"$stage/include" -I"$build/tests/windows" \
  -c "$check/host.c" -o "$check/host.obj"
lld-link /nologo "${machine[@]}" /entry:start /subsystem:console /nodefaultlib /out:"$check/host.exe" \
  "$check/host.obj" "$stage"/lib/*.lib "/usr/$arch-w64-mingw32/lib/libkernel32.a"
objdump=$arch-w64-mingw32-objdump
status=0
for lib in cardkit notecore cashgate patronlink; do
  exported=$("$objdump" -p "$stage/bin/$lib.dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^$/ {on=0} on {print $NF}' | sort -u)
  imported=$("$objdump" -p "$check/host.exe" | awk -v d="$lib.dll" '
      /DLL Name:/ {on = ($3 == d); next}
      on && /^[[:space:]]*$/ {on = 0}
      on && $1 ~ /^[0-9a-f]+$/ && NF == 3 {print $3}' | sort -u)
  if [ "$imported" != "$exported" ]; then
    echo "$name: an MSVC host linked with $lib.lib imports other names than $lib.dll exports:"
    diff <(echo "$imported") <(echo "$exported") || true
    status=1
  fi
done
[ $status -eq 0 ] && echo "$name.zip: MSVC host links every export by its plain name"
exit $status

#!/usr/bin/env bash
# Runs the Windows DLLs under Wine against the Linux emulators: cardkit.dll
# reaches an emulated reader over the ".tcp" carrier, notecore.dll the
# validator emulator's pseudo-terminal as COM1. A quick check of the win32
# platform code until the tests run on Windows itself.
#
# Usage: tools/wine/smoke.sh   (from a checkout; installs wine64 when missing)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
source scripts/lib/packages.sh
ensure_packages "${KIOSKKIT_BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64-posix wine64
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}

echo "== building the Windows DLLs and the Linux emulators"
cmake -S . -B build/mingw -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build/mingw >/dev/null
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIOSKKIT_BUILD_TESTS=OFF \
  -DKIOSKKIT_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target kioskkit-reader-sim kioskkit-validator-sim >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/kioskkit-wine.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
cp build/mingw/cardkit/cardkit.dll build/mingw/notecore/notecore.dll "$work/"
for program in reader_smoke validator_smoke; do
  lib=cardkit
  [ $program = validator_smoke ] && lib=notecore
  x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Werror -Iinclude "tools/wine/$program.c" \
    -o "$work/$program.exe" -L"build/mingw/$lib" -l$lib
done

mkdir -p "$work/readers"
mkfifo "$work/reader.in" "$work/validator.in"
exec {reader_in}<>"$work/reader.in" {validator_in}<>"$work/validator.in"
build/release/emulators/reader/kioskkit-reader-sim --dir "$work/readers" --tcp --uid 0A0B0C0D \
  <"$work/reader.in" >"$work/reader.log" 2>&1 &
pids+=($!)
build/release/emulators/validator/kioskkit-validator-sim <"$work/validator.in" >"$work/validator.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/validator.out" ] && ls "$work"/readers/*.tcp >/dev/null 2>&1 && break; sleep 0.1; done
port=$(head -n 1 "$work/validator.out")

# Our own Wine server, so that its messages when it ends stay out of the
# output.
/usr/lib/wine/wineserver64 -p5 >/dev/null 2>&1 || true
# Wine finds COM ports through its registry, not through KIOSKKIT_COM<N>.
# It reads them when its server starts, so the server is restarted.
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$port" /f >/dev/null
/usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
/usr/lib/wine/wineserver64 -p5 >/dev/null 2>&1 || true
status=0
echo "== cardkit.dll against the emulated reader (.tcp)"
(cd "$work" && KIOSKKIT_READER_DIR="Z:${work//\//\\}\\readers" timeout 120 "$wine" reader_smoke.exe) || status=1
echo "== notecore.dll against the validator emulator on $port"
(cd "$work" && timeout 120 "$wine" validator_smoke.exe) || status=1
[ $status -eq 0 ] && echo "== the Windows DLLs work under Wine" || echo "== FAILED under Wine"
exit $status

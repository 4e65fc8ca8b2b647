#!/usr/bin/env bash
# The kit on Windows, built and checked from Linux:
#   1. cross-builds the four DLLs for x86_64 and i686 with MinGW-w64 and
#      warnings as errors (patronlink.dll with the MariaDB client from
#      Debian's sources linked in), with their import libraries;
#   2. packs a zip per architecture (tools/windows/package.sh);
#   3. under Wine, with the Linux emulators behind the ".tcp" reader carrier
#      and a COM port mapped to the validator emulator's pseudo-terminal, and
#      the throwaway MariaDB on 127.0.0.1:3306: runs the portable unit tests
#      and the Windows behaviour tests with ctest, and the main job,
#      examples/terminal_session.c built against the zip, as scripts/demo
#      runs it on Linux.
# x86_64 runs under 64-bit Wine. i686 runs where 32-bit Wine can be installed
# without upgrading any other package of the system; elsewhere it is built
# and checked by objdump only, and the output says so.
#
# Usage: tools/windows/check.sh [<Linux build with the emulators>]
# (default: builds the emulators in build/release). The throwaway MariaDB
# takes port 3306: run it under flock /tmp/kioskkit-db.lock, as scripts/test
# does. Everything it makes stays under build/windows (KIOSKKIT_BUILD_ROOT).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build_root=${KIOSKKIT_BUILD_ROOT:-$root/build}
win=$build_root/windows
jobs=$(nproc 2>/dev/null || echo 2)
linux_build=${1:-}

source scripts/lib/packages.sh
ensure_packages "${KIOSKKIT_BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
  wine64 llvm lld clang zip patch
mkdir -p "$win"

# ---- 32-bit Wine: installed only when nothing else has to change --------------
wine32_status() {
  if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo installed
    return
  fi
  local cache=$win/wine32.status
  if [ -f "$cache" ]; then
    cat "$cache"
    return
  fi
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  local added=0 verdict
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    added=1
  fi
  $sudo apt-get update -qq >/dev/null 2>&1 || true
  local plan
  plan=$(apt-get install -s --no-install-recommends wine32:i386 2>&1 || true)
  # "Inst name [installed version] (new version)" is an upgrade.
  if echo "$plan" | grep -q '^E:'; then
    verdict="unavailable: wine32 cannot be installed here"
  elif echo "$plan" | grep -qE '^Inst [^ ]+ \['; then
    verdict="unavailable: wine32 would upgrade $(echo "$plan" | grep -cE '^Inst [^ ]+ \[') installed packages"
  else
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null &&
      verdict=installed || verdict="unavailable: installing wine32 failed"
  fi
  if [ "$verdict" != installed ] && [ $added -eq 1 ]; then
    $sudo dpkg --remove-architecture i386 2>/dev/null || true
  fi
  echo "$verdict" | tee "$cache"
}
i686_wine=$(wine32_status)
arches=(x86_64 i686)
run_arches=(x86_64)
if [ "$i686_wine" = installed ]; then
  run_arches+=(i686)
else
  echo "== i686: 32-bit Wine $i686_wine; the i686 DLLs, tests and main job are built and checked by objdump, not run"
fi

# ---- builds ----------------------------------------------------------------------
echo "== MariaDB Connector/C for MinGW-w64"
tools/windows/mariadb-client.sh "$win/mariadb" "${arches[@]}"

wine_of() { [ "$1" = x86_64 ] && echo /usr/lib/wine/wine64 || echo /usr/lib/wine/wine; }
for arch in "${arches[@]}"; do
  echo "== MinGW-w64 build, $arch"
  cmake -S . -B "$win/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DKIOSKKIT_WERROR=ON \
    -DKIOSKKIT_MARIADB_ROOT="$win/mariadb/$arch" -DCMAKE_CROSSCOMPILING_EMULATOR="$(wine_of "$arch")" >/dev/null
  if [[ " ${run_arches[*]} " == *" $arch "* ]]; then
    cmake --build "$win/$arch" -j "$jobs"
  else
    # Nothing runs it: the DLLs and the program of the stack check.
    cmake --build "$win/$arch" -j "$jobs" --target cardkit notecore cashgate patronlink stack_balance
  fi
  for lib in cardkit notecore cashgate patronlink; do
    tools/check-dll.sh "$arch-w64-mingw32-objdump" "$win/$arch/$lib/$lib.dll" "include/$lib.h" \
      "$win/$arch/$lib/lib$lib.dll.a"
  done
  tools/windows/package.sh "$win/$arch" "$win/packages" "$arch"
done

if [ -z "$linux_build" ]; then
  linux_build=$build_root/release
  cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKIOSKKIT_BUILD_TESTS=OFF \
    -DKIOSKKIT_BUILD_BENCH=OFF >/dev/null
  cmake --build "$linux_build" -j "$jobs" --target kioskkit-reader-sim kioskkit-validator-sim >/dev/null
fi
reader_sim=$linux_build/emulators/reader/kioskkit-reader-sim
validator_sim=$linux_build/emulators/validator/kioskkit-validator-sim

# ---- the stage: emulators, database, Wine --------------------------------------
run=$win/run
rm -rf "$run"
mkdir -p "$run/readers" "$run/drive-d"
export WINEPREFIX=$win/wine-prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  "$wineserver" -k >/dev/null 2>&1 || true
  tests/patron/db-stop.sh "$run/db" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
windows_path() { echo "Z:${1//\//\\}"; }

echo "== starting the Linux emulators and the throwaway MariaDB"
mkfifo "$run/reader.in" "$run/validator1.in" "$run/validator2.in"
exec {reader_in}<>"$run/reader.in" {validator1_in}<>"$run/validator1.in" {validator2_in}<>"$run/validator2.in"
"$reader_sim" --dir "$run/readers" --tcp --uid 12345678 <"$run/reader.in" >"$run/reader.log" 2>&1 &
pids+=($!)
# COM1: the main job's validator. COM2: the tests' validator, which reports
# "initialising" (state 0x13) for a few polls after a reset.
"$validator_sim" <"$run/validator1.in" >"$run/validator1.out" 2>&1 &
pids+=($!)
"$validator_sim" --init-polls 3 <"$run/validator2.in" >"$run/validator2.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$run/validator1.out" ] && [ -s "$run/validator2.out" ] && ls "$run"/readers/*.tcp >/dev/null 2>&1 && break
  sleep 0.1
done
com1=$(head -n 1 "$run/validator1.out")
com2=$(head -n 1 "$run/validator2.out")
[ -n "$com1" ] && [ -n "$com2" ] && ls "$run"/readers/*.tcp >/dev/null 2>&1 ||
  { cat "$run"/*.log "$run"/*.out >&2; echo "the emulators did not start" >&2; exit 1; }
tests/patron/db-start.sh "$run/db" >"$run/db-start.log" 2>&1 ||
  { cat "$run/db-start.log" >&2; echo "the database did not start (is port 3306 taken?)" >&2; exit 1; }
mariadb --no-defaults --socket="$run/db/mysqld.sock" -uroot kiosk <scripts/lib/demo-patrons.sql

# Wine reads its COM ports from the registry when its server starts: map
# them, then start the server that every later Wine program shares (a Wine
# program that starts a server of its own costs seconds), and one program to
# warm it up before anything is timed.
mkdir -p "$WINEPREFIX"
"$wineserver" -k >/dev/null 2>&1 || true
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1" /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM2 /t REG_SZ /d "$com2" /f >/dev/null 2>&1
# Windows can be made without a display: patronlink's message box still
# comes up, and the tests read and dismiss it.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
# Drive D is a folder of this run.
ln -sfn "$run/drive-d" "$WINEPREFIX/dosdevices/d:"

# ---- Windows tests ---------------------------------------------------------------
status=0
for arch in "${run_arches[@]}"; do
  echo "== Windows tests under Wine, $arch"
  KIOSKKIT_READER_DIR=$(windows_path "$run/readers") KIOSKKIT_TEST_COM=2 KIOSKKIT_TEST_UNMAPPED_COM=9 \
    KIOSKKIT_TEST_VALIDATOR_INPUT=$(windows_path "$run/validator2.in") \
    KIOSKKIT_TEST_DRIVE_D_FOLDER=$(windows_path "$run/drive-d") \
    ctest --test-dir "$win/$arch" --output-on-failure -j "$jobs" --timeout 300 || status=1
done

# ---- the main job --------------------------------------------------------------
session() {
  local arch=$1 dir=$win/session-$arch
  local cc=$arch-w64-mingw32-gcc-posix package=$win/packages/kioskkit-windows-$arch
  rm -rf "$dir"
  mkdir -p "$dir"
  # Built against the package as a host developer would, DLLs beside it.
  "$cc" -std=c11 -Wall -Wextra -Werror -static -I"$package/include" -o "$dir/terminal_session.exe" \
    examples/terminal_session.c -L"$package/lib" -lcardkit -lcashgate -lpatronlink || return 1
  cp "$package"/bin/*.dll "$dir/"
  if [[ " ${run_arches[*]} " != *" $arch "* ]]; then
    echo "== main job, $arch: built ($dir/terminal_session.exe), not run: 32-bit Wine $i686_wine"
    return 0
  fi
  echo "== main job under Wine, $arch: examples/terminal_session.c against the emulators and MariaDB"
  local line result=0
  coproc HOST {
    cd "$dir" && exec env KIOSKKIT_READER_DIR="$(windows_path "$run/readers")" \
      timeout 180 "$(wine_of "$arch")" terminal_session.exe 127.0.0.1 kiosk kiosk-pass kiosk 2>&1
  }
  local host_pid=$HOST_PID
  while IFS= read -r line <&"${HOST[0]}"; do
    line=${line%$'\r'}
    printf '  | %s\n' "$line"
    [ "$line" = "Insert a banknote." ] && echo "insert 2" >&"$validator1_in"
  done
  wait "$host_pid" || result=$?
  return $result
}
for arch in "${arches[@]}"; do
  session "$arch" || { echo "== main job FAILED, $arch"; status=1; }
done

if [ $status -eq 0 ]; then
  echo "== Windows: DLLs, packages and checks passed (run under Wine: ${run_arches[*]}) in ${SECONDS} s"
else
  echo "== Windows: FAILED (after ${SECONDS} s)"
fi
exit $status

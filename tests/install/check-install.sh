#!/usr/bin/env bash
# Usage: check-install.sh <build tree> <work folder> <consumer source> <C compiler> [C flags]
set -euo pipefail
build=$1 work=$2 source=$3 cc=$4 cflags=${5:-}
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# Headers, libraries and emulator programs where a host expects them.
for f in include/cardkit.h include/notecore.h include/cashgate.h include/patronlink.h \
         lib/libcardkit.so lib/libnotecore.so lib/libcashgate.so lib/libpatronlink.so \
         bin/kioskkit-reader-sim bin/kioskkit-validator-sim; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done

# find_package(kioskkit)
cmake -S "$source" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

# pkg-config, with the files found wherever the prefix was put
mv "$prefix" "$work/moved"
PKG_CONFIG_PATH=$work/moved/lib/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046,SC2086
"$cc" $cflags -o "$work/pc-consumer" "$source/consumer.c" $(pkg-config --cflags --libs cardkit cashgate patronlink) \
  -Wl,-rpath,"$work/moved/lib"
"$work/pc-consumer"

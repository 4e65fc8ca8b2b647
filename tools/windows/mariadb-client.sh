#!/usr/bin/env bash
# Builds the MariaDB client library (Connector/C) for MinGW-w64, the one
# patronlink.dll links statically, from the libmariadb folder of Debian's
# mariadb source package: static, without TLS and without the client plugins
# the kit does not use (native password authentication and the TCP transport
# stay built in).
#
# Usage: tools/windows/mariadb-client.sh <work folder> <arch>...   (arch: x86_64, i686)
# Leaves <work folder>/<arch>/include/mysql.h and <arch>/lib/libmariadbclient.a,
# the folder KIOSKKIT_MARIADB_ROOT names. Everything it fetches or makes stays
# under <work folder>: the source comes through apt-get source with a list of
# deb-src entries of its own (the system's apt sources are read, never
# changed), and a folder that is complete is used as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
shift
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$work"
work=$(cd "$work" && pwd)

fetch_source() {
  local apt=$work/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$work/download"
  # The deb-src twins of the Debian entries the system installs from.
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  local options=""
  [ -f "$keyring" ] && options="[signed-by=$keyring] "
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(ORIGIN)' 'Created-By: Packages' |
    awk -v o="$options" '$4 == "Debian" {print "deb-src " o $1 " " $2 " " $3}' | sort -u >"$apt/sources.list"
  [ -s "$apt/sources.list" ] || { echo "no Debian package source to take the mariadb sources from" >&2; return 1; }
  local apt_options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
                     -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=root")
  apt-get "${apt_options[@]}" -qq update
  # Newest first; a mirror may lack a file of the newest upload for a while.
  local version
  for version in $(apt-cache "${apt_options[@]}" showsrc mariadb | sed -n 's/^Version: //p'); do
    rm -f "$work"/download/*
    if (cd "$work/download" && apt-get "${apt_options[@]}" -qq source --download-only "mariadb=$version" >/dev/null 2>&1); then
      local tarball
      tarball=$(ls "$work"/download/mariadb_*.orig.tar.gz)
      rm -rf "$work/source.partial"
      mkdir -p "$work/source.partial"
      tar -xzf "$tarball" -C "$work/source.partial" --strip-components=1 --wildcards '*/libmariadb/*'
      # A variadic function cannot be __stdcall: the definition of
      # mysql_load_plugin says STDCALL where its declaration does not, which
      # only a 32-bit Windows compiler tells apart.
      patch -s -p1 -d "$work/source.partial" <"$root/tools/windows/mariadb-client-i686-stdcall.patch"
      rm -rf "$work/source"
      mv "$work/source.partial" "$work/source"
      echo "$version" >"$work/source/VERSION"
      rm -f "$work"/download/*
      return 0
    fi
  done
  echo "could not fetch the mariadb sources" >&2
  return 1
}

[ -f "$work/source/VERSION" ] || fetch_source
echo "MariaDB Connector/C from mariadb $(cat "$work/source/VERSION")"

for arch in "$@"; do
  prefix=$work/$arch
  [ -f "$prefix/lib/libmariadbclient.a" ] && continue
  build=$work/build-$arch
  plugins_off=()
  for plugin in DIALOG CLIENT_ED25519 CACHING_SHA2_PASSWORD SHA256_PASSWORD AUTH_GSSAPI_CLIENT \
                MYSQL_OLD_PASSWORD MYSQL_CLEAR_PASSWORD ZSTD REPLICATION REMOTE_IO; do
    plugins_off+=("-DCLIENT_PLUGIN_$plugin=OFF")
  done
  cmake -S "$work/source/libmariadb" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DCMAKE_C_FLAGS=-w \
    -DWITH_SSL=OFF -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF -DWITH_EXTERNAL_ZLIB=OFF -DWITH_DYNCOL=OFF \
    "${plugins_off[@]}" >"$work/configure-$arch.log" 2>&1 ||
    { tail -n 30 "$work/configure-$arch.log" >&2; exit 1; }
  cmake --build "$build" -j "$jobs" --target mariadbclient >"$work/build-$arch.log" 2>&1 ||
    { grep -E 'error' -A3 "$work/build-$arch.log" | head -n 40 >&2; exit 1; }
  rm -rf "$prefix.partial"
  mkdir -p "$prefix.partial/include" "$prefix.partial/lib"
  cp -r "$work/source/libmariadb/include/." "$build/include/." "$prefix.partial/include/"
  cp "$build/libmariadb/libmariadbclient.a" "$prefix.partial/lib/"
  rm -rf "$prefix"
  mv "$prefix.partial" "$prefix"
done

#!/bin/sh
# Installs what building and testing ROWVANE needs, only when it is missing.
set -e
need=""
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v g++ >/dev/null 2>&1 || need="$need g++"
command -v sqlite3 >/dev/null 2>&1 || need="$need sqlite3"
command -v python3 >/dev/null 2>&1 || need="$need python3"
command -v gzip >/dev/null 2>&1 || need="$need gzip"
command -v pkg-config >/dev/null 2>&1 || need="$need pkg-config"
[ -f /usr/include/zlib.h ] || need="$need zlib1g-dev"
[ -f /usr/include/sqlite3.h ] || need="$need libsqlite3-dev"
[ -d /usr/include/gtest ] || need="$need libgtest-dev"
# Compressed output: gzip members by libdeflate, zstd frames by libzstd; the
# zstd command checks .zst files in the tests and the benchmark.
[ -f /usr/include/zstd.h ] || need="$need libzstd-dev"
[ -f /usr/include/libdeflate.h ] || need="$need libdeflate-dev"
command -v zstd >/dev/null 2>&1 || need="$need zstd"
# Peer loaders for the tests that load the output into real servers.
[ -x /usr/lib/postgresql/15/bin/initdb ] || need="$need postgresql-15"
command -v psql >/dev/null 2>&1 || need="$need postgresql-client-15"
command -v mariadbd >/dev/null 2>&1 || [ -x /usr/sbin/mariadbd ] || need="$need mariadb-server"
command -v mariadb >/dev/null 2>&1 || need="$need mariadb-client"
if [ -n "$need" ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $need
fi

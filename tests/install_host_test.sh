#!/bin/sh
# Installs the build into a scratch prefix, builds examples/host.c outside the
# project against the installed header and library through pkg-config, and
# runs it on a small database.
set -e
src=$1
build=$2
work=$build/test-tmp/install_host
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
cc "$src/examples/host.c" $(pkg-config --cflags --libs rowvane) -o "$work/host"
sqlite3 "$work/t.db" "CREATE TABLE t (id NUMBER(5), name VARCHAR2(10)); INSERT INTO t VALUES (1, 'one'), (2, 'two');"
cd "$work"
./host "u/p@sqlite:$work/t.db" "select id, name from t order by id" out.csv > host.out 2> host.err
grep -q "^result 0, 4 message lines$" host.out
printf 'ID,NAME\n1,"one"\n2,"two"\n' | cmp - out.csv
echo "1 passed, 0 failed"

#!/bin/sh
# Builds ROWVANE, creates the sample database from examples/demo.sql and
# unloads a few of its tables into demo-out/.
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
rm -f examples/demo.db
sqlite3 examples/demo.db < examples/demo.sql
mkdir -p demo-out
login=demo/demo@sqlite:examples/demo.db
build/rowvane user=$login query=employees file=demo-out/employees.txt log=demo-out/rowvane.log
build/rowvane user=$login query=orders text=CSV file=demo-out/orders.csv
build/rowvane user=$login query=documents lobfile=demo-out/documents.lob file=demo-out/documents.txt
echo "Output written to demo-out/:"
ls -l demo-out
echo "First lines of demo-out/employees.txt:"
head -n 5 demo-out/employees.txt

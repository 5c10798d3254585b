#!/bin/sh
# Builds ROWVANE, creates the sample database from examples/demo.sql and
# unloads a few of its tables into demo-out/.
set -e
cd "$(dirname "$0")/.."
sh scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
# Only the program: the test suites are built by scripts/test.sh.
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target rowvane
rm -f examples/demo.db
sqlite3 examples/demo.db < examples/demo.sql
mkdir -p demo-out
login=demo/demo@sqlite:examples/demo.db
build/rowvane user=$login query=employees file=demo-out/employees.txt control=demo-out/employees.ctl
build/rowvane user=$login query=orders text=CSV file=demo-out/orders.csv control=demo-out/orders.ctl
build/rowvane user=$login query=documents file=demo-out/documents.txt lobfile=demo-out/documents.lob \
  control=demo-out/documents.ctl
echo "Output written to demo-out/:"
ls -l demo-out
echo "First lines of demo-out/employees.txt:"
head -n 5 demo-out/employees.txt

#!/bin/sh
# Runs the whole benchmark: sh bench/run.sh [ROWS] [--rounds N] [--seed S]
# Results go to bench/results.md (and standard output).
exec python3 "$(dirname "$0")/run.py" "$@"

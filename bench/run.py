#!/usr/bin/env python3
"""Benchmark harness: ROWVANE against its peers on one generated SQLite table.

    python3 bench/run.py [ROWS] [--rounds N] [--seed S] [--lob-rows N]
    python3 bench/run.py --profile CASE      (callgrind on a 100,000-row table)

Builds rowvane (Release, in build-bench/) and the helper programs of bench/,
generates the tables (cached by row count and seed), runs every case
interleaved for N rounds, and writes bench/results.md (also printed).
Only the Python standard library is used.
"""

import argparse
import csv
import datetime
import gzip
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
BUILD = os.path.join(ROOT, "build-bench")
TOOLS = os.path.join(BUILD, "bench-tools")
DATA = os.path.join(BUILD, "bench-data")
OUT = os.path.join(BUILD, "bench-out")
PROFILE_BUILD = os.path.join(ROOT, "build-bench-prof")

HELPERS = ("gen_table", "floor", "zlib_alone", "measure")
MIB = 1024 * 1024

# Limits of the targets; a ratio is "at most" (<=) or "at least" (>=).
TARGETS = [
    # (label, measured-key, relation, limit)
    ("default text / floor", "text_vs_floor", "<=", 1.3),
    ("text=CSV / floor", "csv_vs_floor", "<=", 1.3),
    ("sqlite3 -csv / default text", "shell_csv_vs_text", ">=", 1.6),
    ("sqlite3 -csv / text=CSV", "shell_csv_vs_csv", ">=", 1.6),
    ("sqlite3 .mode insert / text=MYSQLINS", "shell_ins_vs_mysqlins", ">=", 1.5),
    ("sqlite3 .mode insert / text=ORACLEINS", "shell_ins_vs_oracleins", ">=", 1.5),
    (".gz unload / zlib alone", "gz_vs_zlib", "<=", 1.15),
    (".gz unload / default text", "gz_vs_text", "<=", 1.5),
    (".gz size / zlib -6 size", "gz_size_vs_zlib", "<=", 1.03),
    (".zst unload / default text", "zst_vs_text", "<=", 1.2),
    (".zst size / .gz size", "zst_size_vs_gz", "<", 1.0),
    ("text=JSON / text=CSV", "json_vs_csv", "<=", 1.25),
    ("degree=1 / degree=2", "deg1_vs_deg2", ">=", 1.6),
    ("manifest= degree=2 / degree=2", "manifest_vs_split", "<=", 1.1),
    ("peak RSS of a single run (MiB)", "rss_max_mib", "<=", 32.0),
    ("RSS 1,000,000 vs 100,000 rows (change)", "rss_growth", "<=", 0.10),
    ("peak RSS of lobfile with 1 MiB objects (MiB)", "rss_big_lob_mib", "<=", 32.0),
]


# ---------------------------------------------------------------- statistics

def median_spread(values):
    """Median and relative spread ((max - min) / median) of the timings."""
    if not values:
        return None, None
    med = statistics.median(values)
    spread = (max(values) - min(values)) / med if med > 0 else 0.0
    return med, spread


def judge(relation, value, limit):
    """'met', 'missed' or 'n/a' for one target."""
    if value is None:
        return "n/a"
    ok = {"<=": value <= limit, "<": value < limit, ">=": value >= limit}[relation]
    return "met" if ok else "missed"


def ratio(numerator, denominator):
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return numerator / denominator


def compute_measures(medians, rss_by_rows, parallel=True, case_rss=None, sizes=None):
    """The figures the targets are judged on.

    medians: case name -> median wall seconds (missing or None when the case
    failed). rss_by_rows: {100000: KiB, 1000000: KiB} of the default text run.
    parallel=False leaves out the degree ratio (for CPU times, where two
    workers cannot gain anything). case_rss: case name -> largest peak RSS
    (KiB) over the rounds; every single (not parallel) unload counts towards
    the peak RSS target. sizes: case name -> bytes of its output files (for
    the compressed sizes).
    """
    size = (sizes or {}).get
    m = medians.get
    deg1 = m("rowvane split degree=1") or m("rowvane text (default)")
    rss_small = rss_by_rows.get(100000)
    rss_large = rss_by_rows.get(1000000)
    rss_values = [v for v in (rss_small, rss_large) if v]
    rss_values += [v for name, v in (case_rss or {}).items()
                   if name.startswith("rowvane") and "degree" not in name and v]
    return {
        "text_vs_floor": ratio(m("rowvane text (default)"), m("floor")),
        "csv_vs_floor": ratio(m("rowvane text=CSV"), m("floor")),
        "shell_csv_vs_text": ratio(m("sqlite3 -csv"), m("rowvane text (default)")),
        "shell_csv_vs_csv": ratio(m("sqlite3 -csv"), m("rowvane text=CSV")),
        "shell_ins_vs_mysqlins": ratio(m("sqlite3 .mode insert"), m("rowvane text=MYSQLINS")),
        "shell_ins_vs_oracleins": ratio(m("sqlite3 .mode insert"), m("rowvane text=ORACLEINS")),
        "gz_vs_zlib": ratio(m("rowvane .gz"), m("zlib alone -6")),
        "gz_vs_text": ratio(m("rowvane .gz"), m("rowvane text (default)")),
        "gz_size_vs_zlib": ratio(size("rowvane .gz"), size("zlib alone -6")),
        "zst_vs_text": ratio(m("rowvane .zst"), m("rowvane text (default)")),
        "zst_size_vs_gz": ratio(size("rowvane .zst"), size("rowvane .gz")),
        "json_vs_csv": ratio(m("rowvane text=JSON"), m("rowvane text=CSV")),
        "deg1_vs_deg2": ratio(deg1, m("rowvane split degree=2")) if parallel else None,
        "manifest_vs_split": ratio(m("rowvane split degree=2 manifest="), m("rowvane split degree=2")),
        "rss_max_mib": max(rss_values) / 1024.0 if rss_values else None,
        "rss_growth": (abs(rss_large - rss_small) / rss_small
                       if rss_small and rss_large else None),
        "rss_big_lob_mib": (rss_by_rows["lob_big"] / 1024.0
                            if rss_by_rows.get("lob_big") else None),
    }


# ------------------------------------------------------------ output checks

def check_csv(path, expected_rows, columns, header):
    """Parses a CSV file; returns None when it holds expected_rows records of
    `columns` fields each (plus a head line when header), else a message."""
    count = 0
    try:
        with open(path, newline="", encoding="utf-8", errors="strict") as f:
            for n, record in enumerate(csv.reader(f, strict=True)):
                if header and n == 0:
                    continue
                if len(record) != columns:
                    return "record %d has %d fields, not %d" % (n + 1, len(record), columns)
                count += 1
    except (csv.Error, UnicodeDecodeError) as e:
        return "unreadable: %s" % e
    if count != expected_rows:
        return "%d records, expected %d" % (count, expected_rows)
    return None


# ------------------------------------------------------------------ building

def run_checked(argv, **kw):
    subprocess.run(argv, check=True, **kw)


def build_helpers(dest):
    """Compiles the bench programs straight with the compiler (they are not
    part of the project build) when a source is newer than its binary.
    BENCH_CFLAGS adds flags (for example sanitizers for the harness tests)."""
    os.makedirs(dest, exist_ok=True)
    extra = os.environ.get("BENCH_CFLAGS", "").split()
    cxx = os.environ.get("CXX") or shutil.which("c++") or "g++"
    cc = os.environ.get("CC") or shutil.which("cc") or "gcc"
    for name in HELPERS:
        src = os.path.join(BENCH, name + ".cc")
        compiler = [cxx, "-std=c++20"]
        if not os.path.exists(src):
            src = os.path.join(BENCH, name + ".c")
            compiler = [cc]
        exe = os.path.join(dest, name)
        if os.path.exists(exe) and os.path.getmtime(exe) >= os.path.getmtime(src):
            continue
        run_checked([*compiler, "-O2", "-Wall", "-Wextra", *extra, src, "-o", exe,
                     "-lsqlite3", "-lz"])
    return {name: os.path.join(dest, name) for name in HELPERS}


def build_rowvane(build_dir, extra=()):
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        run_checked(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                     "-DROWVANE_TESTS=OFF", *extra], stdout=subprocess.DEVNULL)
    exe = os.path.join(build_dir, "rowvane")
    rc = subprocess.call(["cmake", "--build", build_dir, "-j2", "--target", "rowvane"],
                         stdout=subprocess.DEVNULL)
    if rc != 0:
        if not os.path.exists(exe):
            sys.exit("bench: building rowvane failed")
        print("bench: building rowvane failed; measuring the existing %s" % exe, flush=True)
    return exe


def table_path(tools, rows, seed, lob_rows, lob_kb=0):
    """The generated database, built once per (rows, seed, lob rows, lob size)."""
    os.makedirs(DATA, exist_ok=True)
    name = "bench-%d-%d-%d" % (rows, seed, lob_rows)
    if lob_kb:
        name += "-%dk" % lob_kb
    path = os.path.join(DATA, name + ".db")
    gen = tools["gen_table"]
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(gen):
        print("generating %s" % path, flush=True)
        run_checked([gen, path, str(rows), str(seed), str(lob_rows), str(lob_kb)])
    return path


# ------------------------------------------------------------------- running

MEASURE = os.path.join(TOOLS, "measure")


def run_measured(argv, stdout_path, stderr_path, cwd):
    """Runs one process through the measure launcher; returns (wall seconds,
    peak RSS KiB, exit code, CPU seconds) of that process alone (see
    bench/measure.c for why the figure is not taken from this interpreter's
    children)."""
    result = os.path.join(OUT, "measure.txt")
    if os.path.exists(result):
        os.remove(result)
    with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
        rc = subprocess.call([MEASURE, result, *argv], stdout=out, stderr=err,
                             stdin=subprocess.DEVNULL, cwd=cwd)
    if rc != 0 or not os.path.exists(result):
        return 0.0, 0, 127, 0.0
    with open(result) as f:
        wall, rss, code, cpu = f.read().split()
    return float(wall), int(rss), int(code), float(cpu)


class Case:
    def __init__(self, name, argv, outputs, rows, group, stdout=None, bytes_from=None,
                 before=None):
        self.name = name
        self.argv = argv
        self.outputs = outputs        # files whose sizes count as bytes produced
        self.rows = rows
        self.group = group            # "main" or "lob": which floor/shell it compares to
        self.stdout = stdout          # capture file for standard output (else a log)
        self.bytes_from = bytes_from  # callable giving the byte count (else outputs)
        self.before = before          # callable run before each round (clean-up)
        self.times, self.rss, self.cpu = [], [], []
        self.failure = None
        self.bytes = None
        self.file_size = None         # bytes of the output files


def remove_outputs(paths):
    for p in paths:
        if os.path.exists(p):
            os.remove(p)


def glob_prefix(directory, prefix):
    return sorted(os.path.join(directory, f) for f in os.listdir(directory)
                  if f.startswith(prefix))


def make_cases(rowvane, tools, db, rows, lob_rows):
    login = "user=u/p@sqlite:" + db
    q = "query=select * from BENCH"
    o = lambda name: os.path.join(OUT, name)
    rv = lambda *args: [rowvane, login, *args]
    shell = shutil.which("sqlite3")
    par_bytes = lambda: sum(os.path.getsize(p) for p in glob_prefix(OUT, "par2_"))
    cases = [
        Case("floor", [tools["floor"], db, "SELECT * FROM BENCH"], [], rows, "main",
             stdout=o("floor.txt")),
        Case("floor --native", [tools["floor"], "--native", db, "SELECT * FROM BENCH"], [],
             rows, "main", stdout=o("floor_native.txt")),
    ]
    if shell:
        cases += [
            Case("sqlite3 -csv", [shell, "-csv", db, "SELECT * FROM BENCH"],
                 [o("shell.csv")], rows, "main", stdout=o("shell.csv")),
            Case("sqlite3 .mode insert", [shell, "-cmd", ".mode insert BENCH", db,
                                          "SELECT * FROM BENCH"],
                 [o("shell.sql")], rows, "main", stdout=o("shell.sql")),
        ]
    cases += [
        Case("rowvane text (default)", rv(q, "file=" + o("text.txt")), [o("text.txt")], rows,
             "main"),
        Case("rowvane text=CSV", rv(q, "text=CSV", "file=" + o("csv.csv")), [o("csv.csv")],
             rows, "main"),
        Case("rowvane text=MYSQL", rv(q, "text=MYSQL", "file=" + o("mysql.txt")),
             [o("mysql.txt")], rows, "main"),
        Case("rowvane text=MYSQLINS", rv(q, "text=MYSQLINS", "table=BENCH",
                                         "file=" + o("mysqlins.sql")),
             [o("mysqlins.sql")], rows, "main"),
        Case("rowvane text=ORACLEINS", rv(q, "text=ORACLEINS", "table=BENCH",
                                          "file=" + o("oracleins.sql")),
             [o("oracleins.sql")], rows, "main"),
        Case("rowvane fixed width", rv(q, "field=0x20", "file=" + o("fixed.txt")),
             [o("fixed.txt")], rows, "main"),
        Case("rowvane client=YES", rv(q, "client=YES", "file=" + o("client.txt")),
             [o("client.txt")], rows, "main"),
        # zlib alone compresses the default text output of the same round, so
        # both .gz figures count the uncompressed bytes.
        Case("rowvane .gz", rv(q, "file=" + o("text.txt.gz")), [o("text.txt.gz")], rows, "main",
             bytes_from=lambda: os.path.getsize(o("text.txt"))),
        Case("rowvane .zst", rv(q, "file=" + o("text.txt.zst")), [o("text.txt.zst")], rows,
             "main", bytes_from=lambda: os.path.getsize(o("text.txt"))),
        Case("rowvane text=JSON", rv(q, "text=JSON", "file=" + o("json.jsonl")),
             [o("json.jsonl")], rows, "main"),
        Case("zlib alone -6", [tools["zlib_alone"], o("text.txt"), o("zlib.gz")], [o("zlib.gz")],
             rows, "main", bytes_from=lambda: os.path.getsize(o("text.txt"))),
        Case("rowvane split degree=2", rv("split=BENCH", "degree=2", "file=" + o("par2_%p.txt")),
             [], rows, "main", bytes_from=par_bytes,
             before=lambda: remove_outputs(glob_prefix(OUT, "par2_"))),
        # The same with a manifest: every file is read back for its CRC-32.
        Case("rowvane split degree=2 manifest=",
             rv("split=BENCH", "degree=2", "file=" + o("man2_%p.txt"), "manifest=" + o("man2.json")),
             [], rows, "main", bytes_from=lambda: sum(os.path.getsize(p) for p in glob_prefix(OUT, "man2_")
                                                      if p.endswith(".txt")),
             before=lambda: remove_outputs(glob_prefix(OUT, "man2_"))),
        Case("floor (LOB table)", [tools["floor"], db, "SELECT * FROM BENCH_LOB"], [], lob_rows,
             "lob", stdout=o("floor_lob.txt")),
    ]
    if shell:
        cases.append(Case("sqlite3 -csv (LOB table)", [shell, "-csv", db,
                                                       "SELECT * FROM BENCH_LOB"],
                          [o("shell_lob.csv")], lob_rows, "lob", stdout=o("shell_lob.csv")))
    cases.append(Case("rowvane lobfile (LOB table)",
                      rv("query=select * from BENCH_LOB", "file=" + o("lob.txt"),
                         "lobfile=" + o("lob.dat")),
                      [o("lob.txt"), o("lob.dat")], lob_rows, "lob"))
    return cases


def floor_bytes(case):
    try:
        with open(case.stdout) as f:
            rows, nbytes = (int(x) for x in f.read().split())
        return rows, nbytes
    except (OSError, ValueError):
        return None, None


def run_case_once(case):
    """One timed run; records the failure (and keeps it out of later rounds)."""
    if case.before:
        case.before()
    else:
        remove_outputs(case.outputs)
    log = os.path.join(OUT, "log-%s.txt" % slug(case.name))
    err = os.path.join(OUT, "err-%s.txt" % slug(case.name))
    wall, rss, rc, cpu = run_measured(case.argv, case.stdout or log, err, OUT)
    problem = None
    if rc != 0:
        problem = "exit status %d" % rc
    elif case.outputs and not all(os.path.exists(p) and os.path.getsize(p) > 0
                                  for p in case.outputs):
        problem = "no output written"
    if problem:
        tail = b""
        for p in (err, case.stdout or log):
            with open(p, "rb") as f:
                tail += f.read()[-300:]
        case.failure = "%s: %s" % (problem, tail.decode("utf-8", "replace").strip()[-300:])
        return
    case.times.append(wall)
    case.rss.append(rss)
    case.cpu.append(cpu)
    if case.outputs:
        case.file_size = sum(os.path.getsize(p) for p in case.outputs)
    if case.bytes_from:
        case.bytes = case.bytes_from()
    elif case.outputs:
        case.bytes = sum(os.path.getsize(p) for p in case.outputs)
    else:
        case.bytes = floor_bytes(case)[1]


def slug(name):
    return "".join(c if c.isalnum() else "_" for c in name).strip("_")


def verify_outputs(cases, rows):
    """After the first round: outputs that are plainly wrong are flagged, so a
    fast but broken unload is not reported as a result."""
    notes = []
    by_name = {c.name: c for c in cases}
    floor = by_name.get("floor")
    if floor and floor.times:
        got = floor_bytes(floor)[0]
        if got != rows:
            notes.append("floor stepped %s rows, expected %d" % (got, rows))
    for name, path, header in (("sqlite3 -csv", "shell.csv", False),
                               ("rowvane text=CSV", "csv.csv", True)):
        c = by_name.get(name)
        if c and c.times:
            msg = check_csv(os.path.join(OUT, path), rows, 7, header)
            if msg:
                notes.append("%s output: %s" % (name, msg))
    text = os.path.join(OUT, "text.txt")
    c = by_name.get("rowvane .gz")
    if c and c.times and os.path.exists(text) and \
            not same_bytes_gz(os.path.join(OUT, "text.txt.gz"), text):
        notes.append("rowvane .gz output does not decompress to the default text output")
    c = by_name.get("rowvane .zst")
    if c and c.times and os.path.exists(text) and \
            not same_bytes_zst(os.path.join(OUT, "text.txt.zst"), text):
        notes.append("rowvane .zst output does not decompress to the default text output")
    c = by_name.get("rowvane text=JSON")
    if c and c.times:
        msg = check_json(os.path.join(OUT, "json.jsonl"), rows, 7)
        if msg:
            notes.append("rowvane text=JSON output: %s" % msg)
    c = by_name.get("rowvane split degree=2")
    if c and c.times and os.path.exists(text) and c.bytes != os.path.getsize(text):
        notes.append("rowvane split degree=2 wrote %d bytes, the default text unload %d"
                     % (c.bytes, os.path.getsize(text)))
    return notes


def same_bytes_gz(gz_path, plain_path):
    """True when the gzip file decompresses to exactly the plain file."""
    with gzip.open(gz_path, "rb") as g, open(plain_path, "rb") as p:
        while True:
            a, b = g.read(1 << 20), p.read(1 << 20)
            if a != b:
                return False
            if not a:
                return True


def same_bytes_zst(zst_path, plain_path):
    """True when the zstd file decompresses (by the zstd command) to exactly
    the plain file; False also when the command is missing."""
    zstd = shutil.which("zstd")
    if not zstd:
        return False
    with subprocess.Popen([zstd, "-dc", zst_path], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL) as z, open(plain_path, "rb") as p:
        same = True
        while same:
            a, b = z.stdout.read(1 << 20), p.read(1 << 20)
            same = a == b
            if not a:
                break
        z.stdout.close()
        return same and z.wait() == 0


def check_json(path, expected_rows, keys):
    """None when the file holds expected_rows JSON objects of `keys` keys,
    one per line, else a message."""
    count = 0
    try:
        with open(path, encoding="utf-8", errors="strict") as f:
            for n, line in enumerate(f):
                obj = json.loads(line)
                if not isinstance(obj, dict) or len(obj) != keys:
                    return "line %d is not an object of %d keys" % (n + 1, keys)
                count += 1
    except (ValueError, UnicodeDecodeError) as e:
        return "unreadable: %s" % e
    if count != expected_rows:
        return "%d objects, expected %d" % (count, expected_rows)
    return None


BIG_LOB_ROWS, BIG_LOB_KB = 100, 1024


def peak_rss(argv, outputs, runs=3):
    """The largest peak RSS (KiB) of `runs` successful runs, or None."""
    peaks = []
    for _ in range(runs):
        remove_outputs(outputs)
        wall, rss, rc, cpu = run_measured(argv, os.path.join(OUT, "log-rss.txt"),
                                          os.path.join(OUT, "err-rss.txt"), OUT)
        if rc == 0:
            peaks.append(rss)
    remove_outputs(outputs)
    return max(peaks) if peaks else None


def rss_pair(rowvane, tools, seed, lob_rows, main_rows, main_db):
    """Peak RSS (KiB) of the default text unload at 100,000 and 1,000,000
    rows (keys 100000 and 1000000), and of the lobfile unload of the small
    objects of the main table and of objects of about 1 MiB ("lob_small",
    "lob_big"): memory should follow neither the row count nor the size of
    the objects."""
    result = {}
    out = os.path.join(OUT, "rss.txt")
    for n in (100000, 1000000):
        db = main_db if n == main_rows else table_path(tools, n, seed, lob_rows)
        result[n] = peak_rss([rowvane, "user=u/p@sqlite:" + db, "query=select * from BENCH",
                              "file=" + out], [out])
    lob = os.path.join(OUT, "rss.dat")
    big_db = table_path(tools, 0, seed, BIG_LOB_ROWS, BIG_LOB_KB)
    for key, db in (("lob_small", main_db), ("lob_big", big_db)):
        result[key] = peak_rss([rowvane, "user=u/p@sqlite:" + db,
                                "query=select * from BENCH_LOB", "file=" + out,
                                "lobfile=" + lob], [out, lob], runs=1)
    return {k: v for k, v in result.items() if v}


# ------------------------------------------------------------------ report

def fmt(v, pattern):
    return pattern % v if v is not None else "-"


def render(cases, measures, cpu_measures, rss_by_rows, meta, notes):
    floor_of = {}
    shell_of = {}
    med = {c.name: median_spread(c.times)[0] for c in cases}
    floor_of["main"] = med.get("floor")
    floor_of["lob"] = med.get("floor (LOB table)")
    native = med.get("floor --native")
    shell_of["main"] = med.get("sqlite3 -csv")
    shell_of["lob"] = med.get("sqlite3 -csv (LOB table)")
    insert_shell = med.get("sqlite3 .mode insert")
    lines = ["# Benchmark results", ""]
    lines.append("%s; %s; SQLite %s; %d rows (LOB table %d rows); seed %d; %d rounds, "
                 "interleaved." % (meta["date"], meta["cpu"], meta["sqlite"], meta["rows"],
                                   meta["lob_rows"], meta["seed"], meta["rounds"]))
    lines.append("")
    lines.append("Load average at the start %s, at the end %s (above 0.5 means other work "
                 "competed for the 2 cores and wall times are noisy; CPU times suffer less)."
                 % (meta["load_start"], meta["load_end"]))
    lines.append("")
    lines.append("Wall time is the median over the rounds; spread is (max - min) / median. "
                 "MB/s counts the bytes written (for the floor: the text bytes read; for "
                 "the .gz, .zst and zlib cases: the uncompressed bytes). x floor is the time "
                 "against the floor of the same table (lower is better); x native is the time against "
                 "the floor that reads numbers in their storage class instead of as text "
                 "(SQLite's number-to-text conversion is slow, so the text floor is not a hard "
                 "lower bound for an unloader that formats numbers itself); shell/x is the "
                 "shell's time divided by the case's (higher is better; INSERT formats "
                 "against `.mode insert`, others against `-csv`).")
    lines.append("")
    lines.append("| case | median s | spread | CPU s | rows/s | MB/s | peak RSS MiB | x floor "
                 "| x native | shell/x |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for c in cases:
        t, spread = median_spread(c.times)
        if t is None:
            lines.append("| %s | failed | | | | | | | | |" % c.name)
            continue
        rss = statistics.median(c.rss) / 1024.0
        shell = insert_shell if "INS" in c.name else shell_of.get(c.group)
        lines.append("| %s | %.3f | %.1f%% | %.3f | %s | %s | %.1f | %s | %s | %s |" % (
            c.name, t, spread * 100, statistics.median(c.cpu), fmt(c.rows / t, "%.0f"),
            fmt(c.bytes / t / 1e6 if c.bytes else None, "%.1f"), rss,
            fmt(ratio(t, floor_of.get(c.group)), "%.2f"),
            fmt(ratio(t, native), "%.2f") if c.group == "main" else "-",
            fmt(ratio(shell, t), "%.2f") if not c.name.startswith(("sqlite3", "floor")) else "-"))
    shown = ["%d rows %.1f MiB" % (n, rss_by_rows[n] / 1024.0)
             for n in (100000, 1000000) if n in rss_by_rows]
    lines += ["", "Peak RSS of the default text unload (largest of three runs): " +
              (", ".join(shown) or "not measured") + "."]
    shown = ["%s %.1f MiB" % (label, rss_by_rows[key] / 1024.0)
             for key, label in (("lob_small", "objects of 0.5 to 8 KiB"),
                                ("lob_big", "%d rows with objects of about %d KiB" %
                                 (BIG_LOB_ROWS, BIG_LOB_KB)))
             if key in rss_by_rows]
    lines += ["Peak RSS of the lobfile unload: " + (", ".join(shown) or "not measured") + ".",
              ""]
    lines += ["## Targets", "",
              "Ratios of median wall times (the targets), and the same ratios of median CPU "
              "times for comparison on a loaded machine.", "",
              "| target | wall | verdict | CPU | verdict | limit |",
              "|---|---:|---|---:|---|---:|"]
    for label, key, relation, limit in TARGETS:
        cells = []
        for figures in (measures, cpu_measures):
            v = figures.get(key)
            if key.startswith("rss"):
                v = None if figures is cpu_measures else v
            shown = fmt(v * 100 if v is not None else None, "%.1f%%") if key == "rss_growth" \
                else fmt(v, "%.2f")
            cells += [shown, judge(relation, v, limit) if v is not None else "-"]
        lim = ("%s %.0f%%" % (relation, limit * 100)) if key == "rss_growth" \
            else "%s %.2f" % (relation, limit)
        lines.append("| %s | %s | %s | %s | %s | %s |" % (label, *cells, lim))
    failed = [c for c in cases if c.failure]
    if failed or notes:
        lines += ["", "## Problems", ""]
        lines += ["- %s: %s" % (c.name, c.failure.replace("\n", " ")) for c in failed]
        lines += ["- %s" % n for n in notes]
    return "\n".join(lines) + "\n"


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return "%s x%d" % (line.split(":", 1)[1].strip(), os.cpu_count())
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def sqlite_version(tools):
    shell = shutil.which("sqlite3")
    if shell:
        return subprocess.run([shell, "--version"], capture_output=True,
                              text=True).stdout.split()[0]
    import sqlite3
    return sqlite3.sqlite_version


# ----------------------------------------------------------------- profiling

def profile(case_name, seed, lob_rows):
    """Runs one case under callgrind on the 100,000-row table, with a build
    that keeps symbols and frame pointers, and prints the top functions."""
    tools = build_helpers(TOOLS)
    rowvane = build_rowvane(PROFILE_BUILD, ["-DCMAKE_CXX_FLAGS=-g -fno-omit-frame-pointer"])
    db = table_path(tools, 100000, seed, lob_rows)
    os.makedirs(OUT, exist_ok=True)
    cases = {c.name: c for c in make_cases(rowvane, tools, db, 100000, lob_rows)}
    if case_name not in cases:
        sys.exit("unknown case %r; cases: %s" % (case_name, ", ".join(cases)))
    c = cases[case_name]
    remove_outputs(c.outputs)
    prof = os.path.join(OUT, "callgrind.%s.out" % slug(case_name))
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + prof, *c.argv],
                   stdout=subprocess.DEVNULL, cwd=OUT, check=False)
    subprocess.run(["callgrind_annotate", "--inclusive=no", prof], check=False)
    print("profile written to", prof)


# ---------------------------------------------------------------------- main

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("rows", nargs="?", type=int, default=1000000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--lob-rows", type=int, default=10000)
    ap.add_argument("--profile", metavar="CASE")
    ap.add_argument("--results", default=os.path.join(BENCH, "results.md"))
    ap.add_argument("--keep-outputs", action="store_true",
                    help="keep the unloaded files in build-bench/bench-out")
    args = ap.parse_args(argv)
    if args.profile:
        profile(args.profile, args.seed, args.lob_rows)
        return 0

    tools = build_helpers(TOOLS)
    rowvane = build_rowvane(BUILD)
    db = table_path(tools, args.rows, args.seed, args.lob_rows)
    os.makedirs(OUT, exist_ok=True)
    cases = make_cases(rowvane, tools, db, args.rows, args.lob_rows)

    load_start = "%.2f" % os.getloadavg()[0]
    # Warm the page cache so the first timed case does not pay for the disk.
    run_measured([tools["floor"], db, "SELECT * FROM BENCH"], os.devnull, os.devnull, OUT)
    notes = []
    for r in range(args.rounds):
        print("round %d/%d" % (r + 1, args.rounds), flush=True)
        for c in cases:
            if c.failure:
                continue
            run_case_once(c)
            print("  %-32s %s" % (c.name, "%.3f s" % c.times[-1] if not c.failure
                                  else "FAILED (%s)" % c.failure[:120]), flush=True)
        if r == 0:
            notes = verify_outputs(cases, args.rows)
    rss_by_rows = rss_pair(rowvane, tools, args.seed, args.lob_rows, args.rows, db)

    medians = {c.name: median_spread(c.times)[0] for c in cases}
    case_rss = {c.name: max(c.rss) for c in cases if c.rss}
    sizes = {c.name: c.file_size for c in cases if c.file_size}
    measures = compute_measures(medians, rss_by_rows, case_rss=case_rss, sizes=sizes)
    cpu_medians = {c.name: median_spread(c.cpu)[0] for c in cases}
    cpu_measures = compute_measures(cpu_medians, rss_by_rows, parallel=False)
    meta = {"date": datetime.date.today().isoformat(), "cpu": cpu_name(),
            "sqlite": sqlite_version(tools), "rows": args.rows, "lob_rows": args.lob_rows,
            "seed": args.seed, "rounds": args.rounds, "load_start": load_start,
            "load_end": "%.2f" % os.getloadavg()[0]}
    report = render(cases, measures, cpu_measures, rss_by_rows, meta, notes)
    if not args.keep_outputs:
        for c in cases:
            remove_outputs(c.outputs)
        remove_outputs(glob_prefix(OUT, "par2_") + [os.path.join(OUT, "text.txt")])
    with open(args.results, "w") as f:
        f.write(report)
    print()
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())

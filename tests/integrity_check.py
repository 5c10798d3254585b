#!/usr/bin/env python3
"""Random tables for the integrity suite, and the reader that checks an
unload of them against the source, value for value.

  integrity_check.py make  DB SEED ROWS
  integrity_check.py check CONFIG.json

The reader uses real peers wherever one exists: Python's csv module for
CSV, the sqlite3 shell for SQL INSERT statements, Python's sqlite3 module
for MySQL INSERT statements (with an unhex() function, which the shell of
this SQLite release lacks), gzip for compressed files, the program's own
uncrack mode for scrambled files and the control file's positions for the
fixed-width layout. It prints "OK <rows>" or the first differences and
exits 1.
"""

import collections
import datetime
import glob
import json
import math
import os
import random
import re
import sqlite3
import subprocess
import sys
import tempfile

# Column name, declared type, kind. Kinds: int, real (exact numbers and
# binary doubles), date, ts, text (escaped character kinds), safe (text
# without line breaks, for the line layouts), raw and blob (bytes, written
# as hex text or, in MySQL layouts, escaped or through unhex) and clob
# (text).
COLUMNS = [
    ("ID", "INTEGER PRIMARY KEY", "int"),
    ("I", "INTEGER", "int"),
    ("N", "NUMBER(14,2)", "real"),
    ("F", "BINARY_DOUBLE", "real"),
    ("D", "DATE", "date"),
    ("TS", "TIMESTAMP(6)", "ts"),
    ("C", "CHAR(8)", "safe"),
    ("S", "VARCHAR2(30)", "safe"),
    ("V", "VARCHAR2(40)", "text"),
    ("VC", '"VARCHAR2(10 CHAR)"', "text"),
    ("L", "LONG", "text"),
    ("R", "RAW(16)", "raw"),
    ("CL", "CLOB", "clob"),
    ("B", "BLOB", "blob"),
]
WIDTH = {"C": 8, "S": 30, "V": 40, "R": 16}
KIND = {name: kind for name, _, kind in COLUMNS}

# Bytes no value holds: they are the separators and the NULL text of the
# layouts checked here (0x02 null, 0x1e record, 0x1f field), and zero.
RESERVED = {0x00, 0x02, 0x1E, 0x1F}
# Never-escaped kinds (RAW, CLOB, BLOB) are written as they are between
# quotes, so they cannot carry the quote and escape characters.
UNESCAPED_EXCLUDED = RESERVED | {0x22, 0x27, 0x5C}

ASCII_HOSTILE = list("abcXYZ0189 ,;:|=<>&%-_./") + ['"', "'", "\\", "\t", "\n", "\r", "\x01"]
MULTIBYTE = ["é", "ü", "ß", "€", "中", "文", "Ж", "𝄞", "😀"]


def text_value(rng, max_bytes, line_safe=False, unescaped=False, max_chars=None):
    """Text of at most max_bytes UTF-8 bytes; sometimes exactly max_bytes."""
    alphabet = [c for c in ASCII_HOSTILE + MULTIBYTE
                if not (line_safe and c in "\n\r\x01")
                and not (unescaped and c in "\"'\\")]
    out, size = [], 0
    target = max_bytes if rng.random() < 0.2 else rng.randint(0, max_bytes)
    while True:
        if max_chars is not None and len(out) >= max_chars:
            break
        c = rng.choice(alphabet)
        # A backslash right after a multi-byte character would be taken as
        # the second byte of a double-byte character and left unescaped.
        if c == "\\" and out and ord(out[-1]) > 127:
            c = "x"
        n = len(c.encode("utf-8"))
        if size + n > target:
            break
        out.append(c)
        size += n
    # Fill up to the exact width with ASCII when asked for the full width.
    while size < target and (max_chars is None or len(out) < max_chars):
        out.append("w")
        size += 1
    return "".join(out)


def not_numeric(text):
    """LONG has numeric affinity in SQLite: a text that reads as a number
    would be stored as one. Such texts get a letter in front."""
    try:
        float(text)
    except ValueError:
        return text
    return "x" + text


def bytes_value(rng, max_len, exact=False):
    allowed = [b for b in range(256) if b not in UNESCAPED_EXCLUDED]
    n = max_len if exact or rng.random() < 0.2 else rng.randint(0, max_len)
    return bytes(rng.choice(allowed) for _ in range(n))


def random_double(rng):
    choice = rng.random()
    if choice < 0.3:
        return float(rng.randint(-10**6, 10**6))
    if choice < 0.6:
        return rng.uniform(-1, 1) * 10 ** rng.randint(-30, 30)
    return rng.uniform(-1, 1) * 10 ** rng.randint(-300, 300) or 1.0


def random_moment(rng, fraction):
    base = datetime.datetime(1000, 1, 1)
    moment = base + datetime.timedelta(seconds=rng.randint(0, 9000 * 365 * 86400))
    text = moment.strftime("%Y-%m-%d %H:%M:%S")
    if len(text) == 18:  # years below 1000 print with three digits on some systems
        text = "0" + text
    if fraction:
        text += ".%06d" % rng.randint(0, 999999)
    return text


def make(db, seed, rows):
    rng = random.Random(seed)
    if os.path.exists(db):
        os.remove(db)
    con = sqlite3.connect(db)
    con.execute("CREATE TABLE T(%s)" % ", ".join("%s %s" % (n, t) for n, t, _ in COLUMNS))

    def maybe_null(value, empty=None):
        r = rng.random()
        if r < 0.12:
            return None
        if empty is not None and r < 0.2:
            return empty
        return value

    data = []
    for i in range(1, rows + 1):
        big_lob = i % 997 == 5  # a few large objects of several read pieces
        data.append((
            i,
            maybe_null(rng.randint(-2**62, 2**62)),
            maybe_null(round(rng.uniform(-1e11, 1e11), 2)),
            maybe_null(random_double(rng)),
            maybe_null(random_moment(rng, False)),
            maybe_null(random_moment(rng, True)),
            maybe_null("".join(rng.choice("ab '\",\\;") for _ in range(rng.choice([0, 3, 8]))), ""),
            maybe_null(text_value(rng, 30, line_safe=True), ""),
            maybe_null(text_value(rng, 40), ""),
            maybe_null(text_value(rng, 40, max_chars=10), ""),
            maybe_null(not_numeric(text_value(rng, 3000)), ""),
            maybe_null(bytes_value(rng, 16), b""),
            maybe_null(text_value(rng, 100000 if big_lob else 300, unescaped=True), ""),
            maybe_null(bytes_value(rng, 90000 if big_lob else 200, exact=big_lob), b""),
        ))
    con.executemany("INSERT INTO T VALUES (%s)" % ",".join("?" * len(COLUMNS)), data)
    con.commit()
    con.close()


# ---------------------------------------------------------------- reading

def source_rows(db, names):
    con = sqlite3.connect(db)
    con.text_factory = bytes
    rows = {}
    for row in con.execute("SELECT %s FROM T" % ",".join(names)):
        rows[row[0]] = row
    con.close()
    return rows


def norm_source(kind, value, fixed=False, shell=False):
    if value is None:
        return None
    if kind in ("int",):
        return int(value)
    if kind == "real":
        return float(value)
    if isinstance(value, str):
        value = value.encode("utf-8")
    if fixed:
        value = value.rstrip(b" ")
        return value if value else None
    if shell:
        # The sqlite3 shell reads its input by lines and drops a carriage
        # return that ends one, also inside a string literal.
        value = value.replace(b"\r\n", b"\n")
    return bytes(value)


def same(kind, want, got, sql):
    """SQLite's own reading of number literals is not exactly rounded near
    the ends of the double range: allow the last digit there."""
    if kind == "real" and sql and isinstance(want, float) and isinstance(got, float):
        return math.isclose(want, got, rel_tol=1e-14)
    return want == got


def norm_output(kind, value, fixed=False):
    """value: bytes as read back, a number from SQL, or None."""
    if value is None:
        return None
    if fixed:  # fields are padded with blanks; a blank field is NULL
        value = value.rstrip(b" ")
        if not value:
            return None
    if kind == "int":
        if isinstance(value, int):
            return value
        text = value.decode("ascii")
        if not re.fullmatch(r"-?\d+", text):
            return ("not an integer", text)
        return int(text)
    if kind == "real":
        if isinstance(value, (int, float)):
            return float(value)
        return float(value.decode("ascii"))
    if isinstance(value, str):
        value = value.encode("utf-8")
    if fixed:
        value = value.rstrip(b" ")
        return value if value else None
    return bytes(value)


def resolve_lob(ref, kind):
    """A lob reference "name.offset.length/" to the bytes it names."""
    text = ref.decode("latin-1")
    if not text.endswith("/"):
        return ("not a reference", text)
    name, offset, length = text[:-1].rsplit(".", 2)
    offset, length = int(offset), int(length)
    if length == -1:
        return None
    with open(name, "rb") as f:
        f.seek(offset - 1)
        data = f.read(length)
    if len(data) != length:
        return ("reference past the end", text)
    return data


def split_records(data, record, field):
    records = data.split(record)
    if records and records[-1] == b"":
        records.pop()
    return [r.split(field) for r in records]


def read_csv(data):
    import csv
    import io
    text = data.decode("latin-1")
    csv.field_size_limit(1 << 30)  # a BLOB as hex text is twice its size
    reader = csv.reader(io.StringIO(text, newline=""))
    rows = [[f.encode("latin-1") for f in row] for row in reader]
    return rows[1:]  # the head line of every file


def read_mysql_text(data):
    """Values joined by ",", quoted values with backslash escapes, \\N null."""
    unescape = {ord("r"): b"\r", ord("n"): b"\n"}
    rows, row, i, n = [], [], 0, len(data)
    while i < n:
        if data[i:i + 1] == b'"':
            i += 1
            value = bytearray()
            while data[i:i + 1] != b'"':
                if data[i:i + 1] == b"\\":
                    value += unescape.get(data[i + 1], bytes([data[i + 1]]))
                    i += 2
                else:
                    value.append(data[i])
                    i += 1
            i += 1
            row.append(bytes(value))
        else:
            j = i
            while j < n and data[j:j + 1] not in (b",", b"\n"):
                j += 1
            token = data[i:j]
            row.append(None if token == b"\\N" else token)
            i = j
        if data[i:i + 1] == b",":
            i += 1
        elif data[i:i + 1] == b"\n":
            rows.append(row)
            row = []
            i += 1
        elif i < n:
            raise ValueError("unexpected byte at %d: %r" % (i, data[i:i + 20]))
    return rows


def load_sql(data, names, use_shell):
    with tempfile.TemporaryDirectory() as tmp:
        target = os.path.join(tmp, "load.db")
        con = sqlite3.connect(target)
        con.execute("CREATE TABLE T(%s)" % ",".join(names))
        con.commit()
        if use_shell:
            con.close()
            script = os.path.join(tmp, "load.sql")
            with open(script, "wb") as f:
                f.write(data)
            done = subprocess.run(["sqlite3", "-bail", target, ".read " + script],
                                  capture_output=True)
            if done.returncode != 0 or done.stderr:
                raise ValueError("sqlite3 shell: %r" % done.stderr[:500])
            con = sqlite3.connect(target)
        else:
            con.create_function("unhex", 1, lambda h: None if h is None else bytes.fromhex(h))
            con.executescript(data.decode("latin-1"))
        con.text_factory = bytes
        rows = [list(r) for r in con.execute("SELECT * FROM T")]
        con.close()
    return rows


def read_form(data, names):
    rows = []
    for block in data.split(b"\n\n"):
        if not block:
            continue
        row = []
        for line, name in zip(block.split(b"\n"), names):
            label, _, value = line.partition(b" : ")
            if label.rstrip(b" ") != name.encode():
                raise ValueError("column %s labelled %r" % (name, label))
            row.append(None if value == b"(null)" else value)
        rows.append(row)
    return rows


def read_search(data, names):
    tokens = data.split(b"\x01\n")
    rows, row = [], None
    for token in tokens:
        if token == b"<DOC>":
            row = []
        elif token == b"</DOC>":
            rows.append(row)
            row = None
        elif token == b"":
            continue
        else:
            name, _, value = token.partition(b"=")
            if name != names[len(row)].encode():
                raise ValueError("column %s named %r" % (names[len(row)], name))
            row.append(None if value == b"\x02" else value)
    return rows


def read_fixed(data, control):
    text = open(control, "rb").read().decode("latin-1")
    record = int(re.search(r'"FIX (\d+)"', text).group(1))
    positions = [(int(a), int(b)) for a, b in re.findall(r"POSITION\((\d+):(\d+)\)", text)]
    if len(data) % record:
        raise ValueError("length %d is no multiple of %d" % (len(data), record))
    rows = []
    for at in range(0, len(data), record):
        rec = data[at:at + record]
        rows.append([rec[a - 1:b] for a, b in positions])
    return rows


def file_order(path):
    return [int(n) for n in re.findall(r"\d+", os.path.basename(path))]


def decoded_files(cfg):
    paths = sorted(glob.glob(cfg["files"]), key=file_order)
    if not paths:
        raise ValueError("no output file matches " + cfg["files"])
    for path in paths:
        data = open(path, "rb").read()
        if cfg.get("gzip"):
            data = subprocess.run(["gzip", "-dc", path], capture_output=True, check=True).stdout
        if cfg.get("key"):
            with tempfile.NamedTemporaryFile(delete=False) as tmp:
                tmp.write(data)
            try:
                done = subprocess.run([cfg["program"], "uncrack=" + cfg["key"], "file=" + tmp.name],
                                      capture_output=True)
            finally:
                os.unlink(tmp.name)
            data = done.stdout
        yield path, data


def describe(value):
    """A value for a message: short, with the first differing region visible."""
    text = repr(value)
    return text if len(text) <= 160 else text[:100] + "..." + text[-50:] + " (%d)" % len(value)


def check(cfg):
    names = cfg["columns"]
    layout = cfg["layout"]
    fixed = layout == "fixed"
    kinds = [KIND[n] for n in names]
    lob_mode = cfg.get("lob", False)
    got = []
    for path, data in decoded_files(cfg):
        if layout == "delim":
            rows = split_records(data, b"\x1e", b"\x1f")
            rows = [[None if v == b"\x02" else v for v in r] for r in rows]
        elif layout == "csv":
            rows = [[None if v == b"\x02" else v for v in r] for r in read_csv(data)]
        elif layout == "mysql":
            rows = read_mysql_text(data)
        elif layout == "oracleins":
            rows = load_sql(data, names, use_shell=True)
        elif layout == "mysqlins":
            rows = load_sql(data, names, use_shell=False)
        elif layout == "form":
            rows = read_form(data, names)
        elif layout == "search":
            rows = read_search(data, names)
        elif layout == "fixed":
            rows = read_fixed(data, cfg["control"])
        else:
            raise ValueError("unknown layout " + layout)
        for r in rows:
            if len(r) != len(names):
                raise ValueError("%s: a row of %d values: %r" % (path, len(r), r[:3]))
        got.extend(rows)

    expected = source_rows(cfg["db"], names)
    sql = layout in ("oracleins", "mysqlins")
    shell = layout == "oracleins"
    # Raw bytes are upper-case hex text, except in MySQL statements (unhex)
    # and MySQL text (escaped bytes); a BLOB in a lob file stays bytes.
    hex_text = layout not in ("mysql", "mysqlins")

    def as_hex(kind):
        return hex_text and (kind == "raw" or (kind == "blob" and not lob_mode))
    problems = []
    seen = collections.Counter()
    for row in got:
        values = []
        for kind, value in zip(kinds, row):
            if lob_mode and kind in ("clob", "blob"):
                value = None if value is None else resolve_lob(value, kind)
            value = norm_output(kind, value, fixed)
            if as_hex(kind) and isinstance(value, bytes):
                value = bytes.fromhex(value.decode("ascii")) if re.fullmatch(rb"[0-9A-F]*", value) \
                    else ("not upper-case hex", value)
            values.append(value)
        key = values[0]
        seen[key] += 1
        if seen[key] == 2:
            problems.append("row %r written twice" % (key,))
        source = expected.get(key)
        if source is None:
            problems.append("row %r is not in the table" % (key,))
            continue
        # Hex text has no blanks to pad nor line ends for the shell to drop.
        # (an empty value is still a blank field: NULL, in the fixed layout).
        want = [norm_source(k, v, fixed and not as_hex(k), shell and not as_hex(k))
                for k, v in zip(kinds, source)]
        want = [None if fixed and w == b"" else w for w in want]
        for name, kind, w, g in zip(names, kinds, want, values):
            if not same(kind, w, g, sql):
                problems.append("row %r column %s: expected %s, got %s" % (key, name, describe(w), describe(g)))
    missing = [k for k in expected if k not in seen]
    if missing:
        problems.append("%d rows lost, first %r" % (len(missing), missing[:5]))
    if problems:
        print("\n".join(problems[:12]))
        return 1
    print("OK %d" % len(got))
    return 0


def main():
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return 0
    with open(sys.argv[2]) as f:
        cfg = json.load(f)
    try:
        return check(cfg)
    except Exception as e:  # a reader that cannot parse the output is a failure too
        print("unreadable output: %s: %s" % (type(e).__name__, e))
        return 1


if __name__ == "__main__":
    sys.exit(main())

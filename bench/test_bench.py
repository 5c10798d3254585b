"""Checks of the benchmark harness: python3 -m unittest discover -s bench -p 'test_*.py'

The helper programs are compiled into a temporary folder; no rowvane build is
needed."""

import gzip
import os
import re
import sqlite3
import subprocess
import tempfile
import unittest

import run

ROWS = 4000
LOB_ROWS = 60


def read_text(path):
    with open(path) as f:
        return f.read()


def table_rows(path, table):
    con = sqlite3.connect(path)
    try:
        return con.execute("SELECT * FROM %s ORDER BY rowid" % table).fetchall()
    finally:
        con.close()


class HarnessTools(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.tools = run.build_helpers(cls.tmp.name)
        cls.db = os.path.join(cls.tmp.name, "a.db")
        subprocess.run([cls.tools["gen_table"], cls.db, str(ROWS), "7", str(LOB_ROWS)],
                       check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    # ---- generator

    def test_generator_is_deterministic_per_seed(self):
        same, other = self.path("same.db"), self.path("other.db")
        subprocess.run([self.tools["gen_table"], same, str(ROWS), "7", str(LOB_ROWS)], check=True)
        subprocess.run([self.tools["gen_table"], other, str(ROWS), "8", str(LOB_ROWS)], check=True)
        for table in ("BENCH", "BENCH_LOB"):
            self.assertEqual(table_rows(self.db, table), table_rows(same, table))
            self.assertNotEqual(table_rows(self.db, table), table_rows(other, table))

    def test_generator_declares_the_mixed_types(self):
        con = sqlite3.connect(self.db)
        cols = [(r[1], r[2]) for r in con.execute("PRAGMA table_info(BENCH)")]
        con.close()
        self.assertEqual(cols, [("ID", "NUMBER(10)"), ("AMOUNT", "NUMBER(12,2)"),
                                ("NAME", "VARCHAR2(40)"), ("NOTE", "VARCHAR2(200)"),
                                ("CREATED", "DATE"), ("FLAG", "CHAR(1)"),
                                ("RATIO", "BINARY_DOUBLE")])

    def test_generator_values_fit_their_columns(self):
        rows = table_rows(self.db, "BENCH")
        self.assertEqual([r[0] for r in rows], list(range(1, ROWS + 1)))
        null_amount = sum(r[1] is None for r in rows) / ROWS
        null_note = sum(r[3] is None for r in rows) / ROWS
        self.assertTrue(0.03 < null_amount < 0.07, null_amount)
        self.assertTrue(0.07 < null_note < 0.13, null_note)
        date = re.compile(r"^\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d) ([01]\d|2[0-3]):[0-5]\d:[0-5]\d$")
        for r in rows:
            if r[1] is not None:
                self.assertLess(abs(r[1]), 1e10)
                self.assertAlmostEqual(r[1] * 100, round(r[1] * 100), places=3)
            self.assertTrue(0 < len(r[2]) <= 40)
            if r[3] is not None:
                self.assertLessEqual(len(r[3].encode("utf-8")), 200)
            self.assertRegex(r[4], date)
            self.assertEqual(len(r[5]), 1)
            self.assertIsInstance(r[6], float)

    def test_generator_notes_hold_every_byte_that_needs_escaping(self):
        text = "".join(r[3] for r in table_rows(self.db, "BENCH") if r[3])
        for needle in ('"', "'", ",", "\n", "\r\n", "\\", "\t", "\u00e9", "\u65e5"):
            self.assertIn(needle, text)

    def test_generator_lob_table(self):
        rows = table_rows(self.db, "BENCH_LOB")
        self.assertEqual(len(rows), LOB_ROWS)
        for ident, doc, blob in rows:
            if doc is not None:
                self.assertTrue(1024 <= len(doc.encode("utf-8")) <= 9 * 1024)
            self.assertIsInstance(blob, bytes)
            self.assertTrue(512 <= len(blob) < 4096)

    def test_generator_big_objects_follow_lob_kb(self):
        big = self.path("big.db")
        subprocess.run([self.tools["gen_table"], big, "0", "7", "3", "64"], check=True)
        self.assertEqual(table_rows(big, "BENCH"), [])
        for ident, doc, blob in table_rows(big, "BENCH_LOB"):
            if doc is not None:
                self.assertTrue(64 * 1024 <= len(doc.encode("utf-8")) <= 81 * 1024)
            self.assertTrue(64 * 1024 <= len(blob) <= 80 * 1024)

    def test_generator_refuses_bad_arguments_and_leaves_no_file(self):
        bad = self.path("bad.db")
        for args in (["-5"], ["10", "1", "1", "70000"], ["10x"]):
            r = subprocess.run([self.tools["gen_table"], bad, *args], capture_output=True)
            self.assertNotEqual(r.returncode, 0)
            self.assertFalse(os.path.exists(bad))
        r = subprocess.run([self.tools["gen_table"], os.path.join(self.path("nodir"), "x.db")],
                           capture_output=True)
        self.assertNotEqual(r.returncode, 0)

    # ---- floor, zlib alone, measure

    def test_floor_reads_every_text_byte(self):
        out = subprocess.run([self.tools["floor"], self.db, "SELECT * FROM BENCH"],
                             capture_output=True, text=True, check=True).stdout.split()
        con = sqlite3.connect(self.db)
        expect = con.execute(
            "SELECT sum(coalesce(length(CAST(ID AS BLOB)),0) + coalesce(length(CAST(AMOUNT AS BLOB)),0)"
            " + coalesce(length(CAST(NAME AS BLOB)),0) + coalesce(length(CAST(NOTE AS BLOB)),0)"
            " + coalesce(length(CAST(CREATED AS BLOB)),0) + coalesce(length(CAST(FLAG AS BLOB)),0)"
            " + coalesce(length(CAST(RATIO AS BLOB)),0)) FROM BENCH").fetchone()[0]
        con.close()
        self.assertEqual([int(x) for x in out], [ROWS, expect])

    def test_native_floor_reads_text_and_blob_bytes_only(self):
        for table, expect_sql in (
                ("BENCH", "SELECT count(*), sum(coalesce(length(CAST(NAME AS BLOB)),0)"
                          " + coalesce(length(CAST(NOTE AS BLOB)),0) + length(CREATED)"
                          " + length(FLAG)) FROM BENCH"),
                ("BENCH_LOB", "SELECT count(*), sum(coalesce(length(CAST(DOC AS BLOB)),0)"
                              " + length(BIN)) FROM BENCH_LOB")):
            out = subprocess.run([self.tools["floor"], "--native", self.db,
                                  "SELECT * FROM " + table],
                                 capture_output=True, text=True, check=True).stdout.split()
            con = sqlite3.connect(self.db)
            expect = list(con.execute(expect_sql).fetchone())
            con.close()
            self.assertEqual([int(x) for x in out], expect)

    def test_floor_reports_a_bad_query(self):
        r = subprocess.run([self.tools["floor"], self.db, "SELECT * FROM NOPE"],
                           capture_output=True)
        self.assertNotEqual(r.returncode, 0)

    def test_zlib_alone_round_trips_several_blocks(self):
        src, dst = self.path("plain.bin"), self.path("plain.gz")
        data = os.urandom(1 << 20) * 9 + b"tail"  # more than two 4 MiB blocks
        with open(src, "wb") as f:
            f.write(data)
        subprocess.run([self.tools["zlib_alone"], src, dst], check=True)
        with open(dst, "rb") as f:
            self.assertEqual(gzip.decompress(f.read()), data)
        r = subprocess.run([self.tools["zlib_alone"], self.path("missing"), dst],
                           capture_output=True)
        self.assertNotEqual(r.returncode, 0)

    def test_measure_reports_status_and_small_launcher_rss(self):
        result = self.path("m.txt")
        subprocess.run([self.tools["measure"], result, "sh", "-c", "exit 3"], check=True)
        wall, rss, code, cpu = read_text(result).split()
        self.assertEqual(int(code), 3)
        self.assertGreater(float(wall), 0)
        self.assertGreaterEqual(float(cpu), 0)
        subprocess.run([self.tools["measure"], result, "true"], check=True)
        self.assertLess(int(read_text(result).split()[1]), 4096)
        subprocess.run([self.tools["measure"], result, self.path("no-such-program")],
                       stderr=subprocess.DEVNULL, check=True)
        self.assertEqual(int(read_text(result).split()[2]), 127)


class HarnessFigures(unittest.TestCase):
    def test_median_and_spread(self):
        self.assertEqual(run.median_spread([3.0, 1.0, 2.0]), (2.0, 1.0))
        self.assertEqual(run.median_spread([]), (None, None))

    def test_judge_and_ratios(self):
        self.assertEqual(run.judge("<=", 1.3, 1.3), "met")
        self.assertEqual(run.judge("<=", 1.31, 1.3), "missed")
        self.assertEqual(run.judge(">=", 1.59, 1.6), "missed")
        self.assertEqual(run.judge(">=", None, 1.6), "n/a")
        self.assertIsNone(run.ratio(1.0, 0.0))

    def test_measures_from_medians(self):
        medians = {"floor": 1.0, "rowvane text (default)": 1.2, "rowvane text=CSV": 1.5,
                   "sqlite3 -csv": 3.0, "sqlite3 .mode insert": 4.0,
                   "rowvane text=MYSQLINS": 2.0, "rowvane text=ORACLEINS": None,
                   "rowvane .gz": 5.5, "zlib alone -6": 5.0, "rowvane split degree=2": 0.6}
        m = run.compute_measures(medians, {100000: 10240, 1000000: 11264})
        self.assertIsNone(run.compute_measures(medians, {}, parallel=False)["deg1_vs_deg2"])
        self.assertAlmostEqual(m["text_vs_floor"], 1.2)
        self.assertAlmostEqual(m["shell_csv_vs_csv"], 2.0)
        self.assertAlmostEqual(m["shell_ins_vs_mysqlins"], 2.0)
        self.assertIsNone(m["shell_ins_vs_oracleins"])
        self.assertAlmostEqual(m["gz_vs_zlib"], 1.1)
        # Without a split run at degree 1 the default text unload stands in.
        self.assertAlmostEqual(m["deg1_vs_deg2"], 2.0)
        self.assertIsNone(m["manifest_vs_split"])
        medians["rowvane split degree=2 manifest="] = 0.66
        self.assertAlmostEqual(run.compute_measures(medians, {})["manifest_vs_split"], 1.1)
        self.assertAlmostEqual(m["rss_max_mib"], 11.0)
        self.assertAlmostEqual(m["rss_growth"], 0.1)
        self.assertIsNone(m["rss_big_lob_mib"])
        # Every single unload counts towards the peak; parallel runs and the
        # peers do not.
        m = run.compute_measures(medians, {100000: 10240, 1000000: 11264, "lob_big": 40960},
                                 case_rss={"rowvane text=CSV": 20480, "sqlite3 -csv": 99999,
                                           "rowvane split degree=2": 99999})
        self.assertAlmostEqual(m["rss_max_mib"], 20.0)
        self.assertAlmostEqual(m["rss_big_lob_mib"], 40.0)
        self.assertIsNone(run.compute_measures({}, {})["rss_growth"])

    def test_compressed_and_json_measures(self):
        medians = {"rowvane text (default)": 1.0, "rowvane text=CSV": 1.0, "rowvane .gz": 1.4,
                   "rowvane .zst": 1.1, "rowvane text=JSON": 1.2}
        sizes = {"rowvane .gz": 100, "zlib alone -6": 102, "rowvane .zst": 100}
        m = run.compute_measures(medians, {}, sizes=sizes)
        self.assertAlmostEqual(m["gz_vs_text"], 1.4)
        self.assertAlmostEqual(m["zst_vs_text"], 1.1)
        self.assertAlmostEqual(m["json_vs_csv"], 1.2)
        self.assertAlmostEqual(m["gz_size_vs_zlib"], 100 / 102)
        # Equal sizes: the .zst file is not smaller.
        self.assertEqual(run.judge("<", m["zst_size_vs_gz"], 1.0), "missed")

    def test_json_check_counts_objects_and_keys(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "j.jsonl")
            with open(path, "w") as f:
                f.write('{"A":1,"B":"x\\n"}\n{"A":null,"B":"y"}\n')
            self.assertIsNone(run.check_json(path, 2, 2))
            self.assertIn("expected 3", run.check_json(path, 3, 2))
            self.assertIn("not an object", run.check_json(path, 2, 3))
            with open(path, "a") as f:
                f.write('{"A":.5,"B":""}\n')
            self.assertIn("unreadable", run.check_json(path, 3, 2))

    def test_csv_check_catches_broken_quoting(self):
        with tempfile.TemporaryDirectory() as d:
            good, bad = os.path.join(d, "good.csv"), os.path.join(d, "bad.csv")
            with open(good, "w", newline="") as f:
                f.write('A,B\n1,"x ""q"", y\nz"\n2,\n')
            with open(bad, "w", newline="") as f:
                f.write('A,B\n1,"x "q", y"\n2,\n')
            self.assertIsNone(run.check_csv(good, 2, 2, True))
            self.assertIn("expected 3", run.check_csv(good, 3, 2, True))
            self.assertIsNotNone(run.check_csv(bad, 2, 2, True))

    def test_gz_comparison_finds_a_changed_byte_past_the_first_block(self):
        with tempfile.TemporaryDirectory() as d:
            plain, packed = os.path.join(d, "p.txt"), os.path.join(d, "p.gz")
            data = b"row,1\n" * 400000
            with open(plain, "wb") as f:
                f.write(data)
            with gzip.open(packed, "wb") as g:
                g.write(data)
            self.assertTrue(run.same_bytes_gz(packed, plain))
            with gzip.open(packed, "wb") as g:
                g.write(data[:-2] + b"2\n")
            self.assertFalse(run.same_bytes_gz(packed, plain))
            with gzip.open(packed, "wb") as g:
                g.write(data[:-1])
            self.assertFalse(run.same_bytes_gz(packed, plain))


if __name__ == "__main__":
    unittest.main()

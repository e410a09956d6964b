#!/usr/bin/python3
"""More than 1,100,000 rows through the merge's .xlsx and .csv outputs, every row read back by
independent readers: python3-openpyxl (read-only mode) and LibreOffice headless (converted to CSV) for the
.xlsx files, Python's csv module for the .csv file.

A worksheet holds 1,048,576 rows, so the rows fill one .xlsx file and go on in a continuation
(out.xlsx, out-1.xlsx), as the merge splits them; the .csv file holds them all. The rows are made by
`interop_outputs rows` (produce below); each row is a function of its number (expected_row), computed
here again to check it. To check a merge instead, produce is the one function to change.
"""

import argparse
import csv
import datetime
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from merge_cli_test import fail, libreoffice_csv  # noqa: E402

try:
    import openpyxl
except ImportError as e:
    print("FAIL: %s (apt-get install python3-openpyxl)" % e)
    sys.exit(1)

ROWS = 1100001
SHEET_ROWS = 1048576
EPOCH = datetime.datetime(1899, 12, 30)


def expected_row(i):
    """Row i: a text, a whole number, a fraction, a date, a boolean, a text to quote every seventh row."""
    return ["row %d" % i, i, i * 0.001 + 0.5, EPOCH + datetime.timedelta(days=40000 + i % 20000), i % 2 == 0,
            'a,"b"' if i % 7 == 0 else "第%d行" % i]


def produce(program, work):
    """The files to check: [(path, first row number)] for the .xlsx outputs, and the .csv output."""
    outputs = []
    for n, first in enumerate(range(0, ROWS, SHEET_ROWS)):
        path = os.path.join(work, "out.xlsx" if n == 0 else "out-%d.xlsx" % n)
        subprocess.run([program, "rows", str(first), str(min(SHEET_ROWS, ROWS - first)), path], check=True)
        outputs.append((path, first))
    csv_path = os.path.join(work, "out.csv")
    subprocess.run([program, "rows", "0", str(ROWS), csv_path], check=True)
    return outputs, csv_path


def check_rows(label, rows, first, count, compare):
    n = 0
    for n, row in enumerate(rows, 1):
        i = first + n - 1
        problem = compare(list(row), expected_row(i))
        if problem:
            fail("%s: row %d (%d): %s: %r" % (label, n - 1, i, problem, row))
    if n != count:
        fail("%s: %d rows, expected %d" % (label, n, count))
    print("ok: %s: %d rows" % (label, n))


def compare_openpyxl(got, want):
    want[2] = float("%.16g" % want[2])  # the library writes 16 significant digits
    if got != want:
        return "expected %r" % want
    return None


def compare_text(exact):
    """Rows as CSV fields: the .csv output's exact forms, or LibreOffice's shown values."""

    def compare(got, want):
        fields = [want[0], str(want[1]), None, want[3].strftime("%Y-%m-%d"), "TRUE" if want[4] else "FALSE", want[5]]
        if len(got) != len(fields):
            return "%d fields" % len(got)
        for c, (g, w) in enumerate(zip(got, fields)):
            if c == 2:
                value = float(g)
                if (value != want[2]) if exact else abs(value - want[2]) > 1e-9 * want[2]:
                    return "column 2 is %r, expected %r" % (g, want[2])
            elif g != w:
                return "column %d is %r, expected %r" % (c, g, w)
        return None

    return compare


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus")
    args = parser.parse_args()
    program = os.path.join(args.build_dir, "tests", "interop_outputs")
    with tempfile.TemporaryDirectory() as work:
        outputs, csv_path = produce(program, work)
        for path, first in outputs:
            count = min(SHEET_ROWS, ROWS - first)
            book = openpyxl.load_workbook(path, read_only=True)
            check_rows("openpyxl " + os.path.basename(path), book.active.iter_rows(values_only=True), first, count,
                       compare_openpyxl)
            book.close()
            lo = os.path.join(work, "lo")
            os.makedirs(lo, exist_ok=True)
            rows = libreoffice_csv(path, lo)
            check_rows("LibreOffice " + os.path.basename(path), rows, first, count, compare_text(False))
            del rows
        with open(csv_path, encoding="utf-8-sig", newline="") as f:
            check_rows("csv module out.csv", csv.reader(f, strict=True), 0, ROWS, compare_text(True))
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""More than 1,100,000 rows merged by plicato-cli from a folder of .xlsx files into .xlsx, .csv and .xls,
every row and value read back by independent readers: python3-openpyxl (read-only mode) and LibreOffice
headless (converted to CSV) for the .xlsx outputs, Python's csv module for the .csv output, python3-xlrd
for the .xls outputs.

The inputs are INPUTS .xlsx files written by `interop_outputs rows`, each row a function of its number
(expected_row, computed here again to check it). `plicato-cli merge --xlsx --values` merges them in name
order three times: into out.xlsx (a worksheet holds 1,048,576 rows, so the rows go on in out-1.xlsx; the
split falls inside an input file), into out.csv (never split) and into out.xls (65,536 rows a file, then
out-1.xls ... out-16.xls).
"""

import argparse
import csv
import datetime
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from merge_cli_test import fail, libreoffice_csv  # noqa: E402

try:
    import openpyxl
    import xlrd
except ImportError as e:
    print("FAIL: %s (apt-get install python3-openpyxl python3-xlrd)" % e)
    sys.exit(1)

ROWS = 1100001
SHEET_ROWS = 1048576
XLS_ROWS = 65536
INPUTS = 11
EPOCH = datetime.datetime(1899, 12, 30)


def expected_row(i):
    """Row i: a text, a whole number, a fraction, a date, a boolean, a text to quote every seventh row."""
    return ["row %d" % i, i, i * 0.001 + 0.5, EPOCH + datetime.timedelta(days=40000 + i % 20000),
            i % 2 == 0, 'a,"b"' if i % 7 == 0 else "第%d行" % i]


def make_inputs(program, folder):
    """INPUTS files of about ROWS / INPUTS rows each, together rows 0 to ROWS - 1, two written at a time."""
    os.makedirs(folder)
    per_file = ROWS // INPUTS
    runs = []
    for n in range(INPUTS):
        first = n * per_file
        count = ROWS - first if n == INPUTS - 1 else per_file
        runs.append([program, "rows", str(first), str(count), os.path.join(folder, "in%02d.xlsx" % n)])
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda command: subprocess.run(command, check=True), runs))


def merge(cli, folder, out):
    """Merges folder into out; the outputs written, [(path, first row number, row count)]."""
    subprocess.run([cli, "merge", "--xlsx", "--values", "-o", out, folder], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stem, ext = os.path.splitext(out)
    per_file = {".xlsx": SHEET_ROWS, ".xls": XLS_ROWS}.get(ext, ROWS)
    outputs = [(out if n == 0 else "%s-%d%s" % (stem, n, ext), first, min(per_file, ROWS - first))
               for n, first in enumerate(range(0, ROWS, per_file))]
    for path, _, _ in outputs:
        if not os.path.isfile(path):
            fail("%s was not written" % path)
    extra = "%s-%d%s" % (stem, len(outputs), ext)
    if os.path.exists(extra):
        fail("%s was written: more outputs than rows need" % extra)
    return outputs


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
    if got != want:
        return "expected %r" % want
    return None


def xlrd_rows(path):
    """The .xls output's rows as openpyxl gives them: dates as datetimes, booleans as bools, whole numbers
    as ints; a cell of an unexpected type shows as its (type, value)."""
    book = xlrd.open_workbook(path, on_demand=True)
    sheet = book.sheet_by_index(0)
    types = [xlrd.XL_CELL_TEXT, xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE, xlrd.XL_CELL_BOOLEAN,
             xlrd.XL_CELL_TEXT]
    for r in range(sheet.nrows):
        row = []
        for c, cell in enumerate(sheet.row(r)):
            if c >= len(types) or cell.ctype != types[c]:
                row.append((cell.ctype, cell.value))
            elif c == 1:
                row.append(int(cell.value) if cell.value == int(cell.value) else cell.value)
            elif c == 3:
                row.append(xlrd.xldate.xldate_as_datetime(cell.value, book.datemode))
            elif c == 4:
                row.append(bool(cell.value))
            else:
                row.append(cell.value)
        yield row
    book.release_resources()


def compare_exact(got, want):
    return None if got == want else "expected %r" % (want,)


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
    cli = os.path.join(args.build_dir, "plicato-cli")
    with tempfile.TemporaryDirectory() as work:
        inputs = os.path.join(work, "in")
        make_inputs(program, inputs)
        for path, first, count in merge(cli, inputs, os.path.join(work, "out.xlsx")):
            book = openpyxl.load_workbook(path, read_only=True)
            check_rows("openpyxl " + os.path.basename(path), book.active.iter_rows(values_only=True), first, count,
                       compare_openpyxl)
            book.close()
            lo = os.path.join(work, "lo")
            os.makedirs(lo, exist_ok=True)
            rows = libreoffice_csv(path, lo)
            check_rows("LibreOffice " + os.path.basename(path), rows, first, count, compare_text(False))
            del rows
            os.remove(path)
        [(csv_path, _, _)] = merge(cli, inputs, os.path.join(work, "out.csv"))
        with open(csv_path, encoding="utf-8-sig", newline="") as f:
            check_rows("csv module out.csv", csv.reader(f, strict=True), 0, ROWS, compare_text(True))
        os.remove(csv_path)
        for path, first, count in merge(cli, inputs, os.path.join(work, "out.xls")):
            check_rows("xlrd " + os.path.basename(path), xlrd_rows(path), first, count, compare_exact)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

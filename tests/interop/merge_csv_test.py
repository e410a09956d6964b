#!/usr/bin/python3
"""Merges CSV files (Python's csv module in UTF-8, with a byte-order mark, GB18030 with semicolons and
CR LF, a .tsv; LibreOffice's CSV export) and an xlwt .xls in one folder with `plicato-cli merge --csv
--values` into .xlsx and .csv, and checks every value against Python's own reading of the inputs with a
model of the value rules (read back with openpyxl and the csv module)."""

import argparse
import csv
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from merge_cli_test import fail  # noqa: E402

try:
    import openpyxl
    import xlrd
    import xlwt
except ImportError as e:
    print("FAIL: %s (apt-get install python3-xlrd python3-xlwt python3-openpyxl)" % e)
    sys.exit(1)

NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]{1,3})?\Z")
DATE = re.compile(r"([0-9]{4})([-/])([0-9]{2})\2([0-9]{2})(?:[ T]([0-9]{2}):([0-9]{2})(?::([0-9]{2}))?)?\Z")

ROWS = [
    ["name", "id", "amount", "day", "note"],
    ["张三", "110101199001011234", "-12.5", "2024-03-01", "a, b"],
    ["李四", "00123", "3e-4", "2024/03/01 12:30", 'say "hi"\nnext line'],
    ["王五", "+5", "1,234.5", "2023-02-29", "TRUE"],
    ["x", "123456789012345", "0.25", "2024-12-31 23:59:59", ""],
    ["", "", "", "", ""],
    ["ragged"],
    ["wide", "1", "2", "3", "4", "5", "6"],
]


def value_of(text):
    """The value our value mode gives a field: a float, a datetime, or the text (None when empty)."""
    if text == "":
        return None
    date = DATE.match(text)
    if date:
        year, _, month, day, hour, minute, second = date.groups()
        try:
            value = datetime.datetime(int(year), int(month), int(day), int(hour or 0), int(minute or 0),
                                      int(second or 0))
        except ValueError:
            return text
        return value if value.year >= 1900 else text
    number = NUMBER.match(text)
    if number:
        mantissa = (number.group(1) + (number.group(2) or "")[1:]).lstrip("0")
        if len(mantissa) > 15 or (text.startswith("-") and not mantissa):
            return text
        value = float(text)
        if value in (float("inf"), float("-inf")) or (value == 0 and mantissa):
            return text
        return value
    return text


def write_inputs(folder, work):
    os.makedirs(folder)

    def write(name, encoding, **dialect):
        with open(os.path.join(folder, name), "w", encoding=encoding, newline="") as f:
            csv.writer(f, **dialect).writerows(ROWS)
    write("a_utf8.csv", "utf-8")
    write("B_BOM.CSV", "utf-8-sig")
    write("c_gb18030.csv", "gb18030", delimiter=";", lineterminator="\r\n")
    write("d.tsv", "utf-8", dialect="excel-tab")

    book = xlwt.Workbook()
    sheet = book.add_sheet("s")
    for c, value in enumerate(["xlwt", 2.5, "00123", "汉字"]):
        sheet.write(0, c, value)
    book.save(os.path.join(folder, "e.xls"))

    # LibreOffice's CSV export (UTF-8, commas) of a workbook with texts, numbers and a date.
    soffice = shutil.which("soffice")
    if not soffice:
        fail("LibreOffice (soffice) is not installed")
    source = os.path.join(work, "f_libreoffice.xlsx")
    book = openpyxl.Workbook()
    for row in (["libreoffice", 1.5, "汉字, 逗号"], ["2024-03-01", 42, 'q"uote']):
        book.active.append(row)
    book.save(source)
    profile = "file://" + os.path.join(work, "lo-profile")
    subprocess.run([soffice, "-env:UserInstallation=" + profile, "--headless", "--convert-to",
                    "csv:Text - txt - csv (StarCalc):44,34,76", "--outdir", folder, source],
                   capture_output=True, timeout=300, check=True)


def expected_rows(folder):
    """Every row with a value, in the folder scan's order, as (kind, value) lists."""
    rows = []
    for name in sorted(os.listdir(folder), key=lambda n: (n.upper(), n)):
        path = os.path.join(folder, name)
        if name.lower().endswith(".xls"):
            sheet = xlrd.open_workbook(path).sheet_by_index(0)
            for r in range(sheet.nrows):
                rows.append([cell.value if cell.ctype != xlrd.XL_CELL_EMPTY else None for cell in sheet.row(r)])
            continue
        with open(path, "rb") as f:
            raw = f.read()
        encoding = "utf-8-sig" if raw.startswith(b"\xef\xbb\xbf") else "utf-8"
        try:
            raw.decode(encoding)
        except UnicodeDecodeError:
            encoding = "gb18030"
        delimiter = {"c_gb18030.csv": ";", "d.tsv": "\t"}.get(name, ",")
        with open(path, encoding=encoding, newline="") as f:
            for fields in csv.reader(f, delimiter=delimiter):
                values = [value_of(field) for field in fields]
                while values and values[-1] is None:
                    values.pop()
                if values:
                    rows.append(values)
    return rows


def check(label, actual, expected, same):
    for r, (got, want) in enumerate(zip(actual, expected)):
        if len(got) != len(want) or not all(same(g, w) for g, w in zip(got, want)):
            fail("%s: row %d is %r, expected %r" % (label, r, got, want))
    if len(actual) != len(expected):
        fail("%s: %d rows, expected %d" % (label, len(actual), len(expected)))
    print("ok: %s: %d rows" % (label, len(actual)))


def same_xlsx(got, want):
    if isinstance(want, datetime.datetime):
        return isinstance(got, datetime.datetime) and abs((got - want).total_seconds()) < 1
    if isinstance(want, float):
        return isinstance(got, (int, float)) and not isinstance(got, bool) and got == want
    return got == want


def same_csv(got, want):
    if want is None:
        return got == ""
    if isinstance(want, datetime.datetime):
        shown = "%04d-%02d-%02d" % (want.year, want.month, want.day)
        return got in (shown, shown + want.strftime(" %H:%M:%S"))
    if isinstance(want, float):
        try:
            return float(got) == want
        except ValueError:
            return False
    return got == want


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus")
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "plicato-cli")
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "inputs")
        write_inputs(folder, work)
        expected = expected_rows(folder)
        if not any(isinstance(v, datetime.datetime) for row in expected for v in row):
            fail("the inputs were meant to hold dates")
        for out in ("out.xlsx", "out.csv"):
            path = os.path.join(work, out)
            run = subprocess.run([cli, "merge", "--csv", "--values", "-o", path, folder], capture_output=True)
            status = run.stderr.decode("utf-8", "replace")
            if run.returncode != 0 or "merged 6 files" not in status:
                fail("plicato-cli merge to %s failed (%d): %s" % (out, run.returncode, status))
            if out == "out.xlsx":
                rows = openpyxl.load_workbook(path, read_only=True).worksheets[0].iter_rows(values_only=True)
                actual = [list(row) for row in rows]
                for row in actual:
                    while row and row[-1] is None:
                        row.pop()
                check("openpyxl " + out, actual, expected, same_xlsx)
            else:
                with open(path, encoding="utf-8-sig", newline="") as f:
                    check("csv " + out, list(csv.reader(f)), expected, same_csv)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

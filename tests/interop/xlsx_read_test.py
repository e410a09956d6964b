#!/usr/bin/python3
"""Reads .xlsx files made by independent writers with plicato-cli and compares them with openpyxl.
Files are read by their content whatever their name.

Writers: python3-openpyxl, python3-xlsxwriter (normal and constant-memory mode, which writes inline
strings) and LibreOffice (headless, private profile), which converts the openpyxl file and corpus .xls
files to .xlsx, writing formulas with their computed results. For each file, every cell of the first
worksheet that `plicato-cli dump --cells` prints is compared with what openpyxl (data_only, so formulas
give their cached results) reads at the same place: type (text, number, boolean, error) and value,
numbers to the 15 significant digits the dump prints, dates through their serial number. Cells openpyxl
reads as empty must be blank for us and the reverse. The CSV form of the dump must put the same texts on
a rectangle from A1 to the last cell that holds a value.
"""

import argparse
import csv
import datetime
import io
import math
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import openpyxl
    from openpyxl.utils.datetime import to_excel
    import xlsxwriter
except ImportError as e:
    print("FAIL: %s (apt-get install python3-openpyxl python3-xlsxwriter)" % e)
    sys.exit(1)

# (text, number, boolean, error) kinds of `dump --cells`, formulas included.
KINDS = {4: "number", 8: "number", 5: "text", 9: "text", 6: "boolean", 10: "boolean", 7: "error", 11: "error"}

TEXTS = ["plain", "", "  padded  ", "comma, \"quote\"", "line\nbreak", "\u6f22\u5b57 \u4e2d\u6587", "emoji \U0001F600",
         "<tag> & amp;", "=not a formula", "x" * 300]
NUMBERS = [0, 1, -1, 1.5, -2.25, 0.1, 1e-300, 1e308, 123456789012345678, 2 ** 53 + 1,
           3.141592653589793, 45352.5, -0.0]


def write_openpyxl(path):
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Values"
    for i, text in enumerate(TEXTS):
        sheet.cell(row=i + 1, column=1, value=text if text else None)
    for i, number in enumerate(NUMBERS):
        sheet.cell(row=i + 1, column=2, value=number)
    sheet["C1"], sheet["C2"] = True, False
    sheet["C3"] = datetime.datetime(2024, 3, 1, 12, 30)
    sheet["C4"] = datetime.date(1900, 1, 1)
    sheet["C5"] = datetime.time(6, 0)
    sheet["D1"], sheet["D2"] = "=B2+B4", "=A1&\"!\""
    sheet["D3"], sheet["D4"] = "=1/0", "=B2>0"
    sheet["E1"] = "#N/A"  # openpyxl writes the error literals as error cells
    sheet.cell(row=40, column=300, value="far")  # past the 255th column, and a gap of rows
    sheet.cell(row=1000, column=1, value=7)
    book.create_sheet("Second")["A1"] = "not the first sheet"
    book.save(path)


def write_xlsxwriter(path, constant_memory):
    book = xlsxwriter.Workbook(path, {"constant_memory": constant_memory, "strings_to_numbers": False})
    sheet = book.add_worksheet("Data")
    bold = book.add_format({"bold": True})
    date = book.add_format({"num_format": "yyyy-mm-dd hh:mm"})
    for i, text in enumerate(TEXTS):
        sheet.write_string(i, 0, text)
        sheet.write_number(i, 1, NUMBERS[i] if i < len(NUMBERS) else i)
        sheet.write_boolean(i, 2, i % 2 == 0)
        sheet.write_formula(i, 3, "=B%d/2" % (i + 1), None, (NUMBERS[i] if i < len(NUMBERS) else i) / 2)
        sheet.write_rich_string(i, 4, "rich ", bold, "bold %d" % i, " tail")
        sheet.write_datetime(i, 5, datetime.datetime(2000 + i, 1 + i % 12, 1 + i, i, 2 * i), date)
        sheet.write_blank(i, 6, None, bold)
    row = len(TEXTS)
    sheet.write_formula(row, 0, '="a"&"b"', None, "ab")
    sheet.write_formula(row, 1, "=1/0", None, "#DIV/0!")
    sheet.write_formula(row, 2, "=TRUE()", None, True)
    sheet.write_formula(row, 3, "=NA()", None, "#N/A")
    sheet.write_string(row + 5, 299, "far")
    book.add_worksheet("Second").write_string(0, 0, "not the first sheet")
    book.close()


def libreoffice_convert(sources, outdir, work):
    soffice = shutil.which("soffice")
    if soffice is None:
        return "LibreOffice (soffice) is not installed"
    profile = "file://" + os.path.join(work, "lo-profile")
    run = subprocess.run([soffice, "-env:UserInstallation=" + profile, "--headless", "--norestore",
                          "--convert-to", "xlsx", "--outdir", outdir] + sources,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
    missing = [s for s in sources
               if not os.path.isfile(os.path.join(outdir, os.path.splitext(os.path.basename(s))[0] + ".xlsx"))]
    return "LibreOffice did not convert %s: %s" % (missing, run.stdout[-300:]) if missing else None


def our_cells(cli, path):
    out = subprocess.run([cli, "dump", "--cells", path], capture_output=True)
    if out.returncode != 0:
        raise RuntimeError("dump failed: " + out.stderr.decode("utf-8", "replace").strip())
    cells = {}
    for row, column, kind, text in csv.reader(io.StringIO(out.stdout.decode("utf-8"), newline="")):
        if int(kind) in KINDS:
            cells[(int(row), int(column))] = (KINDS[int(kind)], text)
    return cells


def csv_problems(cli, path):
    """The CSV form of dump: a rectangle from A1 to the last cell, each cell's text where --cells put it."""
    out = subprocess.run([cli, "dump", path], capture_output=True)
    # An empty line is a row of one empty field (a sheet of one column).
    rows = [row or [""] for row in csv.reader(io.StringIO(out.stdout.decode("utf-8"), newline=""))]
    cells = subprocess.run([cli, "dump", "--cells", path], capture_output=True).stdout.decode("utf-8")
    # Cells that hold only a format (kind 1) do not widen the CSV.
    every = {(int(r), int(c)): text for r, c, kind, text in csv.reader(io.StringIO(cells, newline="")) if kind != "1"}
    height, width = max(r for r, _ in every) + 1, max(c for _, c in every) + 1
    if len(rows) != height or any(len(row) != width for row in rows):
        return ["CSV is not %d rows x %d columns" % (height, width)]
    return ["CSV %s is %r, --cells %r" % (key, rows[key[0]][key[1]], every.get(key, ""))
            for key in ((r, c) for r in range(height) for c in range(width))
            if rows[key[0]][key[1]] != every.get(key, "")][:5]


def their_cells(path):
    with open(path, "rb") as f:  # a file object: openpyxl would refuse the .xls name
        book = openpyxl.load_workbook(io.BytesIO(f.read()), data_only=True)
    sheet = book.worksheets[0]
    cells = {}
    for row in sheet.iter_rows():
        for cell in row:
            value = cell.value
            if value is None:
                continue
            key = (cell.row - 1, cell.column - 1)
            if cell.data_type == "e":
                cells[key] = ("error", value)
            elif isinstance(value, bool):
                cells[key] = ("boolean", "TRUE" if value else "FALSE")
            elif isinstance(value, (int, float)):
                cells[key] = ("number", value)
            elif isinstance(value, (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)):
                cells[key] = ("number", to_excel(value, book.epoch))
            else:
                cells[key] = ("text", str(value))
    return cells


def same_number(ours, theirs):
    value = float(ours)
    if theirs == 0:
        return value == 0
    return math.isclose(value, float(theirs), rel_tol=1e-14)


def compare(name, ours, theirs):
    problems = []
    for key in sorted(set(ours) | set(theirs)):
        a, b = ours.get(key), theirs.get(key)
        if a is None or b is None:
            # openpyxl gives None for an empty string cell; our text cell with "" is the same.
            if a == ("text", "") and b is None:
                continue
            problems.append("%s %s: ours %r, openpyxl %r" % (name, key, a, b))
        elif a[0] != b[0] or not (same_number(a[1], b[1]) if a[0] == "number" else a[1] == b[1]):
            problems.append("%s %s: ours %r, openpyxl %r" % (name, key, a, b))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus", required=True)
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "plicato-cli")
    failures = []
    with tempfile.TemporaryDirectory(prefix="plicato-xlsx-") as work:
        files = [os.path.join(work, n) for n in ("openpyxl.xlsx", "xlsxwriter.xlsx", "xlsxwriter_stream.xlsx")]
        write_openpyxl(files[0])
        write_xlsxwriter(files[1], False)
        write_xlsxwriter(files[2], True)

        sources = [files[0]]
        for name in ("gen/merge/a.xls", "gen/merge/wide.xls", "gen/merge/e_biff5.xls",
                     "gen/single/long_strings_xlwt.xls"):
            if os.path.isfile(os.path.join(args.corpus, name)):
                sources.append(os.path.join(args.corpus, name))
        lo_dir = os.path.join(work, "libreoffice")
        os.makedirs(lo_dir)
        # The converted openpyxl file would keep its name: give LibreOffice a copy under another one.
        shutil.copyfile(files[0], os.path.join(work, "lo_openpyxl.xlsx"))
        sources[0] = os.path.join(work, "lo_openpyxl.xlsx")
        problem = libreoffice_convert(sources, lo_dir, work)
        if problem:
            failures.append(problem)
        files += sorted(os.path.join(lo_dir, f) for f in os.listdir(lo_dir))

        # Read by content, not by name: an .xlsx under an .xls name, and the corpus's .xls under an .xlsx name.
        disguised = os.path.join(work, "disguised.xls")
        shutil.copyfile(files[1], disguised)
        files.append(disguised)
        fake = os.path.join(args.corpus, "gen", "merge", "fake.xlsx")
        if os.path.isfile(fake):
            out = subprocess.run([cli, "dump", fake], capture_output=True)
            if out.returncode != 0:
                failures.append("fake.xlsx (an .xls file) is not read as .xls: " + out.stderr.decode("utf-8", "replace"))

        for path in files:
            name = os.path.relpath(path, work)
            try:
                ours = our_cells(cli, path)
            except RuntimeError as e:
                failures.append("%s: %s" % (name, e))
                continue
            theirs = their_cells(path)
            problems = compare(name, ours, theirs) + ["%s: %s" % (name, p) for p in csv_problems(cli, path)]
            failures += problems[:10]
            if not problems:
                print("ok: %s: %d cells agree with openpyxl" % (name, len(ours)))
            if not ours:
                failures.append("%s: no cells read" % name)

    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

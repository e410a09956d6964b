#!/usr/bin/python3
"""Merges a mixed folder of .xls, .xlsx and .xlsm files with `plicato-cli merge --xlsx --mark-rows` and
compares the outputs with the same merge done here, independently.

The inputs are made by black-box writers: python3-xlwt (.xls), python3-openpyxl and python3-xlsxwriter
(.xlsx, .xlsm; one sheet longer than an output, one wider than 255 columns). The expected outputs come
from this script's own model of the merge: the folder listed in the search order (a folder's files by
their upper-cased names, then its sub-folders), each file read by its content with openpyxl or xlrd, its
rows taken from the top to the first without non-empty text in the first 255 columns (a missing row has
none), texts kept, numbers and dates rounded half to even, anything else (booleans, errors, formulas,
blanks) empty; 65,536 rows per output, a mark on each file's first row in each output. Our outputs are
read back with xlrd and compared cell by cell.
"""

import argparse
import datetime
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from merge_cli_test import check_rows, fail, xlrd_rows  # noqa: E402

try:
    import openpyxl
    from openpyxl.utils.datetime import to_excel
    import xlrd
    import xlsxwriter
    import xlwt
except ImportError as e:
    print("FAIL: %s (apt-get install python3-xlrd python3-xlwt python3-openpyxl python3-xlsxwriter)" % e)
    sys.exit(1)

OUTPUT_ROWS = 65536
COLUMNS = 255
LONG_ROWS = 66000
PATTERNS = (".xls", ".xlsx", ".xlsm")


def write_inputs(folder):
    os.makedirs(os.path.join(folder, "sub"))
    date = xlwt.easyxf(num_format_str="yyyy-mm-dd hh:mm")
    book = xlwt.Workbook()
    sheet = book.add_sheet("first")
    for c, value in enumerate(["abc", 2.5, 3.5, True, "", -2.5, 7.9, 123456789012.5]):
        sheet.write(0, c, value)
    sheet.write(0, 8, datetime.datetime(2024, 3, 1, 18, 0), date)
    for r in range(1, 5):
        sheet.write(r, 0, "xlwt %d \u6c49\u5b57" % r)
        sheet.write(r, 2, r * 1.5)
    sheet.write(5, 0, 42)  # a row of numbers only ends the file
    sheet.write(6, 0, "never merged")
    book.add_sheet("second").write(0, 0, "not the first sheet")
    book.save(os.path.join(folder, "a_xlwt.xls"))

    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append(["text", 7, 0.5, 1.5, True, "=1+1", "#N/A", datetime.datetime(2024, 3, 1, 18, 0), "",
                  "\u00e9t\u00e9"])
    for r in range(2, 6):
        sheet.append(["openpyxl %d" % r, None, -r - 0.5])
    sheet.cell(row=7, column=1, value="after a missing row")
    book.create_sheet("Second")["A1"] = "not the first sheet"
    book.save(os.path.join(folder, "b_openpyxl.xlsx"))

    book = xlsxwriter.Workbook(os.path.join(folder, "c_xlsxwriter.xlsm"))
    sheet = book.add_worksheet()
    bold = book.add_format({"bold": True})
    sheet.write_row(0, 0, ["xlsxwriter", 1e10, False])
    sheet.write_formula(0, 3, "=B1*2", None, 2e10)
    sheet.write_blank(0, 4, None, bold)
    sheet.write_string(1, 1, "only in B")
    book.close()

    # Longer than an output: it runs across the split. Written with inline strings.
    book = xlsxwriter.Workbook(os.path.join(folder, "long.xlsx"), {"constant_memory": True})
    sheet = book.add_worksheet()
    for r in range(LONG_ROWS):
        sheet.write_row(r, 0, ["row %d" % r, r + 0.5, "x"])
    book.close()

    book = openpyxl.Workbook()
    sheet = book.active
    for r in (1, 2):
        for c in range(1, 301):
            sheet.cell(row=r, column=c, value="w%d.%d" % (r, c))
    book.save(os.path.join(folder, "sub", "wide.xlsx"))

    book = xlwt.Workbook()
    book.add_sheet("s").write(0, 0, "upper-case name")
    book.save(os.path.join(folder, "sub", "D_XLWT.XLS"))
    with open(os.path.join(folder, "notes.txt"), "w") as f:
        f.write("not listed")


def listed(folder):
    """The files of a folder scan with .xlsx: files by upper-cased name, then sub-folders depth first."""
    names = sorted(os.listdir(folder), key=lambda n: (n.upper(), n))
    files = [os.path.join(folder, n) for n in names
             if os.path.isfile(os.path.join(folder, n)) and n.lower().endswith(PATTERNS)]
    for n in names:
        path = os.path.join(folder, n)
        if os.path.isdir(path) and not os.path.islink(path):
            files += listed(path)
    return files


def number_text(value):
    return str(int(round(value)))  # Python rounds floats half to even


def merged_cell(kind, value):
    """(text, keeps the row) for one cell: kind is 'text', 'number' or anything else."""
    if kind == "text":
        return value, value != ""
    if kind == "number":
        return number_text(value), False
    return "", False


def xlsx_cells(path):
    book = openpyxl.load_workbook(path, read_only=True)
    for row in book.worksheets[0].iter_rows():
        cells = []
        for cell in row:
            if cell.value is None or cell.data_type in ("b", "e", "f"):
                cells.append(("other", None))
            elif isinstance(cell.value, str):
                cells.append(("text", cell.value))
            elif isinstance(cell.value, datetime.datetime):
                cells.append(("number", to_excel(cell.value)))
            else:
                cells.append(("number", cell.value))
        yield cells


def xls_cells(path):
    sheet = xlrd.open_workbook(path).sheet_by_index(0)
    for r in range(sheet.nrows):
        cells = []
        for cell in sheet.row(r):
            if cell.ctype == xlrd.XL_CELL_TEXT:
                cells.append(("text", cell.value))
            elif cell.ctype in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE):
                cells.append(("number", cell.value))
            else:
                cells.append(("other", None))
        yield cells


def source_rows(path):
    with open(path, "rb") as f:
        is_zip = f.read(4) == b"PK\x03\x04"
    rows = []
    for cells in (xlsx_cells if is_zip else xls_cells)(path):
        merged = [merged_cell(kind, value) for kind, value in cells[:COLUMNS]]
        if not any(keeps for _, keeps in merged):
            break
        rows.append([text for text, _ in merged] + [""] * (COLUMNS - len(merged)))
    return rows


def expected_outputs(files):
    outputs = [[]]
    for path in files:
        rows = source_rows(path)
        taken = 0
        while taken < len(rows):
            current = outputs[-1]
            part = rows[taken:taken + OUTPUT_ROWS - len(current)]
            first = len(current)
            current.extend([""] + row for row in part)
            current[first][0] = str(len(part))
            taken += len(part)
            if len(current) == OUTPUT_ROWS:
                outputs.append([])
    if len(outputs) > 1 and not outputs[-1]:
        outputs.pop()
    return outputs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus")
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "plicato-cli")
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "mixed")
        write_inputs(folder)
        files = listed(folder)
        out = os.path.join(work, "out.xls")
        run = subprocess.run([cli, "merge", "--xlsx", "--mark-rows", "-o", out, folder], capture_output=True)
        status = run.stderr.decode("utf-8", "replace")
        if run.returncode != 0:
            fail("plicato-cli merge failed (%d): %s" % (run.returncode, status))
        if "plicato-cli: merged %d files;" % len(files) not in status:
            fail("not every listed file was merged: " + status)
        # The note is a line of its own as the file ends.
        notes = [line for line in status.splitlines() if "Columns after the 255th" in line and line[:1] != " "]
        if len(notes) != 1 or not notes[0].startswith(os.path.join(folder, "sub", "wide.xlsx") + ": "):
            fail("one note for the wide file expected: %r" % notes)
        print("ok: %d files merged, one note: %s" % (len(files), notes[0]))
        expected = expected_outputs(files)
        if len(expected) < 2:
            fail("the inputs were meant to fill more than one output")
        for n, rows in enumerate(expected):
            path = out if n == 0 else os.path.join(work, "out-%d.xls" % n)
            if not os.path.exists(path):
                fail("output %s is missing" % path)
            check_rows("xlrd " + os.path.basename(path), xlrd_rows(path), rows)
        if os.path.exists(os.path.join(work, "out-%d.xls" % len(expected))):
            fail("one output more than expected")
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

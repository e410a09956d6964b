#!/usr/bin/python3
"""Merges one generated folder with every combination of the merge's options and checks each output cell
by cell against the inputs.

The inputs are described here as cells (kind, value, number format, formula or not), written by black-box
writers (python3-xlwt and python3-xlsxwriter; LibreOffice headless turns an .xlsx with formulas into an
.xls that keeps their cached results, and an .xls in the 1904 date system is among them), and read back
with xlrd and openpyxl to confirm they hold what the description says. The expected outputs come from this
script's own model of the rules applied to the description: classic mode (rows down to the first without
text, every value as text, numbers rounded half to even) or value mode (every row holding a value, typed
cells with their number formats, 1904 dates moved to the 1900 system), header rows, the source column,
the mark column and the sheet choice (first, a number, a name in another letter case, all; a file without
the sheet is skipped). Outputs are read with xlrd (.xls), openpyxl (.xlsx, where the program writes it) and
Python's csv module (.csv: texts compared, other values only present).

With --fast, the inputs that need LibreOffice are left out and each output format runs a rotation of the
sheet choices over the other options instead of every combination: a few seconds, for the inner loop.
"""

import argparse
import csv
import datetime
import itertools
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import openpyxl
    import xlrd
    import xlsxwriter
    import xlwt
except ImportError as e:
    print("FAIL: %s (apt-get install python3-xlrd python3-xlwt python3-openpyxl python3-xlsxwriter)" % e)
    sys.exit(1)

HEADER = ["Name", "Amount", "Date", "Share", "Flag"]
ERRORS = {"#NULL!": 0x00, "#DIV/0!": 0x07, "#VALUE!": 0x0F, "#REF!": 0x17, "#NAME?": 0x1D, "#NUM!": 0x24,
          "#N/A": 0x2A}


def T(v, formula=None):
    return ("text", v, "", formula)


def N(v, fmt="", formula=None):
    return ("number", v, fmt, formula)


def B(v, formula=None):
    return ("bool", v, "", formula)


def E(v, formula=None):
    return ("error", v, "", formula)


def header():
    return {c: T(v) for c, v in enumerate(HEADER)}


def serial(date, base=datetime.datetime(1899, 12, 30)):
    return (date - base).total_seconds() / 86400.0


# Each file: (name, date1904, [(sheet name, {row: {column: cell}}) or (sheet name, None) for a chart]).
FILES = [
    ("0_empty.xls", False, [("Data", {})]),  # gives no rows: the header rows come from the next file
    ("a_typed.xls", False, [
        ("Data", {0: header(),
                  1: {0: T("alpha"), 1: N(12.5, "0.00"), 2: N(serial(datetime.datetime(2024, 3, 1)), "yyyy-mm-dd"),
                      3: N(0.125, "0.00%"), 4: B(True)},
                  2: {0: T("beta"), 1: N(-3.5), 2: N(serial(datetime.datetime(2023, 12, 31, 18)), "yyyy-mm-dd hh:mm"),
                      3: N(1, "0%"), 4: B(False), 5: E("#DIV/0!")},
                  3: {0: N(1), 1: N(2), 2: N(3)},  # numbers only: the classic rows end here
                  5: {0: T("gamma"), 1: N(1e10), 8: T("far right")},
                  6: {0: T("delta"), 254: T("column 255"), 255: T("column 256")}}),
        ("Second", {0: header(), 1: {0: T("a-second"), 1: N(7)}, 2: {0: T("a-second 2"), 1: N(8.25, "0.0")}}),
    ]),
    ("b_formulas.xls", False, [
        ("Data", {0: header(),
                  1: {0: T("formulas"), 1: N(6, "0.0", "=2*3"), 2: T("xy", '="x"&"y"'), 3: E("#DIV/0!", "=1/0"),
                      4: E("#N/A", "=NA()")},
                  2: {0: T("", '=""'), 1: N(4)},  # a formula's text keeps no classic row
                  3: {0: T("after")}}),
        ("Second", {0: header(), 1: {0: T("b-second"), 1: N(2.5)}}),
    ]),
    ("c_1904.xls", True, [
        ("Only", {0: header(), 1: {0: T("in 1904"), 2: N(serial(datetime.datetime(2024, 3, 1), datetime.datetime(1904, 1, 1)),
                                                          "yyyy-mm-dd"), 3: N(3),
                                     # durations: the same in either date system
                                     4: N(1.5, "[h]:mm"), 5: N(0.0125, "[mm]:ss"), 6: N(2.25, "[h]")}}),
    ]),
    ("d_book.xlsx", True, [
        ("Data", {0: header(),
                  1: {0: T("xlsx"), 1: N(0.5, "0.00%"), 2: N(serial(datetime.datetime(2024, 3, 1), datetime.datetime(1904, 1, 1)),
                                                             "yyyy-mm-dd"),
                      3: B(True, "=1>0"), 4: E("#N/A", "=NA()"), 5: N(42, "", "=40+2"), 6: T("ab", '="a"&"b"'),
                      7: N(1.5, "[h]:mm"), 8: N(0.0125, "[mm]:ss"), 9: N(2.25, "[h]"), 300: T("past IV")},
                  2: {},
                  4: {0: T("after a gap"), 1: B(False)}}),
        ("Chart1", None),
        ("Second", {0: header(), 1: {0: T("d-second"), 1: N(1.25)}}),
    ]),
]


def write_xlwt(path, date1904, sheets):
    book = xlwt.Workbook()
    book.dates_1904 = date1904
    for name, rows in sheets:
        sheet = book.add_sheet(name)
        for r, cells in rows.items():
            for c, (kind, value, fmt, _) in cells.items():
                style = xlwt.easyxf(num_format_str=fmt) if fmt else xlwt.Style.default_style
                if kind == "error":
                    sheet.row(r).set_cell_error(c, value)
                else:
                    sheet.write(r, c, value, style)
    book.save(path)


def write_xlsxwriter(path, date1904, sheets):
    book = xlsxwriter.Workbook(path, {"date_1904": date1904, "strings_to_numbers": False,
                                      "strings_to_formulas": False})
    formats = {}
    charted = None
    for name, rows in sheets:
        if rows is None:
            chart = book.add_chart({"type": "line"})
            chart.add_series({"values": "='%s'!$B$2:$B$3" % charted})
            book.add_chartsheet(name).set_chart(chart)
            continue
        charted = charted or name
        sheet = book.add_worksheet(name)
        for r, cells in rows.items():
            for c, (kind, value, fmt, formula) in cells.items():
                style = formats.setdefault(fmt, book.add_format({"num_format": fmt})) if fmt else None
                if formula:
                    sheet.write_formula(r, c, formula, style, value)
                elif kind == "text":
                    sheet.write_string(r, c, value, style)
                elif kind == "number":
                    sheet.write_number(r, c, value, style)
                elif kind == "bool":
                    sheet.write_boolean(r, c, value, style)
    book.close()


def write_inputs(folder):
    os.makedirs(folder)
    work = tempfile.mkdtemp()
    try:
        for name, date1904, sheets in FILES:
            path = os.path.join(folder, name)
            if name == "b_formulas.xls":
                # LibreOffice keeps the formulas and their cached results in its .xls.
                source = os.path.join(work, "b_formulas.xlsx")
                write_xlsxwriter(source, date1904, sheets)
                # Told to compute the formulas as it loads them, it stores their results.
                os.makedirs(os.path.join(work, "profile", "user"))
                with open(os.path.join(work, "profile", "user", "registrymodifications.xcu"), "w") as f:
                    f.write('<?xml version="1.0" encoding="UTF-8"?><oor:items '
                            'xmlns:oor="http://openoffice.org/2001/registry" '
                            'xmlns:xs="http://www.w3.org/2001/XMLSchema" '
                            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><item '
                            'oor:path="/org.openoffice.Office.Calc/Formula/Load"><prop oor:name="OOXMLRecalcMode" '
                            'oor:op="fuse"><value>0</value></prop></item></oor:items>')
                subprocess.run(["soffice", "-env:UserInstallation=file://" + os.path.join(work, "profile"),
                                "--headless", "--convert-to", "xls", "--outdir", folder, source],
                               capture_output=True, timeout=300, check=True)
            elif name.endswith(".xlsx"):
                write_xlsxwriter(path, date1904, sheets)
            else:
                write_xlwt(path, date1904, sheets)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def to_1900(value, fmt, date1904):
    return value + 1462 if date1904 and any(ch in fmt.lower() for ch in "dy") else value


def check_inputs(folder):
    """The inputs hold the cells described: read with xlrd and openpyxl."""
    for name, date1904, sheets in FILES:
        path = os.path.join(folder, name)
        if name.endswith(".xls"):
            book = xlrd.open_workbook(path, formatting_info=True)
            if book.datemode != int(date1904):
                fail("%s: date mode %d" % (name, book.datemode))
            for (sheet_name, rows), sheet in zip(sheets, book.sheets()):
                for r, cells in rows.items():
                    for c, (kind, value, fmt, _) in cells.items():
                        cell = sheet.cell(r, c) if c < 256 else None
                        if c >= 256:
                            continue
                        shown = book.format_map[book.xf_list[cell.xf_index].format_key].format_str
                        got = {xlrd.XL_CELL_TEXT: "text", xlrd.XL_CELL_NUMBER: "number", xlrd.XL_CELL_DATE: "number",
                               xlrd.XL_CELL_BOOLEAN: "bool", xlrd.XL_CELL_ERROR: "error"}.get(cell.ctype, "empty")
                        want = cell.value == ERRORS[value] if kind == "error" else cell.value == value
                        if got != kind or not want or (kind == "number" and shown != (fmt or "General")):
                            fail("input %s %s!%d:%d is %r %r %r, described %r" %
                                 (name, sheet_name, r, c, got, cell.value, shown, (kind, value, fmt)))
        else:
            values = openpyxl.load_workbook(path, data_only=True)
            for sheet_name, rows in sheets:
                if rows is None:
                    continue
                sheet = values[sheet_name]
                for r, cells in rows.items():
                    for c, (kind, value, fmt, _) in cells.items():
                        cell = sheet.cell(row=r + 1, column=c + 1)
                        got = cell.value
                        if isinstance(got, datetime.datetime):
                            got = serial(got, datetime.datetime(1904, 1, 1) if date1904 else datetime.datetime(1899, 12, 30))
                        elif isinstance(got, datetime.timedelta):
                            got = got.total_seconds() / 86400.0
                        if got != value or (kind == "number" and cell.number_format != (fmt or "General")):
                            fail("input %s %s!%d:%d is %r %r, described %r" %
                                 (name, sheet_name, r, c, got, cell.number_format, (kind, value, fmt)))
    print("ok: the inputs hold the cells described")


def round_text(value):
    return str(int(round(value)))  # Python rounds half to even


def taken_rows(rows, date1904, values, limit, fit):
    """The rows the mode takes from a sheet: lists of (column, (kind, value, format)); cells past fit left out."""
    taken = []
    if not values:
        r = 0
        while r in rows and any(k == "text" and not f and v != "" and c < limit for c, (k, v, _, f) in rows[r].items()):
            cells = rows[r]
            keep = [c for c, (k, v, _, f) in cells.items() if not f and (k == "number" or (k == "text" and v != ""))]
            width = max([c + 1 for c in keep if c < fit], default=0)
            out = []
            for c in range(width):
                k, v, _, f = cells.get(c, ("blank", None, "", None))
                text = round_text(v) if k == "number" and not f else v if k == "text" and not f else ""
                if text:  # an empty text cell pads the row: read back as no value
                    out.append((c, ("text", text, "")))
            taken.append(out)
            r += 1
        return taken
    for r in sorted(rows):
        out = []
        for c, (k, v, fmt, f) in sorted(rows[r].items()):
            if k == "text" and v == "":
                continue
            if c < fit:
                out.append((c, (k, to_1900(v, fmt, date1904) if k == "number" else v, fmt)))
        if out or any(not (k == "text" and v == "") for c, (k, v, _, f) in rows[r].items()):
            taken.append(out)
    return taken


def expected_run(folder, values, header_rows, source, mark, sheet_choice, max_columns):
    """The output rows ({column: (kind, value, format)}) and the files skipped."""
    shift = int(source) + int(mark)
    limit = 255 if not values and max_columns <= 256 else max_columns
    fit = min(limit, max_columns - shift)
    out, skipped, header_taken = [], [], False
    for name, date1904, sheets in FILES:
        if sheet_choice == "first":
            chosen = [sheets[0]]
        elif sheet_choice == "all":
            chosen = [s for s in sheets if s[1] is not None]
        elif sheet_choice.isdigit():
            index = int(sheet_choice) - 1  # counted from 1, as the tabs show them
            chosen = [sheets[index]] if index < len(sheets) and sheets[index][1] is not None else None
        else:
            chosen = [s for s in sheets if s[0].lower() == sheet_choice.lower()] or None
        if chosen is None:
            skipped.append(name)
            continue
        for sheet_name, rows in chosen:
            label = name + (" | " + sheet_name if sheet_choice == "all" else "")
            taken = taken_rows(rows, date1904, values, limit, fit)
            data = []
            for i, cells in enumerate(taken):
                row = {c + shift: cell for c, cell in cells}
                if i < header_rows:
                    if not header_taken:
                        if source and i == 0:
                            row[0] = ("text", "Source", "")
                        out.append(row)
                    continue
                if source:
                    row[0] = ("text", label, "")
                data.append(row)
            if taken:
                header_taken = True
            if mark and data:
                data[0][int(source)] = ("text", str(len(data)), "")
            out.extend(data)
    return out, skipped


def xls_rows(path):
    book = xlrd.open_workbook(path, formatting_info=True)
    sheet = book.sheet_by_index(0)
    rows = []
    for r in range(sheet.nrows):
        row = {}
        for c, cell in enumerate(sheet.row(r)):
            fmt = book.format_map[book.xf_list[cell.xf_index].format_key].format_str
            if cell.ctype == xlrd.XL_CELL_TEXT and cell.value != "":
                row[c] = ("text", cell.value, "")
            elif cell.ctype in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE):
                row[c] = ("number", cell.value, "" if fmt == "General" else fmt)
            elif cell.ctype == xlrd.XL_CELL_BOOLEAN:
                row[c] = ("bool", bool(cell.value), "")
            elif cell.ctype == xlrd.XL_CELL_ERROR:
                row[c] = ("error", xlrd.error_text_from_code[cell.value], "")
        rows.append(row)
    return rows


def xlsx_rows(path):
    sheet = openpyxl.load_workbook(path, data_only=True).worksheets[0]
    formulas = openpyxl.load_workbook(path).worksheets[0]
    rows = []
    for cells in sheet.iter_rows():
        row = {}
        for cell in cells:
            v, fmt = cell.value, "" if cell.number_format == "General" else cell.number_format
            if v is None or v == "":
                continue
            # The .xlsx output writes an error as the formula of that error value, cached as its text.
            if cell.data_type == "e" or (v in ERRORS and formulas.cell(cell.row, cell.column).value == "=" + v):
                row[cell.column - 1] = ("error", v, "")
            elif isinstance(v, bool):
                row[cell.column - 1] = ("bool", v, "")
            elif isinstance(v, datetime.timedelta):
                row[cell.column - 1] = ("number", v.total_seconds() / 86400.0, fmt)
            elif isinstance(v, (int, float, datetime.datetime)):
                row[cell.column - 1] = ("number", serial(v) if isinstance(v, datetime.datetime) else v, fmt)
            else:
                row[cell.column - 1] = ("text", v, "")
        rows.append(row)
    return rows


def csv_rows(path):
    with open(path, encoding="utf-8-sig", newline="") as f:
        return [{c: ("text", v, "") for c, v in enumerate(row) if v} for row in csv.reader(f)]


def as_csv(row):
    """A row as the .csv output holds it: every value a text; only texts are compared."""
    return {c: cell if cell[0] == "text" else ("text", None, "") for c, cell in row.items()}


def same(got, want):
    if got.keys() != want.keys():
        return False
    for c in got:
        (gk, gv, gf), (wk, wv, wf) = got[c], want[c]
        if gk != wk or gf != wf or (abs(gv - wv) > 1e-9 if gk == "number" else wv is not None and gv != wv):
            return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus")
    parser.add_argument("--fast", action="store_true")
    args = parser.parse_args()
    if args.fast:
        FILES[:] = [f for f in FILES if f[0] != "b_formulas.xls"]
    cli = os.path.join(args.build_dir, "plicato-cli")
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "typed")
        write_inputs(folder)
        check_inputs(folder)
        runs = 0
        sheets = ("first", "2", "SECOND", "all")
        options_product = list(itertools.product((False, True), (0, 1), (False, True), (False, True)))
        for k, (extension, max_columns, read) in enumerate(
                ((".xls", 256, xls_rows), (".xlsx", 16384, xlsx_rows), (".csv", 16384, csv_rows))):
            if args.fast:  # each sheet choice meets both values of any two other options
                matrix = [o + (sheets[(i + i // 4 + k) % 4],) for i, o in enumerate(options_product)]
            else:
                matrix = [o + (sheet,) for o in options_product for sheet in sheets]
            for values, header_rows, source, mark, sheet in matrix:
                options = (["--values"] * values + ["--header-rows", str(header_rows)] + ["--source"] * source +
                           ["--mark-rows"] * mark + (["--sheet", sheet] if sheet != "first" else []))
                out = os.path.join(work, "out%d%s" % (runs, extension))
                run = subprocess.run([cli, "merge", "--xlsx", "--skip-unreadable"] + options + ["-o", out, folder],
                                     capture_output=True)
                status = run.stderr.decode("utf-8", "replace")
                label = "%s %s" % (extension, " ".join(options))
                rows, skipped = expected_run(folder, values, header_rows, source, mark, sheet, max_columns)
                if extension == ".csv":
                    rows = [as_csv(row) for row in rows]
                if run.returncode != (3 if skipped else 0):
                    fail("%s: exit status %d: %s" % (label, run.returncode, status))
                for name in skipped:
                    if "  %s: " % os.path.join(folder, name) not in status:
                        fail("%s: %s not listed as skipped: %s" % (label, name, status))
                got = read(out)
                if len(got) != len(rows):
                    fail("%s: %d rows, expected %d:\n%r\n%r" % (label, len(got), len(rows), got, rows))
                for r, (g, w) in enumerate(zip(got, rows)):
                    if not same(g, w):
                        fail("%s: row %d is\n  %r, expected\n  %r" % (label, r, g, w))
                runs += 1
        print("ok: %d merges, every cell as expected" % runs)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

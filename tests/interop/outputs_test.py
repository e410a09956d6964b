#!/usr/bin/python3
"""Writes awkward cells through the merge's .xlsx and .csv outputs (interop_outputs samples) and reads
them back with independent readers: the .xlsx with python3-openpyxl and LibreOffice headless (converted
to CSV), the .csv with Python's csv module.

The expected values are computed here from the cells as they were given (samples.json): texts cut to a
worksheet cell's 32,767 UTF-16 units in the .xlsx and whole in the .csv; numbers exact in both; dates and other formats as this script renders them with
Python's own date and number formatting; NaN and infinities as #NUM!; booleans; errors by their text.
"""

import argparse
import csv
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from merge_cli_test import fail, libreoffice_csv, libreoffice_desktop  # noqa: E402

try:
    import openpyxl
    from openpyxl.utils.datetime import to_excel
except ImportError as e:
    print("FAIL: %s (apt-get install python3-openpyxl)" % e)
    sys.exit(1)


def as_datetime(serial):
    return datetime.datetime(1899, 12, 30) + datetime.timedelta(days=serial)


def twelve_hour(serial):
    t = as_datetime(serial)
    return "%d:%02d %s" % (t.hour % 12 or 12, t.minute, "AM" if t.hour < 12 else "PM")


# The sample formats as a spreadsheet shows them, rendered with Python's own formatting.
RENDER = {
    "yyyy\\-mm\\-dd": lambda v: as_datetime(v).strftime("%Y-%m-%d"),
    "yyyy-mm-dd hh:mm:ss": lambda v: as_datetime(v).strftime("%Y-%m-%d %H:%M:%S"),
    "0.00%": lambda v: "%.2f%%" % (v * 100),
    "#,##0.00": lambda v: "{:,.2f}".format(v),
    "h:mm AM/PM": twelve_hour,
    'yyyy"年"m"月"d"日"': lambda v: "%d年%d月%d日" % (as_datetime(v).year, as_datetime(v).month, as_datetime(v).day),
}


def in_cell(text):
    """A text as a worksheet cell holds it: 32,767 UTF-16 units at most, a surrogate pair kept whole."""
    units = text.encode("utf-16-le")
    if len(units) <= 32767 * 2:
        return text
    cut = units[:32767 * 2]
    if 0xD800 <= int.from_bytes(cut[-2:], "little") <= 0xDBFF:
        cut = cut[:-2]
    return cut.decode("utf-16-le")


def number(cell):
    value = cell["number"]
    return float(value) if isinstance(value, str) else value


def unescape(text):
    """openpyxl leaves the format's _xHHHH_ escapes of control characters in inline strings."""
    return re.sub(r"_x([0-9A-Fa-f]{4})_", lambda m: chr(int(m.group(1), 16)), text)


def check_openpyxl(path, cells):
    sheet = openpyxl.load_workbook(path, data_only=True).active
    found = {(c.row - 1, c.column - 1): c for row in sheet.iter_rows() for c in row if c.value is not None}
    expected = 0
    for cell in cells:
        where = (cell["row"], cell["column"])
        got = found.get(where)
        kind = cell["kind"]
        if kind == "text" and cell["text"] == "":
            if got is not None:
                fail("openpyxl: %s holds %r, an empty text writes nothing" % (where, got.value))
            continue
        expected += 1
        if got is None:
            fail("openpyxl: %s is missing" % (where,))
        value = got.value
        if kind == "text":
            ok = isinstance(value, str) and unescape(value) == in_cell(cell["text"])
        elif kind == "number" and cell["number"] in ("nan", "inf", "-inf"):
            ok = value == "#NUM!"
        elif kind == "number":
            want = number(cell)
            if isinstance(value, datetime.datetime):
                value = to_excel(value)
            elif isinstance(value, datetime.time):  # a time alone, read as the time of day
                value = (value.hour * 3600 + value.minute * 60 + value.second) / 86400
            # Every digit kept (a date through openpyxl's datetime to the microsecond).
            ok = isinstance(value, (int, float)) and (value == want if not cell["format"] else
                                                      abs(value - want) <= 1e-9)
            ok = ok and got.number_format == (cell["format"] or "General")
        elif kind == "boolean":
            ok = value is cell["boolean"]
        else:
            ok = value == cell["error"]
        if not ok:
            fail("openpyxl: %s is %r (%s), expected %r" % (where, value, got.number_format, cell))
    if len(found) != expected:
        fail("openpyxl: %d cells, expected %d" % (len(found), expected))
    print("ok: openpyxl: %d cells" % expected)


def units_text(units):
    return b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le", "surrogatepass")


def check_awkward(label, path, cells):
    """Texts and numbers that XML or a 16-digit writer would damage, value for value: the file must be
    well-formed for the reader to open it at all."""
    sheet = openpyxl.load_workbook(path).active
    for cell in cells:
        got = sheet.cell(cell["row"] + 1, cell["column"] + 1)
        if cell["kind"] == "text":
            units = cell["text"][:32767]  # the cut never falls in a pair here
            want = units_text(units)
            ok = isinstance(got.value, str) and unescape(got.value) == want
        else:
            want = float(cell["number"])
            fmt = "".join(c for c in units_text(cell["format"]) if " " <= c < "\ufffe") or "General"
            value = to_excel(got.value) if isinstance(got.value, datetime.datetime) else got.value
            ok = isinstance(value, (int, float)) and value == want and got.number_format == fmt
            # openpyxl reads a date after 9999 as an error of its own.
            ok = ok or (want > 2958465 and value == "#VALUE!" and fmt != "General")
        if not ok:
            fail("%s: %s is %r (%s), expected %r" % (label, (cell["row"], cell["column"]), got.value,
                                                      got.number_format, want))
    print("ok: %s: %d awkward cells" % (label, len(cells)))


def check_awkward_libreoffice(path, cells, work):
    """The awkward cells as LibreOffice holds them, through python3-uno: numbers value for value, texts as
    given but for a carriage return, which it reads as a line feed. (A text with a lone surrogate is left
    out: the bridge to Python fails on it and takes the office down.)"""
    import shutil
    with libreoffice_desktop(shutil.which("soffice"), work, "outputs") as desktop:
        if isinstance(desktop, str):
            fail(desktop)
        import uno
        from com.sun.star.beans import PropertyValue
        hidden = PropertyValue()
        hidden.Name, hidden.Value = "Hidden", True
        doc = desktop.loadComponentFromURL(uno.systemPathToFileUrl(os.path.abspath(path)), "_blank", 0, (hidden,))
        if doc is None:
            fail("LibreOffice could not open %s" % path)
        try:
            sheet = doc.Sheets.getByIndex(0)
            for cell in cells:
                got = sheet.getCellByPosition(cell["column"], cell["row"])
                if cell["kind"] == "text":
                    if any(0xD800 <= u <= 0xDFFF for u in cell["text"]):
                        continue
                    want = units_text(cell["text"][:32767]).replace("\r", "\n")
                    value = got.getString()
                else:
                    want = float(cell["number"])
                    value = got.getValue()
                if value != want:
                    fail("LibreOffice: %s is %r, expected %r" % ((cell["row"], cell["column"]), value[:80] if
                                                                 isinstance(value, str) else value, want))
        finally:
            doc.close(True)
    print("ok: LibreOffice: %d awkward cells" % len(cells))


def csv_field(cell, whole_text):
    kind = cell["kind"]
    if kind == "text":
        return cell["text"] if whole_text else in_cell(cell["text"]).replace("\r", "")
    if kind == "number":
        if cell["number"] in ("nan", "inf", "-inf"):
            return "#NUM!"
        if cell["format"]:
            return RENDER[cell["format"]](number(cell))
        return None  # compared as numbers
    if kind == "boolean":
        return "TRUE" if cell["boolean"] else "FALSE"
    return cell["error"]


def check_csv(label, rows, cells, whole_text, exact):
    last = max(c["row"] for c in cells)
    if len(rows) != last + 1:
        fail("%s: %d lines, expected %d" % (label, len(rows), last + 1))
    seen = set()
    for cell in cells:
        r, c = cell["row"], cell["column"]
        seen.add((r, c))
        got = rows[r][c] if c < len(rows[r]) else ""
        want = csv_field(cell, whole_text)
        if want is None:
            value = float(got)
            ok = value == cell["number"] and got != "-0" if exact else abs(value - cell["number"]) <= abs(cell["number"]) * 1e-14
        else:
            ok = got == want
        if not ok:
            fail("%s: row %d column %d is %r, expected %r" % (label, r, c, got[:80], (want or "")[:80]))
    for r, row in enumerate(rows):
        for c, field in enumerate(row):
            if field and (r, c) not in seen:
                fail("%s: row %d column %d holds %r, expected nothing" % (label, r, c, field))
    print("ok: %s: %d lines, %d cells" % (label, len(rows), len(cells)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus")
    args = parser.parse_args()
    program = os.path.join(args.build_dir, "tests", "interop_outputs")
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([program, "samples", work], check=True)
        with open(os.path.join(work, "samples.json"), encoding="utf-8") as f:
            cells = json.load(f)
        xlsx = os.path.join(work, "samples.xlsx")
        check_openpyxl(xlsx, cells)
        with open(os.path.join(work, "awkward.json"), encoding="utf-8") as f:
            awkward = json.load(f)
        check_awkward("openpyxl", os.path.join(work, "awkward.xlsx"), awkward)
        check_awkward_libreoffice(os.path.join(work, "awkward.xlsx"), awkward, work)
        with open(os.path.join(work, "samples.csv"), "rb") as f:
            raw = f.read()
        if not raw.startswith(b"\xef\xbb\xbf") or b"\n" in raw.replace(b"\r\n", b""):
            fail("csv: no byte-order mark, or a line end other than CRLF")
        with open(os.path.join(work, "samples.csv"), encoding="utf-8-sig", newline="") as f:
            check_csv("csv module", list(csv.reader(f, strict=True)), cells, True, True)
        lo = os.path.join(work, "lo")
        os.makedirs(lo)
        # LibreOffice shows General numbers to 15 digits and drops the CR of a CRLF in a text.
        check_csv("LibreOffice", libreoffice_csv(xlsx, lo), cells, False, False)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

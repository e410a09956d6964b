#!/usr/bin/python3
"""Merges in value mode to .csv an .xlsx (written by python3-xlsxwriter) in the 1904 date system, given
the extension's own <x14:workbookPr/> as current Excel writes it, with a column of numbers formatted as
text (@): each field must be what LibreOffice shows (its CSV export of the cells as shown).
"""

import argparse
import csv
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

try:
    import xlsxwriter
except ImportError as e:
    print("FAIL: %s (apt-get install python3-xlsxwriter)" % e)
    sys.exit(1)

EXTENSION = ('<extLst><ext uri="{140A7794-F1CB-4D9C-8C87-BE16C0F32B44}" '
             'xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main">'
             '<x14:workbookPr defaultImageDpi="220"/></ext></extLst>')


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def write_input(path):
    plain = path + ".plain"
    book = xlsxwriter.Workbook(plain, {"date_1904": True})
    sheet = book.add_worksheet("Data")
    date, text = book.add_format({"num_format": "yyyy-mm-dd"}), book.add_format({"num_format": "@"})
    sheet.write_row(0, 0, ["Date", "Code", "Name"])
    for r, day in enumerate((datetime.date(1904, 1, 2), datetime.date(1999, 12, 31), datetime.date(2024, 1, 31))):
        sheet.write_datetime(r + 1, 0, datetime.datetime.combine(day, datetime.time()), date)
        sheet.write_number(r + 1, 1, (12345678901, 7, 0.5)[r], text)
        sheet.write_string(r + 1, 2, "row %d" % (r + 1))
    book.close()
    with zipfile.ZipFile(plain) as source, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as target:
        for item in source.infolist():
            data = source.read(item.filename)
            if item.filename == "xl/workbook.xml":
                data = data.replace(b"</workbook>", EXTENSION.encode("utf-8") + b"</workbook>")
            target.writestr(item, data)
    os.remove(plain)


def libreoffice_csv(path, work):
    soffice = shutil.which("soffice")
    if not soffice:
        fail("LibreOffice (soffice) is not installed")
    # Fields 44,34,76: comma, double quote, UTF-8; the ninth, true: the cells as shown.
    subprocess.run([soffice, "-env:UserInstallation=file://" + os.path.join(work, "lo-profile"), "--headless",
                    "--convert-to", "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,true",
                    "--outdir", os.path.join(work, "lo"), path],
                   capture_output=True, timeout=300, check=True)
    with open(os.path.join(work, "lo", "in.csv"), encoding="utf-8", newline="") as f:
        return list(csv.reader(f))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus")
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "plicato-cli")
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "in.xlsx")
        write_input(path)
        out = os.path.join(work, "out.csv")
        run = subprocess.run([cli, "merge", "--values", "-o", out, path], capture_output=True)
        if run.returncode != 0:
            fail("plicato-cli merge failed: " + run.stderr.decode("utf-8", "replace"))
        with open(out, encoding="utf-8-sig", newline="") as f:
            ours = list(csv.reader(f))
        shown = libreoffice_csv(path, work)
        if ours != shown:
            fail("our .csv\n  %r\nLibreOffice shows\n  %r" % (ours, shown))
        if ours[1][:2] != ["1904-01-02", "12345678901"]:
            fail("LibreOffice and we agree on an unexpected first row: %r" % ours[1])
        print("ok: %d rows as LibreOffice shows them" % len(ours))
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

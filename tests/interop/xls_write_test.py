#!/usr/bin/python3
"""Reads workbooks written by our writer with independent readers.

Our sample writer (`interop_samples xls-write FOLDER`, tests/interop/samples.cpp) writes two files into
FOLDER:
  cells.xls      three sheets: "Cells" with every cell kind (RK runs and NUMBER, 8-bit, 16-bit and long
                 texts crossing CONTINUE records, booleans, errors, blank runs, formulas of constants with
                 cached results), "Texts" (100 x 10 texts) and "Empty";
  encrypted.xls  one sheet "Secret", encrypted with the password "plicato".
The expected contents below are the same as the sample writer's. They are checked with python3-xlrd, with
Spreadsheet::ParseExcel (perl), and with LibreOffice headless (the first sheet of cells.xls converted to
CSV; encrypted.xls loaded with its password through python3-uno). xlrd cannot decrypt: it must refuse
the encrypted file as encrypted.
"""

import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import xlrd
except ImportError:
    print("FAIL: python3-xlrd is not installed (apt-get install python3-xlrd)")
    sys.exit(1)

PASSWORD = "plicato"

LONG_WIDE = "".join(chr(0x4E00 + i % 64) for i in range(10000))
LONG_NARROW = "".join(chr(ord("A") + i % 26) for i in range(9000))

ERROR_TEXT = {0x00: "#NULL!", 0x07: "#DIV/0!", 0x0F: "#VALUE!", 0x17: "#REF!", 0x1D: "#NAME?", 0x24: "#NUM!",
              0x2A: "#N/A"}

# (row, column) -> (kind, value); kinds: number, text, bool, error (BIFF code), blank.
CELLS = {
    (0, 0): ("number", 1.0), (0, 1): ("number", 2.0), (0, 2): ("number", 3.0), (0, 5): ("number", 5.0),
    (1, 0): ("number", 1.1), (1, 1): ("number", 0.5), (1, 2): ("number", 123456789.0),
    (1, 3): ("number", 1.23), (1, 4): ("number", -7.25), (1, 5): ("number", 1e300), (1, 6): ("number", -0.01),
    (2, 0): ("text", "plain"), (2, 1): ("text", "Ünïcödé 中文"), (2, 2): ("text", LONG_WIDE),
    (2, 3): ("text", LONG_NARROW), (2, 4): ("text", ""),
    (3, 0): ("bool", True), (3, 1): ("bool", False), (3, 2): ("error", 0x07), (3, 3): ("error", 0x2A),
    (3, 4): ("error", 0x17),
    (4, 0): ("blank", None), (4, 1): ("blank", None), (4, 2): ("blank", None), (4, 3): ("text", "after blanks"),
    (4, 5): ("blank", None),
    (5, 0): ("number", 42.5), (5, 1): ("number", 7.0), (5, 2): ("text", "ok"), (5, 3): ("bool", True),
}
TEXTS = {(r, c): ("text", "r%dc%d" % (r, c)) for r in range(100) for c in range(10)}
SAMPLE = [("Cells", CELLS), ("Texts", TEXTS), ("Empty", {})]
SECRET = [("Secret", {(0, 0): ("text", "geheim"), (0, 1): ("text", "秘密"), (1, 0): ("number", 1.5),
                      (1, 1): ("number", 2.0)})]


def short(value):
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def compare(reader, sheet_name, expected, found, failures):
    """expected and found map (row, column) to comparable values."""
    for key in sorted(set(expected) | set(found)):
        if expected.get(key) != found.get(key):
            failures.append("%s, sheet %s, cell %d:%d: expected %s, found %s" %
                            (reader, sheet_name, key[0], key[1], short(expected.get(key)), short(found.get(key))))


# ---------------------------------------------------------------------------------------------------------
# xlrd

XLRD_KINDS = {xlrd.XL_CELL_NUMBER: "number", xlrd.XL_CELL_TEXT: "text", xlrd.XL_CELL_BOOLEAN: "bool",
              xlrd.XL_CELL_ERROR: "error", xlrd.XL_CELL_BLANK: "blank"}


def check_xlrd(path, failures):
    # formatting_info: report blank cells (MULBLANK/BLANK) as well.
    book = xlrd.open_workbook(path, formatting_info=True)
    names = book.sheet_names()
    if names != [name for name, _ in SAMPLE]:
        failures.append("xlrd: sheet names %s" % names)
        return
    for index, (name, expected) in enumerate(SAMPLE):
        sheet = book.sheet_by_index(index)
        found = {}
        for r in range(sheet.nrows):
            for c in range(sheet.ncols):
                cell = sheet.cell(r, c)
                if cell.ctype == xlrd.XL_CELL_EMPTY:
                    continue
                kind = XLRD_KINDS.get(cell.ctype, "type %d" % cell.ctype)
                value = cell.value
                if kind == "bool":
                    value = bool(value)
                elif kind == "blank":
                    value = None
                found[(r, c)] = (kind, value)
        compare("xlrd", name, expected, found, failures)
    print("xlrd: %s read, %d cells compared" % (os.path.basename(path), sum(len(e) for _, e in SAMPLE)))


def check_xlrd_refuses(path, failures):
    try:
        xlrd.open_workbook(path)
    except xlrd.XLRDError as e:
        if "encrypted" not in str(e).lower():
            failures.append("xlrd: unexpected failure on the encrypted file: %s" % e)
        else:
            print("xlrd: refuses %s as encrypted (it cannot decrypt)" % os.path.basename(path))
        return
    failures.append("xlrd read the encrypted file as if it were not encrypted")


# ---------------------------------------------------------------------------------------------------------
# Spreadsheet::ParseExcel

PERL_DUMP = r'''
use strict; use warnings;
use Spreadsheet::ParseExcel;
use Encode qw(encode);
my ($file, $password) = @ARGV;
my $parser = defined $password ? Spreadsheet::ParseExcel->new(Password => $password)
                               : Spreadsheet::ParseExcel->new();
my $book = $parser->parse($file);
if (!defined $book) { print "ERROR\t", $parser->error(), "\n"; exit 0; }
sub hex8 { my ($s) = @_; $s = '' unless defined $s; return unpack("H*", encode("UTF-8", $s)); }
for my $sheet ($book->worksheets()) {
  print "SHEET\t", hex8($sheet->get_name()), "\n";
  my ($rmin, $rmax) = $sheet->row_range();
  my ($cmin, $cmax) = $sheet->col_range();
  for my $r ($rmin .. $rmax) {
    for my $c ($cmin .. $cmax) {
      my $cell = $sheet->get_cell($r, $c);
      next unless defined $cell;
      my $type = $cell->type();
      # Numbers unformatted; texts through value(), which decodes 16-bit strings.
      my $v = $type eq 'Text' ? $cell->value() : $cell->unformatted();
      print join("\t", "CELL", $r, $c, $type, hex8($v)), "\n";
    }
  }
}
'''


def parseexcel_view(kind, value):
    if kind == "number":
        return ("Numeric", value)
    if kind == "text":
        return ("Text", value)
    if kind == "bool":
        return ("Text", "TRUE" if value else "FALSE")
    if kind == "error":
        # ParseExcel's own name for #N/A carries an exclamation mark.
        return ("Text", "#N/A!" if value == 0x2A else ERROR_TEXT[value])
    return ("Text", "")  # blank


def run_parseexcel(path, password=None):
    args = ["perl", "-", path] + ([password] if password is not None else [])
    run = subprocess.run(args, input=PERL_DUMP, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         timeout=300)
    if run.returncode != 0:
        return None, "perl failed: " + run.stderr.strip()
    sheets = []
    error = None
    for line in run.stdout.splitlines():
        fields = line.split("\t")
        if fields[0] == "ERROR":
            error = fields[1] if len(fields) > 1 else "?"
        elif fields[0] == "SHEET":
            sheets.append((bytes.fromhex(fields[1]).decode("utf-8"), {}))
        elif fields[0] == "CELL":
            value = bytes.fromhex(fields[4]).decode("utf-8")
            if fields[3] == "Numeric":
                value = float(value)
            sheets[-1][1][(int(fields[1]), int(fields[2]))] = (fields[3], value)
    return sheets, error


def check_parseexcel(path, model, failures, password=None):
    sheets, error = run_parseexcel(path, password)
    if error is not None or sheets is None:
        failures.append("ParseExcel could not read %s: %s" % (os.path.basename(path), error))
        return
    names = [name for name, _ in sheets]
    if names != [name for name, _ in model]:
        failures.append("ParseExcel: sheet names %s" % names)
        return
    for (name, found), (_, expected) in zip(sheets, model):
        compare("ParseExcel", name, {k: parseexcel_view(*v) for k, v in expected.items()}, found, failures)
    print("ParseExcel: %s read%s, %d cells compared" %
          (os.path.basename(path), " with its password" if password else "", sum(len(e) for _, e in model)))


def check_parseexcel_refuses(path, failures):
    sheets, error = run_parseexcel(path, "not the password")
    if error is None:
        failures.append("ParseExcel read the encrypted file with a wrong password")
    else:
        print("ParseExcel: refuses %s with a wrong password (%s)" % (os.path.basename(path), error))


# ---------------------------------------------------------------------------------------------------------
# LibreOffice

def libreoffice_view(kind, value):
    """The texts LibreOffice shows; booleans of a cell in the General format show as 1 and 0 there."""
    if kind == "number":
        return {1e300: "1E+300"}.get(value, ("%.15g" % value))
    if kind == "text":
        return value
    if kind == "bool":
        return ("TRUE", "1") if value else ("FALSE", "0")
    if kind == "error":
        return ERROR_TEXT[value]
    return ""


def check_libreoffice_csv(soffice, path, work, failures):
    profile = "file://" + os.path.join(work, "lo-profile-csv")
    run = subprocess.run([soffice, "-env:UserInstallation=" + profile, "--headless", "--norestore",
                          "--convert-to", "csv:Text - txt - csv (StarCalc):44,34,76,1", "--outdir", work, path],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
    csv_path = os.path.join(work, os.path.splitext(os.path.basename(path))[0] + ".csv")
    if not os.path.isfile(csv_path):
        failures.append("LibreOffice did not convert %s: %s" % (path, run.stdout.strip()))
        return
    with open(csv_path, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    found = {}
    for r, row in enumerate(rows):
        for c, text in enumerate(row):
            if text != "":
                found[(r, c)] = text
    expected = {}
    for key, (kind, value) in CELLS.items():
        view = libreoffice_view(kind, value)
        if view != "":
            expected[key] = view
    for key in sorted(set(expected) | set(found)):
        want, got = expected.get(key), found.get(key)
        ok = got in want if isinstance(want, tuple) else got == want
        if not ok:
            failures.append("LibreOffice (CSV of sheet Cells), cell %d:%d: expected %s, found %s" %
                            (key[0], key[1], short(want), short(got)))
    print("LibreOffice: %s converted to CSV, %d non-empty cells of sheet Cells compared" %
          (os.path.basename(path), len(expected)))


def check_libreoffice_password(soffice, path, work, failures):
    from merge_cli_test import libreoffice_desktop

    with libreoffice_desktop(soffice, work, "xls_write") as desktop:
        if isinstance(desktop, str):
            failures.append(desktop)
            return
        import uno
        from com.sun.star.beans import PropertyValue

        def prop(name, value):
            p = PropertyValue()
            p.Name = name
            p.Value = value
            return p

        url = uno.systemPathToFileUrl(os.path.abspath(path))

        wrong = desktop.loadComponentFromURL(url, "_blank", 0, (prop("Hidden", True), prop("Password", "wrong")))
        if wrong is not None:
            wrong.close(True)
            failures.append("LibreOffice opened the encrypted file with a wrong password")

        doc = desktop.loadComponentFromURL(url, "_blank", 0, (prop("Hidden", True), prop("Password", PASSWORD)))
        if doc is None:
            failures.append("LibreOffice could not open the encrypted file with its password")
            return
        try:
            names = list(doc.Sheets.ElementNames)
            if names != [name for name, _ in SECRET]:
                failures.append("LibreOffice (password): sheet names %s" % names)
            sheet = doc.Sheets.getByIndex(0)
            for (r, c), (kind, value) in SECRET[0][1].items():
                cell = sheet.getCellByPosition(c, r)
                got = cell.getValue() if kind == "number" else cell.getString()
                if got != value:
                    failures.append("LibreOffice (password), cell %d:%d: expected %r, found %r" % (r, c, value, got))
        finally:
            doc.close(True)
        print("LibreOffice: %s opened with its password (and refused with a wrong one), %d cells compared" %
              (os.path.basename(path), len(SECRET[0][1])))


# ---------------------------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus", required=False)
    args = parser.parse_args()

    program = os.path.join(args.build_dir, "tests", "interop_samples")
    if not os.path.isfile(program):
        print("FAIL: sample writer not built: " + program)
        return 1
    soffice = shutil.which("soffice")

    with tempfile.TemporaryDirectory(prefix="plicato-xls-write-") as folder:
        run = subprocess.run([program, "xls-write", folder],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        cells = os.path.join(folder, "cells.xls")
        encrypted = os.path.join(folder, "encrypted.xls")
        if run.returncode != 0 or not os.path.isfile(cells) or not os.path.isfile(encrypted):
            print(run.stdout)
            print("FAIL: the sample writer did not write the samples")
            return 1

        failures = []
        check_xlrd(cells, failures)
        check_xlrd_refuses(encrypted, failures)
        check_parseexcel(cells, SAMPLE, failures)
        check_parseexcel(encrypted, SECRET, failures, PASSWORD)
        check_parseexcel_refuses(encrypted, failures)
        if soffice is None:
            failures.append("LibreOffice (soffice) is not installed")
        else:
            check_libreoffice_csv(soffice, cells, folder, failures)
            check_libreoffice_password(soffice, encrypted, folder, failures)

    for failure in failures[:50]:
        print("FAIL: " + failure)
    if len(failures) > 50:
        print("FAIL: ... and %d more" % (len(failures) - 50))
    if failures:
        return 1
    print("the written workbooks read back alike in xlrd, Spreadsheet::ParseExcel and LibreOffice")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Compares what our reader makes of worksheet 0 of every corpus file with what python3-xlrd, an
independent reader, makes of it.

Our side comes from our sample writer (`interop_samples reader-dump FILE`, tests/interop/samples.cpp
writes every corpus file's worksheet 0 as JSON lines to FILE). xlrd opens each file with
formatting_info=False; files xlrd refuses are skipped. Every stored cell is compared by type class (text,
number, boolean, error, blank/empty; a formula by its cached result) and value. Differences that are
xlrd's own are listed below with the reason; any other difference, and any file our reader refuses while
xlrd reads it without an explanation below, fails the run.

It also counts the files each of xlrd, LibreOffice and we read. LibreOffice (headless, one invocation for
all, a private profile) reads a file when it converts it to CSV with its Excel import filter forced (else
a file it cannot read is taken as text). A file it reads and we refuse must be explained below too.
"""

import argparse
import json
import math
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

# Files our reader refuses although xlrd reads something, with the reason.
EXPLAINED_REFUSALS = {
    "poi/password.xls": "RC4-encrypted; xlrd does not decrypt either but reads the clear records (the test "
                        "XLSReaderCorpus.ReadsEncryptedFilesWithTheirPasswords reads it with its password)",
    "gen/encrypted/lo__pw_pw136.xls": "RC4-encrypted (read with its password in XLSReaderCorpus)",
    "poi/35897-type4.xls": "RC4 CryptoAPI-encrypted (read with its password in XLSReaderCorpus)",
    "poi/xor-encryption-abc.xls": "XOR-obfuscated (read with its password in XLSReaderCorpus)",
    "poi/clusterfuzz-testcase-minimized-POIHSSFFuzzer-4977868385681408.xls":
        "damaged by a fuzzer: a record identifier 0xDC5D; identifiers of 0x8000 and above are no BIFF "
        "records, and the reader stops at them with \"Bad record in file\" (xlrd skips them)",
}

# Files LibreOffice reads and our reader refuses, with the reason.
LIBREOFFICE_READS = {
    "poi/clusterfuzz-testcase-minimized-POIHSSFFuzzer-4977868385681408.xls":
        "the record identifier 0xDC5D (see above); LibreOffice skips it",
    "poi/clusterfuzz-testcase-minimized-POIHSSFFuzzer-4651309315719168.xls":
        "damaged by a fuzzer: the workbook stream ends inside a record (7,712 bytes declared, 2,225 there) "
        "and holds no sheet at all; LibreOffice shows one empty sheet",
}

# Files whose worksheet 0 xlrd reads wrongly, with the reason; cells of these files are not compared.
XLRD_FAULTS = {
}

# Sheet names that differ for a known reason (the cells are still compared).
NAME_DIFFERENCES = {
    "poi/testEXCEL_3.xls": "a BIFF3 worksheet file stores no sheet name: ours is \"Sheet1\", xlrd makes up "
                           "\"Sheet 1\"",
}

# Type classes of our cell kinds.
OUR_CLASS = {1: "empty", 4: "number", 5: "text", 6: "bool", 7: "error", 8: "number", 9: "text", 10: "bool",
             11: "error", 12: "number", 13: "text"}
XLRD_CLASS = {xlrd.XL_CELL_EMPTY: "empty", xlrd.XL_CELL_BLANK: "empty", xlrd.XL_CELL_TEXT: "text",
              xlrd.XL_CELL_NUMBER: "number", xlrd.XL_CELL_DATE: "number", xlrd.XL_CELL_BOOLEAN: "bool",
              xlrd.XL_CELL_ERROR: "error"}


def our_value(kind, value):
    cls = OUR_CLASS.get(kind, "empty")
    if cls == "number" and isinstance(value, str):
        value = float(value)  # "nan", "inf"
    return cls, value


def xlrd_cells(sheet):
    cells = {}
    for r in range(sheet.nrows):
        for c in range(sheet.row_len(r)):
            cell = sheet.cell(r, c)
            cls = XLRD_CLASS.get(cell.ctype, "empty")
            if cls == "empty":
                continue
            value = cell.value
            if cls == "bool":
                value = bool(value)
            elif cls == "number":
                value = float(value)
            cells[(r, c)] = (cls, value)
    return cells


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "number":
        return a[1] == b[1] or (math.isnan(a[1]) and math.isnan(b[1]))
    return a[1] == b[1]


def compare(entry, path):
    """Returns a list of difference descriptions for one file (empty when equal)."""
    with open(os.devnull, "w") as quiet:
        book = xlrd.open_workbook(path, formatting_info=False, logfile=quiet)
    sheet = book.sheet_by_index(0)
    theirs = xlrd_cells(sheet)
    ours = {}
    for row, col, kind, value in entry["cells"]:
        cls, value = our_value(kind, value)
        if cls != "empty":
            ours[(row, col)] = (cls, value)
    name = entry["file"]
    differences = []
    if entry["sheet"] != sheet.name and name not in NAME_DIFFERENCES:
        differences.append("sheet name %r, xlrd %r" % (entry["sheet"], sheet.name))
    for key in sorted(set(ours) | set(theirs)):
        a = ours.get(key, ("empty", None))
        b = theirs.get(key, ("empty", None))
        if same(a, b):
            continue
        differences.append("cell %s: ours %r, xlrd %r" % (key, a, b))
    return differences, len(theirs)


def libreoffice_reads(corpus, names, folder):
    """The corpus files LibreOffice reads; None when it is not installed."""
    soffice = shutil.which("soffice")
    if soffice is None:
        return None
    inputs = [os.path.join(folder, "f%04d.xls" % i) for i in range(len(names))]
    for name, path in zip(names, inputs):
        shutil.copyfile(os.path.join(corpus, name), path)
    subprocess.run([soffice, "-env:UserInstallation=file://" + os.path.join(folder, "profile"), "--headless",
                    "--norestore", "--infilter=MS Excel 97", "--convert-to", "csv", "--outdir",
                    os.path.join(folder, "csv")] + inputs,
                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=900)
    return {name for i, name in enumerate(names) if os.path.isfile(os.path.join(folder, "csv", "f%04d.csv" % i))}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus", required=True)
    args = parser.parse_args()

    program = os.path.join(args.build_dir, "tests", "interop_samples")
    if not os.path.isfile(program):
        print("FAIL: sample writer not built: " + program)
        return 1

    with tempfile.TemporaryDirectory(prefix="plicato-xlrd-") as folder:
        dump = os.path.join(folder, "cells.jsonl")
        run = subprocess.run([program, "reader-dump", dump],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        if run.returncode != 0 or not os.path.isfile(dump):
            print(run.stdout)
            print("FAIL: the sample writer did not write " + dump)
            return 1
        with open(dump, encoding="utf-8") as f:
            entries = [json.loads(line) for line in f if line.strip()]
        by_lo = libreoffice_reads(args.corpus, [e["file"] for e in entries], folder)

    compared = equal = xlrd_refused = xlrd_read = cells = 0
    failures = [] if by_lo is not None else ["LibreOffice (soffice) is not installed"]
    for entry in entries:
        name = entry["file"]
        path = os.path.join(args.corpus, name)
        if "error" in entry:
            message = entry["error"].replace("\r", " | ")
            print("our reader refuses %s: %s" % (name, message))
            if by_lo and name in by_lo:
                print("    (LibreOffice reads it: %s)" % LIBREOFFICE_READS.get(name, "UNEXPLAINED"))
                if name not in LIBREOFFICE_READS:
                    failures.append("%s: refused by our reader but read by LibreOffice: %s" % (name, message))
            try:
                with open(os.devnull, "w") as quiet:
                    xlrd.open_workbook(path, formatting_info=False, logfile=quiet).sheet_by_index(0)
                xlrd_read += 1
            except Exception:
                continue  # xlrd refuses it too
            if name in EXPLAINED_REFUSALS:
                print("    (xlrd reads it: %s)" % EXPLAINED_REFUSALS[name])
            else:
                failures.append("%s: refused by our reader but read by xlrd: %s" % (name, message))
            continue
        try:
            differences, count = compare(entry, path)
        except Exception as e:
            xlrd_refused += 1
            print("xlrd refuses %s: %s" % (name, repr(e)[:160]))
            continue
        compared += 1
        xlrd_read += 1
        cells += count
        if name in NAME_DIFFERENCES:
            print("%s: known difference: %s" % (name, NAME_DIFFERENCES[name]))
        if not differences:
            equal += 1
            continue
        if name in XLRD_FAULTS:
            print("%s: %d differences, xlrd's fault: %s" % (name, len(differences), XLRD_FAULTS[name]))
            continue
        for d in differences[:10]:
            failures.append("%s: %s" % (name, d))
        if len(differences) > 10:
            failures.append("%s: ... %d differences in all" % (name, len(differences)))

    print("files: %d in the dump, %d compared (%d cells of xlrd's), %d equal, %d refused by xlrd" %
          (len(entries), compared, cells, equal, xlrd_refused))
    ours = sum(1 for e in entries if "error" not in e)
    print("files read (without passwords): by xlrd %d, by LibreOffice %s, by us %d, of %d" %
          (xlrd_read, len(by_lo) if by_lo is not None else "-", ours, len(entries)))
    for name in sorted(set(LIBREOFFICE_READS) - {e["file"] for e in entries if "error" in e}):
        failures.append("%s is explained as refused, but our reader reads it" % name)
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("worksheet 0 of every file both readers read holds the same cells")
    return 0


if __name__ == "__main__":
    sys.exit(main())

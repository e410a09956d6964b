#!/usr/bin/python3
"""Reads the workbooks our writer makes of the corpus files with independent readers.

Our sample writer (`interop_samples roundtrip-copies FOLDER`, tests/interop/samples.cpp) reads every
corpus file with our reader and writes it again with our writer into FOLDER, under the file's corpus path, with a line per corpus file in manifest.jsonl. Encrypted files are read with their passwords and
written without one. Then:

- python3-xlrd reads every copy. For each file xlrd also reads in the original, every worksheet of
  original and copy is compared on every cell (type class: text, number, boolean, error; and value; blank
  and empty cells alike), on its hidden and outlined columns and rows, and on its name. The copy of an
  encrypted file is compared with what xlrd reads of the same cells unencrypted, where the corpus has them.
- LibreOffice (headless, one invocation for all, with a private profile) converts every sheet of every
  copied poi file and of a sample of other origins, originals and copies, to CSV, one file per sheet; each
  copy must give the sheets and CSVs of its original.

Every corpus file is accounted for: copied and compared, copied while xlrd refuses the original (the copy
must still read), or refused by our reader. Differences that are a peer's own faults are listed below
with the reason; any other difference fails the run.
"""

import argparse
import csv
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

# Files whose copy is compared with another corpus file holding the same cells unencrypted.
PLAIN_TWINS = {
    "gen/encrypted/lo__pw_pw136.xls": "gen/encrypted/lo_plain.xls",
}

# Corpus files our reader refuses, with the reason (the round trip test of RoundTrip_test checks the same).
OUR_REFUSALS = {
    "poi/61300.xls": "a damaged record stream (an XF record runs past the end of the workbook stream)",
}
FUZZ_PREFIX = "poi/clusterfuzz-"  # minimised fuzzer test cases, damaged on purpose

# Files whose original xlrd reads differently from the copy for a reason of xlrd's own; with the reason.
XLRD_FAULTS = {
}

# Sheet names that differ for a known reason (the cells are still compared).
NAME_DIFFERENCES = {
    "poi/testEXCEL_3.xls": "a BIFF3 worksheet file stores no sheet name: xlrd makes up \"Sheet 1\" for the "
                           "original, the copy carries our reader's \"Sheet1\"",
}

# LibreOffice converts every poi file and this sample of files of other origins (writers, BIFF versions).
LO_SAMPLE = [
    "gen/merge/a.xls",                      # python3-xlwt
    "gen/merge/sub/b.xls",                  # Spreadsheet::WriteExcel
    "gen/merge/sub/deeper/c.xls",           # LibreOffice
    "gen/merge/e_biff5.xls",                # BIFF5, code page 1252, formulas
    "gen/merge/wide.xls",                   # 256 columns
    "gen/single/long_strings_xlwt.xls",     # strings across CONTINUE records
    "gen/single/long_strings_writeexcel.xls",
    "gen/encrypted/lo__pw_pw136.xls",       # RC4, read with its password (compared with lo_plain.xls)
]

# LibreOffice: cells (sheet, row, column) whose CSV text differs between original and copy for a known
# reason.
LO_KNOWN = {
    "gen/merge/e_biff5.xls": (
        "S1!D2, C11, F11 and S2!A3, C3 hold 8-bit texts with NUL characters (UTF-16 bytes stored as 8-bit "
        "text by the file's writer); xlrd and our reader keep every character, LibreOffice ends a BIFF5 text "
        "at its first NUL but shows the same characters of a BIFF8 text as '?'. S1!D4 and S2!B3 are formulas "
        "whose cached result is an empty text (its writer stored no real result): LibreOffice recalculates "
        "the formulas of BIFF5 files when loading them, while the copy holds the cached value as a value, as "
        "xlrd reads it in both",
        {("S1", 1, 3), ("S1", 10, 2), ("S1", 10, 5), ("S1", 3, 3), ("S2", 2, 0), ("S2", 2, 1), ("S2", 2, 2)}),
}

# LibreOffice: files whose copy shows other sheets or values for a known reason; with the reason, and the
# sheets concerned (None: the whole file).
LO_FILE_DIFFERENCES = {
    "poi/60284.xls": ({"Pipad", "Tpad"}, "a BIFF5 file: LibreOffice recalculates its formulas when loading it (numbers differ in "
                     "the last digit, a formula LibreOffice cannot parse shows Err:508), while the copy holds "
                     "the cached results as values, as xlrd reads them in both"),
    "poi/64130.xls": (None, "a BIFF5 chart object (its only substream is of type 0x8000, its one sheet unnamed): "
                     "our reader finds no worksheet in it, so the copy holds one empty default worksheet "
                     "\"Sheet1\", where LibreOffice names the original's sheet \"Sheet2\""),
    "poi/external_image.xls": (None, "NOW() formulas: LibreOffice recalculates them when converting, so original "
                              "and copy show the moments of their conversions"),
}

# LibreOffice: files whose numbers the copy shows in another number format (the values are the same, as
# xlrd's comparison shows), with the reason.
FORMAT_ONLY = {
    "poi/testEXCEL_3.xls": "our reader gives the XF records of BIFF3 and BIFF4 files the default cell format "
                           "(their layouts are not converted), so the copy shows its numbers in the General "
                           "format where the original has formats such as \"0\" padded with spaces",
}

XLRD_CLASS = {xlrd.XL_CELL_TEXT: "text", xlrd.XL_CELL_NUMBER: "number", xlrd.XL_CELL_DATE: "number",
              xlrd.XL_CELL_BOOLEAN: "bool", xlrd.XL_CELL_ERROR: "error"}


def corpus_files(corpus):
    found = []
    for folder in ("poi", "gen"):
        for root, _, names in os.walk(os.path.join(corpus, folder)):
            for name in names:
                if name.lower().endswith(".xls"):
                    found.append(os.path.relpath(os.path.join(root, name), corpus).replace(os.sep, "/"))
    return sorted(found)


def open_book(path):
    """The workbook with its formatting (hidden columns and rows) where xlrd reads that, else without."""
    with open(os.devnull, "w") as quiet:
        try:
            return xlrd.open_workbook(path, formatting_info=True, logfile=quiet)
        except Exception:
            return xlrd.open_workbook(path, formatting_info=False, logfile=quiet)


def outline(infos):
    """index -> (hidden, outline level) of the columns or rows that are hidden or outlined."""
    return {i: (bool(x.hidden), x.outline_level) for i, x in infos.items() if x.hidden or x.outline_level}


def sheet_cells(sheet):
    """(row, column) -> (type class, value) of every cell that is not blank or empty."""
    cells = {}
    for r in range(sheet.nrows):
        for c in range(sheet.row_len(r)):
            cell = sheet.cell(r, c)
            cls = XLRD_CLASS.get(cell.ctype)
            if cls is None:
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


def short(value):
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def compare_xlrd(name, original, copy):
    """Differences between the worksheets of the original and of the copy, as xlrd reads them."""
    differences = []
    if original.nsheets != copy.nsheets:
        differences.append("%d worksheets, copy %d" % (original.nsheets, copy.nsheets))
    cells = 0
    formatting = original.formatting_info and copy.formatting_info
    for index in range(min(original.nsheets, copy.nsheets)):
        a, b = original.sheet_by_index(index), copy.sheet_by_index(index)
        where = "sheet %d, " % index
        if a.name != b.name and name not in NAME_DIFFERENCES:
            differences.append(where + "name %r, copy %r" % (a.name, b.name))
        theirs, ours = sheet_cells(a), sheet_cells(b)
        for key in sorted(set(theirs) | set(ours)):
            x = theirs.get(key, ("empty", None))
            y = ours.get(key, ("empty", None))
            if not same(x, y):
                differences.append(where + "cell %s: original %s, copy %s" % (key, short(x), short(y)))
        if formatting:
            for what, x, y in (("columns", outline(a.colinfo_map), outline(b.colinfo_map)),
                               ("rows", outline(a.rowinfo_map), outline(b.rowinfo_map))):
                if x != y:
                    differences.append(where + "hidden or outlined %s %s, copy %s" % (what, short(x), short(y)))
        cells += len(theirs)
    return differences, cells


def write_copies(build_dir, folder):
    program = os.path.join(build_dir, "tests", "interop_samples")
    if not os.path.isfile(program):
        return None, "sample writer not built: " + program
    run = subprocess.run([program, "roundtrip-copies", folder],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
    manifest = os.path.join(folder, "manifest.jsonl")
    if run.returncode != 0 or not os.path.isfile(manifest):
        return None, run.stdout + "\nthe sample writer did not write the copies"
    with open(manifest, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()], None


def check_xlrd(corpus, folder, entries, failures):
    compared = equal = cells = xlrd_refuses_original = xlrd_refuses_both = 0
    for entry in entries:
        name = entry["file"]
        if "read_error" in entry:
            reason = OUR_REFUSALS.get(name) or ("a fuzzer's damaged file" if name.startswith(FUZZ_PREFIX) else None)
            if reason is None:
                failures.append("%s: our reader refuses it: %s" % (name, entry["read_error"].replace("\r", " | ")))
            continue
        if "write_error" in entry:
            failures.append("%s: our writer fails: %s" % (name, entry["write_error"].replace("\r", " | ")))
            continue
        reference = PLAIN_TWINS.get(name, name)
        original, original_error = None, None
        try:
            original = open_book(os.path.join(corpus, reference))
            original.sheet_by_index(0)
        except Exception as e:
            original, original_error = None, repr(e)[:200]
        try:
            copy = open_book(os.path.join(folder, entry["copy"]))
            copy.sheet_by_index(0)
        except Exception as e:
            if original_error is not None and original_error == repr(e)[:200]:
                xlrd_refuses_both += 1
                print("xlrd refuses %s and its copy alike: %s" % (name, original_error))
            else:
                failures.append("%s: xlrd cannot read the copy: %s" % (name, repr(e)[:200]))
            continue
        if original is None:
            xlrd_refuses_original += 1
            print("xlrd refuses the original %s (%s); it reads the copy" % (reference, original_error))
            continue
        differences, count = compare_xlrd(name, original, copy)
        compared += 1
        cells += count
        if name in NAME_DIFFERENCES:
            print("%s: known difference: %s" % (name, NAME_DIFFERENCES[name]))
        if not differences:
            equal += 1
        elif name in XLRD_FAULTS:
            print("%s: %d differences, xlrd's fault: %s" % (name, len(differences), XLRD_FAULTS[name]))
        else:
            failures.extend("%s: %s" % (name, d) for d in differences[:10])
            if len(differences) > 10:
                failures.append("%s: ... %d differences in all" % (name, len(differences)))
    copies = sum(1 for e in entries if "copy" in e)
    refused = sum(1 for e in entries if "read_error" in e)
    print("xlrd: %d copies written; %d compared with their originals (%d cells), %d equal; %d more read while "
          "xlrd refuses their originals; %d refused alike with their originals; %d corpus files our reader "
          "refuses" % (copies, compared, cells, equal, xlrd_refuses_original, xlrd_refuses_both, refused))


def csv_cells(path):
    """(row, column) -> text of every non-empty field of a CSV file."""
    with open(path, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    return {(r, c): text for r, row in enumerate(rows) for c, text in enumerate(row) if text != ""}


def shown_number(text):
    """The number a cell shows (spaces and thousands separators aside), or None for a text."""
    try:
        return float(text.strip().replace(",", ""))
    except ValueError:
        return None


def same_but_format(original, copy):
    """True when the copy shows the number the original shows, there in another number format."""
    a, b = shown_number(original or ""), shown_number(copy or "")
    if a is None or b is None:
        return False
    shown = original.strip().replace(",", "")
    decimals = len(shown.split(".")[1]) if "." in shown else 0
    return abs(round(b, decimals) - a) < 10 ** -(decimals + 6)


def sheet_csvs(outputs, stem):
    """sheet name -> CSV path of the per-sheet files LibreOffice wrote for one input."""
    found = {}
    for name in os.listdir(outputs):
        if name.startswith(stem + "-") and name.endswith(".csv"):
            found[name[len(stem) + 1:-4]] = os.path.join(outputs, name)
    return found


def compare_csv(name, sheet, original, copy, failures):
    """Compares one sheet's CSVs; true when they are alike but for known differences."""
    a, b = csv_cells(original), csv_cells(copy)
    known_reason, known_cells = LO_KNOWN.get(name, (None, set()))
    format_reason = FORMAT_ONLY.get(name)
    unexplained, explained = [], 0
    for key in sorted(set(a) | set(b)):
        x, y = a.get(key), b.get(key)
        if x == y:
            continue
        if (sheet,) + key in known_cells or (format_reason and same_but_format(x, y)):
            explained += 1
        else:
            unexplained.append("LibreOffice: %s, sheet %r, CSV cell %s: original %s, copy %s" %
                               (name, sheet, key, short(x), short(y)))
    failures.extend(unexplained[:8])
    if len(unexplained) > 8:
        failures.append("LibreOffice: %s, sheet %r: %d cells differ in all" % (name, sheet, len(unexplained)))
    if explained:
        print("LibreOffice: %s: %d cells differ as known: %s" % (name, explained, known_reason or format_reason))
    return not unexplained


def check_libreoffice(soffice, corpus, folder, entries, work, failures):
    copies = {e["file"]: e["copy"] for e in entries if "copy" in e}
    inputs = os.path.join(work, "lo-in")
    outputs = os.path.join(work, "lo-out")
    os.makedirs(inputs)
    os.makedirs(outputs)
    pairs = []
    names = [n for n in sorted(copies) if n.startswith("poi/") and not n.startswith(FUZZ_PREFIX)]
    names += [n for n in LO_SAMPLE if n not in names]
    for i, name in enumerate(names):
        if name not in copies:
            failures.append("LibreOffice sample %s has no copy" % name)
            continue
        stems = ("%03do" % i, "%03dc" % i)
        shutil.copyfile(os.path.join(corpus, PLAIN_TWINS.get(name, name)), os.path.join(inputs, stems[0] + ".xls"))
        shutil.copyfile(os.path.join(folder, copies[name]), os.path.join(inputs, stems[1] + ".xls"))
        pairs.append((name, stems))
    # One LibreOffice start converts the files one after the other, every sheet to a file of its own (the
    # last token of the filter options, -1). It may stop before the end of a long list, with status 0: it
    # is then started again after the last file converted (passing over a file it cannot convert at all).
    stems = [stem for _, two in pairs for stem in two]
    profile = "file://" + os.path.join(work, "lo-profile")
    starts = 0
    while stems:
        starts += 1
        subprocess.run([soffice, "-env:UserInstallation=" + profile, "--headless", "--norestore", "--convert-to",
                        "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1",
                        "--outdir", outputs] + [os.path.join(inputs, s + ".xls") for s in stems],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900)
        done = [i for i, s in enumerate(stems) if sheet_csvs(outputs, s)]
        stems = stems[done[-1] + 1:] if done else stems[1:]
    equal = sheets = 0
    for name, stems in pairs:
        original, copy = sheet_csvs(outputs, stems[0]), sheet_csvs(outputs, stems[1])
        if not original:
            # An encrypted original it has no password for, or one it cannot read.
            print("LibreOffice does not convert the original %s%s" % (name, "; it converts the copy" if copy else
                                                                       " nor its copy"))
            continue
        known_sheets, reason = LO_FILE_DIFFERENCES.get(name, (set(), None))
        if reason:
            print("LibreOffice: %s: known difference: %s" % (name, reason))
            if known_sheets is None:
                continue
        if sorted(original) != sorted(copy):
            failures.append("LibreOffice: %s: sheets %s, copy %s" % (name, sorted(original), sorted(copy)))
            continue
        alike = True
        for sheet in sorted(set(original) - known_sheets):
            alike = compare_csv(name, sheet, original[sheet], copy[sheet], failures) and alike
        sheets += len(original)
        equal += 1 if alike else 0
    if not pairs or sheets == 0:
        failures.append("LibreOffice converted nothing")
    print("LibreOffice (%d starts): %d of %d files (%d sheets) give the CSVs of their originals" %
          (starts, equal, len(pairs), sheets))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus", required=True)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="plicato-roundtrip-") as work:
        folder = os.path.join(work, "copies")
        os.makedirs(folder)
        entries, error = write_copies(args.build_dir, folder)
        if entries is None:
            print(error)
            print("FAIL: no copies")
            return 1

        failures = []
        listed = {e["file"] for e in entries}
        for name in corpus_files(args.corpus):
            if name not in listed:
                failures.append("%s: not in the manifest" % name)
        check_xlrd(args.corpus, folder, entries, failures)
        soffice = shutil.which("soffice")
        if soffice is None:
            failures.append("LibreOffice (soffice) is not installed")
        else:
            check_libreoffice(soffice, args.corpus, folder, entries, work, failures)

    for failure in failures[:60]:
        print("FAIL: " + failure)
    if len(failures) > 60:
        print("FAIL: ... and %d more" % (len(failures) - 60))
    if failures:
        return 1
    print("every copy reads in xlrd with its original's sheets, and LibreOffice shows every sheet alike")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Matching columns by header: folders of .xls (python3-xlwt) and .xlsx (python3-xlsxwriter) files whose
columns are shuffled, missing, extra, space-padded, full-width, repeated and without a header are merged
with --values --header-rows N --match-columns to .xlsx, .csv and .xls, and every cell of each output is
compared: with pandas (read_excel of each file, then concat, which matches by name too) where pandas
treats the files alike, and with the matching rules where it does not (names folded, the n-th of a
repeated name under the n-th, empty headers by position among themselves, title rows from the first file).
Each file that lacks or brings columns must be named in the run's remarks with those columns.
"""

import argparse
import csv
import math
import os
import subprocess
import sys
import tempfile

try:
    import openpyxl
    import pandas
    import pandas.compat._optional
    import xlrd
    import xlsxwriter
    import xlwt
except ImportError as e:
    print("FAIL: %s (apt-get install python3-pandas python3-xlrd python3-xlwt python3-openpyxl "
          "python3-xlsxwriter)" % e)
    sys.exit(1)

# pandas 1.5 asks xlrd 2.0 by a version check only; Debian's xlrd 1.2 reads .xls files as well.
pandas.compat._optional.VERSIONS["xlrd"] = xlrd.__version__

# Files of one case: (the header rows above the names, the names, the data rows); None is an empty cell.
# Every file of a case has as many header rows.
ALIKE = [
    ([], ["日期", "金额", "数量"], [["d1", 10, 1], ["d2", 20.5, 2]]),
    ([], ["金额", "日期", "数量", "备注"], [[30, "d3", 3, "n3"]]),  # shuffled, one extra
    ([], ["日期", "数量"], [["d4", 4], ["d5", 5]]),                 # one missing
]
RULES = [
    ([["月报", None, "2026"]], ["日期", "金额", "金额", None, "Qty"],
     [["d1", 1, 2, "e1", 5], ["d2", 3, 4, None, 6]]),
    ([["title of b"]], [" 金额\u3000", "ｑｔｙ", None, None, "日期 ", "金额", "ＮＯ．"],
     [[7, 8, "e2", "f2", "d3", 9, "n1"]]),
    ([["title of c"]], ["QTY\u00a0", "金额", "金额", "金额"], [[10, 11, 12, 13]]),
]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def fold(name):
    name = (name or "").strip(" \t\r\n\v\f\u00a0\u3000")
    name = "".join(chr(ord(c) - 0xFEE0) if 0xFF01 <= ord(c) <= 0xFF5E else c for c in name)
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in name)


def by_rules(files):
    """The output's rows by the matching rules: the title rows of the first file, the union of names,
    then each file's rows laid out under it."""
    columns, shown, maps = [], [], []
    for _, names, _ in files:
        seen, layout = {}, []
        for name in names:
            key = fold(name)
            nth = seen.get(key, 0)
            seen[key] = nth + 1
            matching = [i for i, c in enumerate(columns) if c == key]
            if nth < len(matching):
                layout.append(matching[nth])
            else:
                columns.append(key)
                shown.append(name or "")
                layout.append(len(columns) - 1)
        maps.append(layout)
    rows = [list(title) for title in files[0][0]] + [shown]
    for (_, _, data), layout in zip(files, maps):
        for row in data:
            out = [None] * len(columns)
            for i, value in enumerate(row):
                out[layout[i]] = value
            rows.append(out)
    return rows


def write_xls(path, titles, names, data):
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Data")
    for r, row in enumerate(titles + [names] + data):
        for c, value in enumerate(row):
            if value is not None:
                sheet.write(r, c, value)
    book.save(path)


def write_xlsx(path, titles, names, data):
    book = xlsxwriter.Workbook(path)
    sheet = book.add_worksheet("Data")
    for r, row in enumerate(titles + [names] + data):
        for c, value in enumerate(row):
            if value is not None:
                sheet.write(r, c, value)
    book.close()


def by_pandas(paths):
    frames = [pandas.read_excel(path, header=0) for path in paths]
    merged = pandas.concat(frames, ignore_index=True)
    return [list(merged.columns)] + [list(row) for row in merged.itertuples(index=False)]


def shown(value):
    """A cell as text, so that every output compares alike: numbers in their shortest form, empty cells
    (None, NaN, '') as ''."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return "%.15g" % value
    return str(value)


def normal(rows):
    out = [[shown(v) for v in row] for row in rows]
    for row in out:
        while row and row[-1] == "":
            row.pop()
    return out


def read_output(path):
    if path.endswith(".csv"):
        with open(path, encoding="utf-8-sig", newline="") as f:
            return list(csv.reader(f))
    if path.endswith(".xlsx"):
        sheet = openpyxl.load_workbook(path, read_only=True).worksheets[0]
        return [list(row) for row in sheet.iter_rows(values_only=True)]
    sheet = xlrd.open_workbook(path).sheet_by_index(0)
    return [sheet.row_values(r) for r in range(sheet.nrows)]


def check_remarks(stderr, files, names_of):
    """Each file that lacks columns of the union or brings new ones is named with them."""
    union = {fold(n) for _, names, _ in files for n in names if fold(n)}
    for i, (path, (_, names, _)) in enumerate(zip(names_of, files)):
        own = {fold(n) for n in names if fold(n)}
        earlier = {fold(n) for _, other, _ in files[:i] for n in other if fold(n)}
        lacking = union - own
        brought = own - earlier if i > 0 else set()
        if not lacking and not brought:
            continue
        # From the file's first mention to the next file's: a remark may run over several lines.
        start = stderr.find(os.path.basename(path))
        ends = [stderr.find(os.path.basename(other), start + 1) for other in names_of if other != path]
        said = fold(stderr[start:min([e for e in ends if e > start] + [len(stderr)])]) if start >= 0 else ""
        for name in lacking | brought:
            if name not in said:
                fail("the remarks on %s do not name the column %r:\n%s" % (path, name, stderr))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus")
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "plicato-cli")
    with tempfile.TemporaryDirectory() as work:
        for case, files in (("alike", ALIKE), ("rules", RULES)):
            expected = normal(by_rules(files))
            for ext, write in (("xls", write_xls), ("xlsx", write_xlsx)):
                folder = os.path.join(work, case + "-" + ext)
                os.mkdir(folder)
                paths = [os.path.join(folder, "%s%d.%s" % (case, i, ext)) for i in range(len(files))]
                for path, (titles, names, data) in zip(paths, files):
                    write(path, titles, names, data)
                if case == "alike" and normal(by_pandas(paths)) != expected:
                    fail("pandas and the rules differ on %s:\n  %r\n  %r" % (folder, normal(by_pandas(paths)),
                                                                            expected))
                header_rows = str(len(files[0][0]) + 1)
                for out_ext in ("xlsx", "csv", "xls"):
                    out = os.path.join(work, "%s-%s-out.%s" % (case, ext, out_ext))
                    run = subprocess.run([cli, "merge", "--values", "--header-rows", header_rows,
                                          "--match-columns", "-o", out] + paths, capture_output=True)
                    stderr = run.stderr.decode("utf-8", "replace")
                    if run.returncode != 0:
                        fail("plicato-cli merge %s to .%s failed:\n%s" % (folder, out_ext, stderr))
                    ours = normal(read_output(out))
                    if ours != expected:
                        fail("%s merged to .%s:\n  ours     %r\n  expected %r" % (folder, out_ext, ours, expected))
                    check_remarks(stderr, files, paths)
                print("ok: %s %s files, every cell in .xlsx, .csv and .xls" % (case, ext))
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

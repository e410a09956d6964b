#!/usr/bin/python3
"""Merges the corpus folder gen/merge with plicato-cli and checks the output with independent readers.

The expected rows (gen/expected/merge.json, and merge-mark.json with --mark-rows) were computed by an
independent model of the merge rules from xlrd's reading of the inputs. The output is read back with
python3-xlrd (every row 255 or 256 text cells, the texts as expected), with our own reader
(plicato-cli dump --cells: every stored cell is a text cell), and opened by LibreOffice headless, whose
CSV conversion must show the same texts.
"""

import argparse
import contextlib
import csv
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import xlrd


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def xlrd_rows(path):
    book = xlrd.open_workbook(path)
    sheet = book.sheet_by_index(0)
    rows = []
    for r in range(sheet.nrows):
        cells = sheet.row(r)
        for c, cell in enumerate(cells):
            # With marks, column 0 holds a text only on each file's first row.
            if c == 0 and cell.ctype == xlrd.XL_CELL_EMPTY:
                continue
            if cell.ctype != xlrd.XL_CELL_TEXT:
                fail("%s: cell %d:%d is not text (type %d)" % (path, r, c, cell.ctype))
        rows.append([cell.value for cell in cells])
    return rows


def check_rows(label, actual, expected):
    if len(actual) != len(expected):
        fail("%s: %d rows, expected %d" % (label, len(actual), len(expected)))
    for r, (got, want) in enumerate(zip(actual, expected)):
        width = len(want)
        if len(got) != width:
            fail("%s: row %d has %d cells, expected %d" % (label, r, len(got), width))
        if got != want:
            for c, (g, w) in enumerate(zip(got, want)):
                if g != w:
                    fail("%s: row %d column %d is %r, expected %r" % (label, r, c, g, w))
    print("ok: %s: %d rows of %d cells" % (label, len(actual), len(expected[0]) if expected else 0))


def our_cells(cli, path):
    out = subprocess.run([cli, "dump", "--cells", path], capture_output=True, check=True).stdout.decode("utf-8")
    count = 0
    for row in csv.reader(io.StringIO(out)):
        if row[2] != "5":
            fail("our reader: %s cell %s:%s has kind %s" % (path, row[0], row[1], row[2]))
        count += 1
    return count


def libreoffice_csv(path, workdir):
    soffice = shutil.which("soffice")
    if not soffice:
        fail("LibreOffice (soffice) is not installed")
    profile = "file://" + os.path.join(workdir, "lo-profile")
    subprocess.run([soffice, "-env:UserInstallation=" + profile, "--headless", "--convert-to",
                    "csv:Text - txt - csv (StarCalc):44,34,76", "--outdir", workdir, path],
                   capture_output=True, timeout=300, check=True)
    csv_path = os.path.join(workdir, os.path.splitext(os.path.basename(path))[0] + ".csv")
    with open(csv_path, encoding="utf-8") as f:
        return list(csv.reader(f))


@contextlib.contextmanager
def libreoffice_desktop(soffice, work, name):
    """LibreOffice headless driven through python3-uno: yields its Desktop, or a reason it could not be
    had (a str); the office is ended on leaving."""
    try:
        import uno
    except ImportError:
        yield "python3-uno is not installed (apt-get install python3-uno)"
        return
    pipe = "plicato_%s_%d" % (name, os.getpid())
    profile = "file://" + os.path.join(work, "lo-profile-uno")
    office = subprocess.Popen([soffice, "-env:UserInstallation=" + profile, "--headless", "--invisible",
                               "--norestore", "--nologo", "--accept=pipe,name=%s;urp;" % pipe],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    desktop = None
    try:
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        context = None
        deadline = time.time() + 120
        while context is None and time.time() < deadline:
            try:
                context = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
            except Exception:
                if office.poll() is not None:
                    break
                time.sleep(0.5)
        if context is None:
            yield "LibreOffice did not accept a connection"
            return
        desktop = context.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", context)
        yield desktop
    finally:
        if desktop is not None:
            try:
                desktop.terminate()
            except Exception:
                pass  # the bridge goes down with the office
        try:
            office.wait(timeout=60)
        except subprocess.TimeoutExpired:
            pass
        # soffice is a launcher: the office itself is in its process group, and is ended with it.
        try:
            os.killpg(office.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        office.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus", required=True)
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "plicato-cli")
    folder = os.path.join(args.corpus, "gen", "merge")
    if not os.path.isdir(folder):
        print("SKIP: corpus not present")
        return 0
    with tempfile.TemporaryDirectory() as work:
        for option, expected_name in (([], "merge.json"), (["--mark-rows"], "merge-mark.json")):
            out = os.path.join(work, "out%s.xls" % ("-mark" if option else ""))
            run = subprocess.run([cli, "merge"] + option + ["-o", out, folder], capture_output=True)
            if run.returncode != 0:
                fail("plicato-cli merge failed: " + run.stderr.decode("utf-8", "replace"))
            status = run.stderr.decode("utf-8")
            if not re.search(r"^plicato-cli: merged \d+ files; wrote \d+ rows to ", status, re.M):
                fail("summary missing: " + status)
            with open(os.path.join(args.corpus, "gen", "expected", expected_name), encoding="utf-8") as f:
                expected = json.load(f)
            check_rows("xlrd " + os.path.basename(out), xlrd_rows(out), expected)
            width = len(expected[0])
            cells = our_cells(cli, out)
            # 255 data cells per row, plus one mark per file when marking.
            marks = sum(1 for row in expected if option and row[0] != "")
            if cells != len(expected) * 255 + marks:
                fail("our reader: %d cells, expected %d" % (cells, len(expected) * 255 + marks))
            print("ok: our reader: %d text cells" % cells)
            lo = libreoffice_csv(out, work)
            lo = [row + [""] * (width - len(row)) for row in lo]
            # LibreOffice's CSV export cannot carry NUL characters (e_biff5.xls holds texts with NULs in
            # them, which xlrd and we keep as they are): it writes '?' in their place.
            shown = [[text.replace("\x00", "?") for text in row] for row in expected]
            check_rows("LibreOffice " + os.path.basename(out), lo, shown)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

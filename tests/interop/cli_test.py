#!/usr/bin/python3
"""Checks plicato-cli as a user meets it: CSV output of dump, exit statuses and messages, and Ctrl-C
during a merge (the current file is finished, what was merged is written, the status says it stopped)."""

import argparse
import csv
import io
import os
import re
import signal
import subprocess
import sys
import tempfile

import xlrd


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def run(cli, *args):
    return subprocess.run([cli] + list(args), capture_output=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus", required=True)
    args = parser.parse_args()
    cli = os.path.join(args.build_dir, "plicato-cli")
    merge = os.path.join(args.corpus, "gen", "merge")
    if not os.path.isdir(merge):
        print("SKIP: corpus not present")
        return 0

    # dump: RFC 4180 CSV of every cell as text, matching xlrd's view of the same sheet.
    path = os.path.join(merge, "a.xls")
    out = run(cli, "dump", path)
    if out.returncode != 0:
        fail("dump failed: " + out.stderr.decode())
    text = out.stdout.decode("utf-8")
    if "\r\n" not in text:
        fail("CSV lines must end with CRLF")
    rows = list(csv.reader(io.StringIO(text)))
    sheet = xlrd.open_workbook(path).sheet_by_index(0)
    if len(rows) != sheet.nrows:
        fail("dump gave %d rows, xlrd %d" % (len(rows), sheet.nrows))
    for r in range(sheet.nrows):
        for c in range(sheet.ncols):
            cell = sheet.cell(r, c)
            if cell.ctype == xlrd.XL_CELL_TEXT and rows[r][c] != cell.value:
                fail("dump %d:%d is %r, xlrd %r" % (r, c, rows[r][c], cell.value))
    print("ok: dump of a.xls: %d rows agree with xlrd on every text" % len(rows))

    cells = run(cli, "dump", "--cells", "--sheet", "1", path).stdout.decode("utf-8")
    first = next(csv.reader(io.StringIO(cells)))
    if len(first) != 4 or not first[0].isdigit() or first[2] not in ("1", "4", "5", "6", "7") + tuple(
            str(k) for k in range(8, 14)):
        fail("--cells line is not row,col,kind,text: %r" % first)
    print("ok: --cells lines are row,col,kind,text")

    # copy: an encrypted workbook comes out decrypted, with its sheets, for a reader without the password.
    with tempfile.TemporaryDirectory() as work:
        original = os.path.join(args.corpus, "poi", "password.xls")
        copy_path = os.path.join(work, "copy.xls")
        res = run(cli, "copy", "--password", "password", original, copy_path)
        if res.returncode != 0:
            fail("copy failed: " + res.stderr.decode())
        ours = run(cli, "dump", "--password", "password", original).stdout
        if run(cli, "dump", copy_path).stdout != ours or len(xlrd.open_workbook(copy_path).sheet_names()) != 3:
            fail("the decrypted copy of password.xls differs")
        print("ok: copy writes an encrypted workbook decrypted")

    # Failures: non-zero status and the message on stderr, nothing on stdout.
    for label, argv, needle in (
            ("missing file", ["dump", "/nonexistent/file.xls"], "does not exist"),
            ("text file", ["dump", os.path.join(merge, "notes.txt")], "not an Excel workbook"),
            ("no such sheet", ["dump", "--sheet", "9", path], "no worksheet 9"),
            ("encrypted", ["dump", os.path.join(args.corpus, "poi", "password.xls")], "Password required"),
            ("wrong password", ["dump", "--password", "nope", os.path.join(args.corpus, "poi", "password.xls")],
             "Invalid password"),
            ("unknown command", ["frobnicate"], "unknown command"),
            ("merge without -o", ["merge", merge], "needs -o")):
        res = run(cli, *argv)
        if res.returncode == 0 or needle not in res.stderr.decode("utf-8") or res.stdout:
            fail("%s: status %d, stderr %r" % (label, res.returncode, res.stderr))
        print("ok: %s fails with %r" % (label, needle))

    # Ctrl-C during a merge of many files: exit 130, the output holds whole files only.
    with tempfile.TemporaryDirectory() as work:
        out_path = os.path.join(work, "out.xls")
        files = [os.path.join(merge, "wide.xls")] * 3000
        proc = subprocess.Popen([cli, "merge", "-o", out_path] + files, stderr=subprocess.PIPE)
        # Through a pipe the first line is the remark on the first file (its rows stop early).
        first_line = proc.stderr.readline().decode("utf-8")
        if not first_line.startswith(files[0] + ": "):
            fail("first line: %r" % first_line)
        proc.send_signal(signal.SIGINT)
        rest = proc.stderr.read().decode("utf-8")
        status = proc.wait(timeout=120)
        stopped = re.search(r"stopped by signal 2: (\d+) of %d files merged\n" % len(files), rest)
        if status != 130 or not stopped or "plicato-cli: merged " not in rest:
            fail("after Ctrl-C: status %d, stderr ends %r" % (status, rest[-200:]))
        merged = int(stopped.group(1))
        rows = xlrd.open_workbook(out_path).sheet_by_index(0).nrows
        per_file = 4
        if merged >= len(files) or rows != merged * per_file:
            fail("after Ctrl-C: %d files merged, %d rows written" % (merged, rows))
        print("ok: Ctrl-C stopped after %d of %d files; %d rows written" % (merged, len(files), rows))
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())

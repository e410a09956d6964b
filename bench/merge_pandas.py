#!/usr/bin/python3
"""The Python peer of the merge of many CSV files into one CSV: pandas reading every file with read_csv
(its C parser; numbers typed, texts kept), concat, and to_csv. Prints "CPU_SECONDS WALL_SECONDS PEAK_MB
ROWS".

usage: merge_pandas.py ENCODING OUT.csv IN.csv...
       merge_pandas.py --make-inputs FOLDER ENCODING FILES ROWS
           writes FILES inputs of ROWS rows x 20 columns: row names, amounts, Chinese texts, ISO dates
           and whole numbers, without a header row, in ENCODING (utf-8 or gb18030)
"""

import os
import resource
import sys
import time

import pandas


def make_inputs(folder, encoding, files, rows):
    os.makedirs(folder, exist_ok=True)
    for n in range(files):
        lines = []
        for r in range(rows):
            row = []
            for c in range(20):
                if c == 0:
                    row.append("row %d" % r)
                elif c % 4 == 1:
                    row.append("%.2f" % ((r * 31 + c * 7) % 100000 / 4.0))
                elif c % 4 == 2:
                    row.append("名字%d" % ((r * 7 + c) % 50))
                elif c % 4 == 3:
                    row.append("2024-%02d-%02d" % (1 + r % 12, 1 + r % 28))
                else:
                    row.append(str((r * 13 + c) % 100000))
            lines.append(",".join(row))
        with open(os.path.join(folder, "in%03d.csv" % n), "w", encoding=encoding, newline="") as out:
            out.write("\r\n".join(lines) + "\r\n")


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--make-inputs":
        make_inputs(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
        return
    if len(sys.argv) < 4:
        print(__doc__)
        sys.exit(2)
    encoding, out, inputs = sys.argv[1], sys.argv[2], sys.argv[3:]
    wall, cpu = time.perf_counter(), time.process_time()
    frames = [pandas.read_csv(path, header=None, encoding=encoding) for path in inputs]
    merged = pandas.concat(frames, ignore_index=True)
    merged.to_csv(out, header=False, index=False, encoding="utf-8-sig")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(time.process_time() - cpu, time.perf_counter() - wall, peak, len(merged))


if __name__ == "__main__":
    main()

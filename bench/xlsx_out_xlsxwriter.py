#!/usr/bin/python3
"""The peer of bench_xlsx_out: writes ROWS rows x 20 columns to one .xlsx with python3-xlsxwriter in its
constant_memory mode, the same cells in the same order (row below, as bench_xlsx_out's Row). Prints
"CPU_SECONDS WALL_SECONDS PEAK_MB".

usage: xlsx_out_xlsxwriter.py ROWS OUT.xlsx
"""

import resource
import sys
import time

import xlsxwriter


def main():
    rows, path = int(sys.argv[1]), sys.argv[2]
    wall, cpu = time.perf_counter(), time.process_time()
    book = xlsxwriter.Workbook(path, {"constant_memory": True})
    sheet = book.add_worksheet()
    date = book.add_format({"num_format": "yyyy-mm-dd"})
    amount = book.add_format({"num_format": "#,##0.00"})
    for i in range(rows):
        sheet.write_number(i, 0, i + 1)
        sheet.write_number(i, 1, 40000 + i % 3000, date)
        sheet.write_string(i, 2, "item %d" % (i % 500))
        sheet.write_string(i, 3, "order %d" % i)
        sheet.write_number(i, 4, (i % 100000) / 100.0, amount)
        sheet.write_number(i, 5, i % 97)
        sheet.write_boolean(i, 6, i % 2 == 0)
        sheet.write_number(i, 7, i * 1.0000001 / 3)
        for c in range(8, 20):
            if c % 2 == 0:
                sheet.write_number(i, c, (i * c) % 1000 + 0.25)
            else:
                sheet.write_string(i, c, "c%d-%d" % (c, i % 1000))
    book.close()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(time.process_time() - cpu, time.perf_counter() - wall, peak)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The Python peer of the merge of many .xlsx files into one .xlsx: the best way Python offers, openpyxl's
read-only mode reading every file's first worksheet row by row (values only, formula results as cached)
and xlsxwriter's constant_memory mode writing the rows one after another into one worksheet, typed: texts,
numbers, booleans, and dates (openpyxl gives a datetime for a number with a date format) with a date
format. Prints "CPU_SECONDS WALL_SECONDS PEAK_MB ROWS".

usage: merge_openpyxl_xlsxwriter.py OUT.xlsx IN.xlsx...
       merge_openpyxl_xlsxwriter.py --make-inputs FOLDER FILES ROWS
           writes FILES inputs of ROWS rows x 20 columns (as bench_xlsx_out's rows) with xlsxwriter
"""

import datetime
import os
import resource
import sys
import time

import openpyxl
import xlsxwriter


def make_inputs(folder, files, rows):
    os.makedirs(folder, exist_ok=True)
    for n in range(files):
        book = xlsxwriter.Workbook(os.path.join(folder, "in%03d.xlsx" % n), {"constant_memory": True})
        sheet = book.add_worksheet()
        date = book.add_format({"num_format": "yyyy-mm-dd"})
        amount = book.add_format({"num_format": "#,##0.00"})
        for r in range(rows):
            i = n * rows + r
            sheet.write_row(r, 0, [i + 1])
            sheet.write_number(r, 1, 40000 + i % 3000, date)
            sheet.write_row(r, 2, ["item %d" % (i % 500), "order %d" % i])
            sheet.write_number(r, 4, (i % 100000) / 100.0, amount)
            sheet.write_row(r, 5, [i % 97, i % 2 == 0, i * 1.0000001 / 3])
            sheet.write_row(r, 8, [(i * c) % 1000 + 0.25 if c % 2 == 0 else "c%d-%d" % (c, i % 1000)
                                   for c in range(8, 20)])
        book.close()


def merge(out, inputs):
    wall, cpu = time.perf_counter(), time.process_time()
    book = xlsxwriter.Workbook(out, {"constant_memory": True})
    sheet = book.add_worksheet()
    date = book.add_format({"num_format": "yyyy-mm-dd hh:mm:ss"})
    row = 0
    for path in inputs:
        source = openpyxl.load_workbook(path, read_only=True, data_only=True)
        for values in source.worksheets[0].iter_rows(values_only=True):
            for c, value in enumerate(values):
                if value is None or value == "":
                    continue
                if isinstance(value, datetime.datetime):
                    sheet.write_datetime(row, c, value, date)
                elif isinstance(value, bool):
                    sheet.write_boolean(row, c, value)
                elif isinstance(value, (int, float)):
                    sheet.write_number(row, c, value)
                else:
                    sheet.write_string(row, c, str(value))
            row += 1
        source.close()
    book.close()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(time.process_time() - cpu, time.perf_counter() - wall, peak, row)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--make-inputs":
        make_inputs(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif len(sys.argv) >= 3:
        merge(sys.argv[1], sys.argv[2:])
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())

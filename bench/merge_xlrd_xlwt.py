# The merge that bench_merge compares itself with, done the way a user would script it with xlrd and
# xlwt: each file's first sheet from the top down to its first row without non-empty text, 255 text
# cells per row (a number as its value rounded half to even, a text as it is, anything else empty),
# a new output file every 65,536 rows.
# Usage: python3 merge_xlrd_xlwt.py OUT.xls FILE_LIST
import sys

import xlrd
import xlwt

COLUMNS = 255
MAX_ROWS = 65536


def cell_text(sheet, row, column):
    if column >= sheet.ncols:
        return ""
    cell = sheet.cell(row, column)
    if cell.ctype == xlrd.XL_CELL_TEXT:
        return cell.value
    if cell.ctype == xlrd.XL_CELL_NUMBER:
        return str(int(round(cell.value)))
    return ""


def main():
    out_name, list_name = sys.argv[1], sys.argv[2]
    with open(list_name) as f:
        files = [line.rstrip("\n") for line in f if line.strip()]
    outputs = 0
    book = xlwt.Workbook(encoding="utf-8")
    sheet = book.add_sheet("Sheet1")
    out_row = 0

    def save():
        name = out_name if outputs == 0 else out_name.replace(".xls", "-%d.xls" % outputs)
        book.save(name)

    for name in files:
        source = xlrd.open_workbook(name).sheet_by_index(0)
        for row in range(source.nrows):
            texts = [cell_text(source, row, c) for c in range(COLUMNS)]
            for c, text in enumerate(texts):
                sheet.write(out_row, c, text)
            if not any(texts):
                break
            out_row += 1
            if out_row >= MAX_ROWS:
                save()
                outputs += 1
                book = xlwt.Workbook(encoding="utf-8")
                sheet = book.add_sheet("Sheet1")
                out_row = 0
    save()


if __name__ == "__main__":
    main()

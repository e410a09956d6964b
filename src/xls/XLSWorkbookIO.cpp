#include "xls/XLSWorkbookIO.h"

#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSReader.h"
#include "xls/XLSWriter.h"

namespace plicato {

namespace {

// The folder part of a file name, its last separator included; empty for a bare name.
std::u16string FolderOf(const std::u16string& name) {
  size_t at = name.find_last_of(u"/\\:");
  return at == std::u16string::npos ? std::u16string() : name.substr(0, at + 1);
}

// Returns whether a cell was left out (below rows).
bool Read(TXLSWorkbook& workbook, const std::vector<uint8_t>* source, uint32_t rows = UINT32_MAX) {
  workbook.ResetForRead();
  if (!source) workbook.FileFolder = FolderOf(workbook.Filename);
  bool leftOut = false;
  try {
    TXLSReader reader(workbook);
    reader.KeepRowsAbove(rows);
    reader.ReadWorkbook(source);
    leftOut = reader.RowsLeftOut();
  } catch (...) {
    // What was read stays; the workbook is made consistent (formats settled, one sheet at least).
    workbook.FinishRead();
    throw;
  }
  workbook.FinishRead();
  return leftOut;
}

void Write(TXLSWorkbook& workbook, std::vector<uint8_t>* destination, TCellRecords* firstSheetCells) {
  if (workbook.OnProgress) workbook.OnProgress(0);
  TSheets& sheets = workbook.Sheets();
  for (int i = 0; i < sheets.Count(); ++i) workbook.OptionsDialog().CopyToSheet(sheets.Item(i).Records());
  TXLSWriter writer(workbook);
  if (firstSheetCells) writer.SetCellRecords(0, firstSheetCells);
  writer.WriteWorkbook(destination);
  if (workbook.OnProgress) workbook.OnProgress(100);
}

}  // namespace

void ReadWorkbook(TXLSWorkbook& workbook) {
  Read(workbook, nullptr);
}

void ReadWorkbook(TXLSWorkbook& workbook, const std::vector<uint8_t>& source) {
  Read(workbook, &source);
}

bool ReadWorkbookTop(TXLSWorkbook& workbook, uint32_t rows) {
  return !Read(workbook, nullptr, rows);
}

void WriteWorkbook(TXLSWorkbook& workbook) {
  Write(workbook, nullptr, nullptr);
}

void WriteWorkbook(TXLSWorkbook& workbook, std::vector<uint8_t>& destination) {
  Write(workbook, &destination, nullptr);
}

void WriteWorkbook(TXLSWorkbook& workbook, TCellRecords& firstSheetCells) {
  Write(workbook, nullptr, &firstSheetCells);
}

}  // namespace plicato

// Reading and writing a whole workbook: the steps around the reader and the writer.
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSReader.h"
#include "xls/XLSWriter.h"

namespace plicato {

std::u16string FolderOf(const std::u16string& name);

namespace {

void ReadInto(TXLSWorkbook& workbook, const std::vector<uint8_t>* source) {
  TXLSReader reader(workbook);
  reader.ReadWorkbook(source);
}

}  // namespace

void TXLSWorkbook::Read() {
  Read(nullptr);
}

void TXLSWorkbook::Read(const std::vector<uint8_t>& source) {
  Read(&source);
}

void TXLSWorkbook::Read(const std::vector<uint8_t>* source) {
  ResetForRead();
  if (!source) FileFolder = FolderOf(Filename);
  try {
    ReadInto(*this, source);
  } catch (...) {
    // What was read stays; the workbook is made consistent (formats settled, one sheet at least).
    FinishRead();
    throw;
  }
  FinishRead();
}

void TXLSWorkbook::Write() {
  Write(nullptr);
}

void TXLSWorkbook::Write(std::vector<uint8_t>& destination) {
  Write(&destination);
}

void TXLSWorkbook::Write(std::vector<uint8_t>* destination) {
  if (OnProgress) OnProgress(0);
  for (int i = 0; i < sheets_->Count(); ++i) optionsDialog_->CopyToSheet(sheets_->Item(i).Records());
  TXLSWriter writer(*this);
  writer.WriteWorkbook(destination);
  if (OnProgress) OnProgress(100);
}

}  // namespace plicato

// Reading and writing a whole workbook: the workbook's Read and Write, which join the model to the
// reader and the writer of this layer. Each runs one reader or writer over the workbook and frees it.
#pragma once

#include <cstdint>
#include <vector>

namespace plicato {

class TXLSWorkbook;
class TCellRecords;

// Replaces the workbook's whole content with the file named by its Filename, or with an in-memory file
// image. A failure passes out unchanged; the workbook then holds what was read before it (formats
// settled), or one default worksheet when no worksheet had been read.
void ReadWorkbook(TXLSWorkbook& workbook);
void ReadWorkbook(TXLSWorkbook& workbook, const std::vector<uint8_t>& source);
// Reads it as ReadWorkbook does but keeps the cells of the top rows (0 to rows - 1) of each sheet only,
// whatever order the file stores them in: a cheap look at the top of a large file. Returns whether the
// workbook is whole (no sheet had a cell further down).
bool ReadWorkbookTop(TXLSWorkbook& workbook, uint32_t rows);

// Writes the whole workbook to the file named by its Filename, or into memory. A partly written file is
// the writer's concern.
void WriteWorkbook(TXLSWorkbook& workbook);
void WriteWorkbook(TXLSWorkbook& workbook, std::vector<uint8_t>& destination);
// Writes it to its file with the first worksheet's cells given as records (see TCellRecords).
void WriteWorkbook(TXLSWorkbook& workbook, TCellRecords& firstSheetCells);

}  // namespace plicato

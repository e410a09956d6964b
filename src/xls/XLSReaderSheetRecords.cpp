// The reader's handlers of a worksheet's own records, other than its cells: dimensions, options and
// window, custom views, columns, the tab colour, headers and footers, margins, page breaks, selection,
// protection.
#include "xls/XLSReader.h"

#include <utility>

#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Settings.h"
#include "workbook/Columns.h"
#include "workbook/SheetData.h"

namespace plicato {

namespace rec = BIFFRecs;

// ---------------------------------------------------------------------------------------------------
// Sheet settings

bool TXLSReader::OnDimensions(TByteReader& r) {
  if (version_ < xvExcel50 || !InSheet()) return false;
  if (header_.id == rec::DIMENSIONS_2 && (version_ == xvExcel50 || signatureFile_)) return false;
  const size_t length = r.Size();
  if (length >= 14) {
    Store(rec::DIMENSIONS, r.Current(), header_.length);
  } else if (length >= 8) {
    // Rows of 16 bits (BIFF5): widened to the BIFF8 layout. The writer recomputes the values anyway.
    uint8_t wide[14] = {};
    EncodeFixed32(wide, r.GetU16());
    EncodeFixed32(wide + 4, r.GetU16());
    EncodeFixed16(wide + 8, r.GetU16());
    EncodeFixed16(wide + 10, r.GetU16());
    if (length >= 10) EncodeFixed16(wide + 12, r.GetU16());
    Store(rec::DIMENSIONS, wide, sizeof wide);
  }
  return false;
}

bool TXLSReader::OnWsBool() {
  if (version_ < xvExcel50 || !InSheet()) return true;
  return StoreAlways();
}

bool TXLSReader::OnWindow2(TByteReader& r) {
  if (version_ < xvExcel50) return false;
  if (r.Size() >= kWindow2Size) return StoreAlways();
  uint8_t full[kWindow2Size] = {};
  r.GetBytes(full, r.Size());
  Store(header_.id, full, kWindow2Size);
  return false;
}

bool TXLSReader::OnUsersViewBegin() {
  inCustomView_ = true;
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Rows and columns

bool TXLSReader::OnColInfo(TByteReader& r) {
  if (version_ < xvExcel50 || !InSheet()) return true;
  Placeholder(rec::PH_COLINFO);
  EnsureFormats();
  sheet_->Columns().ReadColInfo(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

bool TXLSReader::OnSheetExt(TByteReader& r) {
  if (InSheet() && r.Size() >= 17) {
    r.Skip(16);
    sheet_->TabColor = r.GetU8() & 0x7F;
  }
  return true;  // also kept raw: the writer has no record of its own for it
}

// ---------------------------------------------------------------------------------------------------
// Sheet records

bool TXLSReader::OnHeaderFooter(TByteReader& r) {
  if (version_ < xvExcel50) {
    return false;
  }
  if (!InSheet()) return true;  // kept raw
  Placeholder(rec::PH_HEADERFOOTER);
  std::u16string text;
  const uint32_t length = header_.length;
  if (length > 0) {
    if (version_ >= xvExcel97) {
      text = GetBiffStringBody(r, r.GetU16());
    } else {
      const size_t count = r.GetU8();
      r.Require(count);
      text = CodePageText(r.Current(), count);
    }
  }
  TPrintSettings& settings = sheet_->PrintSettings();
  if (header_.id == rec::HEADER)
    settings.SetHeader(std::move(text));
  else
    settings.SetFooter(std::move(text));
  return false;
}

bool TXLSReader::OnMargin(TByteReader& r) {
  if (version_ < xvExcel50) {
    return false;
  }
  if (!InSheet()) return true;
  if (r.Size() < 8) Short(8);
  Placeholder(rec::PH_MARGINS);
  const double inches = r.GetDouble();
  TPrintSettings& settings = sheet_->PrintSettings();
  switch (header_.id) {
    case rec::LEFTMARGIN:
      settings.SetMarginLeft(inches);
      break;
    case rec::RIGHTMARGIN:
      settings.SetMarginRight(inches);
      break;
    case rec::TOPMARGIN:
      settings.SetMarginTop(inches);
      break;
    default:
      settings.SetMarginBottom(inches);
      break;
  }
  return false;
}

bool TXLSReader::OnPageBreaks(TByteReader& r) {
  if (!InSheet()) return true;
  Placeholder(rec::PH_PAGEBREAKS);
  const bool horizontal = header_.id == rec::HORIZONTALPAGEBREAKS;
  TPrintSettings& settings = sheet_->PrintSettings();
  TPageBreaks& breaks = horizontal ? settings.HorizPagebreaks() : settings.VertPagebreaks();
  const size_t count = r.GetU16();
  if (version_ >= xvExcel97) {
    // Each: the row (column) after the break, and the first and last column (row) it spans.
    r.Require(6 * count);
    for (size_t i = 0; i < count; ++i) {
      TPageBreak pageBreak;
      pageBreak.position = r.GetU16();
      pageBreak.start = r.GetU16();
      pageBreak.end = r.GetU16();
      breaks.push_back(pageBreak);
    }
  } else {
    // Only the position: the break spans the whole sheet.
    r.Require(2 * count);
    for (size_t i = 0; i < count; ++i) {
      TPageBreak pageBreak;
      pageBreak.position = r.GetU16();
      pageBreak.start = 0;
      pageBreak.end = horizontal ? 0xFF : 0xFFFF;
      breaks.push_back(pageBreak);
    }
  }
  return false;
}

bool TXLSReader::OnSelection(TByteReader& r) {
  if (version_ < xvExcel50) {
    return false;
  }
  // Only the first selection is the sheet's: with split panes each pane has its own, kept raw after it.
  if (!InSheet() || selectionStored_) return true;
  selectionStored_ = true;
  Store(rec::SELECTION, r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

bool TXLSReader::OnFeatHdr(TByteReader& r) {
  // The shared-feature header: frtHeader (12 bytes), the feature type, a reserved byte, the header data
  // size, then for sheet protection the flags of what stays allowed.
  if (!InSheet() || r.Size() < kSheetProtectionSize) return true;
  r.Skip(12);
  if (r.GetU16() != kFeatureProtection) return true;
  // The writer takes every protection option other than "everything allowed" for a protected sheet,
  // so the options of a sheet that is not protected are kept raw rather than taken.
  if (sheet_->Records().Protect() != 1) return true;
  protectionRead_ = true;
  r.Skip(5);
  sheet_->Protection = r.GetU16() & kAllProtectionFlags;
  return false;
}

}  // namespace plicato

// The reader's handlers of the workbook globals: code page, country, workbook window and options, file
// sharing, fonts, cell formats, number formats, styles and colours, the sheet list, the author,
// encryption, external cell tables, the shared strings.
#include "xls/XLSReader.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "biff/BIFFString.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/ColorTable.h"
#include "workbook/NumberFormatText.h"
#include "workbook/NumberFormats.h"
#include "workbook/SST.h"
#include "workbook/XLSFonts.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace rec = BIFFRecs;

namespace {
// Excel encrypts read-only-recommended workbooks with this password and opens them without asking.
constexpr char16_t kDefaultPassword[] = u"VelvetSweatshop";

// Use count of a number format an XF names without a FORMAT record: far enough below 0 that the uses
// counted for it never make it a format to write.
constexpr int32_t kUndefinedFormatUses = -(1 << 30);

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Workbook settings

bool TXLSReader::OnCodePage(TByteReader& r) {
  if (r.Size() >= 2) workbook_.CodePage = r.GetU16();
  return StoreFromBiff5();
}

bool TXLSReader::OnCountry() {
  if (version_ >= xvExcel97 && !signatureFile_) Store(header_.id, body_, header_.length);
  return false;
}

bool TXLSReader::OnWindow1() {
  // The first is the workbook window; further windows on the same workbook stay raw.
  if (version_ < xvExcel50) return false;
  if (!InGlobals() || window1Stored_) return true;
  window1Stored_ = true;
  return StoreAlways();
}

bool TXLSReader::OnBookBool() {
  StoreAlways();
  FormatsPlaceholder();
  return false;
}

bool TXLSReader::OnFileSharing(TByteReader& r) {
  workbook_.FileSharing().Assign(r.Current(), static_cast<uint16_t>(r.Size()));
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Fonts, formats, colours

bool TXLSReader::OnFont(TByteReader& r) {
  FormatsPlaceholder();
  TXFonts& fonts = workbook_.Fonts();
  if (version_ >= xvExcel97) {
    fonts.ReadFontRecord(r.Current(), static_cast<uint32_t>(r.Size()));
  } else {
    // A file that declares no code page writes its text in that of its fonts' script: the first font
    // naming one (BIFF5: character set at offset 12) decides, before its own name is decoded and before
    // the number formats and sheets that follow the fonts.
    if (workbook_.CodePage == kUndeclaredCodePage && version_ == xvExcel50 && r.Size() > 12)
      workbook_.CodePage = CodePageOfFontCharset(r.Current()[12]);
    fonts.ReadFontRecordOld(
        r.Current(), static_cast<uint32_t>(r.Size()), version_,
        [this](const uint8_t* chars, size_t count) { return CodePageText(chars, count); });
  }
  return false;
}

bool TXLSReader::OnXF(TByteReader& r) {
  FormatsPlaceholder();
  TCellFormats& formats = workbook_.CellFormats();
  if (!formats.NumberFormats().Sorted()) formats.NumberFormats().SortNumberFormats();
  if (version_ < xvExcel50) {
    // BIFF3-4: only the number format is taken (its place, byte 1), so that dates and percentages stay
    // what they are; the rest keeps the defaults.
    TCellFormat* added = formats.AddOldVersionXF();
    if (r.Size() > 1) SetOldNumberFormat(*added, r.Current()[1]);
    return false;
  }
  // An XF may name a number format the file never defines: one of the locale's own built-in formats
  // (ids 50-58 of East Asian versions), or damage. The id is kept, under an empty text, rather than
  // making the whole file unreadable; its use count stays negative (a built-in nobody asked for), so
  // that no FORMAT record is written for it either and the id means what it meant.
  if (r.Size() >= 4) {
    TNumberFormats& numberFormats = formats.NumberFormats();
    r.Skip(2);
    const uint16_t format = r.GetU16();
    if (format >= kBuiltInNumberFormats && !numberFormats.FindNumberFormatById(format)) {
      numberFormats.AddNumberFormatWithId(u"", format, kUndefinedFormatUses);
      numberFormats.SortNumberFormats();
    }
  }
  if (version_ >= xvExcel97)
    formats.ReadXFRecord(body_, header_.length);
  else
    formats.ReadXFRecordBiff5(body_, header_.length);
  return false;
}

void TXLSReader::SetOldNumberFormat(TCellFormat& format, size_t place) {
  // A place without a FORMAT record, and General itself, leave the format General.
  if (place >= oldFormats_.size() || IsGeneralFormat(oldFormats_[place])) return;
  format.SetNumberFormatText(oldFormats_[place]);
}

int TXLSReader::OldCellFormat(uint8_t attribute) {
  const size_t place = attribute & 0x3F;
  if (place == 0 || place >= oldFormats_.size()) return kDefaultCellFormatIndex;
  if (place >= oldCellFormats_.size()) oldCellFormats_.resize(place + 1, 0);
  int& index = oldCellFormats_[place];
  if (index == 0) {
    TCellFormat* added = workbook_.CellFormats().AddOldVersionXF();
    SetOldNumberFormat(*added, place);
    index = added->Index() + 1;
  }
  return index - 1;
}

bool TXLSReader::OnPalette(TByteReader& r) {
  // The writer writes the palette from the colour table at the formats' place; a raw copy as well would
  // give the file two palettes.
  FormatsPlaceholder();
  workbook_.Colors().ReadPaletteRecord(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Workbook records

bool TXLSReader::OnBoundSheet(TByteReader& r) {
  if (!InGlobals() || version_ < xvExcel50) return false;
  Placeholder(rec::PH_BOUNDSHEETS);
  r.Skip(4);  // stream position of the sheet's BOF: the sheets are read in file order instead
  TBoundSheet entry;
  // The visibility is the low byte of the options in BIFF5 as in BIFF8 (the high byte is the type).
  entry.visibility = r.GetU8() & 0x03;
  r.Skip(1);
  const size_t count = r.GetU8();
  size_t bytes = count;
  if (version_ >= xvExcel97) {
    entry.biff8 = true;
    entry.wide = (r.GetU8() & 0x01) != 0;
    if (entry.wide) bytes = 2 * count;
  }
  r.Require(bytes);
  entry.name.assign(r.Current(), r.Current() + bytes);
  boundSheets_.push_back(std::move(entry));
  return false;
}

bool TXLSReader::OnWriteAccess(TByteReader& r) {
  if (!InGlobals()) return true;  // kept raw
  std::vector<uint8_t> body;
  if (version_ >= xvExcel97) {
    body.assign(r.Current(), r.Current() + r.Size());
  } else if (r.Size() > 0) {
    // 8-bit count, characters: the BIFF8 string header (16-bit count, flag 0) in front of them.
    body = {r.GetU8(), 0, 0};
    body.insert(body.end(), r.Current(), r.Current() + r.Remaining());
  }
  if (body.size() < 3) body.assign(3, 0);  // no name
  if (body.size() < kWriteAccessSize) body.resize(kWriteAccessSize, 0x20);
  Store(rec::WRITEACCESS, body.data(), static_cast<uint32_t>(body.size()));
  return false;
}

void TXLSReader::FixOldWriteAccess() {
  // An older file's user name is 8-bit text in its code page, known only once CODEPAGE was read (it
  // comes after WRITEACCESS): written back as the characters it stands for.
  if (version_ >= xvExcel97) return;
  TRecordStorageGlobals& globals = workbook_.Globals();
  if (globals.Defaults().IndexOf(rec::WRITEACCESS) >= 0) return;  // the file had none
  TStoredRecord* record = globals.Current(rec::WRITEACCESS);
  if (!record || record->Length() < 3 || record->Data()[2] != 0) return;
  TByteReader stored(record->Data(), record->Length());
  const size_t count = std::min<size_t>(stored.GetU16(), record->Length() - 3);
  stored.Skip(1);  // the flag, 0: checked above
  const std::u16string name = CodePageText(stored.Current(), count);
  const bool wide = std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 0xFF; });
  const size_t fit = wide ? (kWriteAccessSize - 3) / 2 : kWriteAccessSize - 3;
  const size_t n = std::min(name.size(), fit);
  std::vector<uint8_t> body;
  PutFixed16(body, static_cast<uint16_t>(n));
  PutFixed8(body, wide ? 1 : 0);  // the width of the whole name, even when its wide part is cut off
  PutBiffChars(body, std::u16string_view(name).substr(0, n), wide);
  body.resize(std::max<size_t>(kWriteAccessSize, record->Length()), 0x20);
  record->Assign(static_cast<uint16_t>(body.size()), body.data());
}

bool TXLSReader::OnFilePass(TByteReader& r) {
  if (stream_.Decrypting()) return false;
  // The stream knows the layouts of the encryption headers: it is handed the whole body.
  const uint8_t* b = r.Current();
  const auto length = static_cast<uint32_t>(r.Remaining());
  // XOR obfuscation and RC4, with standard or CryptoAPI keys, are read (the stream knows their layouts).
  const bool biff8 = version_ >= xvExcel97;
  if (!TXLSStream::CanDecrypt(b, length, biff8))
    throw EXLSError("Can not read file, unknown type of encryption.", ekUnsupported);
  // Read-only-recommended workbooks are encrypted with Excel's built-in password: they open without asking.
  if (stream_.CheckPassword(b, length, kDefaultPassword, biff8)) return false;

  std::u16string password = workbook_.Password;
  const bool asked = static_cast<bool>(workbook_.OnPassword);
  if (asked && !workbook_.OnPassword(password)) {
    workbook_.Aborted = true;
    return false;
  }
  if (workbook_.Aborted) return false;
  if (!password.empty() && stream_.CheckPassword(b, length, password, biff8)) return false;
  if (!password.empty()) throw EXLSError("Invalid password", ekWrongPassword);
  if (!asked) throw EXLSError("File is encrypted. Password required.", ekEncrypted);
  throw EXLSError("Password is missing.", ekEncrypted);
  return false;
}

bool TXLSReader::OnXct(TByteReader& r) {
  // The CRN records that the XCT announces follow it; they are read here so that none of them is
  // mistaken for anything else, and kept raw with it.
  if (r.Size() < 2) Short(2);
  uint32_t count = r.GetU16();
  if (count >= 0xF000) count = 0x10000 - count;
  KeepRaw();
  for (uint32_t i = 0; i < count; ++i) {
    if (stream_.PeekId() != rec::CRN) throw EXLSError("CRN record missing");
    ReadNextRecord();
    storage_->AddRecord(auxHeader_.id, auxHeader_.length, auxBody_);
  }
  return false;
}

bool TXLSReader::OnSST() {
  if (!InGlobals() || nested_ > 0) return false;  // its body was read: a stray SST is dropped
  Placeholder(rec::PH_SST);
  const uint64_t end = stream_.Position() + header_.length;
  workbook_.SST().ReadSST(stream_, header_.length);
  // Go on after the last record the table read from, whatever of it the table left unread.
  const uint64_t reached = stream_.Position();
  uint64_t next = end;
  while (next < reached) {
    stream_.Seek(static_cast<int64_t>(next), TSeekOrigin::soBeginning);
    TRecordHeader continued;
    if (stream_.ReadHeader(continued) < kRecordHeaderSize) break;
    next += kRecordHeaderSize + continued.length;
  }
  stream_.Seek(static_cast<int64_t>(std::max(next, reached)), TSeekOrigin::soBeginning);
  // CONTINUE records the table did not need still belong to the SST.
  while (stream_.PeekId() == rec::CONTINUE) {
    TRecordHeader continued;
    stream_.ReadHeader(continued);
    stream_.Seek(continued.length, TSeekOrigin::soCurrent);
  }
  return false;
}

bool TXLSReader::OnFormat(TByteReader& r) {
  FormatsPlaceholder();
  const uint8_t* b = r.Current();
  const auto length = static_cast<uint32_t>(r.Size());
  TNumberFormats& formats = workbook_.NumberFormats();
  // Some writers count one character more than they store: the text is cut to what the record holds
  // (a number format's text is not worth refusing the file for).
  std::vector<uint8_t> repaired;
  if (version_ >= xvExcel97) {
    if (length >= 5) {
      r.Skip(2);  // the format's id
      const uint16_t count = r.GetU16();
      const size_t width = (r.GetU8() & 0x01) ? 2 : 1;
      const size_t held = r.Remaining() / width;
      if (count > held) {
        repaired.assign(b, b + 5 + held * width);
        EncodeFixed16(repaired.data() + 2, static_cast<uint16_t>(held));
      }
    }
    if (!repaired.empty())
      formats.ReadFormatRecord(repaired.data(), static_cast<uint32_t>(repaired.size()));
    else
      formats.ReadFormatRecord(b, length);
    return false;
  }
  if (version_ < xvExcel50) {
    // BIFF4: two unused bytes before the text; BIFF2-3: the text alone. The place is the id.
    if (header_.id == rec::FORMAT) r.Skip(2);
    const size_t count = std::min<size_t>(r.GetU8(), r.Remaining());
    oldFormats_.push_back(CodePageText(r.Current(), count));
    return false;
  }
  if (length >= 3) {
    r.Skip(2);  // the format's id
    if (r.GetU8() > r.Remaining()) {
      repaired.assign(b, b + length);
      repaired[2] = static_cast<uint8_t>(length - 3);
    }
  }
  const auto decoder = [this](const uint8_t* chars, size_t count) { return CodePageText(chars, count); };
  if (!repaired.empty())
    formats.ReadFormatRecordBiff5(repaired.data(), static_cast<uint32_t>(repaired.size()), decoder);
  else
    formats.ReadFormatRecordBiff5(b, length, decoder);
  return false;
}

bool TXLSReader::OnStyle(TByteReader& r) {
  // BIFF2-4 XF records are not converted, so their styles would name the wrong formats.
  if (version_ < xvExcel50 || !InGlobals()) return false;
  FormatsPlaceholder();
  const uint8_t* b = r.Current();
  const auto length = static_cast<uint32_t>(r.Size());
  TStyles& styles = workbook_.Styles();
  if (version_ >= xvExcel97) {
    styles.Add(b, static_cast<uint16_t>(length));
    return false;
  }
  if (length < 2) Short(2);
  const uint16_t xf = r.GetU16();
  if (xf & 0x8000) {  // built-in style: XF, style number, outline level
    if (length < 4) Short(4);
    styles.Add(b, 4);
    return false;
  }
  // A user-defined style's name: BIFF5 8-bit text becomes a BIFF8 string.
  if (length < 3) Short(3);
  const size_t count = r.GetU8();
  if (length < 3 + count) Short(static_cast<uint32_t>(3 + count));
  std::vector<uint8_t> body;
  PutFixed16(body, xf);
  PutBiffString(body, CodePageText(r.Current(), count), /*shortCount=*/false, /*allowNarrow=*/true);
  styles.Add(body.data(), static_cast<uint16_t>(body.size()));
  return false;
}
}  // namespace plicato

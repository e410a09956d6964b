// The SST record and its CONTINUE records: the file's strings read into the table, and the table written
// back with its EXTSST index. A string's text may run on from one record into the next, each
// continuation starting with an option byte that gives the width of the characters after it.
#include "workbook/SST.h"

#include <algorithm>
#include <cstring>

#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"
#include "workbook/XLSFonts.h"

namespace plicato {

namespace {

// The largest string header (count, flags, run count, extension size) is 9 bytes; a record with this
// many bytes left or fewer takes no new string, so a header is never split between records.
constexpr int32_t kMinBytesForString = 15;

bool KnownFlags(uint8_t flags) {
  return (flags & ~kStrFlagsKnown) == 0;
}

// Reading side of the SST: counts the bytes left in the current record and refuses to run past either
// the record (without a CONTINUE record) or the stream.
class TSSTInput {
 public:
  TSSTInput(TXLSStream& stream, uint32_t dataLength) : stream_(stream), left_(dataLength) {}

  uint32_t Left() const { return left_; }

  // At a string boundary with the current record used up: moves to the CONTINUE record holding the
  // next string, or returns false when the table ends here. Some writers declare more strings than
  // they write, and some close a record with an empty continuation (a CONTINUE holding only an option
  // byte); neither loses a string that is there, so the strings read are kept rather than refusing the
  // file. A stream that ends here is still cut short and fails in NextRecord.
  bool NextStringRecord() {
    while (left_ == 0) {
      if (StreamLeft() >= kRecordHeaderSize && stream_.PeekId() != BIFFRecs::CONTINUE) return false;
      NextRecord();
      if (left_ == 1) {  // too short for a string header: a stray option byte
        uint8_t stray;
        ReadHere(&stray, 1);
      }
    }
    return true;
  }

  // At the end of the current record: whether a CONTINUE record follows it.
  bool ContinueFollows() {
    return StreamLeft() >= kRecordHeaderSize && stream_.PeekId() == BIFFRecs::CONTINUE;
  }

  void NextRecord() {
    TRecordHeader header;
    if (stream_.ReadHeader(header) < kRecordHeaderSize) EndOfStream();
    if (header.id != BIFFRecs::CONTINUE) throw EXLSError("CONTINUE record is missing in SST");
    left_ = header.length;
  }

  // count bytes of the current record in place in the stream's buffer, or null, reading nothing, where
  // the stream hands out no such view (see TXLSStream::ViewBody); the caller keeps count within Left().
  const uint8_t* View(uint32_t count) {
    uint32_t got = 0;
    const uint8_t* at = stream_.ViewBody(count, got);
    if (!at) return nullptr;
    if (got != count) EndOfStream();
    left_ -= count;
    return at;
  }

  // count bytes of the current record; the caller keeps count within Left().
  void ReadHere(uint8_t* buffer, uint32_t count) {
    if (count == 0) return;
    if (stream_.ReadBody(buffer, count) != count) EndOfStream();
    left_ -= count;
  }

  // count bytes that may run on into CONTINUE records carrying no option byte (runs, extension data;
  // also a string header, which well-formed files never split).
  void ReadAcross(uint8_t* buffer, size_t count) {
    while (count > 0) {
      if (left_ == 0) NextRecord();
      const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(count, left_));
      ReadHere(buffer, piece);
      buffer += piece;
      count -= piece;
    }
  }
  uint8_t U8() {
    if (left_ >= 1)
      if (const uint8_t* at = View(1)) return *at;
    uint8_t b;
    ReadAcross(&b, 1);
    return b;
  }
  uint16_t U16() {
    if (left_ >= 2)
      if (const uint8_t* at = View(2)) return DecodeFixed16(at);
    uint8_t b[2];
    ReadAcross(b, 2);
    return DecodeFixed16(b);
  }
  uint32_t U32() {
    uint8_t b[4];
    ReadAcross(b, 4);
    return DecodeFixed32(b);
  }

  // Bytes between the position and the end of the workbook stream: an upper bound for anything a
  // string may still declare.
  uint64_t StreamLeft() const {
    const uint64_t size = stream_.StreamSize(), pos = stream_.Position();
    return pos < size ? size - pos : 0;
  }

 private:
  [[noreturn]] static void EndOfStream() { throw EXLSError("Unexpected end of stream in SST"); }

  TXLSStream& stream_;
  uint32_t left_;
};

[[noreturn]] void TooMuchStringData(uint32_t index, uint32_t runCount, uint32_t extSize) {
  throw EXLSError(
      FormatMessage("SST: string %u declares %u formatting runs and %u bytes of extension data, "
                    "more than the rest of the stream holds",
                    index, runCount, extSize));
}

// A string's text of charCount characters, starting `wide` or not, into text. Returns whether any
// segment held 16-bit characters.
bool ReadSegmentedText(TSSTInput& in, uint16_t charCount, bool wide, std::u16string& text,
                       std::vector<uint8_t>& segment) {
  // The text, in segments: each CONTINUE record it runs into starts with an option byte giving the
  // width of the characters that follow.
  text.clear();
  bool anyWide = wide;
  while (text.size() < charCount) {
    const size_t missing = charCount - text.size();
    const size_t wanted = wide ? 2 * missing : missing;
    uint32_t take = static_cast<uint32_t>(std::min<size_t>(wanted, in.Left()));
    // A record that ends one byte into a 16-bit character: some writers write the whole character
    // again in the CONTINUE record after it, so that byte is dropped (as LibreOffice does). Without a
    // CONTINUE record to go on in, the character is cut.
    const bool stray = wide && (take & 1);
    take -= stray ? 1 : 0;
    segment.resize(take);
    in.ReadHere(segment.data(), take);
    if (stray) {
      uint8_t dropped;
      in.ReadHere(&dropped, 1);
      if (!in.ContinueFollows()) throw EXLSError("SST: a 16-bit character is split between records");
    }
    if (wide) {
      for (uint32_t k = 0; k < take; k += 2)
        text.push_back(static_cast<char16_t>(DecodeFixed16(&segment[k])));
    } else {
      for (uint32_t k = 0; k < take; ++k) text.push_back(static_cast<char16_t>(segment[k]));
    }
    if (text.size() == charCount) break;
    do in.NextRecord();
    while (in.Left() == 0);
    uint8_t option;
    in.ReadHere(&option, 1);
    wide = (option & kStrFlag16Bit) != 0;
    anyWide = anyWide || wide;
  }
  return anyWide;
}

// A run naming a font past the last one is damage confined to that run's formatting: the run is
// dropped and the text kept (a string left without runs is a plain string). Moves the runs kept to the
// front of runs and returns their count.
uint16_t KeepKnownFontRuns(std::vector<uint8_t>& runs, uint16_t runCount, const TXFonts& fonts,
                           uint8_t& flags) {
  uint16_t kept = 0;
  for (size_t r = 0; r < runCount; ++r) {
    if (DecodeFixed16(&runs[4 * r + 2]) >= static_cast<uint32_t>(fonts.Count())) continue;
    std::memmove(&runs[4 * size_t{kept}], &runs[4 * r], 4);
    ++kept;
  }
  if (kept == 0) flags &= static_cast<uint8_t>(~kStrFlagRuns);
  return kept;
}

}  // namespace

// Writing side of the SST: assembles the SST record and then each CONTINUE record in memory, and
// appends a record to the stream when the next piece does not fit in it. Knows where in the stream
// each byte it takes will land, for EXTSST.
class TSSTOutput {
 public:
  TSSTOutput(TXLSStream& stream, uint32_t maxRecordData)
      : stream_(stream), max_(maxRecordData), recordStart_(stream.Position()) {
    body_.reserve(max_);
  }

  int32_t Left() const { return static_cast<int32_t>(max_ - body_.size()); }
  std::vector<uint8_t>& Body() { return body_; }
  // Stream position of the next byte, and its offset from the start of its record's header.
  uint64_t Position() const { return recordStart_ + kRecordHeaderSize + body_.size(); }
  uint16_t OffsetInRecord() const { return static_cast<uint16_t>(kRecordHeaderSize + body_.size()); }

  // Ends the current record and begins a CONTINUE record.
  void NextRecord() {
    Flush();
    id_ = BIFFRecs::CONTINUE;
  }
  void Finish() { Flush(); }

 private:
  void Flush() {
    stream_.AppendRecord(id_, body_);
    recordStart_ = stream_.Position();
    body_.clear();
  }

  TXLSStream& stream_;
  const uint32_t max_;
  uint64_t recordStart_;
  uint16_t id_ = BIFFRecs::SST;
  std::vector<uint8_t> body_;
};

// --- TExtSST --------------------------------------------------------------------------------------

void TExtSST::Write(TXLSStream& stream) const {
  std::vector<uint8_t> body;
  body.reserve(2 + 8 * Items.size());
  PutFixed16(body, static_cast<uint16_t>(StringsPerBucket));
  for (const TExtSSTItem& item : Items) {
    PutFixed32(body, item.StreamPos);
    PutFixed16(body, item.Offset);
    PutFixed16(body, 0);
  }
  stream.AppendRecord(BIFFRecs::EXTSST, body);
}

// --- TSST ---------------------------------------------------------------------------------------------

void TSST::ReadSST(TXLSStream& stream, uint32_t dataLength) {
  TSSTInput in(stream, dataLength);
  // The file's total is not taken over: the total counts the references cells hold, which reach the
  // entries in ClearFileIndex (a damaged or foreign total would otherwise be written back).
  in.U32();
  const uint32_t count = in.U32();

  // Reused for every string. The file index list grows as strings are really read: the declared count,
  // which damaged files may set to anything, only reserves room.
  std::u16string text;
  std::vector<uint8_t> segment;
  std::vector<uint8_t> runs;

  declaredCount_ = count;
  // As many as the rest of the stream can hold (three bytes at least each).
  fileIndex_.reserve(fileIndex_.size() + static_cast<size_t>(std::min<uint64_t>(count, in.StreamLeft() / 3)));
  for (uint32_t i = 0; i < count; ++i) {
    if (in.Left() == 0 && !in.NextStringRecord()) break;
    const uint16_t charCount = in.U16();
    uint8_t flags = in.U8();
    if (!KnownFlags(flags))
      throw EXLSError(FormatMessage("STT: Unhandled string type in Read (%.2X)", flags));
    const uint16_t runCount = (flags & kStrFlagRuns) ? in.U16() : 0;
    const uint32_t extSize = (flags & kStrFlagExtension) ? in.U32() : 0;

    // Most strings have no runs and their text within one record: read straight into their entry.
    const size_t textSize = size_t{charCount} << (flags & kStrFlag16Bit);
    if (!(flags & kStrFlagRuns) && textSize <= in.Left() && textSize <= in.StreamLeft()) {
      if (extSize > in.StreamLeft() - textSize) TooMuchStringData(i, 0, extSize);
      TEntryPtr entry = NewEntry(charCount, flags, 0, extSize);
      uint8_t* key = entry->MutableKey();
      if (const uint8_t* chars = textSize > 0 ? in.View(static_cast<uint32_t>(textSize)) : nullptr)
        std::memcpy(key, chars, textSize);
      else
        in.ReadHere(key, static_cast<uint32_t>(textSize));
      in.ReadAcross(key + textSize, extSize);
      AddFileString(std::move(entry), i);
      continue;
    }

    const bool anyWide = ReadSegmentedText(in, charCount, (flags & kStrFlag16Bit) != 0, text, segment);
    if (anyWide) flags |= kStrFlag16Bit;

    // Runs and extension data are sized by the file; refuse sizes the rest of the stream cannot hold
    // before allocating for them.
    if (4 * uint64_t{runCount} + extSize > in.StreamLeft()) TooMuchStringData(i, runCount, extSize);

    runs.resize(4 * size_t{runCount});
    in.ReadAcross(runs.data(), runs.size());
    const uint16_t kept = fonts_ ? KeepKnownFontRuns(runs, runCount, *fonts_, flags) : runCount;

    TEntryPtr entry = NewEntry(charCount, flags, kept, extSize);
    uint8_t* key = entry->MutableKey();
    if (anyWide) {
      for (size_t k = 0; k < charCount; ++k) EncodeFixed16(key + 2 * k, static_cast<uint16_t>(text[k]));
    } else {
      for (size_t k = 0; k < charCount; ++k) key[k] = static_cast<uint8_t>(text[k]);
    }
    const size_t textBytes = entry->TextByteLength();
    if (kept > 0) std::memcpy(key + textBytes, runs.data(), 4 * size_t{kept});
    in.ReadAcross(key + textBytes + 4 * size_t{kept}, extSize);

    if (kept > 0 && fonts_) {
      TXFont** runFonts = entry->MutableFonts();
      for (size_t r = 0; r < kept; ++r) {
        TXFont* font = fonts_->Item(entry->RunFontIndex(r));
        runFonts[r] = font;
        ++font->UseCount;
      }
    }

    AddFileString(std::move(entry), i);
  }
}

void TSST::AddFileString(TEntryPtr entry, uint32_t index) {
  entry->Index = index;
  entry->RefCount = 0;
  fileIndex_.push_back({AddEntry(std::move(entry)), 0});
}

void TSST::WriteSST(TXLSStream& stream) {
  if (!fonts_) throw EXLSError("Can not write SST when FFonts = Nil");
  if (MaxRecordData <= static_cast<uint32_t>(kMinBytesForString) || MaxRecordData > kMaxRecordDataBiff8)
    throw EXLSError(FormatMessage("[int] SST record size %u is out of range", MaxRecordData));

  const size_t count = TrieCount();
  extSST_.Clear();
  extSST_.StringsPerBucket = std::max<uint32_t>(8, static_cast<uint32_t>(count / 1027) + 1);

  TSSTOutput out(stream, MaxRecordData);
  PutFixed32(out.Body(), static_cast<uint32_t>(totalRefCount_));
  PutFixed32(out.Body(), static_cast<uint32_t>(count));  // every entry is written once
  uint32_t written = 0;
  if (writeOrder_) {
    if (writeOrder_->size() != count)
      throw EXLSError("[int] The SST's write order does not hold every entry");
    for (TSSTEntry* entry : *writeOrder_) WriteEntry(out, entry, written++);
  } else {
    TrieTraverse([&](TSSTEntry* entry) { WriteEntry(out, entry, written++); });
  }
  out.Finish();

  extSST_.Write(stream);
  extSST_.Clear();
}

void TSST::WriteEntry(TSSTOutput& out, TSSTEntry* entry, uint32_t index) {
  if (out.Left() <= kMinBytesForString) out.NextRecord();
  if (index % extSST_.StringsPerBucket == 0)
    extSST_.Items.push_back({static_cast<uint32_t>(out.Position()), out.OffsetInRecord()});
  if (!KnownFlags(entry->Flags))
    throw EXLSError(FormatMessage("STT: Unhandled string type in Write (%.2X) # %d", entry->Flags,
                                  static_cast<int>(index)));
  entry->Index = index;

  std::vector<uint8_t>& body = out.Body();
  PutFixed16(body, entry->CharCount);
  PutFixed8(body, entry->Flags);
  if (entry->HasRuns()) PutFixed16(body, static_cast<uint16_t>(entry->RunCount()));
  if (entry->HasExtension()) PutFixed32(body, entry->ExtensionSize());

  // Text: a continuation starts with the option byte; a 16-bit character is never split.
  const bool wide = entry->Is16Bit();
  const uint8_t* bytes = entry->TextBytes();
  size_t rest = entry->TextByteLength();
  while (rest > static_cast<size_t>(out.Left())) {
    uint32_t fit = static_cast<uint32_t>(out.Left());
    if (wide && (fit & 1)) --fit;
    out.Body().insert(out.Body().end(), bytes, bytes + fit);
    bytes += fit;
    rest -= fit;
    out.NextRecord();
    PutFixed8(out.Body(), wide ? kStrFlag16Bit : 0);
  }
  out.Body().insert(out.Body().end(), bytes, bytes + rest);

  // Runs and extension data continue without an option byte.
  for (size_t r = 0; r < entry->RunCount(); ++r) {
    if (out.Left() < 4) out.NextRecord();
    const TXFont* font = entry->RunFont(r);
    PutFixed16(out.Body(), static_cast<uint16_t>(entry->RunFirstChar(r)));
    PutFixed16(out.Body(), font ? static_cast<uint16_t>(font->Index) : entry->RunFontIndex(r));
  }
  const uint8_t* ext = entry->ExtensionData();
  size_t extLeft = entry->ExtensionSize();
  while (extLeft > 0) {
    if (out.Left() == 0) out.NextRecord();
    const size_t piece = std::min<size_t>(extLeft, static_cast<size_t>(out.Left()));
    out.Body().insert(out.Body().end(), ext, ext + piece);
    ext += piece;
    extLeft -= piece;
  }
}

}  // namespace plicato

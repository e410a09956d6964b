// The workbook stream opened and closed, and written: records assembled in a buffer and handed on,
// encrypted when a password is set. Reading it lies beside, in XLSStreamReading.cpp.
#include "biff/XLSStream.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "biff/Coding.h"
#include "biff/XLSStreamInternal.h"

namespace plicato {

namespace fs = std::filesystem;

namespace {

constexpr char16_t kVbaStorageName[] = u"_VBA_PROJECT_CUR";

std::u16string AsciiLower(std::u16string_view name) {
  std::u16string lower(name);
  for (char16_t& c : lower)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  return lower;
}

bool IsWorkbookStreamName(std::u16string_view name) {
  const std::u16string lower = AsciiLower(name);
  return lower == u"book" || lower == u"workbook";
}

// Old-format worksheet files are read whole; like every Excel file they stay within 2 GB.
constexpr uint64_t kMaxPlainFileSize = uint64_t{1} << 31;
// What is kept of a file that is not recognised: enough for the reader to say what it is.
constexpr uint64_t kUnrecognisedHead = 4096;

}  // namespace

namespace {

// The write buffer: a whole number of sectors and of 1,024-byte encryption blocks; large enough that
// handing it on costs few system calls, small enough to stay in the processor's cache while it fills.
constexpr size_t kWriteBufferSize = size_t{256} << 10;

// Encrypts the workbook stream chunk by chunk as it is handed on: a walk over the records in stream
// order that keeps its place from one chunk to the next, a header cut by a chunk's end included.
//
// The first two records (BOF and FILEPASS) stay as they are. After them every record body is encrypted
// at its stream position except the bodies the format keeps in clear: every BOF, the records of
// IsClearRecord, and the first 4 bytes (the sheet's stream position) of BOUNDSHEET. Record headers stay
// in clear. The reader applies the same rule, so our own output always reads back; INTERFACEHDR, the
// record that Excel and our writer put right after FILEPASS, is among the clear records.
class TRecordCipher {
 public:
  void Encrypt(TRc4Key& key, uint8_t* data, size_t count, uint64_t streamPos) {
    const uint64_t end = streamPos + count;
    for (;;) {
      if (encrypt_) {
        const uint64_t from = std::max(streamPos, encryptFrom_);
        const uint64_t to = std::min(end, next_);
        if (from < to) key.Apply(data + (from - streamPos), to - from, from);
      }
      // The next header, perhaps begun at the end of the chunk before.
      while (headerHave_ < kRecordHeaderSize && next_ + headerHave_ < end) {
        header_[headerHave_] = data[next_ + headerHave_ - streamPos];
        ++headerHave_;
      }
      if (headerHave_ < kRecordHeaderSize) return;
      const uint16_t id = DecodeFixed16(header_);
      const uint16_t length = DecodeFixed16(header_ + 2);
      headerHave_ = 0;
      const uint64_t body = next_ + kRecordHeaderSize;
      next_ = body + length;
      encrypt_ = records_ >= 2 && length > 0 && !IsClearRecord(id);
      encryptFrom_ = body + (id == BIFFRecs::BOUNDSHEET ? 4 : 0);
      if (records_ < 2) ++records_;
    }
  }

 private:
  uint64_t next_ = 0;  // stream position of the next record header
  uint8_t header_[kRecordHeaderSize] = {};
  uint32_t headerHave_ = 0;  // bytes of that header seen so far
  bool encrypt_ = false;     // the current record's bytes from encryptFrom_ to next_ are encrypted
  uint64_t encryptFrom_ = 0;
  uint32_t records_ = 0;  // records begun, counted up to 2
};

}  // namespace

// Records are assembled in the buffer; when a record does not fit in what is left of it, the full
// buffer is handed on (encrypted first when a password is set) to the document writer, which lays the
// workbook stream down from the document's first sector on, or to the output itself for a plain
// record file. The buffer is handed on only when more room is needed, so the bytes last written stay
// in it for patching. Close hands on the rest and lets the document writer add everything else.
struct TXLSStream::TWriteState {
  std::unique_ptr<cfb::TOutput> output;
  std::unique_ptr<cfb::TDocumentWriter> document;  // null for a plain record file; uses output
  std::unique_ptr<uint8_t[]> buffer = std::make_unique_for_overwrite<uint8_t[]>(kWriteBufferSize);
  size_t used = 0;
  uint64_t handedOn = 0;  // stream bytes before the buffer's first
  bool encrypt = false;
  TRecordCipher cipher;
  std::exception_ptr failure;
};

TXLSStream::TXLSStream() = default;

// Never writes: a stream that was not closed on purpose was abandoned by a failure.
TXLSStream::~TXLSStream() {
  ResetState();
}

void TXLSStream::ResetState() {
  write_.reset();  // a write not finished is dropped here: its temporary file goes
  written_ = 0;
  mode_ = Mode::Closed;
  version_ = xvNone;
  data_ = std::vector<uint8_t>();
  pos_ = 0;
  streamSize_ = 0;
  document_.reset();
  continueMode_ = false;
  consumed_ = 0;
  decrypt_ = false;
  xor_ = false;
  key_.Clear();
  xorKey_.Clear();
  bodyLength_ = 0;
}

bool TXLSStream::IsOpen() const {
  return mode_ != Mode::Closed;
}

uint64_t TXLSStream::StreamSize() const {
  return mode_ == Mode::Writing ? written_ : streamSize_;
}

// ---------------------------------------------------------------------------------------------------
// Opening and closing

TExcelVersion TXLSStream::OpenRead(const fs::path& fileName) {
  Close();
  try {
    uint64_t size = 0;
    if (sourceMemory_) {
      const std::vector<uint8_t>& bytes = *sourceMemory_;
      size = bytes.size();
      if (cfb::TCompoundDocument::IsCompoundData(bytes)) {
        cfb::TCompoundDocument document =
            cfb::TCompoundDocument::OpenMemory(bytes, cfb::TCompoundDocument::TLoading::OnDemand);
        LoadCompound(document);
      } else {
        if (extras_) extras_->Clear();  // a plain file has no other parts
        LoadPlain(std::vector<uint8_t>(bytes));
      }
    } else {
      // The first sector tells what the file is before anything more is read; then only the streams
      // the workbook needs are read, sector by sector as the container locates them.
      auto file = std::make_shared<const cfb::TInputFile>(fileName);
      size = file->Size();
      uint8_t head[8] = {};
      const size_t got = file->ReadAt(0, head, sizeof head);
      if (cfb::TCompoundDocument::IsCompoundData(std::span<const uint8_t>(head, got))) {
        cfb::TCompoundDocument document =
            cfb::TCompoundDocument::OpenFile(std::move(file), cfb::TCompoundDocument::TLoading::OnDemand);
        LoadCompound(document);
      } else {
        if (extras_) extras_->Clear();
        const bool plainBof = got >= kRecordHeaderSize && BIFFRecs::IsBOF(DecodeFixed16(head));
        if (plainBof && size > kMaxPlainFileSize) {
          throw EFileError(
              FormatMessage(
                  "Cannot read file \"%s\": it has %llu bytes, more than an Excel file can hold (2 GB)",
                  fileName.string().c_str(), static_cast<unsigned long long>(size)),
              ekUnsupported);
        }
        std::vector<uint8_t> bytes(plainBof ? size : std::min(size, kUnrecognisedHead));
        bytes.resize(file->ReadAt(0, bytes.data(), bytes.size()));
        LoadPlain(std::move(bytes));
      }
    }
    mode_ = Mode::Reading;
    pos_ = 0;
    streamSize_ = version_ == xvNone ? size : data_.size();
    return version_;
  } catch (...) {
    ResetState();
    throw;
  }
}

void TXLSStream::LoadCompound(cfb::TCompoundDocument& document) {
  if (extras_) CarryExtras(document);

  cfb::TStreamElement* book = nullptr;
  cfb::TStreamElement* workbook = nullptr;
  for (const auto& element : document.Root().Elements()) {
    if (element->IsStream()) {
      const std::u16string lower = AsciiLower(element->Name());
      auto* stream = static_cast<cfb::TStreamElement*>(element.get());
      if (lower == u"book" && !book) book = stream;
      if (lower == u"workbook" && !workbook) workbook = stream;
    } else if (element->Name() == kVbaStorageName && preserveMacros_ && vbaProject_) {
      vbaProject_->Read(static_cast<const cfb::TStorage&>(*element));
    }
  }
  if (!book && !workbook) throw EXLSError("The file is not an Excel workbook", ekNotAWorkbook);
  // A file holding both streams is read as BIFF8.
  cfb::TStreamElement* chosen = workbook ? workbook : book;
  version_ = workbook ? xvExcel97 : xvExcel50;
  data_ = std::move(chosen->Data());
}

void TXLSStream::CarryExtras(const cfb::TCompoundDocument& source) {
  auto copy = std::make_unique<cfb::TCompoundDocument>();
  copy->Root().clsid = source.Root().clsid;
  copy->Root().stateBits = source.Root().stateBits;
  // Copied element by element so that the (possibly large) workbook stream is never duplicated. The
  // macro project goes along, whole, when macros are preserved and no project object takes it.
  for (const auto& element : source.Root().Elements()) {
    if (IsWorkbookStreamName(element->Name()) || (element->Name() == kVbaStorageName && !CarriesVba()))
      continue;
    // A damaged part is left behind: it must not cost the workbook that is readable.
    cfb::TStorage::CopyElement(*element, copy->Root(), true);
  }
  extras_->SetDocument(std::move(copy));
}

TExcelVersion TXLSStream::LoadPlain(std::vector<uint8_t> bytes) {
  data_ = std::move(bytes);
  version_ = xvNone;
  if (data_.size() >= kRecordHeaderSize) {
    const uint16_t id = DecodeFixed16(data_.data());
    if (BIFFRecs::HasBOFLowByte(id)) {
      if (id < 0x100)
        version_ = xvExcel21;
      else if (id >= 0x200 && id <= 0x2FF)
        version_ = xvExcel30;
      else if (id >= 0x400 && id <= 0x4FF)
        version_ = xvExcel40;
    }
    // Some exporters write a BIFF5 or BIFF8 workbook stream straight into the file, without the
    // compound document around it. Its first BOF's version field says which; it is read like the
    // stream of a compound document (with no other parts to carry). A version field whose high byte
    // is 0 (a short BOF of version 0 heads some exported worksheets) is BIFF5, as LibreOffice reads it.
    if (id == BIFFRecs::BOF && data_.size() >= kRecordHeaderSize + 2) {
      const uint16_t biff = DecodeFixed16(data_.data() + kRecordHeaderSize);
      if (biff == 0x0600)
        version_ = xvExcel97;
      else if (biff == 0x0500 || (biff & 0xFF00) == 0)
        version_ = xvExcel50;
    }
  }
  return version_;
}

void TXLSStream::OpenWrite(const fs::path& fileName, TExcelVersion version) {
  Close();
  if (fileName.empty() && !destMemory_) throw EXLSError("Filename is missing");
  try {
    mode_ = Mode::Writing;
    version_ = version;
    write_ = std::make_unique<TWriteState>();
    write_->output = destMemory_ ? cfb::TOutput::ToMemory(*destMemory_) : cfb::TOutput::ToFile(fileName);
    if (version >= xvExcel50) {
      document_ = std::make_unique<cfb::TCompoundDocument>();
      cfb::TCompoundDocument* extras = extras_ ? extras_->Document() : nullptr;
      if (extras) {
        document_->Root().clsid = extras->Root().clsid;
        for (const auto& element : extras->Root().Elements())
          if (element->Name() != kVbaStorageName || CarriesVba())
            cfb::TStorage::CopyElement(*element, document_->Root());
      }
      document_->Root().CreateStream(version == xvExcel50 ? u"Book" : u"Workbook");
      write_->document = std::make_unique<cfb::TDocumentWriter>(*write_->output);
    }
  } catch (...) {
    ResetState();
    throw;
  }
}

void TXLSStream::Close() {
  try {
    if (mode_ == Mode::Writing) FinishWriting();
  } catch (...) {
    ResetState();
    throw;
  }
  ResetState();
}

void TXLSStream::Abandon() {
  ResetState();
}

// ---------------------------------------------------------------------------------------------------
// Writing

void TXLSStream::RequireWriting() const {
  if (mode_ != Mode::Writing) throw EXLSError("[int] The workbook stream is not open for writing");
}

void TXLSStream::HandOn() {
  TWriteState& w = *write_;
  if (w.failure) std::rethrow_exception(w.failure);
  if (w.used == 0) return;
  if (w.encrypt) {
    try {
      w.cipher.Encrypt(key_, w.buffer.get(), w.used, w.handedOn);
    } catch (...) {
      w.failure = std::current_exception();
      throw;
    }
  }
  HandOnBytes(std::span<const uint8_t>(w.buffer.get(), w.used));
  w.used = 0;
}

void TXLSStream::HandOnBytes(std::span<const uint8_t> bytes) {
  TWriteState& w = *write_;
  try {
    if (w.document)
      w.document->AppendLeading(bytes);
    else
      w.output->Append(bytes);
  } catch (...) {
    w.failure = std::current_exception();
    throw;
  }
  w.handedOn += bytes.size();
}

void TXLSStream::AppendBytes(const uint8_t* bytes, size_t count) {
  TWriteState& w = *write_;
  // A buffer's worth or more of bytes in clear goes out from where it is, without a copy.
  if (count >= kWriteBufferSize && !w.encrypt) {
    HandOn();
    HandOnBytes(std::span<const uint8_t>(bytes, count));
    written_ += count;
    return;
  }
  while (count > 0) {
    if (w.used == kWriteBufferSize) HandOn();
    const size_t piece = std::min(count, kWriteBufferSize - w.used);
    std::memcpy(w.buffer.get() + w.used, bytes, piece);
    w.used += piece;
    written_ += piece;
    bytes += piece;
    count -= piece;
  }
}

void TXLSStream::AppendRecords(const uint8_t* records, size_t count) {
  RequireWriting();
  AppendBytes(records, count);
}

void TXLSStream::AppendRecord(uint16_t id, const std::vector<uint8_t>& body) {
  RequireWriting();
  TWriteState& w = *write_;
  if (body.size() <= kMaxRecordDataBiff8 && kRecordHeaderSize + body.size() <= kWriteBufferSize - w.used) {
    // The usual case, a record that fits in the buffer: assembled in place.
    uint8_t* out = w.buffer.get() + w.used;
    EncodeFixed16(out, id);
    EncodeFixed16(out + 2, static_cast<uint16_t>(body.size()));
    if (!body.empty()) std::memcpy(out + kRecordHeaderSize, body.data(), body.size());
    w.used += kRecordHeaderSize + body.size();
    written_ += kRecordHeaderSize + body.size();
    return;
  }
  const uint8_t* p = body.data();
  size_t left = body.size();
  uint16_t pieceId = id;
  do {
    const auto piece = static_cast<uint16_t>(std::min<size_t>(left, kMaxRecordDataBiff8));
    uint8_t header[kRecordHeaderSize];
    EncodeFixed16(header, pieceId);
    EncodeFixed16(header + 2, piece);
    AppendBytes(header, kRecordHeaderSize);
    AppendBytes(p, piece);
    p += piece;
    left -= piece;
    pieceId = BIFFRecs::CONTINUE;
  } while (left > 0);
}

void TXLSStream::WriteRecord(uint16_t id, const void* body, uint16_t length) {
  RequireWriting();
  uint8_t header[kRecordHeaderSize];
  EncodeFixed16(header, id);
  EncodeFixed16(header + 2, length);
  AppendBytes(header, kRecordHeaderSize);
  AppendBytes(static_cast<const uint8_t*>(body), length);
}

void TXLSStream::Patch(uint64_t position, const void* bytes, uint32_t count) {
  RequireWriting();
  if (position > written_ || count > written_ - position)
    throw EXLSError("[int] The bytes to patch lie outside the stream");
  TWriteState& w = *write_;
  const auto* p = static_cast<const uint8_t*>(bytes);
  if (position < w.handedOn) {
    if (w.failure) std::rethrow_exception(w.failure);
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(count, w.handedOn - position));
    try {
      if (w.document)
        w.document->PatchLeading(position, {p, n});
      else
        w.output->WriteAt(position, {p, n});
    } catch (...) {
      w.failure = std::current_exception();
      throw;
    }
    p += n;
    position += n;
    count -= n;
  }
  if (count > 0) std::memcpy(w.buffer.get() + (position - w.handedOn), p, count);
}

std::exception_ptr TXLSStream::OutputFailure() const {
  return write_ ? write_->failure : nullptr;
}

void TXLSStream::FinishWriting() {
  HandOn();
  TWriteState& w = *write_;
  if (w.document) {
    cfb::TStreamElement* stream = document_->Root().FindStream(version_ == xvExcel50 ? u"Book" : u"Workbook");
    if (!stream) throw EXLSError("[int] The workbook stream of the output is missing");
    w.document->Finish(document_->Root(), stream);
  }
  w.output->Commit();
}

bool TXLSStream::CarriesVbaStorage() const {
  return document_ && document_->Root().FindStorage(kVbaStorageName) != nullptr;
}

void TXLSStream::WriteVbaStorage() {
  RequireWriting();
  if (!document_ || !vbaProject_ || !vbaProject_->HasProject()) return;
  cfb::TStorage& storage = document_->Root().CreateStorage(kVbaStorageName);
  vbaProject_->Write(storage);
}

// ---------------------------------------------------------------------------------------------------
// Encryption

void TXLSStream::MakeFilePass(uint8_t* filePass, std::u16string_view password) {
  // Fresh salt and verifier for every file: a fixed salt would give every file with the same password
  // the same key stream.
  std::random_device random;
  uint8_t salt[TRc4Key::kSaltSize];
  uint8_t verifier[16];
  for (size_t i = 0; i < sizeof salt; i += 4) EncodeFixed32(salt + i, random());
  for (size_t i = 0; i < sizeof verifier; i += 4) EncodeFixed32(verifier + i, random());
  key_.Derive(password, salt);
  EncodeFixed16(filePass, 1);      // RC4
  EncodeFixed16(filePass + 2, 1);  // version 1.1
  EncodeFixed16(filePass + 4, 1);
  std::memcpy(filePass + 6, salt, sizeof salt);
  key_.EncryptVerifier(verifier, filePass + 22, filePass + 38);
  if (mode_ == Mode::Writing) {
    // The key stream is addressed by stream position from the first byte on: whatever was handed on
    // before now went out in clear.
    if (write_->handedOn > 0) throw EXLSError("[int] Encryption must begin before the stream is handed on");
    write_->encrypt = true;
  }
}

bool TXLSStream::Encrypting() const {
  return mode_ == Mode::Writing && write_->encrypt;
}

}  // namespace plicato

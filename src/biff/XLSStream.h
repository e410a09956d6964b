// TXLSStream: the record-level view of a workbook file, and the only way the reader, the writer and the
// shared string table touch one. It finds and opens the workbook stream of a compound document ("Workbook"
// for BIFF8, "Book" for BIFF5, names matched without regard to case) or a plain record file (BIFF2-8), reads
// and writes record headers and bodies, follows CONTINUE records, splits long records on output, decrypts
// bodies (RC4 with MD5 or CryptoAPI key derivation, XOR obfuscation) and encrypts them (RC4 with MD5).
//
// Reading holds the whole workbook stream in memory: the file is read once on open and reading a record
// is a copy from a buffer. Writing holds only a bounded buffer: records are appended to it, and each time
// it fills it is encrypted (when a password is set) and handed on to the output, which lays the workbook
// stream down in the compound document as it comes (in a temporary file that replaces the target on
// Close). A large workbook thus never exists whole in memory a second time beside its cells.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/CompoundFile.h"
#include "biff/Crypto.h"

namespace plicato {

// The preserved parts of a source file: every element of its compound document except the workbook
// stream (and the VBA project when macros are not preserved), carried into the output when the
// workbook is written; the VBA project only when macros are preserved then too. Empty for a workbook
// that was never read.
class TExtraObjects {
 public:
  bool Empty() const { return !document_; }
  void Clear() { document_.reset(); }
  cfb::TCompoundDocument* Document() { return document_.get(); }
  void SetDocument(std::unique_ptr<cfb::TCompoundDocument> doc) { document_ = std::move(doc); }

 private:
  std::unique_ptr<cfb::TCompoundDocument> document_;
};

// The VBA project of a workbook (spreadsheet extras). This system keeps none, so the stream only knows
// whether one exists; the type is a seam for that subsystem.
class TVbaProject {
 public:
  virtual ~TVbaProject() = default;
  virtual bool HasProject() const = 0;
  virtual bool HasModules() const = 0;
  virtual void Read(const cfb::TStorage& storage) = 0;
  virtual void Write(cfb::TStorage& storage) = 0;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

struct TRecordHeader {
  uint16_t id = 0;
  uint16_t length = 0;
};

class TXLSStream {
 public:
  TXLSStream();
  ~TXLSStream();
  TXLSStream(const TXLSStream&) = delete;
  TXLSStream& operator=(const TXLSStream&) = delete;

  // --- configuration, before opening ---
  void SetExtraObjects(TExtraObjects* extras) { extras_ = extras; }
  // Read from this in-memory image instead of the named file (must outlive the open stream).
  void SetSourceMemory(const std::vector<uint8_t>* source) { sourceMemory_ = source; }
  // Write the compound document (or plain file) into this vector instead of a file; it is filled on
  // Close.
  void SetDestMemory(std::vector<uint8_t>* dest) { destMemory_ = dest; }
  void SetPreserveMacros(bool preserve) { preserveMacros_ = preserve; }
  void SetVbaProject(TVbaProject* project) { vbaProject_ = project; }

  // --- opening and closing ---
  // Returns the version found: xvExcel97 ("Workbook"), xvExcel50 ("Book"), xvExcel21/30/40 for a plain
  // BIFF2-4 file, xvExcel50/97 for a plain BIFF5/8 record stream (by its BOF's version field), xvNone
  // for a plain file that is not recognised. Raises "The file is not an Excel workbook" for a compound
  // document holding neither stream.
  TExcelVersion OpenRead(const std::filesystem::path& fileName);
  // Raises "Filename is missing" for an empty name when no destination memory is set; EFileError when the
  // temporary file beside the target cannot be created.
  void OpenWrite(const std::filesystem::path& fileName, TExcelVersion version);
  // Finishes and releases everything; when open for writing, completes the output and puts it in place
  // of the target. Safe when nothing is open.
  void Close();
  // Releases everything; a write under way is dropped (its temporary file removed), the target is left
  // as it was (after a failed write).
  void Abandon();

  bool IsOpen() const;
  TExcelVersion Version() const { return version_; }
  uint64_t StreamSize() const;  // size of the workbook stream found on opening, or written so far

  // --- reading ---
  // Reads a record header; returns the bytes read (4, or fewer at the end of the stream). Never decrypts;
  // while decrypting it advances the key stream by the 4 header bytes. The body read next is deciphered
  // as this record's (XOR obfuscation depends on the body length).
  uint32_t ReadHeader(TRecordHeader& header) {
    // Inline for the common case, a header in clear with its bytes there: one is read for every record.
    if (decrypt_ || data_.size() - pos_ < kRecordHeaderSize) return ReadHeaderSlow(header);
    const uint8_t* at = data_.data() + pos_;
    header.id = DecodeFixed16(at);
    header.length = DecodeFixed16(at + 2);
    bodyLength_ = header.length;
    pos_ += kRecordHeaderSize;
    return kRecordHeaderSize;
  }
  // Reads count body bytes (fewer at the end of the stream); decrypts when decrypting; in CONTINUE mode
  // crosses into continuation records.
  uint32_t ReadBody(void* buffer, uint32_t count);
  // As ReadBody, never decrypting (and not advancing the key stream).
  uint32_t ReadPlain(void* buffer, uint32_t count);
  // Reads count bytes in clear (fields an encrypted record keeps in clear); the key stream stays in step,
  // being addressed by stream offset. Any count is accepted.
  uint32_t ReadPlainKeepKey(void* buffer, uint32_t count);
  // Reads a whole record body of the record with this identifier, in clear where the format keeps that
  // record in clear inside an encrypted stream (BOF, FILEPASS, INTERFACEHDR, USREXCL, FILELOCK,
  // RRDINFO, RRDHEAD, and the stream position of BOUNDSHEET), decrypted otherwise.
  uint32_t ReadRecordBody(uint16_t id, void* buffer, uint32_t count);
  // The next count body bytes (fewer at the end of the stream; got tells how many) in place, in the
  // stream's own buffer, valid until the stream is closed; the position moves past them. Returns null,
  // reading nothing, when they cannot be handed out as they stand: while decrypting or in CONTINUE mode
  // (then ReadBody or ReadRecordBody copies them).
  const uint8_t* ViewBody(uint32_t count, uint32_t& got) {
    if (decrypt_ || continueMode_) return nullptr;
    const uint8_t* at = data_.data() + pos_;
    got = static_cast<uint32_t>(std::min<uint64_t>(count, data_.size() - pos_));
    pos_ += got;
    return at;
  }
  // The workbook stream as it stands in the file (encrypted bodies stay encrypted), for looking ahead
  // without moving the position.
  std::span<const uint8_t> Bytes() const { return data_; }
  // Identifier of the next record, or 0 when fewer than 4 bytes remain; the position is restored.
  uint16_t PeekId();
  void BeginContinue();
  void EndContinue();
  bool InContinueMode() const { return continueMode_; }
  // Flag byte, then count characters: UTF-16LE when the flag is 1, else 8-bit characters (Latin-1, as
  // the format defines its compressed strings). Returns the bytes consumed (1 + count or 1 + 2 * count).
  uint32_t ReadWideStr(uint32_t charCount, std::u16string& text);

  // While writing: the size of what was written so far, where the next record begins.
  uint64_t Position() const { return mode_ == Mode::Writing ? written_ : pos_; }
  // Reading only: a stream being written is changed only through Patch.
  uint64_t Seek(int64_t offset, TSeekOrigin origin);

  // --- writing ---
  // Appends one record (header, then body), continued in CONTINUE records where the body is longer
  // than one BIFF8 record holds (8,224 bytes). Every record the writer and the model generate goes
  // through here.
  void AppendRecord(uint16_t id, const std::vector<uint8_t>& body);
  // Appends records a writer laid out itself, each whole (header, then body of at most 8,224 bytes), as
  // the cell writer builds millions of small ones in a buffer of its own; the encryption finds their
  // headers in the bytes, as it does for any record.
  void AppendRecords(const uint8_t* records, size_t count);
  // Appends one kept record byte for byte, as it was read (never split).
  void WriteRecord(uint16_t id, const void* body, uint16_t length);
  // Writes count bytes over the stream's bytes at position, written before, wherever they are by now
  // (still in the buffer or already in the output). For fields the encryption keeps in clear only (a
  // record header, the stream position of BOUNDSHEET): bytes already handed on go out as given.
  void Patch(uint64_t position, const void* bytes, uint32_t count);
  // The first failure of the output (a full disk...) while writing, else null: the writer reports it
  // as itself rather than as a failure of the record whose write it interrupted.
  std::exception_ptr OutputFailure() const;
  // Creates "_VBA_PROJECT_CUR" in the output and lets the VBA project write into it, when it has one.
  void WriteVbaStorage();
  // True when the document being written holds a macro project (carried over from the file read).
  bool CarriesVbaStorage() const;

  // --- encryption ---
  // True when a FILEPASS body describes encryption this stream decrypts: XOR obfuscation (BIFF8 type 0;
  // the whole 4-byte body of older versions), or RC4 (type 1) with standard or CryptoAPI key derivation
  // (any key length from 40 to 128 bits, any provider), with all its fields present. biff8 tells which
  // layout the body has.
  static bool CanDecrypt(const uint8_t* filePass, uint32_t length, bool biff8);
  // True when the password matches the FILEPASS body (any scheme CanDecrypt accepts); then decrypts from
  // the current stream position on.
  bool CheckPassword(const uint8_t* filePass, uint32_t length, std::u16string_view password,
                     bool biff8 = true);
  // Fills the 54-byte FILEPASS body (type 1, RC4 header) from fresh random salt and verifier and the
  // password. On a stream open for writing, everything written is then encrypted with that key as it
  // is handed on (TRecordCipher in XLSStream.cpp says what stays in clear); this must come before the
  // first buffer is handed on, as the writer's FILEPASS after the first BOF does.
  void MakeFilePass(uint8_t* filePass, std::u16string_view password);
  // True while writing with the encryption MakeFilePass began.
  bool Encrypting() const;
  bool Decrypting() const { return decrypt_; }
  // True when a FILEPASS body describes the encryption this stream writes (type 1, RC4, version 1.1,
  // with its 54 bytes present).
  static bool IsRc4FilePass(const uint8_t* filePass, uint32_t length);
  static constexpr uint32_t kFilePassSize = 54;

 private:
  // (private state: see XLSStream.cpp)
  void ResetState();
  void LoadCompound(cfb::TCompoundDocument& document);
  void CarryExtras(const cfb::TCompoundDocument& source);
  // The macro project storage goes with the other parts: macros are preserved and no project object
  // reads and writes it.
  bool CarriesVba() const { return preserveMacros_ && !vbaProject_; }
  TExcelVersion LoadPlain(std::vector<uint8_t> bytes);
  uint32_t ReadAt(void* buffer, uint32_t count);
  uint32_t ReadHeaderSlow(TRecordHeader& header);
  uint32_t ReadPiece(uint8_t* buffer, uint32_t count, bool decrypt);
  uint32_t ReadBodyAs(void* buffer, uint32_t count, bool decrypt);
  void Decrypt(uint8_t* data, uint32_t count, uint64_t streamPos);
  void SkipKey(uint32_t count, uint64_t streamPos);
  void RequireWriting() const;
  void AppendBytes(const uint8_t* bytes, size_t count);
  void HandOn();
  // Hands bytes on to the document or output, after those handed on before; the buffer must be empty.
  void HandOnBytes(std::span<const uint8_t> bytes);
  void FinishWriting();

  TExtraObjects* extras_ = nullptr;
  const std::vector<uint8_t>* sourceMemory_ = nullptr;
  std::vector<uint8_t>* destMemory_ = nullptr;
  bool preserveMacros_ = false;
  TVbaProject* vbaProject_ = nullptr;

  enum class Mode { Closed, Reading, Writing } mode_ = Mode::Closed;
  TExcelVersion version_ = xvNone;
  std::vector<uint8_t> data_;  // the whole workbook stream, while reading
  uint64_t pos_ = 0;
  uint64_t streamSize_ = 0;
  std::unique_ptr<cfb::TCompoundDocument> document_;  // the output document while writing a v5/v6 file
  // The writing side: output, buffer and encryption (see XLSStream.cpp); null unless writing.
  struct TWriteState;
  std::unique_ptr<TWriteState> write_;
  uint64_t written_ = 0;  // bytes of the stream written so far

  bool continueMode_ = false;
  uint32_t consumed_ = 0;  // body bytes taken from the current record since CONTINUE mode began

  bool decrypt_ = false;
  bool xor_ = false;  // decrypting XOR obfuscation, not RC4
  TRc4Key key_;
  TXorKey xorKey_;
  uint16_t bodyLength_ = 0;  // body length in the record header read last
};

}  // namespace plicato

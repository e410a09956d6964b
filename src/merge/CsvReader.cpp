#include "merge/CsvReader.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "biff/CodePage.h"
#include "biff/Errors.h"

namespace plicato {

namespace {

namespace fs = std::filesystem;

std::atomic<size_t> gPieceBytes{256 << 10};
// The longest sequence an encoding leaves incomplete at the end of a piece; a longer one is undecodable.
constexpr size_t kLongestSequence = 16;
constexpr size_t kSampleLines = 20;  // the lines the separator is found from
constexpr char16_t kReplacement = 0xFFFD;
constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

std::string ErrnoWords(int error) {
  return std::strerror(error);
}

// A regular file read from its start, in order. A named pipe or a device is refused when opened: reading
// one could wait for ever.
class TTextFile {
 public:
  explicit TTextFile(const fs::path& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw Fail("Cannot open", errno);
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd_);
      throw EFileError("Cannot open file \"" + path.string() + "\": it is not a regular file",
                       ekInputUnreadable);
    }
  }
  ~TTextFile() { ::close(fd_); }
  TTextFile(const TTextFile&) = delete;
  TTextFile& operator=(const TTextFile&) = delete;

  // Reads up to n bytes; fewer only at the end of the file.
  size_t Read(uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
      const ssize_t r = ::read(fd_, out + got, n - got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) throw Fail("Cannot read", errno);
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    return got;
  }

  void Rewind() {
    if (::lseek(fd_, 0, SEEK_SET) < 0) throw Fail("Cannot read", errno);
  }

 private:
  EFileError Fail(const char* what, int error) const {
    return EFileError(std::string(what) + " file \"" + path_.string() + "\": " + ErrnoWords(error),
                      ekInputUnreadable);
  }

  fs::path path_;
  int fd_ = -1;
};

// The length of the UTF-8 sequence that begins with lead and goes on with next (0: not a valid start), as
// Unicode allows it: no overlong forms, no surrogates, nothing past U+10FFFF.
size_t Utf8Length(uint8_t lead, uint8_t next) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead == 0xE0) return next >= 0xA0 && next <= 0xBF ? 3 : 0;
  if (lead == 0xED) return next >= 0x80 && next <= 0x9F ? 3 : 0;
  if (lead >= 0xE1 && lead <= 0xEF) return 3;
  if (lead == 0xF0) return next >= 0x90 && next <= 0xBF ? 4 : 0;
  if (lead == 0xF4) return next >= 0x80 && next <= 0x8F ? 4 : 0;
  if (lead >= 0xF1 && lead <= 0xF3) return 4;
  return 0;
}

// Whether the rest of the file is valid UTF-8. A sequence cut off by the end of the file still counts:
// a UTF-8 export cut short is UTF-8 with a damaged end, not another encoding.
bool RestIsUtf8(TTextFile& file, size_t piece) {
  std::vector<uint8_t> bytes(piece + 4);
  size_t kept = 0;
  for (;;) {
    const size_t got = file.Read(bytes.data() + kept, piece);
    const size_t have = kept + got;
    const bool last = got < piece;
    size_t i = 0;
    while (i < have) {
      // Eight plain ASCII bytes at a time: most of a file.
      if (i + 8 <= have) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if ((word & 0x8080808080808080ull) == 0) {
          i += 8;
          continue;
        }
      }
      const uint8_t lead = bytes[i];
      if (lead < 0x80) {
        ++i;
        continue;
      }
      if (i + 1 >= have) break;  // the next piece tells
      const size_t length = Utf8Length(lead, bytes[i + 1]);
      if (length == 0) return false;
      if (i + length > have) break;
      for (size_t k = 1; k < length; ++k)
        if ((bytes[i + k] & 0xC0) != 0x80) return false;
      i += length;
    }
    if (last) return true;
    kept = have - i;
    std::memmove(bytes.data(), bytes.data() + i, kept);
  }
}

// Decodes UTF-8 to UTF-16 as TDecoder::Decode does, one U+FFFD for each byte of a sequence it cannot
// decode. Most files are UTF-8 and most of their bytes ASCII: this is several times iconv's speed.
size_t DecodeUtf8(const uint8_t* bytes, size_t n, bool last, std::u16string& out, size_t& bad) {
  const size_t start = out.size();
  out.resize(start + n);  // a byte gives at most one unit (four give a surrogate pair)
  char16_t* const first = out.data();
  char16_t* to = first + start;
  size_t i = 0;
  while (i < n) {
    for (uint64_t word; i + 8 <= n; i += 8) {
      std::memcpy(&word, bytes + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      for (size_t k = 0; k < 8; ++k) *to++ = bytes[i + k];
    }
    if (i >= n) break;
    const uint8_t lead = bytes[i];
    if (lead < 0x80) {
      *to++ = lead;
      ++i;
      continue;
    }
    if (i + 1 >= n && !last) break;  // the next piece tells
    const size_t length = i + 1 < n ? Utf8Length(lead, bytes[i + 1]) : 0;
    if (length > 0 && i + length > n && !last) break;
    bool whole = length > 0 && i + length <= n;
    for (size_t k = 1; whole && k < length; ++k) whole = (bytes[i + k] & 0xC0) == 0x80;
    if (!whole) {
      if (bad == std::u16string::npos) bad = static_cast<size_t>(to - first);
      *to++ = kReplacement;
      ++i;
      continue;
    }
    uint32_t code = lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) code = (code << 6) | (bytes[i + k] & 0x3F);
    if (code >= 0x10000) {
      *to++ = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      *to++ = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      *to++ = static_cast<char16_t>(code);
    }
    i += length;
  }
  out.resize(static_cast<size_t>(to - first));
  return i;
}

// Decodes bytes of one encoding to UTF-16, piece by piece, with iconv (UTF-8 with DecodeUtf8).
class TDecoder {
 public:
  TDecoder(const std::string& from, size_t unit) : unit_(unit), utf8_(from == "UTF-8") {
    converter_ = ::iconv_open(kUtf16, from.c_str());
    if (converter_ == reinterpret_cast<iconv_t>(-1))
      throw EPlicatoError("The encoding \"" + from + "\" is not known", ekUnsupported);
  }
  ~TDecoder() { ::iconv_close(converter_); }
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  void Reset() { ::iconv(converter_, nullptr, nullptr, nullptr, nullptr); }

  // Appends the characters of bytes [0, n) to out and returns the bytes used: all but an incomplete
  // sequence at the end, which waits for the next piece unless last. A sequence the encoding does not
  // know becomes U+FFFD (one per unit of the encoding); bad is then the offset in out of the first.
  size_t Decode(const uint8_t* bytes, size_t n, bool last, std::u16string& out, size_t& bad) {
    if (utf8_) return DecodeUtf8(bytes, n, last, out, bad);
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    size_t inLeft = n;
    while (inLeft > 0) {
      const size_t start = out.size();
      out.resize(start + inLeft + 8);  // a byte gives at most one UTF-16 unit in the encodings we meet
      char* to = reinterpret_cast<char*>(out.data() + start);
      size_t toLeft = (inLeft + 8) * sizeof(char16_t);
      const size_t done = ::iconv(converter_, &in, &inLeft, &to, &toLeft);
      const int error = done == static_cast<size_t>(-1) ? errno : 0;
      out.resize(out.size() - toLeft / sizeof(char16_t));
      if (error == 0 || error == E2BIG) continue;
      if (error == EINVAL && !last && inLeft <= kLongestSequence) break;  // completed by the next piece
      if (error != EILSEQ && error != EINVAL) throw EPlicatoError("Cannot decode: " + ErrnoWords(error));
      if (bad == std::u16string::npos) bad = out.size();
      out += kReplacement;
      const size_t skip = std::min(unit_, inLeft);
      in += skip;
      inLeft -= skip;
      Reset();
    }
    return n - inLeft;
  }

 private:
  iconv_t converter_;
  size_t unit_;  // the bytes skipped past a sequence it cannot decode
  bool utf8_;
};

// The encoding a byte-order mark names, and the mark's length; empty when there is none.
std::string MarkedEncoding(const uint8_t* head, size_t n, size_t& length) {
  if (n >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    length = 3;
    return "UTF-8";
  }
  if (n >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
    length = 2;
    return "UTF-16LE";
  }
  if (n >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
    length = 2;
    return "UTF-16BE";
  }
  length = 0;
  return {};
}

// The separator that splits the first lines of text alike: of comma, tab, semicolon and '|', the one
// that gives every line the same number of fields, more than one; of several, the one giving the most.
// Without such a one, the one that splits the first line most, and a comma for a line it leaves whole.
// Quotes are followed roughly (a quote toggles), enough to count fields.
char16_t FindSeparator(std::u16string_view text, bool whole) {
  static constexpr std::array<char16_t, 4> kCandidates = {u',', u'\t', u';', u'|'};
  char16_t best = u',';
  size_t bestCount = 1, bestFirst = 1;
  bool bestAlike = false;
  for (const char16_t separator : kCandidates) {
    std::vector<size_t> counts;
    size_t fields = 1;
    bool quoted = false;
    for (size_t i = 0; i < text.size() && counts.size() < kSampleLines; ++i) {
      const char16_t c = text[i];
      if (c == u'"') {
        quoted = !quoted;
      } else if (quoted) {
      } else if (c == separator) {
        ++fields;
      } else if (c == u'\r' || c == u'\n') {
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        counts.push_back(fields);
        fields = 1;
      }
    }
    // A last line is counted only when the text is the whole file: a sample may end inside it.
    if (whole && fields > 1 && counts.size() < kSampleLines) counts.push_back(fields);
    if (counts.empty()) continue;
    const bool alike = counts.front() > 1 && std::all_of(counts.begin(), counts.end(),
                                                         [&](size_t n) { return n == counts.front(); });
    if (alike && (!bestAlike || counts.front() > bestCount)) {
      best = separator;
      bestCount = counts.front();
      bestAlike = true;
    } else if (!bestAlike && counts.front() > bestFirst) {
      best = separator;
      bestFirst = counts.front();
    }
  }
  return best;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return text;
}

// Reads the records of a CSV file one at a time. Fields are copied out of the decoded piece into the
// record, so a record may span pieces; a record is bounded by kCsvLineBudget.
class TCsvReader {
 public:
  TCsvReader(const fs::path& path, const TCsvOptions& options)
      : file_(path), piece_(std::max<size_t>(gPieceBytes.load(std::memory_order_relaxed), 1)) {
    std::array<uint8_t, 4> head{};
    const size_t n = file_.Read(head.data(), head.size());
    std::string encoding = MarkedEncoding(head.data(), n, markLength_);
    size_t unit = encoding.starts_with("UTF-16") ? 2 : 1;
    if (encoding.empty()) {
      encoding = options.encoding;
      if (encoding.empty()) {
        file_.Rewind();
        encoding = RestIsUtf8(file_, piece_) ? "UTF-8" : "GB18030";
      } else if (Lower(encoding).starts_with("utf-16") || Lower(encoding).starts_with("ucs-2")) {
        unit = 2;
      }
    }
    decoder_ = std::make_unique<TDecoder>(encoding, unit);
    bytes_.resize(piece_ + kLongestSequence);
    Rewind();
    separator_ = options.delimiter;
    if (separator_ == 0 && Lower(path.extension().string()) == ".tsv") separator_ = u'\t';
    if (separator_ == 0) {
      Available();
      separator_ = FindSeparator(text_, ended_);
    }
  }

  // Back to the first record, with no remarks.
  void Rewind() {
    file_.Rewind();
    decoder_->Reset();
    size_t skipped = 0;
    while (skipped < markLength_) skipped += file_.Read(bytes_.data(), markLength_ - skipped);
    kept_ = 0;
    ended_ = fileEnded_ = false;
    text_.clear();
    pos_ = 0;
    line_ = 1;
    badLine_ = openQuoteLine_ = 0;
  }

  // Reads the next record; false after the last. Its fields are Field(0) to Fields() - 1.
  bool Next() {
    record_.clear();
    ends_.clear();
    if (!Available()) return false;
    recordLine_ = line_;
    for (;;) {
      if (text_[pos_] == u'"') {
        ++pos_;
        ReadQuoted();
      }
      // Unquoted, or after a closing quote: the rest up to the separator or the line's end as it stands.
      for (;;) {
        if (!Available()) {
          ends_.push_back(record_.size());
          return true;
        }
        if (!CopyUntil(separator_)) continue;
        const char16_t c = text_[pos_++];
        if (c == 0) {
          Replace();
          continue;
        }
        ends_.push_back(record_.size());
        if (c == separator_) {
          if (!Available()) {  // a separator at the very end: one more, empty field
            ends_.push_back(record_.size());
            return true;
          }
          break;
        }
        EndLine(c);
        return true;
      }
    }
  }

  size_t Fields() const { return ends_.size(); }
  std::u16string_view Field(size_t i) const {
    const size_t from = i == 0 ? 0 : ends_[i - 1];
    return std::u16string_view(record_).substr(from, ends_[i] - from);
  }

  // The one-based lines of the first undecodable bytes and of an unclosed quote read so far, or 0.
  uint32_t BadLine() const { return badLine_; }
  uint32_t OpenQuoteLine() const { return openQuoteLine_; }

 private:
  // Copies the characters of the piece before the next stop, CR, LF or NUL into the record: true when
  // one of those is at pos_, false at the piece's end.
  bool CopyUntil(char16_t stop) {
    const char16_t* const data = text_.data();
    const char16_t* p = data + pos_;
    const char16_t* const end = data + text_.size();
    const char16_t* const from = p;
    while (p < end && *p != stop && *p != u'\r' && *p != u'\n' && *p != 0) ++p;
    record_.append(from, p);
    pos_ = static_cast<size_t>(p - data);
    CheckBudget();
    return p != end;
  }

  // A quoted field's text up to its closing quote, doubled quotes as one; without one, to the file's end.
  void ReadQuoted() {
    const uint32_t opened = line_;
    for (;;) {
      if (!Available()) {
        if (openQuoteLine_ == 0) openQuoteLine_ = opened;
        return;
      }
      if (!CopyUntil(u'"')) continue;
      const char16_t c = text_[pos_++];
      if (c == 0) {
        Replace();
      } else if (c == u'"') {
        if (!Available() || text_[pos_] != u'"') return;
        record_ += u'"';
        ++pos_;
      } else {
        // A line break inside quotes is the field's, as written. The line is counted before the next
        // piece may be read, which counts its lines from here.
        record_ += c;
        ++line_;
        if (c == u'\r' && Available() && text_[pos_] == u'\n') {
          record_ += u'\n';
          ++pos_;
        }
      }
    }
  }

  // Past a line's end (CR, LF or CR LF).
  void EndLine(char16_t c) {
    ++line_;
    if (c == u'\r' && Available() && text_[pos_] == u'\n') ++pos_;
  }

  // A NUL is no character of a text: it is kept as U+FFFD and remarked, as undecodable bytes are.
  void Replace() {
    record_ += kReplacement;
    NoteBadLine(line_);
  }

  void CheckBudget() const {
    if (record_.size() + ends_.size() > kCsvLineBudget) {
      throw EPlicatoError("Line " + std::to_string(recordLine_) + " is longer than " +
                              std::to_string(kCsvLineBudget) +
                              " characters: the file is damaged or is not a CSV file.",
                          ekDamaged);
    }
  }

  // Whether a character is left to read, decoding the next piece of the file when the last is used up.
  bool Available() {
    if (pos_ < text_.size()) return true;
    const bool afterCR = !text_.empty() && text_.back() == u'\r';
    text_.clear();
    pos_ = 0;
    while (text_.empty() && !ended_) {
      const size_t got = fileEnded_ ? 0 : file_.Read(bytes_.data() + kept_, piece_);
      fileEnded_ = fileEnded_ || got < piece_;
      const size_t have = kept_ + got;
      size_t bad = std::u16string::npos;
      const size_t used = decoder_->Decode(bytes_.data(), have, fileEnded_, text_, bad);
      kept_ = have - used;
      std::memmove(bytes_.data(), bytes_.data() + used, kept_);
      ended_ = fileEnded_ && kept_ == 0;
      if (bad != std::u16string::npos && (badLine_ == 0 || badLine_ > line_))
        NoteBadLine(LineAt(bad, afterCR));
    }
    return !text_.empty();
  }

  // A piece is decoded before its NUL characters are met: the first line is the least one noted.
  void NoteBadLine(uint32_t line) {
    if (badLine_ == 0 || line < badLine_) badLine_ = line;
  }

  // The line of text_[at], text_ being the piece that follows the current line's text.
  uint32_t LineAt(size_t at, bool afterCR) const {
    uint32_t line = line_;
    for (size_t i = 0; i < at; ++i) {
      const char16_t c = text_[i];
      if (c == u'\n' ? !(i == 0 ? afterCR : text_[i - 1] == u'\r') : c == u'\r') ++line;
    }
    return line;
  }

  TTextFile file_;
  const size_t piece_;     // the bytes read at a time
  size_t markLength_ = 0;  // the byte-order mark's bytes, passed over
  std::unique_ptr<TDecoder> decoder_;
  char16_t separator_ = u',';
  std::vector<uint8_t> bytes_;  // the file's bytes being decoded
  size_t kept_ = 0;             // an incomplete sequence at the start of bytes_, from the last piece
  bool fileEnded_ = false;      // every byte of the file is in bytes_ or decoded
  bool ended_ = false;          // and decoded
  std::u16string text_;         // the decoded piece being split
  size_t pos_ = 0;
  uint32_t line_ = 1;  // the line at pos_
  uint32_t recordLine_ = 1;
  std::u16string record_;     // the current record's fields, one after another
  std::vector<size_t> ends_;  // where each field of record_ ends
  uint32_t badLine_ = 0, openQuoteLine_ = 0;
};

class TCsvBook : public TInputBook {
 public:
  TCsvBook(const fs::path& path, const TCsvOptions& options)
      : reader_(path, options), values_(options.values) {
    sheets_.push_back({FromUtf8(path.stem().string()), true});
  }

  const std::vector<TInSheet>& Sheets() const override { return sheets_; }
  bool OneSheet() const override { return true; }

  void SelectSheet(size_t index) override {
    if (index != 0) throw EXLSError("Not a worksheet", ekSheetMissing);
    reader_.Rewind();
    record_ = 0;
  }

  // A record without a field that holds a character is a row without cells, passed over.
  bool NextRow(TInRow& row) override {
    row.cells.clear();
    row.lastColumnOut = 0;
    while (reader_.Next()) {
      row.index = record_++;
      for (size_t i = 0; i < reader_.Fields(); ++i) {
        const std::u16string_view field = reader_.Field(i);
        if (field.empty()) continue;
        if (i >= columnLimit_) {
          size_t last = reader_.Fields();
          while (reader_.Field(last - 1).empty()) --last;  // field i holds a character
          row.lastColumnOut = static_cast<uint32_t>(last);
          break;
        }
        TInCell& cell = row.cells.emplace_back();
        cell.column = static_cast<uint16_t>(i);
        cell.kind = ikText;
        cell.text = field;
        if (!values_) continue;
        switch (CsvFieldValue(field, cell.number)) {
          case cvText:
            break;
          case cvNumber:
            cell.kind = ikNumber;
            break;
          case cvDate:
            cell.kind = ikNumber;
            cell.format = kCsvDateFormat;
            break;
          case cvDateTime:
            cell.kind = ikNumber;
            cell.format = kCsvDateTimeFormat;
            break;
        }
      }
      if (!row.cells.empty() || row.lastColumnOut != 0) return true;
    }
    return false;
  }

  bool SkipRow(uint32_t& index, bool& holdsValue) override {
    if (!reader_.Next()) return false;
    index = record_++;
    holdsValue = false;
    for (size_t i = 0; i < reader_.Fields() && !holdsValue; ++i) holdsValue = !reader_.Field(i).empty();
    return true;
  }

  bool Date1904() const override { return false; }

  std::vector<TInRemark> Remarks() const override {
    std::vector<TInRemark> remarks;
    if (reader_.BadLine() != 0) remarks.push_back({TInRemark::rkUndecodable, reader_.BadLine()});
    if (reader_.OpenQuoteLine() != 0)
      remarks.push_back({TInRemark::rkUnclosedQuote, reader_.OpenQuoteLine()});
    return remarks;
  }

 private:
  TCsvReader reader_;
  bool values_;
  std::vector<TInSheet> sheets_;
  uint32_t record_ = 0;  // the index of the next record
};

}  // namespace

std::unique_ptr<TInputBook> MakeCsvBook(const fs::path& path, const TCsvOptions& options) {
  return std::make_unique<TCsvBook>(path, options);
}

bool ReadAsCsv(const fs::path& path) {
  const std::string extension = Lower(path.extension().string());
  const bool named = extension == ".csv" || extension == ".tsv";
  if (!named && !extension.empty()) return false;
  std::array<uint8_t, 8> head{};
  size_t n = 0;
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) {
    try {
      TTextFile file(path);
      n = file.Read(head.data(), head.size());
    } catch (const EFileError&) {
      return named;  // the reader says why it cannot be read
    }
  }
  // A compound document (.xls), a zip archive (.xlsx), or a BIFF2 to BIFF5 worksheet stream's first record.
  static constexpr std::array<uint8_t, 8> kCompound = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  const bool workbook =
      (n == 8 && head == kCompound) ||
      (n >= 4 && head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4) ||
      (n >= 2 && head[0] == 0x09 && (head[1] == 0 || head[1] == 2 || head[1] == 4 || head[1] == 8));
  return !workbook;
}

void SetCsvPieceSize(size_t bytes) {
  gPieceBytes.store(bytes, std::memory_order_relaxed);
}

bool CsvEncodingKnown(const std::string& name) {
  const iconv_t converter = ::iconv_open(kUtf16, name.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  ::iconv_close(converter);
  return true;
}

}  // namespace plicato

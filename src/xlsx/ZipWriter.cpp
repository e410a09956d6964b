#include "xlsx/ZipWriter.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <new>
#include <utility>
#include <vector>

namespace plicato::xlsx {

// The archive as the zip library sees it: a file it appends to and, to finish each part's local header
// once the part is written, writes back into. The library is C: a failure of the output is kept here and
// the callback reports an error, which the writer turns back into the failure (Check).
struct TZipWriter::TFile {
  explicit TFile(cfb::TOutput& to) : output(to) {}

  cfb::TOutput& output;
  uint64_t position = 0;
  std::exception_ptr failure;
  bool discarding = false;  // an archive given up: nothing more is written

  void Write(const uint8_t* bytes, size_t size) {
    const uint64_t end = output.Size();
    if (position > end) throw output.Abandon("[int] a zip write past the end");
    const size_t within = static_cast<size_t>(std::min<uint64_t>(size, end - position));
    if (within > 0) output.WriteAt(position, {bytes, within});
    if (within < size) output.Append({bytes + within, size - within});
    position += size;
  }
};

namespace {

using TFile = TZipWriter::TFile;

voidpf OpenFile(voidpf opaque, const void* /*name*/, int /*mode*/) {
  return opaque;
}

uLong ReadFile(voidpf, voidpf, void*, uLong) {
  return 0;  // the archive is only written
}

uLong WriteFile(voidpf, voidpf stream, const void* bytes, uLong size) {
  auto* file = static_cast<TFile*>(stream);
  if (file->discarding) return size;
  if (file->failure) return 0;
  try {
    file->Write(static_cast<const uint8_t*>(bytes), size);
    return size;
  } catch (...) {
    file->failure = std::current_exception();
    return 0;
  }
}

ZPOS64_T TellFile(voidpf, voidpf stream) {
  return static_cast<TFile*>(stream)->position;
}

long SeekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* file = static_cast<TFile*>(stream);
  uint64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = file->position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) base = file->output.Size();
  if (base + offset > file->output.Size() && !file->discarding) return -1;
  file->position = base + offset;
  return 0;
}

int CloseFile(voidpf, voidpf) {
  return 0;
}

int FileError(voidpf, voidpf stream) {
  return static_cast<TFile*>(stream)->failure ? 1 : 0;
}

// The parts' time stamp: now, in local time as zip archives keep it.
zip_fileinfo PartInfo() {
  zip_fileinfo info{};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local)) {
    info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
    info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
    info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
    info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
    info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
    info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
  }
  return info;
}

constexpr int kMemLevel = 8;  // zlib's default
// The streamed part's matching, at the fast levels (1 to 3): longer matches taken whole and a search
// cut at the 12 nearest candidates. Measured on the sheet XML of a merge (872 MB, 100 files x 10,000
// rows x 20 columns): level 3 as zlib sets it 7.7 s CPU, 129 MB; so tuned 5.2 s, 122 MB; on
// bench_xlsx_out's 300,000 rows 2.3 s, 39.0 MB against 1.5 s, 36.8 MB. Worksheet rows repeat their
// markup every few dozen bytes, where zlib's short insertions and deeper search buy little.
constexpr int kGoodLength = 4, kMaxInsert = 32, kNiceLength = 128, kMaxChain = 12;
constexpr size_t kDeflatedBuffer = size_t{128} << 10;

}  // namespace

// The streamed part's own deflate (the zip library takes it raw, with its size and CRC at the end).
struct TZipWriter::TStream {
  z_stream z{};
  bool open = false;
  uint64_t headOffset = 0;  // where the head's bytes lie in the output
  size_t headSize = 0;
  uLong bodyCrc = 0;
  uint64_t bodySize = 0;
  std::vector<uint8_t> deflated = std::vector<uint8_t>(kDeflatedBuffer);
};

TZipWriter::TZipWriter(cfb::TOutput& output, int level)
    : output_(output),
      level_(level),
      file_(std::make_unique<TFile>(output)),
      stream_(std::make_unique<TStream>()) {
  zlib_filefunc64_def functions{};
  functions.zopen64_file = OpenFile;
  functions.zread_file = ReadFile;
  functions.zwrite_file = WriteFile;
  functions.ztell64_file = TellFile;
  functions.zseek64_file = SeekFile;
  functions.zclose_file = CloseFile;
  functions.zerror_file = FileError;
  functions.opaque = file_.get();
  zip_ = zipOpen2_64("", APPEND_STATUS_CREATE, nullptr, &functions);
  if (!zip_) throw output_.Abandon("the zip archive could not be begun");
}

TZipWriter::~TZipWriter() {
  if (stream_->open) deflateEnd(&stream_->z);
  if (zip_) {
    file_->discarding = true;
    zipClose(zip_, nullptr);  // frees the library's state; the bytes go nowhere
  }
}

void TZipWriter::Check(int result, const char* what) {
  if (result == ZIP_OK) return;
  if (file_->failure) std::rethrow_exception(file_->failure);
  throw output_.Abandon(std::string("the zip library could not ") + what + " (error " +
                        std::to_string(result) + ")");
}

void TZipWriter::AddPart(const char* name, std::string_view bytes) {
  const zip_fileinfo info = PartInfo();
  Check(zipOpenNewFileInZip64(zip_, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, level_, 0),
        "begin a part");
  Check(zipWriteInFileInZip(zip_, bytes.data(), static_cast<unsigned>(bytes.size())), "write a part");
  Check(zipCloseFileInZip(zip_), "end a part");
}

void TZipWriter::BeginStream(const char* name, std::string_view head) {
  if (head.size() > 0xFFFF) throw output_.Abandon("[int] a streamed part's head past 65,535 bytes");
  const zip_fileinfo info = PartInfo();
  Check(zipOpenNewFileInZip4_64(zip_, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, level_,
                                /*raw*/ 1, -MAX_WBITS, kMemLevel, Z_DEFAULT_STRATEGY, nullptr, 0, 0, 0,
                                /*zip64*/ 1),
        "begin a part");
  TStream& s = *stream_;
  // The local header is written: the part's data begins here. A stored block that is not the last one
  // holds the head byte for byte; the deflated rows follow it as blocks of the same stream.
  s.headOffset = file_->position + 5;
  s.headSize = head.size();
  const auto size = static_cast<uint16_t>(head.size());
  const uint8_t block[5] = {0, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                            static_cast<uint8_t>(~size), static_cast<uint8_t>(~size >> 8)};
  Check(zipWriteInFileInZip(zip_, block, sizeof block), "write a part");
  Check(zipWriteInFileInZip(zip_, head.data(), static_cast<unsigned>(head.size())), "write a part");
  const int started = deflateInit2(&s.z, level_, Z_DEFLATED, -MAX_WBITS, kMemLevel, Z_DEFAULT_STRATEGY);
  if (started == Z_MEM_ERROR) throw std::bad_alloc();
  if (started != Z_OK) throw output_.Abandon("the worksheet's compression could not be started");
  s.open = true;
  if (level_ >= 1 && level_ <= 3) deflateTune(&s.z, kGoodLength, kMaxInsert, kNiceLength, kMaxChain);
  s.bodyCrc = crc32_z(0, nullptr, 0);
  s.bodySize = 0;
}

void TZipWriter::StreamWrite(std::string_view bytes) {
  TStream& s = *stream_;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  s.bodyCrc = crc32_z(s.bodyCrc, data, bytes.size());
  s.bodySize += bytes.size();
  Deflate(data, bytes.size(), Z_NO_FLUSH);
}

void TZipWriter::Deflate(const uint8_t* bytes, size_t size, int flush) {
  TStream& s = *stream_;
  do {
    const size_t step = std::min<size_t>(size, size_t{1} << 30);
    s.z.next_in = const_cast<Bytef*>(bytes);
    s.z.avail_in = static_cast<uInt>(step);
    bytes += step;
    size -= step;
    const int stepFlush = size == 0 ? flush : Z_NO_FLUSH;
    int result = Z_OK;
    do {
      s.z.next_out = s.deflated.data();
      s.z.avail_out = static_cast<uInt>(s.deflated.size());
      result = deflate(&s.z, stepFlush);
      if (result == Z_STREAM_ERROR) throw output_.Abandon("[int] the worksheet's compression failed");
      const size_t produced = s.deflated.size() - s.z.avail_out;
      if (produced > 0)
        Check(zipWriteInFileInZip(zip_, s.deflated.data(), static_cast<unsigned>(produced)), "write a part");
    } while (s.z.avail_out == 0 || (stepFlush == Z_FINISH && result != Z_STREAM_END));
  } while (size > 0);
}

void TZipWriter::EndStream(std::string_view head) {
  TStream& s = *stream_;
  if (head.size() != s.headSize) throw output_.Abandon("[int] a streamed part's head changed its size");
  Deflate(nullptr, 0, Z_FINISH);
  deflateEnd(&s.z);
  s.open = false;
  const auto* headBytes = reinterpret_cast<const uint8_t*>(head.data());
  const uLong crc =
      crc32_combine(crc32_z(0, headBytes, head.size()), s.bodyCrc, static_cast<z_off_t>(s.bodySize));
  Check(zipCloseFileInZipRaw64(zip_, head.size() + s.bodySize, crc), "end a part");
  output_.WriteAt(s.headOffset, {headBytes, head.size()});
}

void TZipWriter::Close() {
  // The library frees its state whether or not the end could be written.
  Check(zipClose(std::exchange(zip_, nullptr), nullptr), "finish the archive");
}

}  // namespace plicato::xlsx

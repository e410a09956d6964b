// The zip container of the .xlsx output, written as its parts come through zlib's minizip into an output
// file (cfb::TOutput), so that a failed write names its reason as the system gives it ("File too large",
// "No space left on device") and the temporary file is removed at once.
//
// Small parts are given whole. The worksheet is streamed: its head (the XML before the rows) is written
// as a stored deflate block that can be rewritten in place once the rows are known (the sheet's
// dimension), and the rows after it are deflated as they are given, so that the sheet never sits in
// memory and the compression runs on the thread that gives the rows. The streamed part carries a ZIP64
// field, so that a sheet past 4 GB needs no second pass; the other parts and the archive's end are plain
// zip unless the archive itself passes 4 GB.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "biff/OutputFile.h"

namespace plicato::xlsx {

class TZipWriter {
 public:
  // level: zlib's deflate level (1 to 9). output must outlive the writer. EFileError when the archive
  // cannot be begun.
  TZipWriter(cfb::TOutput& output, int level);
  // Without Close, the archive is given up unfinished: nothing more goes to the output.
  ~TZipWriter();
  TZipWriter(const TZipWriter&) = delete;
  TZipWriter& operator=(const TZipWriter&) = delete;

  void AddPart(const char* name, std::string_view bytes);

  // The streamed part: head at most 65,535 bytes, rewritten by EndStream with a head of the same size.
  void BeginStream(const char* name, std::string_view head);
  void StreamWrite(std::string_view bytes);
  void EndStream(std::string_view head);

  // Writes the central directory. The output is then complete, for its owner to commit.
  void Close();

  // Every method throws EFileError; after one, the writer refuses any further use.

  // For the zip library's file callbacks.
  struct TFile;

 private:
  void Check(int result, const char* what);
  void Deflate(const uint8_t* bytes, size_t size, int flush);

  cfb::TOutput& output_;
  int level_;
  std::unique_ptr<TFile> file_;
  void* zip_ = nullptr;
  struct TStream;
  std::unique_ptr<TStream> stream_;
};

}  // namespace plicato::xlsx

// Fuzz target: the compound document reader on arbitrary bytes, and the record stream over the same
// bytes (the workbook stream of a document, or a plain BIFF2-4 file).
//
// Besides "succeed or fail with a message", it checks that whatever the reader accepts, the writer can
// save and the reader reads back with the same elements: the output of a merge carries every part of a
// source document it does not interpret.
#include <algorithm>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "biff/CompoundFile.h"

namespace {

using namespace plicato;

// Every element under storage as "path, type, content", sorted: the reader keeps elements in the
// order of a damaged directory, the writer sorts them, so the comparison is of the sets.
void Describe(const cfb::TStorage& storage, const std::u16string& path, std::vector<std::u16string>& out) {
  for (const auto& element : storage.Elements()) {
    std::u16string name = path + u'/' + element->Name();
    if (element->IsStorage()) {
      out.push_back(name + u"|storage");
      Describe(static_cast<const cfb::TStorage&>(*element), name, out);
    } else {
      const auto& data = static_cast<const cfb::TStreamElement&>(*element).Data();
      std::u16string entry = name + u"|stream|";
      entry.append(data.begin(), data.end());
      out.push_back(std::move(entry));
    }
  }
}

std::vector<std::u16string> Contents(const cfb::TCompoundDocument& document) {
  std::vector<std::u16string> out;
  Describe(document.Root(), u"", out);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  bool opened = false;
  cfb::TCompoundDocument document;
  try {
    document = cfb::TCompoundDocument::OpenMemory(bytes);
    opened = true;
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
  }
  if (opened) {
    // No catch: a document we read must save, and read back unchanged.
    const std::vector<uint8_t> saved = document.SaveToMemory();
    const cfb::TCompoundDocument again = cfb::TCompoundDocument::OpenMemory(saved);
    if (Contents(document) != Contents(again)) {
      std::fprintf(stderr, "the saved document reads back with other elements\n");
      std::abort();
    }
  }

  const std::vector<uint8_t> image(data, data + size);
  try {
    TXLSStream stream;
    stream.SetSourceMemory(&image);
    stream.OpenRead("");
    fuzz::WalkRecords(stream);
    stream.Close();
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
  }
  return 0;
}

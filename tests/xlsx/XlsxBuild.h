// Small Office Open XML packages built from XML strings with libzip, for the tests, the benchmark and the
// fuzz target: the parts a reader of the first worksheet needs, each replaceable.
#pragma once

#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace plicato::test {

using TParts = std::map<std::string, std::string>;

// Deflated parts (or stored ones), in name order, as zip bytes.
inline std::vector<uint8_t> BuildZip(const TParts& parts, bool store = false) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_t* archive = buffer ? zip_open_from_source(buffer, ZIP_TRUNCATE, &error) : nullptr;
  if (!archive) throw std::runtime_error("libzip cannot create an archive in memory");
  zip_source_keep(buffer);
  for (const auto& [name, data] : parts) {
    zip_source_t* source = zip_source_buffer(archive, data.data(), data.size(), 0);
    const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_OVERWRITE);
    if (index < 0) throw std::runtime_error("libzip cannot add " + name);
    if (store) zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
  }
  if (zip_close(archive) != 0) throw std::runtime_error("libzip cannot write the archive");
  std::vector<uint8_t> bytes;
  if (zip_source_open(buffer) == 0) {
    uint8_t chunk[65536];
    zip_int64_t n;
    while ((n = zip_source_read(buffer, chunk, sizeof chunk)) > 0)
      bytes.insert(bytes.end(), chunk, chunk + n);
    zip_source_close(buffer);
  }
  zip_source_free(buffer);
  zip_error_fini(&error);
  return bytes;
}

inline const char* kSheetNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline const char* kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

inline std::string SheetXml(const std::string& rows) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<worksheet xmlns=\"") +
         kSheetNs + "\"><sheetData>" + rows + "</sheetData></worksheet>";
}

inline std::string SharedStringsXml(const std::string& items) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<sst xmlns=\"") + kSheetNs + "\">" + items +
         "</sst>";
}

// A workbook of one sheet "Sheet1" at xl/worksheets/sheet1.xml, with shared strings when there are any.
inline TParts WorkbookParts(const std::string& sheetXml, const std::string& sharedStringsXml = "") {
  TParts parts;
  parts["[Content_Types].xml"] =
      "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
      "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
      "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>";
  parts["_rels/.rels"] =
      "<?xml version=\"1.0\"?><Relationships "
      "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
      "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
      "Target=\"xl/workbook.xml\"/></Relationships>";
  parts["xl/workbook.xml"] =
      std::string("<?xml version=\"1.0\"?><workbook xmlns=\"") + kSheetNs + "\" xmlns:r=\"" + kRelNs +
      "\"><sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
  std::string rels =
      "<?xml version=\"1.0\"?><Relationships "
      "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
      "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
      "Target=\"worksheets/sheet1.xml\"/>";
  if (!sharedStringsXml.empty()) {
    rels +=
        "<Relationship Id=\"rId2\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
        "Target=\"/xl/sharedStrings.xml\"/>";
    parts["xl/sharedStrings.xml"] = sharedStringsXml;
  }
  parts["xl/_rels/workbook.xml.rels"] = rels + "</Relationships>";
  parts["xl/worksheets/sheet1.xml"] = sheetXml;
  return parts;
}

}  // namespace plicato::test

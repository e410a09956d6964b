#include "xlsx/XlsxReader.h"

#include <cctype>
#include <cstring>
#include <new>
#include <unordered_map>

#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "xlsx/InflateThread.h"
#include "xlsx/SharedStrings.h"
#include "xlsx/SheetRows.h"
#include "xlsx/XlsxStyles.h"
#include "xlsx/XmlPart.h"
#include "xlsx/ZipPackage.h"

namespace plicato {

namespace {

using xlsx::TXmlPart;
using xlsx::TZipPackage;

bool EndsWith(std::string_view text, std::string_view tail) {
  if (text.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) !=
        std::tolower(static_cast<unsigned char>(tail[i])))
      return false;
  return true;
}

// --- Part names and relationships ---

std::string Folder(const std::string& part) {
  const size_t slash = part.rfind('/');
  return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

std::string RelationshipsPart(const std::string& part) {
  const size_t slash = part.rfind('/');
  const std::string file = slash == std::string::npos ? part : part.substr(slash + 1);
  return Folder(part) + "_rels/" + file + ".rels";
}

// A relationship target as a part name: relative to the source part's folder, or from the package root
// when it starts with '/'; "." and ".." resolved, never above the root.
std::string ResolveTarget(const std::string& sourceFolder, const std::string& target) {
  const std::string joined = !target.empty() && target[0] == '/' ? target : sourceFolder + target;
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= joined.size()) {
    size_t end = joined.find('/', start);
    if (end == std::string::npos) end = joined.size();
    const std::string segment = joined.substr(start, end - start);
    if (segment == "..") {
      if (segments.empty())
        throw EXlsxError("The relationship target \"" + target + "\" is outside the package");
      segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string name;
  for (const std::string& s : segments) name += (name.empty() ? "" : "/") + s;
  return name;
}

struct TRelationship {
  std::string type, target;
  bool external = false;
};

class TRelationshipsPart : public xlsx::TXmlPart {
 public:
  using xlsx::TXmlPart::TXmlPart;
  std::unordered_map<std::string, TRelationship> byId;
  std::vector<std::string> order;

 protected:
  void StartElement(const char* name, const char** attributes) override {
    if (std::strcmp(name, "Relationship") != 0) return;
    const char* id = Attribute(attributes, "Id");
    const char* target = Attribute(attributes, "Target");
    if (!id || !target) return;
    const char* type = Attribute(attributes, "Type");
    const char* mode = Attribute(attributes, "TargetMode");
    if (byId.size() > 100000) throw EXlsxError(Where() + ": too many relationships");
    if (byId.emplace(id, TRelationship{type ? type : "", target, mode && std::strcmp(mode, "External") == 0})
            .second)
      order.push_back(id);
  }
  void EndElement(const char*) override {}
  void Characters(const char*, int) override {}
};

// The sheets the workbook part lists, in order, and its date system.
class TWorkbookPart : public TXmlPart {
 public:
  using TXmlPart::TXmlPart;
  struct TSheet {
    std::string name, relationshipId;
  };
  std::vector<TSheet> sheets;
  bool date1904 = false, dateCompatibility = true;

 protected:
  void StartElement(const char* element, const char** attributes) override {
    ++depth_;
    // Only the workbook's own workbookPr, a child of the root: current Excel repeats the element in an
    // extension (<x14:workbookPr/> under extLst) without the date system, which must not reset it.
    if (depth_ == 2 && std::strcmp(element, "workbookPr") == 0) {
      date1904 = IsTrue(Attribute(attributes, "date1904"), false);
      dateCompatibility = IsTrue(Attribute(attributes, "dateCompatibility"), true);
    }
    if (std::strcmp(element, "sheet") != 0) return;
    if (sheets.size() >= kMaxSheets) throw EXlsxError(Where() + ": too many sheets");
    const char* n = Attribute(attributes, "name");
    const char* id = PrefixedAttribute(attributes, "id");
    sheets.push_back({n ? n : "", id ? id : ""});
  }
  void EndElement(const char*) override { --depth_; }
  void Characters(const char*, int) override {}

 private:
  static constexpr size_t kMaxSheets = 100000;
  int depth_ = 0;
  static bool IsTrue(const char* value, bool absent) {
    if (!value) return absent;
    return std::strcmp(value, "1") == 0 || std::strcmp(value, "true") == 0 || std::strcmp(value, "on") == 0;
  }
};

// A sheet that holds no cells: the relationship types of chart, dialog and macro sheets (the 2007
// pre-release names them xlChartsheet and xlDialogsheet).
bool IsOtherSheetType(const std::string& type) {
  for (const char* other : {"/chartsheet", "/dialogsheet", "/xlChartsheet", "/xlDialogsheet", "/xlMacrosheet",
                            "/xlIntlMacrosheet"})
    if (EndsWith(type, other)) return true;
  return false;
}

// The container's input file refuses at once what is not a regular file (a named pipe would block).
std::vector<uint8_t> FileHead(const std::filesystem::path& path, size_t size) {
  const cfb::TInputFile in(path);
  std::vector<uint8_t> head(size);
  head.resize(in.ReadAt(0, head.data(), size));
  return head;
}

}  // namespace

struct TXlsxSheetReader::TImpl {
  explicit TImpl(TZipPackage zip) : package(std::move(zip)) { Open(); }

  void Open();
  std::string FindWorkbook();
  // The part of sheet index, checked.
  std::string SheetPartOf(size_t index) const;
  bool HasSheetPart(size_t index) const;
  void Select(size_t index, std::vector<xlsx::TZipPart> before);

  TZipPackage package;
  std::string workbook;
  std::vector<TXlsxSheetEntry> sheets;
  std::vector<std::string> relationshipIds;
  std::unique_ptr<TRelationshipsPart> rels;
  bool date1904 = false, dateCompatibility = true;
  size_t selected = 0;
  std::string sheetPart;
  xlsx::TCellStyles styles;
  xlsx::TSharedStrings strings;
  // The sheet reads through the inflater, and the inflater reads the package: destroyed in this order.
  // The sheet's own worker touches only bytes the inflater gave, never the package.
  std::unique_ptr<xlsx::TInflateThread> inflater;
  std::unique_ptr<xlsx::TSheetRows> sheet;
  // No row of the selected sheet asked for yet: selecting it again changes nothing, and its part, inflated
  // ahead since the workbook was opened, is not inflated a second time.
  bool untouched = false;
};

std::string TXlsxSheetReader::TImpl::FindWorkbook() {
  std::string found = "xl/workbook.xml";
  if (package.Contains("_rels/.rels")) {
    TRelationshipsPart root(package.OpenPart("_rels/.rels"));
    try {
      root.ParseAll();
    } catch (const EXlsxError&) {
      // Damaged root relationships cost nothing while the workbook is at its usual place, where other
      // readers look for it too; without one there, the damage is the reason.
      if (!package.Contains(found)) throw;
      root.order.clear();
    }
    for (const std::string& id : root.order) {
      const TRelationship& r = root.byId[id];
      if (EndsWith(r.type, "/officeDocument") && !r.external) {
        found = ResolveTarget("", r.target);
        break;
      }
    }
  }
  if (EndsWith(found, ".bin") || package.Contains("xl/workbook.bin"))
    throw EXlsxError(kXlsbNotSupported, ekUnsupported);
  if (EndsWith(found, ".rels"))
    throw EXlsxError("The package's relationships point back at themselves instead of at a workbook");
  if (!package.Contains(found))
    throw EXlsxError("The zip archive is not an Excel workbook: it has no part " + found, ekNotAWorkbook);
  return found;
}

std::string TXlsxSheetReader::TImpl::SheetPartOf(size_t index) const {
  const std::string name = ToUtf8(sheets[index].name);
  const std::string relsName = RelationshipsPart(workbook);
  const std::string& id = relationshipIds[index];
  const auto found = rels->byId.find(id);
  // A sheet listed without its part is missing, as a sheet of another name would be: the other sheets of
  // the workbook can still be read.
  if (id.empty() || found == rels->byId.end())
    throw EXlsxError("The relationship \"" + id + "\" of the worksheet \"" + name + "\" is missing from " +
                         relsName,
                     ekSheetMissing);
  if (found->second.external)
    throw EXlsxError("The worksheet \"" + name + "\" is outside the package (an external link)");
  std::string part = ResolveTarget(Folder(workbook), found->second.target);
  if (part == workbook || EndsWith(part, ".rels"))
    throw EXlsxError("The relationship of the worksheet \"" + name + "\" loops back to " + part);
  if (!package.Contains(part))
    throw EXlsxError("The part " + part + " of the worksheet \"" + name + "\" is missing from the zip archive",
                     ekSheetMissing);
  return part;
}

bool TXlsxSheetReader::TImpl::HasSheetPart(size_t index) const {
  try {
    SheetPartOf(index);
    return true;
  } catch (const EXlsxError&) {
    return false;
  }
}

// Starts reading sheet index through a new inflater, which first inflates the parts before (the styles
// and shared strings, which the caller then parses before any row is read).
void TXlsxSheetReader::TImpl::Select(size_t index, std::vector<xlsx::TZipPart> before) {
  untouched = false;
  sheet.reset();
  inflater.reset();
  sheetPart.clear();
  if (index >= sheets.size())
    throw EXlsxError(
        FormatMessage("The workbook has %zu sheet(s); there is no sheet %zu", sheets.size(), index),
        ekSheetMissing);
  if (!sheets[index].worksheet)
    throw EXlsxError(
        "The sheet \"" + ToUtf8(sheets[index].name) + "\" is a chart, dialog or macro sheet, not a worksheet",
        ekSheetMissing);
  std::string part = SheetPartOf(index);
  for (const xlsx::TZipPart& p : before)
    if (p.Name() == part) throw EXlsxError("The worksheet's relationship loops back to " + part);
  selected = index;
  const size_t sheetIndex = before.size();
  before.push_back(package.OpenPart(part));
  // From here on the worker alone reads the archive.
  inflater = std::make_unique<xlsx::TInflateThread>(std::move(before));
  sheet = std::make_unique<xlsx::TSheetRows>(
      inflater->Reader(sheetIndex), xlsx::TSheetContext{strings, styles, date1904, dateCompatibility});
  sheetPart = std::move(part);
  untouched = true;
}

void TXlsxSheetReader::TImpl::Open() {
  workbook = FindWorkbook();
  TWorkbookPart book(package.OpenPart(workbook));
  book.ParseAll();
  date1904 = book.date1904;
  dateCompatibility = book.dateCompatibility;

  const std::string relsName = RelationshipsPart(workbook);
  if (!package.Contains(relsName))
    throw EXlsxError("The workbook's relationships (" + relsName + ") are missing");
  rels = std::make_unique<TRelationshipsPart>(package.OpenPart(relsName));
  rels->ParseAll();
  size_t first = SIZE_MAX;
  for (const TWorkbookPart::TSheet& s : book.sheets) {
    const auto found = rels->byId.find(s.relationshipId);
    const bool worksheet = found == rels->byId.end() || !IsOtherSheetType(found->second.type);
    if (worksheet && first == SIZE_MAX) first = sheets.size();
    sheets.push_back({FromUtf8(s.name), worksheet});
    relationshipIds.push_back(s.relationshipId);
  }
  if (book.sheets.empty())
    throw EXlsxError("The workbook " + workbook + " lists no worksheet", ekSheetMissing);
  if (first == SIZE_MAX)
    throw EXlsxError("The workbook " + workbook + " lists no worksheet, only chart, dialog or macro sheets",
                     ekSheetMissing);

  std::string stringsPart, stylesPart;
  for (const std::string& id : rels->order) {
    const TRelationship& r = rels->byId[id];
    if (EndsWith(r.type, "/sharedStrings") && !r.external)
      stringsPart = ResolveTarget(Folder(workbook), r.target);
    if (EndsWith(r.type, "/styles") && !r.external) stylesPart = ResolveTarget(Folder(workbook), r.target);
  }
  // Some writers leave the relationships out; the parts at their usual places are then used.
  if (stringsPart.empty() && package.Contains("xl/sharedStrings.xml")) stringsPart = "xl/sharedStrings.xml";
  if (stylesPart.empty() && package.Contains("xl/styles.xml")) stylesPart = "xl/styles.xml";
  // A missing styles part leaves every cell General; missing shared strings leave none to refer to.
  if (!stylesPart.empty() && !package.Contains(stylesPart)) stylesPart.clear();
  for (const std::string* p : {&stringsPart, &stylesPart})
    if (*p == workbook || EndsWith(*p, ".rels"))
      throw EXlsxError("The relationship of the shared strings or styles loops back to " + *p);
  std::vector<xlsx::TZipPart> before;
  if (!stylesPart.empty()) before.push_back(package.OpenPart(stylesPart));
  if (!stringsPart.empty()) before.push_back(package.OpenPart(stringsPart));
  // The styles and strings are read with the first worksheet whose part is there: a sheet listed without
  // one is passed over here and refused only when it is chosen. With none there, the first says why.
  size_t opened = first;
  while (opened < sheets.size() && !(sheets[opened].worksheet && HasSheetPart(opened))) ++opened;
  Select(opened < sheets.size() ? opened : first, std::move(before));
  // The styles and strings are inflated ahead of the sheet and parsed here, while the worker inflates on.
  size_t part = 0;
  if (!stylesPart.empty()) {
    xlsx::TStylesPart parsed(inflater->Reader(part++));
    parsed.ParseAll();
    styles = parsed.Take();
  }
  if (!stringsPart.empty()) {
    xlsx::TSharedStringsPart parsed(inflater->Reader(part++));
    parsed.ParseAll();
    strings = std::move(parsed.strings);
  }
}

namespace {

TZipPackage OpenPackage(const std::filesystem::path& path) {
  const std::vector<uint8_t> head = FileHead(path, 8);
  if (!xlsx::IsZipData(head)) {
    if (cfb::TCompoundDocument::IsCompoundData(head)) {
      if (HoldsEncryptedPackage(path)) throw EXlsxError(kEncryptedXlsx, ekEncrypted);
      throw EXlsxError("The file is a compound document (an .xls file?), not an .xlsx workbook",
                       ekNotAWorkbook);
    }
    throw EXlsxError("The file is not an .xlsx workbook (not a zip archive)", ekNotAWorkbook);
  }
  return TZipPackage::OpenFile(path);
}

// Running out of memory becomes a failure of this file, with its name, like any other: the merge can
// then skip it or stop with a message rather than end with "std::bad_alloc".
template <typename F>
auto Guarded(const std::string& file, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    throw EXlsxError("Not enough memory to read " + file, ekOutOfMemory);
  }
}

std::string Shown(const std::filesystem::path& path) {
  return "\"" + path.string() + "\"";
}

}  // namespace

TXlsxSheetReader::TXlsxSheetReader(const std::filesystem::path& path)
    : file_(Shown(path)), impl_(Guarded(file_, [&] { return std::make_unique<TImpl>(OpenPackage(path)); })) {}

TXlsxSheetReader::TXlsxSheetReader(std::span<const uint8_t> bytes)
    : file_("the workbook"),
      impl_(Guarded(file_, [&] { return std::make_unique<TImpl>(TZipPackage::OpenMemory(bytes)); })) {}

TXlsxSheetReader::~TXlsxSheetReader() = default;

bool TXlsxSheetReader::NextRow(TXlsxRow& row) {
  if (!impl_->sheet) throw EXlsxError("No worksheet is selected: the last choice of a sheet failed");
  impl_->untouched = false;
  return Guarded(file_, [&] { return impl_->sheet->Next(row); });
}

const std::vector<TXlsxSheetEntry>& TXlsxSheetReader::Sheets() const {
  return impl_->sheets;
}

void TXlsxSheetReader::SelectSheet(size_t index) {
  if (impl_->untouched && impl_->selected == index) return;
  Guarded(file_, [&] { impl_->Select(index, {}); });
}

size_t TXlsxSheetReader::SelectedSheet() const {
  return impl_->selected;
}

bool TXlsxSheetReader::Date1904() const {
  return impl_->date1904;
}

const std::u16string& TXlsxSheetReader::SheetName() const {
  return impl_->sheets[impl_->selected].name;
}

const std::string& TXlsxSheetReader::SheetPart() const {
  return impl_->sheetPart;
}

size_t TXlsxSheetReader::SharedStringCount() const {
  return impl_->strings.Count();
}

void SetXlsxSheetPieceSize(size_t bytes) {
  xlsx::SetPieceSize(bytes);
}

size_t XlsxSharedStringsBudget() {
  return xlsx::SharedStringsBudget();
}

void SetXlsxSharedStringsBudget(size_t bytes) {
  xlsx::SetSharedStringsBudget(bytes);
}

TWorkbookContent DetectWorkbookContent(const std::filesystem::path& path) {
  try {
    return xlsx::IsZipData(FileHead(path, 4)) ? wcXlsx : wcXls;
  } catch (const EFileError&) {
    return wcXls;  // the .xls reader says why the file cannot be read
  }
}

namespace {

// Whether some directory entry of a compound document, wherever it stands, is a stream named
// EncryptedPackage: the entries are 128-byte records in sectors after the 512-byte header, each with its
// name in UTF-16 (64 bytes), the name's size in bytes with its terminator, and its type (2: a stream).
// Read without the sector chains, so that a damaged document still says what it is.
bool ScanForEncryptedPackage(const cfb::TInputFile& in) {
  static constexpr char16_t kName[] = u"EncryptedPackage";
  uint8_t name[sizeof kName];
  for (size_t i = 0; i < std::size(kName); ++i) {
    name[2 * i] = static_cast<uint8_t>(kName[i] & 0xFF);
    name[2 * i + 1] = static_cast<uint8_t>(kName[i] >> 8);
  }
  constexpr size_t kChunk = 1 << 20;
  std::vector<uint8_t> chunk(kChunk);
  for (uint64_t at = 512; at < in.Size(); at += kChunk) {
    const size_t n = in.ReadAt(at, chunk.data(), kChunk);
    for (size_t entry = 0; entry + 128 <= n; entry += 128)
      if (chunk[entry + 64] == sizeof name && chunk[entry + 65] == 0 && chunk[entry + 66] == 2 &&
          std::memcmp(&chunk[entry], name, sizeof name) == 0)
        return true;
  }
  return false;
}

}  // namespace

bool HoldsEncryptedPackage(const std::filesystem::path& path) {
  try {
    if (!cfb::TCompoundDocument::IsCompoundFile(path)) return false;
    try {
      const cfb::TCompoundDocument document = cfb::TCompoundDocument::OpenFile(path);
      for (const auto& element : document.Root().Elements())
        if (element->Name() == u"EncryptedPackage") return true;
      return false;
    } catch (const EPlicatoError&) {
      // A damaged document: one message for every encrypted package, damaged or not.
    }
    return ScanForEncryptedPackage(cfb::TInputFile(path));
  } catch (const EPlicatoError&) {
  }
  return false;
}

}  // namespace plicato

// A streaming XML parse of one package part (expat, fed in chunks from the zip or from a thread inflating
// the part), for the part readers that derive from it. Memory is bounded by one chunk plus what the
// handlers keep: no tree is built.
//
// The parse refuses what a spreadsheet part never needs and an attacker would use: a document type
// declaration (and with it every entity declaration), so no entity is ever expanded. Handlers may throw;
// the exception is carried across expat and rethrown from Parse(). A handler that has a result for the
// caller calls Pause(), and Parse() returns; the next Parse() continues where it stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "biff/Errors.h"
#include "xlsx/ZipPackage.h"

struct XML_ParserStruct;

namespace plicato::xlsx {

class TXmlPart {
 public:
  explicit TXmlPart(std::unique_ptr<TPartReader> input);
  explicit TXmlPart(TZipPart part) : TXmlPart(std::make_unique<TZipPart>(std::move(part))) {}
  virtual ~TXmlPart();
  TXmlPart(const TXmlPart&) = delete;
  TXmlPart& operator=(const TXmlPart&) = delete;

  // Parses until a handler pauses (true) or the part has been parsed to its end (false). EXlsxError for
  // a damaged or refused part, naming the part and the line.
  bool Parse();
  // Parses the whole part, pauses ignored.
  void ParseAll() {
    while (Parse()) {
    }
  }

  const std::string& PartName() const { return input_->Name(); }
  // "xl/worksheets/sheet1.xml, line 12": where the parse is, for messages.
  std::string Where() const;

 protected:
  // name: the element name without its namespace prefix; attributes: name, value, ..., nullptr, as
  // written (look them up with Attribute and PrefixedAttribute).
  virtual void StartElement(const char* name, const char** attributes) = 0;
  virtual void EndElement(const char* name) = 0;
  virtual void Characters(const char* text, int length) = 0;
  void Pause();
  // An input fed in stretches says so here: while it holds back, Parse() returns false at its current end
  // without ending the document, and a later Parse() goes on with what it was given since.
  virtual bool InputHeld() const { return false; }
  // The byte after the markup a handler is called for, counted from the first byte given to the parser.
  size_t EventEnd() const;
  // Lines of the part that reached the parser by another way: counted into the lines of Where().
  void AddLines(size_t lines) { lineOffset_ += lines; }
  xlsx::TPartReader& Reader() const { return *input_; }

  // The value of an attribute by local name, or nullptr (namespace declarations are not attributes here).
  static const char* Attribute(const char** attributes, const char* name);
  // An attribute with a namespace prefix (r:id) by local name, or nullptr.
  static const char* PrefixedAttribute(const char** attributes, const char* name);
  // The name after its namespace prefix.
  static const char* LocalName(const char* name) {
    for (const char* p = name; *p; ++p)
      if (*p == ':') return p + 1;
    return name;
  }

 private:
  static void OnStart(void* self, const char* name, const char** attributes);
  static void OnEnd(void* self, const char* name);
  static void OnCharacters(void* self, const char* text, int length);
  static void OnDoctype(void* self, const char* name, const char* sysid, const char* pubid, int internal);
  static void OnEntity(void* self, const char* name, int parameter, const char* value, int length,
                       const char* base, const char* sysid, const char* pubid, const char* notation);
  bool ParseOn();
  void Stop(std::exception_ptr failure);
  void Check(int status);

  std::unique_ptr<TPartReader> input_;
  XML_ParserStruct* parser_ = nullptr;
  std::exception_ptr failure_;  // thrown by a handler, rethrown once expat has returned
  std::string failed_;          // the message of the failure that stopped the parse
  TErrorKind failedKind_ = ekOther;
  size_t lineOffset_ = 0;
  bool suspended_ = false;
  bool finished_ = false;
};

}  // namespace plicato::xlsx

#include "xlsx/XmlPart.h"

#include <expat.h>

#include <cstring>

#include "biff/Errors.h"
#include "xlsx/XlsxErrors.h"

namespace plicato::xlsx {

namespace {

// As large as the blocks of the inflating thread: expat's work per buffer is then spread over many rows.
constexpr int kChunkSize = 256 * 1024;

}  // namespace

TXmlPart::TXmlPart(std::unique_ptr<TPartReader> input) : input_(std::move(input)) {
  parser_ = XML_ParserCreate(nullptr);
  if (!parser_) throw EXlsxError("[int] Cannot create an XML parser");
  XML_SetUserData(parser_, this);
  XML_SetElementHandler(parser_, &TXmlPart::OnStart, &TXmlPart::OnEnd);
  XML_SetCharacterDataHandler(parser_, &TXmlPart::OnCharacters);
  XML_SetStartDoctypeDeclHandler(parser_, &TXmlPart::OnDoctype);
  XML_SetEntityDeclHandler(parser_, &TXmlPart::OnEntity);
  XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
}

TXmlPart::~TXmlPart() {
  XML_ParserFree(parser_);
}

std::string TXmlPart::Where() const {
  return FormatMessage("%s, line %lu", input_->Name().c_str(),
                       static_cast<unsigned long>(XML_GetCurrentLineNumber(parser_) + lineOffset_));
}

size_t TXmlPart::EventEnd() const {
  return static_cast<size_t>(XML_GetCurrentByteIndex(parser_) + XML_GetCurrentByteCount(parser_));
}

bool TXmlPart::Parse() {
  // expat cannot go on after an error: a further call reports the same failure.
  if (!failed_.empty()) throw EXlsxError(failed_, failedKind_);
  try {
    return ParseOn();
  } catch (const std::exception& e) {
    failed_ = e.what();
    failedKind_ = KindOf(e);
    if (failed_.empty()) failed_ = "[int] Failure without a message while reading " + input_->Name();
    throw;
  }
}

bool TXmlPart::ParseOn() {
  if (finished_) return false;
  if (suspended_) {
    suspended_ = false;
    Check(XML_ResumeParser(parser_));
    if (suspended_) return true;
    XML_ParsingStatus status;
    XML_GetParsingStatus(parser_, &status);
    if (status.finalBuffer) {
      finished_ = true;
      return false;
    }
  }
  for (;;) {
    void* buffer = XML_GetBuffer(parser_, kChunkSize);
    if (!buffer) throw EXlsxError("Out of memory while reading " + input_->Name());
    const size_t n = input_->Read(static_cast<uint8_t*>(buffer), kChunkSize);
    if (n == 0 && InputHeld()) return false;
    const bool last = n == 0;
    Check(XML_ParseBuffer(parser_, static_cast<int>(n), last));
    if (suspended_) return true;
    if (last) {
      finished_ = true;
      return false;
    }
  }
}

void TXmlPart::Check(int status) {
  if (failure_) std::rethrow_exception(failure_);
  if (status == XML_STATUS_SUSPENDED) {
    suspended_ = true;
    return;
  }
  if (status == XML_STATUS_ERROR) {
    const XML_Error code = XML_GetErrorCode(parser_);
    std::string what = XML_ErrorString(code);
    if (code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_UNCLOSED_TOKEN ||
        code == XML_ERROR_UNCLOSED_CDATA_SECTION)
      what = "the part is cut short (" + what + ")";
    throw EXlsxError(Where() + ": " + what, ekDamaged);
  }
}

void TXmlPart::Pause() {
  XML_StopParser(parser_, XML_TRUE);
}

void TXmlPart::Stop(std::exception_ptr failure) {
  if (!failure_) failure_ = failure;
  XML_StopParser(parser_, XML_FALSE);
}

const char* TXmlPart::Attribute(const char** attributes, const char* name) {
  for (; *attributes; attributes += 2)
    if (std::strcmp(LocalName(attributes[0]), name) == 0 && std::strncmp(attributes[0], "xmlns", 5) != 0)
      return attributes[1];
  return nullptr;
}

const char* TXmlPart::PrefixedAttribute(const char** attributes, const char* name) {
  for (; *attributes; attributes += 2) {
    const char* colon = std::strchr(attributes[0], ':');
    if (colon && std::strncmp(attributes[0], "xmlns", 5) != 0 && std::strcmp(colon + 1, name) == 0)
      return attributes[1];
  }
  return nullptr;
}

void TXmlPart::OnStart(void* self, const char* name, const char** attributes) {
  auto* part = static_cast<TXmlPart*>(self);
  if (part->failure_) return;
  try {
    part->StartElement(LocalName(name), attributes);
  } catch (...) {
    part->Stop(std::current_exception());
  }
}

void TXmlPart::OnEnd(void* self, const char* name) {
  auto* part = static_cast<TXmlPart*>(self);
  if (part->failure_) return;
  try {
    part->EndElement(LocalName(name));
  } catch (...) {
    part->Stop(std::current_exception());
  }
}

void TXmlPart::OnCharacters(void* self, const char* text, int length) {
  auto* part = static_cast<TXmlPart*>(self);
  if (part->failure_) return;
  try {
    part->Characters(text, length);
  } catch (...) {
    part->Stop(std::current_exception());
  }
}

void TXmlPart::OnDoctype(void* self, const char*, const char*, const char*, int) {
  auto* part = static_cast<TXmlPart*>(self);
  part->Stop(std::make_exception_ptr(
      EXlsxError(part->Where() + ": a document type declaration is not allowed in a workbook part")));
}

void TXmlPart::OnEntity(void* self, const char*, int, const char*, int, const char*, const char*, const char*,
                        const char*) {
  auto* part = static_cast<TXmlPart*>(self);
  part->Stop(std::make_exception_ptr(
      EXlsxError(part->Where() + ": an entity declaration is not allowed in a workbook part")));
}

}  // namespace plicato::xlsx

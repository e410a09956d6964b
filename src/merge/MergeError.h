// The failure of a merge, above the engine's failures of reading and writing one workbook.
#pragma once

#include <memory>
#include <utility>

#include "biff/Errors.h"
#include "merge/RunFacts.h"

namespace plicato {

// A merge that stopped, or a file it could not merge, with the facts of it (Facts()): the hosts word
// them. what() holds only the reader's or the system's own words where there are some, else the path
// of the output or input concerned, else the failure's name ("options", "out of memory"): enough for a
// caller that has nothing but a message to print, never the sentence a host makes of the facts.
class EMergeError : public EPlicatoError {
 public:
  explicit EMergeError(TRunFailure facts, TErrorKind kind = ekOther)
      : EPlicatoError(WhatOf(facts), kind), facts_(std::make_shared<const TRunFailure>(std::move(facts))) {}
  const char* ClassName() const noexcept override { return "EMergeError"; }
  const TRunFailure& Facts() const noexcept { return *facts_; }

 private:
  static std::string WhatOf(const TRunFailure& facts) {
    if (!facts.file.words.empty()) return facts.file.words;
    if (!facts.restWords.empty()) return facts.restWords;
    const std::filesystem::path& named = facts.output.empty() ? facts.input : facts.output;
    if (!named.empty()) return named.string();
    static constexpr const char* kNames[] = {"other",
                                             "options",
                                             "match columns",
                                             "output clash",
                                             "output unwritable",
                                             "out of memory writing",
                                             "out of memory merging",
                                             "out of memory",
                                             "file"};
    return kNames[facts.what];
  }

  std::shared_ptr<const TRunFailure> facts_;  // shared: an exception is copied as it is thrown
};

}  // namespace plicato

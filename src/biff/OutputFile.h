// Files written so that a failure never leaves a damaged file in place of a good one.
//
// A file is written whole to a temporary file beside its target and renamed over the target only once
// it is complete and synced; the folder is synced after the rename, so that a reported success survives
// a power cut. The temporary files of the writes under way are known to a registry that a signal or
// crash handler empties (RemoveTemporaryFiles), so that no half-written file is left behind however the
// process ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "biff/Errors.h"

namespace plicato::cfb {

struct TTemporarySlot;

// The replacement of one file. The constructor follows a symbolic link to the file it names (the link
// stays and goes on naming the new file), refuses with EFileError a target that exists and is not a
// regular file (a folder, a named pipe, a device, a socket), and creates an empty temporary file in the
// folder of the resolved target ("out.xls.plicato-tmp-<process id>"), registered for removal on
// failure and on signals before it is created. Commit syncs the temporary file, gives it the mode of
// the file it replaces, renames it over the target and syncs the folder. Destroyed without Commit, or
// after a Commit that failed, it removes the temporary file. Every failure is an EFileError naming the
// target as it was given.
class TReplacement {
 public:
  explicit TReplacement(const std::filesystem::path& target);
  ~TReplacement();
  TReplacement(const TReplacement&) = delete;
  TReplacement& operator=(const TReplacement&) = delete;

  // The file that is replaced: the target, or the file its links lead to.
  const std::filesystem::path& Target() const { return target_; }
  // Where the bytes go until Commit: a descriptor open for writing, valid until Commit.
  int Descriptor() const { return fd_; }
  void Commit();

  // An EFileError "Cannot write file "<target as given>": reason".
  EFileError Fail(const std::string& reason) const;

 private:
  void Discard() noexcept;

  std::filesystem::path given_;
  std::filesystem::path target_;
  std::string name_;      // the target's file name within its folder
  std::string tempName_;  // the temporary file's name within the same folder
  int folder_ = -1;       // the folder of both, open for the life of the replacement
  int fd_ = -1;
  TTemporarySlot* slot_ = nullptr;
  bool committed_ = false;
};

// Raises EFileError when a file cannot be written at target: the target (or the file a link there
// leads to) is a folder, named pipe, device or socket, or its folder is missing, is not a folder, or
// cannot be written to. Called before any input is read, so that a run does not read everything to
// fail at its end.
void CheckOutputWritable(const std::filesystem::path& target);

// Why a file of this mode (st_mode) is not a regular file, for messages: "it is a folder, not a file".
std::string NotRegularReason(unsigned mode);

// Where a file being written goes. Bytes are appended in order; bytes appended before may be written
// over (a document's header, written last; a field patched once its value is known).
//
// ToFile writes through a TReplacement: a write that fails, or an output destroyed without Commit,
// removes the temporary file at once and leaves the target as it was. Every failure is an EFileError
// naming the target; after one the output refuses any further use. ToMemory fills the destination on
// Commit only.
class TOutput {
 public:
  static std::unique_ptr<TOutput> ToFile(const std::filesystem::path& path);  // EFileError
  static std::unique_ptr<TOutput> ToMemory(std::vector<uint8_t>& destination);

  virtual ~TOutput() = default;
  // A hint of the final size.
  virtual void Reserve(uint64_t /*size*/) {}
  virtual void Append(std::span<const uint8_t> bytes) = 0;
  // offset + bytes.size() must lie within what was appended.
  virtual void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) = 0;
  virtual void Commit() = 0;
  // Gives up the output for a reason found by its producer (the temporary file of a file output is
  // removed at once); the error returned, naming the output, is for the caller to throw.
  virtual EFileError Abandon(const std::string& reason);
  uint64_t Size() const { return size_; }

 protected:
  uint64_t size_ = 0;
};

// Writes bytes to path through a temporary file in the same folder, renamed over path once complete.
void WriteFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Removes the temporary files of the writes under way. Async-signal-safe: a signal or crash handler
// calls it before the process ends, so that no half-written temporary file is left beside a target.
void RemoveTemporaryFiles() noexcept;

// For a program that writes files: every signal that would end the process (interrupt, termination,
// hang-up, quit, user signals, alarms, CPU limit, crashes) first removes the temporary files, then ends
// the process as the signal would have; SIGXFSZ is ignored, so that a write past the file size limit
// fails as an error with a message. A program may then install its own handling of some of them (the
// command line's graceful stop on interrupt, termination and hang-up).
void RemoveTemporaryFilesOnSignals();

}  // namespace plicato::cfb

#include "biff/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <system_error>
#include <utility>

namespace plicato::cfb {

// ---------------------------------------------------------------------------------------------------
// The registry of temporary files

// One temporary file of a write under way, for RemoveTemporaryFiles. A signal handler reads the slots
// without locks or allocation: a slot is never freed, only reused, and its fields are filled before
// `ready` is set. The file is named by its folder's descriptor and its name in it, so that a path of any
// length can be removed.
struct TTemporarySlot {
  std::atomic<bool> used{false};
  std::atomic<bool> ready{false};
  int folder = -1;
  char name[NAME_MAX + 1] = {};
  TTemporarySlot* next = nullptr;
};

namespace {

std::atomic<TTemporarySlot*> gTemporaries{nullptr};

// name must fit NAME_MAX. Takes a free slot, or adds one: there is no limit to the writes under way.
TTemporarySlot* RegisterTemporary(int folder, const std::string& name) {
  TTemporarySlot* slot = nullptr;
  for (TTemporarySlot* s = gTemporaries.load(); s && !slot; s = s->next) {
    bool expected = false;
    if (s->used.compare_exchange_strong(expected, true)) slot = s;
  }
  const bool added = !slot;
  if (added) {
    slot = new TTemporarySlot;  // never freed: a handler may be reading it
    slot->used.store(true);
  }
  slot->folder = folder;
  std::memcpy(slot->name, name.c_str(), name.size() + 1);
  slot->ready.store(true);
  if (added) {
    slot->next = gTemporaries.load();
    while (!gTemporaries.compare_exchange_weak(slot->next, slot)) {
    }
  }
  return slot;
}

void UnregisterTemporary(TTemporarySlot* slot) {
  if (!slot) return;
  slot->ready.store(false);
  slot->used.store(false);
}

std::string ErrnoText(int error) {
  return std::system_category().message(error);
}

// "out.xls.plicato-tmp-<pid>", then "-1", "-2", ...: recognisable beside the target, and told apart
// from the temporary files of other processes. A long file name is shortened to leave room for the
// ending within the limit of a name.
std::string TemporaryName(const std::string& name, int attempt) {
  std::string ending = ".plicato-tmp-" + std::to_string(::getpid());
  if (attempt > 0) ending += "-" + std::to_string(attempt);
  return name.substr(0, NAME_MAX - ending.size()) + ending;
}

// The folder of a file, open for use with the *at calls: for reading where it may be (a folder can
// be synced only through such a descriptor), else only as a place. A path past the system's length
// limit is opened a folder at a time.
int OpenFolder(const std::filesystem::path& folder) {
  const char* where = folder.empty() ? "." : folder.c_str();
  int fd = ::open(where, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(where, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != ENAMETOOLONG) return fd;
  fd = ::open(folder.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (const std::filesystem::path& part : folder.relative_path()) {
    if (fd < 0 || part.empty()) continue;
    const int next = ::openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int error = errno;
    ::close(fd);
    fd = next;
    errno = error;
  }
  return fd;
}

// The file that writing to target replaces: target itself, or the file its links lead to (the links
// stay). reason is set when target cannot be written whatever its folder: it exists and is not a
// regular file, or its links go round.
std::filesystem::path ResolveTarget(const std::filesystem::path& target, std::string& reason) {
  if (target.empty() || target.filename().empty()) {
    reason = "no file name";
    return target;
  }
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    reason = NotRegularReason(info.st_mode);
    return target;
  }
  std::filesystem::path path = target;
  for (int links = 0; ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode); ++links) {
    std::error_code ec;
    const std::filesystem::path to = std::filesystem::read_symlink(path, ec);
    if (ec || links == 40) {
      reason = ec ? ec.message() : "its links go round in a loop";
      return target;
    }
    path = to.is_absolute() ? to : path.parent_path() / to;
  }
  if (path.filename().empty()) reason = "no file name";
  return path;
}

}  // namespace

void RemoveTemporaryFiles() noexcept {
  for (TTemporarySlot* slot = gTemporaries.load(); slot; slot = slot->next) {
    if (slot->ready.load()) ::unlinkat(slot->folder, slot->name, 0);
  }
}

std::string NotRegularReason(unsigned mode) {
  if (S_ISDIR(mode)) return "it is a folder, not a file";
  if (S_ISFIFO(mode)) return "it is a named pipe (FIFO), not a regular file";
  if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
  return "it is not a regular file";
}

// ---------------------------------------------------------------------------------------------------
// TReplacement

TReplacement::TReplacement(const std::filesystem::path& target) : given_(target) {
  std::string reason;
  target_ = ResolveTarget(target, reason);
  if (!reason.empty()) throw Fail(reason);
  name_ = target_.filename().native();
  folder_ = OpenFolder(target_.parent_path());
  if (folder_ < 0) throw Fail(ErrnoText(errno));
  // Whatever fails from here on (running out of memory too) closes what was opened and removes the
  // temporary file: the destructor of an object not made does not run.
  try {
    struct stat info {};
    if (::fstatat(folder_, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode) &&
        !S_ISLNK(info.st_mode)) {
      const EFileError error = Fail(NotRegularReason(info.st_mode));
      Discard();
      throw error;
    }
    static std::atomic<int> writes{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      // Named ours only once it is created: Discard removes it.
      std::string name = TemporaryName(name_, writes++);
      // Registered first: a signal between the creation and the registration would leave the file.
      slot_ = RegisterTemporary(folder_, name);
      fd_ = ::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0) {
        tempName_ = std::move(name);
        break;
      }
      const int error = errno;
      UnregisterTemporary(std::exchange(slot_, nullptr));  // not ours to remove
      if (error != EEXIST) {
        Discard();
        throw Fail(ErrnoText(error));
      }
    }
    if (fd_ < 0) {
      Discard();
      throw Fail("no free temporary file name");
    }
  } catch (...) {
    Discard();
    throw;
  }
}

TReplacement::~TReplacement() {
  Discard();
}

EFileError TReplacement::Fail(const std::string& reason) const {
  return EFileError(FormatMessage("Cannot write file \"%s\": %s", given_.string().c_str(), reason.c_str()),
                    ekOutputUnwritable);
}

void TReplacement::Commit() {
  if (fd_ < 0 || committed_) throw Fail("[int] the file was committed or given up");
  auto fail = [&](int error) {
    Discard();
    return Fail(ErrnoText(error));
  };
  // A replaced file keeps its permissions.
  struct stat existing {};
  if (::fstatat(folder_, name_.c_str(), &existing, 0) == 0 && S_ISREG(existing.st_mode))
    ::fchmod(fd_, existing.st_mode & 07777);
  if (::fsync(fd_) != 0) throw fail(errno);
  if (::close(std::exchange(fd_, -1)) != 0) throw fail(errno);
  if (::renameat(folder_, tempName_.c_str(), folder_, name_.c_str()) != 0) throw fail(errno);
  committed_ = true;
  UnregisterTemporary(std::exchange(slot_, nullptr));
  // The rename is durable only once the folder is: without this a power cut can undo a reported
  // success. A folder open only as a place (unreadable), or a file system that cannot sync folders,
  // is left as it is.
  if (::fsync(folder_) != 0 && errno != EBADF && errno != EINVAL && errno != EROFS) {
    const int error = errno;
    Discard();
    throw EFileError(FormatMessage("Cannot write file \"%s\": it was written, but its folder could not be "
                                   "synced to the disk: %s",
                                   given_.string().c_str(), ErrnoText(error).c_str()),
                     ekOutputUnwritable);
  }
}

void TReplacement::Discard() noexcept {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!committed_ && !tempName_.empty() && folder_ >= 0) ::unlinkat(folder_, tempName_.c_str(), 0);
  tempName_.clear();
  UnregisterTemporary(std::exchange(slot_, nullptr));  // before its folder's descriptor is closed
  if (folder_ >= 0) ::close(std::exchange(folder_, -1));
}

void CheckOutputWritable(const std::filesystem::path& target) {
  auto fail = [&](const std::string& reason) {
    return EFileError(FormatMessage("Cannot write file \"%s\": %s", target.string().c_str(), reason.c_str()),
                      ekOutputUnwritable);
  };
  std::string reason;
  const std::filesystem::path path = ResolveTarget(target, reason);
  if (!reason.empty()) throw fail(reason);
  const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT)
      throw fail(FormatMessage("the folder \"%s\" does not exist", folder.string().c_str()));
    if (errno != ENAMETOOLONG) throw fail(ErrnoText(errno));
  } else if (!S_ISDIR(info.st_mode)) {
    throw fail(FormatMessage("\"%s\" is not a folder", folder.string().c_str()));
  }
  const int fd = OpenFolder(folder);
  if (fd < 0) throw fail(ErrnoText(errno));
  const int writable = ::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS);
  const int error = errno;
  ::close(fd);
  if (writable != 0) {
    throw fail(FormatMessage("the folder \"%s\" cannot be written to: %s", folder.string().c_str(),
                             ErrnoText(error).c_str()));
  }
}

// ---------------------------------------------------------------------------------------------------
// Outputs

EFileError TOutput::Abandon(const std::string& reason) {
  return EFileError("Cannot write the output: " + reason, ekOutputUnwritable);
}

namespace {

// A file written through a TReplacement. After a failure the temporary file is gone and the output
// refuses any further use, with the reason of the failure.
class TFileOutput final : public TOutput {
 public:
  explicit TFileOutput(const std::filesystem::path& path) : file_(std::make_unique<TReplacement>(path)) {}

  void Append(std::span<const uint8_t> bytes) override {
    Usable();
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = ::write(file_->Descriptor(), bytes.data() + done,
                          std::min<size_t>(bytes.size() - done, size_t{1} << 30));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw Abandon(ErrnoText(errno));
      done += static_cast<size_t>(n);
    }
    size_ += bytes.size();
    // A large file is sent on its way to the disk while the rest is produced, so that the fsync of
    // Commit has little left to wait for. Only a request: it neither waits nor fails the write.
    if (size_ - started_ >= kWritebackStep) {
#if defined(__linux__)
      ::sync_file_range(file_->Descriptor(), static_cast<off_t>(started_),
                        static_cast<off_t>(size_ - started_), SYNC_FILE_RANGE_WRITE);
#endif
      started_ = size_;
    }
  }

  void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
    Usable();
    if (offset > size_ || bytes.size() > size_ - offset) throw file_->Fail("[int] overwriting past the end");
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = ::pwrite(file_->Descriptor(), bytes.data() + done, bytes.size() - done,
                           static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw Abandon(ErrnoText(errno));
      done += static_cast<size_t>(n);
    }
  }

  void Commit() override {
    Usable();
    try {
      file_->Commit();
    } catch (const EFileError& e) {
      abandoned_ = e.what();
      throw;
    }
  }

  // Removes the temporary file at once, not when the failure has found its way out: a failed write
  // leaves nothing behind however it ends. The reason stays for any later use of the output.
  EFileError Abandon(const std::string& reason) override {
    EFileError error = file_ ? file_->Fail(reason) : EFileError(reason, ekOutputUnwritable);
    file_.reset();
    abandoned_ = error.what();
    return error;
  }

 private:
  void Usable() const {
    if (!abandoned_.empty()) throw EFileError(abandoned_, ekOutputUnwritable);
  }

  static constexpr uint64_t kWritebackStep = uint64_t{8} << 20;

  std::unique_ptr<TReplacement> file_;
  uint64_t started_ = 0;  // bytes whose writeback was started
  std::string abandoned_;
};

class TMemoryOutput final : public TOutput {
 public:
  explicit TMemoryOutput(std::vector<uint8_t>& destination) : destination_(destination) {}

  void Reserve(uint64_t size) override { bytes_.reserve(size); }
  void Append(std::span<const uint8_t> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    size_ = bytes_.size();
  }
  void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
    if (offset > size_ || bytes.size() > size_ - offset)
      throw EFileError("[int] Overwriting past the end of the output");
    std::memcpy(bytes_.data() + offset, bytes.data(), bytes.size());
  }
  void Commit() override { destination_ = std::move(bytes_); }

 private:
  std::vector<uint8_t>& destination_;
  std::vector<uint8_t> bytes_;
};

}  // namespace

std::unique_ptr<TOutput> TOutput::ToFile(const std::filesystem::path& path) {
  return std::make_unique<TFileOutput>(path);
}

std::unique_ptr<TOutput> TOutput::ToMemory(std::vector<uint8_t>& destination) {
  return std::make_unique<TMemoryOutput>(destination);
}

void WriteFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  auto output = TOutput::ToFile(path);
  output->Append(bytes);
  output->Commit();
}

// ---------------------------------------------------------------------------------------------------
// Signals

namespace {

extern "C" void RemoveTemporariesAndEnd(int signal) {
  RemoveTemporaryFiles();
  // Ended as the signal ends a process, once this handler returns and the signal is unblocked.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void RemoveTemporaryFilesOnSignals() {
  static const int kEnding[] = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                SIGVTALRM, SIGPROF, SIGXCPU, SIGPIPE, SIGPOLL, SIGPWR,  SIGSYS,
                                SIGTRAP,   SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGABRT};
  for (int signal : kEnding) {
    struct sigaction old {};
    // A signal the caller's parent chose to ignore (nohup's hang-up) stays ignored.
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = RemoveTemporariesAndEnd;
    sigemptyset(&act.sa_mask);
    ::sigaction(signal, &act, nullptr);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace plicato::cfb

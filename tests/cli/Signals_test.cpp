// plicato-cli merge and the signals a user or a session sends it. Each run is held at its first status
// line (its stderr is a full pipe) until the signals have come, so what they stop is always the same.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

extern char** environ;

namespace plicato {
namespace {

namespace fs = std::filesystem;

struct TRun {
  int status;  // exit status, or 128 + the signal that ended it
  std::string errors;
};

std::string Wchan(pid_t pid) {
  std::string text;
  std::ifstream(("/proc/" + std::to_string(pid) + "/wchan").c_str()) >> text;
  return text;
}

// The signals pending for the process (its own and its thread group's); none once it has ended.
unsigned long long Pending(pid_t pid) {
  std::ifstream status(("/proc/" + std::to_string(pid) + "/status").c_str());
  unsigned long long pending = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("State:", 0) == 0 && line.find_first_of("ZX", 6) != std::string::npos) return 0;
    if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0)
      pending |= std::stoull(line.substr(7), nullptr, 16);
  }
  return pending;
}

// Starts plicato-cli with args, its stderr on the descriptor errors (on /dev/null when -1).
pid_t SpawnCli(const std::vector<std::string>& args, int errors) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (errors >= 0)
    posix_spawn_file_actions_adddup2(&actions, errors, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words = {PLICATO_CLI};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : words) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Every signal at its default and none blocked, whatever the test runner inherited (nohup ignores
  // hang-ups, and an ignored signal stays ignored in the program).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, PLICATO_CLI, &actions, &attributes, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// Runs plicato-cli with args; stderr is a pipe that is full from the start, or closed when closeErrors.
// The signals are sent once the run waits to write its first line; then the pipe is drained.
TRun RunCli(const std::vector<std::string>& args, const std::vector<int>& signals, bool closeErrors = false) {
  int pipeFds[2];
  EXPECT_EQ(::pipe(pipeFds), 0);
  ::fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
  ::fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
  std::vector<char> filler(65536, '.');
  while (!closeErrors && ::write(pipeFds[1], filler.data(), filler.size()) > 0) {
  }
  ::fcntl(pipeFds[1], F_SETFL, 0);
  if (closeErrors) ::close(pipeFds[0]);

  std::vector<std::string> merge = {"merge"};
  merge.insert(merge.end(), args.begin(), args.end());
  const pid_t pid = SpawnCli(merge, pipeFds[1]);
  ::close(pipeFds[1]);

  TRun run{-1, {}};
  if (!signals.empty()) {
    // Blocked in the write (the kernel names the wait "pipe_write" or "anon_pipe_write").
    for (std::string wait; (wait = Wchan(pid)).find("pipe_write") == std::string::npos;) {
      if (::waitpid(pid, nullptr, WNOHANG) != 0) break;  // ended early: the checks below fail
      ::usleep(1000);
    }
    for (int signal : signals) {
      ::kill(pid, signal);
      // Signals of one kind do not queue: the next is sent once this one has been taken.
      while (Pending(pid) & (1ull << (signal - 1))) ::usleep(1000);
    }
  }
  if (!closeErrors) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) run.errors.append(buffer, n);
    ::close(pipeFds[0]);
    run.errors.erase(0, run.errors.find_first_not_of('.'));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

bool HoldsTemporaryFile(const fs::path& dir) {
  for (const fs::directory_entry& entry : fs::directory_iterator(dir))
    if (entry.path().filename().native().find(".plicato-tmp-") != std::string::npos) return true;
  return false;
}

// Runs plicato-cli with args, stops it the moment a temporary file of its output stands in dir, sends
// it signal and lets it go on. Returns its exit status (128 + the signal that ended it), or -1 when the
// run ended, or the file was gone, before the signal could come while it was written.
int SignalWhileWriting(const std::vector<std::string>& args, const fs::path& dir, int signal) {
  const pid_t pid = SpawnCli(args, -1);
  int status = 0;
  while (!HoldsTemporaryFile(dir)) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return -1;
  }
  ::kill(pid, SIGSTOP);
  ::waitpid(pid, &status, WUNTRACED);
  const bool writing = HoldsTemporaryFile(dir);
  ::kill(pid, signal);
  ::kill(pid, SIGCONT);
  ::waitpid(pid, &status, 0);
  if (!writing) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.xls", "b.xls", "c.xls"}) {
      TXLSWorkbook wb;
      wb.Sheets()[0].PutText(0, 0, FromUtf8(name));
      // A row after a gap: the remark on the first file is the first line the run writes.
      if (inputs.empty()) wb.Sheets()[0].PutText(0, 2, u"left behind");
      wb.Filename = FileNameFromPath(dir / name);
      WriteWorkbook(wb);
      inputs.push_back((dir / name).string());
    }
  }
  std::vector<std::string> Args(const fs::path& out) const {
    std::vector<std::string> args = {"-o", out.string()};
    args.insert(args.end(), inputs.begin(), inputs.end());
    return args;
  }
  test::TempDir dir;
  std::vector<std::string> inputs;
};

TEST_F(Signals, StopAfterTheCurrentFileWriteWhatWasGatheredAndSaySo) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const fs::path out = dir / ("out" + std::to_string(signal) + ".xls");
    const TRun run = RunCli(Args(out), {signal});
    EXPECT_EQ(run.status, 128 + signal) << run.errors;
    EXPECT_NE(run.errors.find("1 of 3 files merged\n"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("\nplicato-cli: stopped by signal " + std::to_string(signal) +
                              ": 1 of 3 files merged\n"),
              std::string::npos)
        << run.errors;
    // The last line names what the run wrote.
    const std::string last = run.errors.back() == '\n'
                                 ? run.errors.substr(run.errors.rfind('\n', run.errors.size() - 2) + 1)
                                 : std::string();
    EXPECT_EQ(last.rfind("plicato-cli: merged 1 of 3 files; wrote 1 row to " + out.string() + "; ", 0), 0u)
        << last;
    TXLSWorkbook written;
    written.Filename = FileNameFromPath(out);
    ReadWorkbook(written);
    EXPECT_EQ(written.Sheets()[0].GetStringText(0, 0), u"a.xls");
    EXPECT_EQ(written.Sheets()[0].GetStringText(0, 1), u"");
  }
}

TEST_F(Signals, SecondInterruptAbandonsTheRunAndLeavesTheTarget) {
  const fs::path out = dir / "out.xls";
  test::WriteFileBytes(out, {'k', 'e', 'e', 'p'});
  const TRun run = RunCli(Args(out), {SIGINT, SIGINT});
  EXPECT_EQ(run.status, 130) << run.errors;
  EXPECT_EQ(test::ReadFileBytes(out), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 4)
      << "no temporary file is left";
}

TEST_F(Signals, ClosedStandardErrorDoesNotEndTheRun) {
  const fs::path out = dir / "out.xls";
  const TRun run = RunCli(Args(out), {}, true);
  EXPECT_EQ(run.status, 0);
  TXLSWorkbook written;
  written.Filename = FileNameFromPath(out);
  ReadWorkbook(written);
  EXPECT_EQ(written.Sheets()[0].GetStringText(0, 2), u"c.xls");
}

TEST_F(Signals, EveryCommandThatWritesRemovesItsTemporaryFileOnAnEndingSignal) {
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);  // a quit signal ends the program without leaving a core file
  const fs::path big = dir / "big.xls";
  TXLSWorkbook wb;
  for (int r = 0; r < 65536; ++r) wb.Sheets()[0].PutText(0, r, u"row " + FromUtf8(std::to_string(r)));
  wb.Filename = FileNameFromPath(big);
  WriteWorkbook(wb);
  const fs::path out = dir / "out.xls";
  const std::vector<std::string> merge = {"merge", "-o", out.string(), big.string()};
  const std::vector<std::string> copy = {"copy", big.string(), out.string()};
  struct TCase {
    const std::vector<std::string>& args;
    int signal;
  } cases[] = {{merge, SIGQUIT}, {merge, SIGUSR1}, {merge, SIGUSR2}, {merge, SIGALRM},
               {copy, SIGINT},   {copy, SIGTERM},  {copy, SIGHUP}};
  for (const TCase& c : cases) {
    int status = -1;
    for (int attempt = 0; attempt < 5 && status == -1; ++attempt)
      status = SignalWhileWriting(c.args, dir.Path(), c.signal);
    EXPECT_EQ(status, 128 + c.signal) << c.args[0] << " " << c.signal;
    EXPECT_FALSE(HoldsTemporaryFile(dir.Path())) << c.args[0] << " " << c.signal;
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path()))
      if (entry.path().filename().native().find(".plicato-tmp-") != std::string::npos)
        fs::remove(entry.path(), ignored);
  }
}

}  // namespace
}  // namespace plicato

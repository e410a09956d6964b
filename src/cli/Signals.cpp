#include "cli/Signals.h"

#include <unistd.h>

#include <csignal>

#include "biff/OutputFile.h"
#include "merge/MergeEngine.h"

namespace plicato {
namespace {

TMergeHost* gHost = nullptr;
volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void OnStopSignal(int signal) {
  if (gStopSignal != 0) {
    // Asked twice: abandon the run at once. The output is only ever renamed into place once complete,
    // so removing the temporary file leaves the target as it was.
    cfb::RemoveTemporaryFiles();
    ::_exit(128 + signal);
  }
  // Like the Stop button: the current file is finished and the output written.
  gStopSignal = signal;
  if (gHost) gHost->StopRequested.store(1);
}

}  // namespace

void InstallSignalHandlers() {
  cfb::RemoveTemporaryFilesOnSignals();
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  stop.sa_flags = SA_RESTART;  // a status line being written when the signal comes is not lost
  sigemptyset(&stop.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);
  // A closed stderr (a pipe to `head`) must not end the merge; status lines are then just not shown.
  std::signal(SIGPIPE, SIG_IGN);
}

int StopSignal() {
  return gStopSignal;
}

void StopOnSignal(TMergeHost* host) {
  gHost = host;
  if (host && gStopSignal != 0) host->StopRequested.store(1);
}

}  // namespace plicato

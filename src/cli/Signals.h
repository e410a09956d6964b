// Ctrl-C and the other stop signals during a merge: the first stops the run as the window's Stop button
// does, the second abandons it at once, leaving the target as it was.
#pragma once

namespace plicato {

class TMergeHost;

// Installs the handlers of SIGINT, SIGTERM and SIGHUP for a merge, and ignores SIGPIPE.
void InstallSignalHandlers();

// The signal that asked the run to stop, or 0.
int StopSignal();

// The host a stop signal is passed to (nullptr: none, the run is over). A signal that came before is passed
// on at once.
void StopOnSignal(TMergeHost* host);

}  // namespace plicato

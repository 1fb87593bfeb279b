// What a killed or timed-out program leaves behind, gone: every child's process group and the
// private temporary folder everything of this run is made in. Safe to call from a signal handler.
#pragma once

namespace tessaro::host {

// Makes a private folder inside TMPDIR (or /tmp) and names it in TMPDIR, so that every temporary
// folder made later in this process, and by its tools, lies inside it. Call before any thread
// starts. False when the folder cannot be made; TMPDIR is then left as it was.
// The folder's name carries this process's id: private folders of this user whose process no
// longer runs (killed with SIGKILL, which no handler sees) are removed here first.
bool usePrivateTemporaryFolder();

// SIGINT, SIGTERM and SIGHUP kill the children's process groups and remove the private folder,
// then end the program as the signal would have. A signal the caller ignores stays ignored.
void cleanUpOnTerminationSignals();
// Runs `handler` on SIGINT, SIGTERM and SIGHUP, with the three blocked while it runs; a signal the
// caller chose to ignore stays ignored.
void catchTerminationSignals(void (*handler)(int));

// SIGKILL to the process group of every child of this process (each child leads its own group)
// and to the child itself, then waits for those children. Async-signal-safe.
void killChildProcessGroups() noexcept;

// Removes the private folder with everything in it. Async-signal-safe.
void removePrivateTemporaryFolder() noexcept;

}  // namespace tessaro::host

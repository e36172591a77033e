// The temporary files of this process, and those dead runs left behind.
//
// Read me first:
// - A temporary is named "<target>.tmp-<tool>-<pid>-<n>": the owner's tool
//   name and process id tell a later run whether its owner is gone.
// - While a temporary exists it is in a fixed table that the signal handlers
//   read. The table changes, and files it names are created or removed,
//   only with the cleanup signals blocked, so a temporary is never on disk
//   without being in the table when a handler runs. Worker threads block
//   these signals for good, so handlers run on the thread that keeps the
//   table.
// - Synchronous faults (SIGSEGV and the like) are handled but never
//   blocked: blocking them would turn a fault into a silent kill.
#pragma once

#include <csignal>
#include <string>

// Names the temporaries after `tool`; installs the handlers, ignores SIGXFSZ.
void prepareTemporaries(const char* tool);

// A fresh temporary name beside `target`.
std::string temporaryName(const std::string& target);

// Blocks the cleanup signals that can be blocked; returns the mask before.
sigset_t blockCleanupSignals();
void restoreSignals(const sigset_t& previous);

// Creates the temporary file `path` (never an existing one) and enters it in
// the table. Returns its descriptor, or -1 with errno set, or -1 with
// *tooMany set when the table is full.
int createTemporary(const std::string& path, bool* tooMany);

// Takes `path` out of the table without touching the file.
void forgetTemporary(const std::string& path);

// Removes the file `path` and takes it out of the table.
void removeTemporary(const std::string& path);

// Removes every file in the table (a failed run's way out).
void removeAllTemporaries();

// Removes, in folder `dir`, the temporaries of this tool whose owner process
// no longer exists.
void removeStaleTemporaries(const std::string& dir);

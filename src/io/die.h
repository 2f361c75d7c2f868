// The clean-up a run owes when it ends on failure or on an interrupt, and the
// host's reason behind the last failure.
//
// Failures travel up as a `status` (io/status.h); the driver prints them once,
// removes what the run made and picks the exit status: nothing below it ends
// the process. What is left here is process-level: the files registered with
// `cleanup_register` (the scratch volume, the half-written image, the lock)
// are removed by `cleanup_run`, which the interrupt handler (Ctrl-C, SIGTERM)
// runs before it ends the process with status 1.
#pragma once

#include <string>

namespace volpack {

// When the host layer holds a failure on a named file (host_take_failure),
// takes it and gives the line that names the file and the host's reason:
// "error: cannot write \"PATH\": No space left on device\n". The driver prints
// it after its own message.
bool take_host_failure_line(std::string* line);

// Files to remove when the process ends on failure or interrupt. At most a
// handful of paths are held; registering installs the interrupt handler once.
void cleanup_register(const char* path);
void cleanup_unregister(const char* path);
// Removes every registered file now (used by the interrupt handler).
void cleanup_run();

}  // namespace volpack

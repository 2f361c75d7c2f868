// Emulated symbolic links on hosts whose file systems cannot hold real ones.
//
// A tree prepared on such a host stands in for a link with a small file: one
// whose whole content is the target path (a "one-liner"), or a file in the
// "!<symlink>" format. `follow_symlinks` resolves a host path through such
// files, component by component, so that the host layer reaches the real
// targets. The process-wide switch is read once, on the first call, from the
// environment variable VELLORA_FOLLOWSYMLINKS: absent, or a value starting with
// '1', 't' or 'T', turns the resolution on; anything else turns it off. An
// optional ":LEVEL[:FILE]" suffix sets the trace level and trace file.
//
// volpack itself sets the variable to "0" before anything else, so every path
// comes back unchanged. Any thread may call `follow_symlinks`; the result is
// either the caller's own text or a per-thread buffer valid until the next call
// on the same thread.
#pragma once

#include <cstdint>
#include <string>

#include "io/die.h"

namespace volpack {

const char* follow_symlinks(const char* path);

// The switch and trace settings as read from the variable's value (null when
// the variable is absent).
struct symlink_settings {
  bool enabled = true;
  int trace_level = 0;
  std::string trace_file = "SYMLINKS-DEBUG.txt";
  std::string program_name = "<unspecified>";
};
symlink_settings parse_symlink_switch(const char* value);

// The settings in force for this process (read on first use).
const symlink_settings& symlink_current_settings();

// Writes one trace line, "SYMLINK DEBUG: prog[tid]: FUNC() line N: " and the
// message, when the trace level is above `above`: to the trace file (opened
// for appending around every line) or, when it cannot be opened, to standard
// output.
void symlink_trace(int above, const char* func, unsigned line, const char* fmt, ...)
    VOLPACK_PRINTF(4, 5);

// Ends the process after "SYMLINK EMULATION CODE: prog[tid]: FUNC() line N: fatal: "
// and the reason on standard error.
[[noreturn]] void symlink_fatal(const char* func, unsigned line, const char* fmt, ...)
    VOLPACK_PRINTF(3, 4);

// The resolution itself, with the switch on.
const char* resolve_emulated_links(const char* path);

}  // namespace volpack

// What the two host-layer files share: the fault seam, the failure record, the
// paths of open descriptors and the pinned names. Included by host_fs*.cpp only.
#pragma once

#include <cstdint>
#include <string>

#include "io/host_fs.h"

namespace volpack {
namespace host_internal {

// 0, or the error number the test hook wants `op` on `path` (or on the file
// open as `fd`) to fail with.
int fault(host_op op, const char* path);
int fault_fd(host_op op, int fd);

// Keeps the failure of `op` on `path` (or on the file open as `fd`) for
// host_take_failure.
void note_failure(host_op op, int error, const char* path);
void note_fd_failure(host_op op, int error, int fd);

// The path a descriptor was opened with, for failure records.
void remember_path(int fd, const char* path);
void forget_fd(int fd);

// The descriptor pinned to exactly `path`, or -1. Safe in an interrupt handler.
int pinned_fd(const char* path);

// A fresh value for unique names.
uint64_t unique_value();

// This process's ID.
uint64_t process_id();

}  // namespace host_internal
}  // namespace volpack

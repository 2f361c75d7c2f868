// Directory import: a host directory tree becomes the contents of a folder of
// an open HFS+ volume, and the measurement that sizes the volume beforehand.
//
// `compute_directory_size` walks the tree and adds, into the caller's counter,
// 512 bytes per entry plus each file's size rounded up to 512 (host links
// count as the small files they are and are never followed). It returns false
// at the first failure, leaving the host error number of the failing call.
#pragma once

#include <cstdint>

namespace volpack {

[[nodiscard]] bool compute_directory_size(const char* path, uint64_t* counter);

}  // namespace volpack

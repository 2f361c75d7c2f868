// What `volpack --version` prints: the program's version (the build's
// project version) and the name and version of the compression library the
// image writer deflates chunks with.
#pragma once

#include <string>

namespace volpack {

// "volpack 0.1.0\n" then "compression: zlib 1.2.13\n".
std::string version_text();

}  // namespace volpack

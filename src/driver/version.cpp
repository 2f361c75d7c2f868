#include "driver/version.h"

#include <zlib.h>

#ifndef VOLPACK_VERSION
#error "the build defines VOLPACK_VERSION from the project's version"
#endif

namespace volpack {

std::string version_text() {
  // The library loaded at run time, which may be newer than the headers.
  return std::string("volpack ") + VOLPACK_VERSION + "\ncompression: zlib " + zlibVersion() + "\n";
}

}  // namespace volpack

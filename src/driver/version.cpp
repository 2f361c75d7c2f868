#include "driver/version.h"

#include <libdeflate.h>

#ifndef VOLPACK_VERSION
#error "the build defines VOLPACK_VERSION from the project's version"
#endif

namespace volpack {

std::string version_text() {
  // The chunks are coded by libdeflate; its version is the one built in.
  return std::string("volpack ") + VOLPACK_VERSION + "\ncompression: libdeflate " + LIBDEFLATE_VERSION_STRING + "\n";
}

}  // namespace volpack

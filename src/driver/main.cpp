#include <string>
#include <vector>

#include "driver/driver.h"
#include "io/host_fs.h"

int main(int argc, char** argv) {
  // Paths travel as UTF-8 inside volpack on every host.
  std::vector<std::string> args = volpack::host_command_line(argc, argv);
  std::vector<char*> ptrs;
  for (std::string& a : args) ptrs.push_back(&a[0]);
  ptrs.push_back(nullptr);
  return volpack::volpack_main(static_cast<int>(args.size()), ptrs.data());
}

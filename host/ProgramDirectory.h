// The directory of the running program, where the library is looked for beside it and the simulated
// scanner installs its contention modules.
#pragma once

#include <string>

namespace host {

// The directory of the running program, ending in a separator; empty when it cannot be found.
std::string ProgramDirectory();

}  // namespace host

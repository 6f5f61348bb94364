// The handler's debug printer with formats and arguments of any length (support/DebugPrintCase.h has
// the layout and the checks).
#include <cstddef>
#include <cstdint>

#include "support/DebugPrintCase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ByteReader in(data, size);
  fuzzing::DebugPrintCase::Decode(in).Run();
  return 0;
}

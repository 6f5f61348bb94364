// Registry values of any type and length under "DeviceData", then Initialize (support/RegistryCase.h
// has the layout and the checks).
#include <cstddef>
#include <cstdint>

#include "support/RegistryCase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ByteReader in(data, size);
  fuzzing::RegistryCase::Decode(in).Run();
  return 0;
}

// A scanner whose every answer, count and call result comes from the fuzz input, driven through a
// whole handler life by operations the input chooses (support/ScannerSession.h has the layout).
#include <cstddef>
#include <cstdint>

#include "support/ScannerSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::ByteReader in(data, size);
  const fuzzing::SessionSetup setup = fuzzing::SessionSetup::Decode(in);
  fuzzing::InputAnswers answers(in);
  fuzzing::ScannerSession session(setup, answers);
  session.Start();
  for (int i = 0; i < fuzzing::kMaxOperations && !in.Empty(); ++i) {
    session.Run(fuzzing::Op::Decode(in));
  }
  session.Finish();
  return 0;
}

#include "Results.h"

namespace stiscan {

ExitStatus ExitStatusOf(client::Status status) {
  switch (status) {
    case client::Status::kOk:
      return kExitOk;
    case client::Status::kCancelled:
      return kExitCancelled;
    case client::Status::kUsage:
      return kExitUsage;
    case client::Status::kDevice:
      return kExitDevice;
    case client::Status::kPaper:
      return kExitPaper;
    case client::Status::kIo:
      return kExitIo;
    case client::Status::kLibrary:
      return kExitLibrary;
    case client::Status::kOutput:
      return kExitOutput;
  }
  return kExitLibrary;
}

}  // namespace stiscan

#include "host/ProgramDirectory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <vector>

namespace host {

std::string ProgramDirectory() {
#if defined(_WIN32)
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return std::string();
    }
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::string text(path.begin(), path.end());
  const size_t slash = text.find_last_of("\\/");
#else
  std::vector<char> path(4096);
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) {
    return std::string();
  }
  const std::string text(path.data(), static_cast<size_t>(length));
  const size_t slash = text.find_last_of('/');
#endif
  return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

}  // namespace host

// Windows compares device, module, key and value names without regard to case.
#pragma once

#include <string>

namespace winplat {
namespace detail {

// The case-folded form under which the models file a name (ASCII letters only, as the names in use are).
inline std::string FoldCase(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return name;
}

}  // namespace detail
}  // namespace winplat

// Start-up hardening of the DLL search path, done before anything else loads a library.
#pragma once

#include <string>
#include <vector>

namespace updater {

// The system libraries loaded by full path from the system directory at start-up, in order.
const std::vector<const wchar_t*>& PreloadedSystemLibraries();

// Renames "<exe>.local" away, restricts the DLL search path, preloads the system libraries by full
// path and moves "<exe>.local" back. Terminates the process when the redirection entry cannot be
// moved out of the way.
void HardenDllSearchPath();

// First free name of the form "%s%lu" (path followed by 1, 2, ...), given an existence test.
template <typename ExistsFn>
std::wstring FirstFreeNumberedName(const std::wstring& path, ExistsFn exists) {
  for (unsigned long counter = 1;; ++counter) {
    std::wstring candidate = path + std::to_wstring(counter);
    if (!exists(candidate)) return candidate;
  }
}

}  // namespace updater

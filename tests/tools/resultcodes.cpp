// Test tool: prints every result code of the updater's own with the text the updater shows for it,
// one "0xE00000NN<TAB>text" line each, in UTF-8 (the publisher's guide's table is compared with it).
#include <windows.h>

#include <cstdio>
#include <string>

#include "core/result_codes.h"

int wmain() {
  for (updater::Result code = updater::kOwnCodeFirst; code <= updater::kOwnCodeLast; ++code) {
    std::wstring line = updater::MessageText(code);
    int size = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), size, nullptr, nullptr);
    std::printf("0x%08X\t%s\n", static_cast<unsigned>(code), bytes.c_str());
  }
  std::fflush(stdout);
  return 0;
}

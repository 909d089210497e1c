// Test tool: prints every result code of the updater's own with the text the updater shows for it,
// one "0xE00000NN<TAB>text" line each, in UTF-8 (the publisher's guide's table is compared with it).
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/result_codes.h"
#include "support/tool_support.h"

int wmain() {
  for (updater::Result code = updater::kOwnCodeFirst; code <= updater::kOwnCodeLast; ++code) {
    wchar_t hex[16];
    std::swprintf(hex, 16, L"0x%08X\t", static_cast<unsigned>(code));
    tools::PrintLine(hex + updater::MessageText(code));
  }
  return 0;
}

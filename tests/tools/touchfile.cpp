// Test tool standing in for an application that the updater starts. Usage:
//   touchfile <file> [<word>...]
// appends one line to the file (creating it), the remaining arguments joined by blanks, and exits.
// A line per start lets a test count how often the application was started.
#include <windows.h>

#include <string>
#include "support/tool_support.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring line;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) line += L' ';
    line += argv[i];
  }
  line += L"\r\n";
  std::string bytes = tools::ToUtf8(line);
  HANDLE file = ::CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size() ? 0 : 1;
}

// Test tool: ends with the exit code given as its first argument (decimal, default 0). Custom
// detection programs answer "installed" through a non-zero exit code.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  return argc > 1 ? static_cast<int>(std::wcstol(argv[1], nullptr, 10)) : 0;
}

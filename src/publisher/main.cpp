// kestrune-publish.exe: the publisher's console tool (see publish_commands.h).
#include <windows.h>

#include <string>
#include <vector>

#include "base/text_util.h"
#include "publisher/publish_commands.h"

namespace {

// Text to a console as it is, to a pipe or a file as UTF-8 with Windows line ends.
void WriteText(DWORD which, const std::wstring& text) {
  if (text.empty()) return;
  HANDLE handle = ::GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  std::wstring withLineEnds;
  for (wchar_t c : text) {
    if (c == L'\n') withLineEnds += L'\r';
    withLineEnds += c;
  }
  DWORD mode = 0;
  DWORD written = 0;
  if (::GetConsoleMode(handle, &mode)) {
    ::WriteConsoleW(handle, withLineEnds.data(), static_cast<DWORD>(withLineEnds.size()), &written, nullptr);
    return;
  }
  std::string bytes = updater::ToUtf8(withLineEnds);
  ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> arguments(argv + 1, argv + argc);
  updater::CommandOutput output = updater::RunPublishCommand(arguments);
  WriteText(STD_OUTPUT_HANDLE, output.out);
  WriteText(STD_ERROR_HANDLE, output.err);
  return output.exitCode;
}

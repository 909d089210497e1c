#include "base/paths.h"

#include <windows.h>

#include "base/win_handles.h"

namespace updater {
namespace {

std::wstring WithBackslash(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\') folder.push_back(L'\\');
  return folder;
}

bool IsElevated() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  UniqueHandle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return ::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
         elevation.TokenIsElevated != 0;
}

std::wstring ComputeTemporaryFolder() {
  using GetTempPath2Fn = DWORD(WINAPI*)(DWORD, LPWSTR);
  wchar_t buffer[MAX_PATH + 1];
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto getTempPath2 = kernel ? reinterpret_cast<GetTempPath2Fn>(::GetProcAddress(kernel, "GetTempPath2W")) : nullptr;
  if (getTempPath2) {
    DWORD length = getTempPath2(MAX_PATH + 1, buffer);
    if (length > 0 && length <= MAX_PATH) return WithBackslash(std::wstring(buffer, length));
  }
  if (IsElevated()) {
    UINT length = ::GetWindowsDirectoryW(buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      std::wstring folder = WithBackslash(std::wstring(buffer, length)) + L"SystemTemp\\";
      ::CreateDirectoryW(folder.c_str(), nullptr);
      return folder;
    }
  }
  DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  return length > 0 && length <= MAX_PATH ? WithBackslash(std::wstring(buffer, length)) : std::wstring();
}

}  // namespace


std::wstring ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring TemporaryFolder() {
  static const std::wstring folder = ComputeTemporaryFolder();
  return folder;
}

}  // namespace updater

#include "base/file_bytes.h"

#include <windows.h>

#include "base/win_handles.h"

namespace updater {

Result ReadFileBytes(const std::wstring& path, std::uint64_t maxBytes, Result tooLarge, std::string& bytes) {
  bytes.clear();
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return static_cast<Result>(::GetLastError());
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size)) return static_cast<Result>(::GetLastError());
  if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes) return tooLarge;
  bytes.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty() && (!::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                         read != bytes.size())) {
    bytes.clear();
    return static_cast<Result>(::GetLastError() != 0 ? ::GetLastError() : ERROR_HANDLE_EOF);
  }
  return kOk;
}

}  // namespace updater

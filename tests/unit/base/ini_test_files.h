// Temporary INI files for the catalogue tests: a private folder per fixture, files written byte
// for byte (ANSI or UTF-16LE with the byte-order mark), everything removed afterwards.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace updater::testing_support {

enum class Encoding { kAnsi, kUtf16 };

// ASCII text as the bytes of a file in the given encoding (the UTF-16 form starts with FF FE).
inline std::string EncodeText(const std::wstring& text, Encoding encoding) {
  std::string bytes;
  if (encoding == Encoding::kAnsi) {
    for (wchar_t c : text) bytes += static_cast<char>(c);
    return bytes;
  }
  bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() || ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size();
}

inline std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  ::CloseHandle(file);
  return bytes;
}

inline bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A fresh folder under the temporary directory; files handed out by NewPath are deleted with it.
class TempFolder {
 public:
  TempFolder() {
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    wchar_t name[64];
    std::swprintf(name, 64, L"ini_test_%lu_%u", ::GetCurrentProcessId(), ++counter);
    folder_ = std::wstring(temp) + name;
    ::CreateDirectoryW(folder_.c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::wstring& path : paths_) ::DeleteFileW(path.c_str());
    ::RemoveDirectoryW(folder_.c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::wstring NewPath(const std::wstring& fileName) {
    paths_.push_back(folder_ + L"\\" + fileName);
    return paths_.back();
  }

 private:
  std::wstring folder_;
  std::vector<std::wstring> paths_;
};

}  // namespace updater::testing_support

#include "config/temp_updater_copy.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "base/hashing.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/text_util.h"
#include "base/win_handles.h"

namespace updater {
namespace {

std::wstring BaseNameWithoutExtension(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

// A fresh, uniquely named folder in the temporary folder beginning with "kxw".
bool CreateUniqueFolder(const std::wstring& temp, std::wstring& folder) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) return false;
    wchar_t name[32];
    swprintf(name, 32, L"kxw%08lX%04X", static_cast<unsigned long>(guid.Data1), guid.Data2);
    folder = temp + name;
    if (::CreateDirectoryW(folder.c_str(), nullptr)) return true;
  }
  return false;
}

}  // namespace

void LaunchCleanUpBatch(const std::wstring& batchPath) {
  ShellOpen open;
  open.file = batchPath;
  // In its own folder: a command interpreter whose current folder is the copy's could not remove it.
  open.folder = FolderOf(batchPath);
  open.show = SW_HIDE;
  Result started = OpenWithShell(open);
  if (started != kOk) LogError(L"Cannot start the clean-up file " + batchPath, started);
}

std::wstring CopyFolderName(const std::wstring& runningPath) {
  std::string bytes = ToAnsi(runningPath);
  std::vector<unsigned char> digest;
  if (HashBytes(HashAlgorithm::kMd5, bytes.data(), bytes.size(), digest) != kOk) return {};
  return HexOf(digest, false);
}

std::wstring CleanUpBatchText(const std::vector<std::wstring>& filesToDelete, const std::wstring& copyPath,
                              const std::wstring& folder, const std::wstring& batchPath) {
  std::wstring text = L"@echo off \r\n";
  for (const std::wstring& file : filesToDelete) text += L"del \"" + file + L"\" \r\n";
  text += L":again \r\nif not exist \"" + copyPath + L"\" goto end \r\nif exist \"" + copyPath + L"\" del \"" +
          copyPath + L"\" \r\ngoto again \r\n:end \r\nrmDir \"" + folder + L"\" \r\ndel \"" + batchPath + L"\" | cls";
  return text;
}

TempUpdaterCopy::TempUpdaterCopy(std::wstring runningPath) : runningPath_(std::move(runningPath)) {}

std::wstring TempUpdaterCopy::SiblingPath(const std::wstring& extension) const {
  return folder_ + L"\\" + BaseNameWithoutExtension(runningPath_) + extension;
}

Result TempUpdaterCopy::Prepare(bool inTempSubfolder) {
  if (runningPath_.empty()) return ERROR_FILE_NOT_FOUND;
  std::wstring temp = TemporaryFolder();
  if (temp.empty()) return ::GetLastError() ? ::GetLastError() : ERROR_PATH_NOT_FOUND;
  if (inTempSubfolder) {
    std::wstring name = CopyFolderName(runningPath_);
    if (name.empty()) return kResultFail;
    folder_ = temp + name;
    if (!::CreateDirectoryW(folder_.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return ::GetLastError();
  } else if (!CreateUniqueFolder(temp, folder_)) {
    return ::GetLastError() ? ::GetLastError() : kResultFail;
  }

  copyPath_ = SiblingPath(L".exe");
  if (!::CopyFileW(runningPath_.c_str(), copyPath_.c_str(), FALSE)) return ::GetLastError();
  ::SetFileAttributesW(copyPath_.c_str(), FILE_ATTRIBUTE_NORMAL);

  // The byte-order mark makes the profile functions store every value as UTF-16.
  settingsPath_ = SiblingPath(L".ini");
  {
    UniqueFile settings(::CreateFileW(settingsPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!settings) return ::GetLastError();
    const BYTE mark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    if (!::WriteFile(settings.Get(), mark, sizeof(mark), &written, nullptr) || written != sizeof(mark)) {
      Result error = ::GetLastError();
      settings.Reset();
      ::DeleteFileW(settingsPath_.c_str());
      return error ? error : ERROR_WRITE_FAULT;
    }
  }
  if (!WriteSetting(L"RealUpdaterPath", runningPath_)) return ::GetLastError();
  arguments_ = L"\"" + copyPath_ + L"\"";
  filesToDelete_.push_back(settingsPath_);
  return kOk;
}

bool TempUpdaterCopy::WriteSetting(const std::wstring& key, const std::wstring& value) const {
  return ::WritePrivateProfileStringW(L"General", key.c_str(), value.c_str(), settingsPath_.c_str()) != FALSE;
}

void TempUpdaterCopy::AppendArgument(const std::wstring& text, bool quote) {
  arguments_ += quote ? L" \"" + text + L"\"" : L" " + text;
}

Result TempUpdaterCopy::WriteBatchFile(const std::wstring& batchPath) {
  batchPath_ = batchPath;
  std::string bytes = ToAnsi(CleanUpBatchText(filesToDelete_, copyPath_, folder_, batchPath_));
  UniqueFile file(::CreateFileW(batchPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  if (!file) return ::GetLastError();
  DWORD written = 0;
  if (!::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size())
    return ::GetLastError() ? ::GetLastError() : ERROR_WRITE_FAULT;
  return kOk;
}

Result TempUpdaterCopy::Start(bool useCopyFolderAsWorkingDirectory) {
  LogFormat(kLogTrace, L"Running temp updater from path: %ls", copyPath_.c_str());
  DWORD processId = 0;
  Result started = StartProgram({copyPath_, arguments_, useCopyFolderAsWorkingDirectory ? folder_ : std::wstring()},
                                nullptr, &processId);
  if (started != kOk) {
    // Nothing runs the batch file at the end of a copy that never started: run it now.
    if (!batchPath_.empty()) LaunchCleanUpBatch(batchPath_);
    return started;
  }
  BringProcessWindowToForeground(processId);
  return kOk;
}

}  // namespace updater

#include "config/temp_updater_copy.h"

#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <set>
#include <string>

#include "catalogue/selection.h"
#include "core/logger.h"
#include "core/module_path.h"
#include "core/process_window.h"
#include "core/win_handles.h"
#include "transfer/credential_protection.h"

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

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return {};
  int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  return bytes;
}

std::wstring Md5Hex(const std::string& bytes) {
  UniqueCryptProv provider;
  if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return {};
  UniqueCryptHash hash;
  if (!::CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, hash.Put())) return {};
  if (!::CryptHashData(hash.Get(), reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0))
    return {};
  BYTE digest[16];
  DWORD size = sizeof(digest);
  if (!::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &size, 0) || size != sizeof(digest)) return {};
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  for (BYTE b : digest) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

std::wstring BaseNameWithoutExtension(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

void OpenHidden(const std::wstring& path) {
  std::wstring folder = FolderOf(path);
  SHELLEXECUTEINFOW info{};
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = path.c_str();
  info.nShow = SW_HIDE;
  if (!::ShellExecuteExW(&info)) LogError(L"Cannot start the clean-up file " + path, ::GetLastError());
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

std::wstring TemporaryFolder() {
  static const std::wstring folder = ComputeTemporaryFolder();
  return folder;
}

std::wstring CopyFolderName(const std::wstring& runningPath) { return Md5Hex(ToAnsi(runningPath)); }

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
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  std::wstring commandLine = arguments_;
  if (!::CreateProcessW(copyPath_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        useCopyFolderAsWorkingDirectory ? folder_.c_str() : nullptr, &startup, &info)) {
    Result error = ::GetLastError();
    // Nothing runs the batch file at the end of a copy that never started: run it now.
    if (!batchPath_.empty()) OpenHidden(batchPath_);
    return error;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  BringProcessWindowToForeground(info.dwProcessId);
  return kOk;
}

void NarrowToCriticalUpdates(UpdateCatalogue& catalogue) {
  std::set<const UpdateRecord*> kept;
  for (size_t i = 0; i < catalogue.Count(); ++i) {
    const UpdateRecord& record = catalogue.At(i);
    if (!record.selected || !record.HasFlag(kUpdateCritical)) continue;
    kept.insert(&record);
    for (const UpdateRecord* dependency : DependencyChain(record))
      if (dependency->selected) kept.insert(dependency);
  }
  for (size_t i = 0; i < catalogue.Count(); ++i) catalogue.At(i).selected = kept.count(&catalogue.At(i)) != 0;
}

Result HandOverToTemporaryCopy(const AppSettings& settings, RunMode mode, UpdateCatalogue& catalogue,
                               const InstanceGuard& checkGuard) {
  if (mode == RunMode::Silent && !checkGuard.IsFirst()) {
    checkGuard.ActivateRunningInstance(false);
    return kOk;
  }
  // A critical-only check hands over the critical updates with what they depend on: the saved
  // selection must hold the dependencies, or the copy could not install them first.
  if (mode == RunMode::SilentCritical) NarrowToCriticalUpdates(catalogue);
  bool anySelected = false;
  for (size_t i = 0; i < catalogue.Count(); ++i) anySelected = anySelected || catalogue.At(i).selected;
  if (!anySelected) return kOk;

  TempUpdaterCopy copy(ExecutablePath());
  Result prepared = copy.Prepare(true);
  if (prepared != kOk) return prepared;
  copy.WriteSetting(L"ClientConfigPath", settings.clientConfigPath);

  std::wstring selection = copy.SiblingPath(L".dat");
  ::DeleteFileW(selection.c_str());
  Result written = WriteSelection(catalogue, selection, false);
  if (written != kOk) return written;
  copy.AddFileToDelete(selection);
  copy.WriteSetting(L"ServerConfigPath", selection);

  if (settings.justDownload) copy.WriteSetting(L"JustDownloadUpdates", L"true");
  if (settings.startMinimized) copy.WriteSetting(L"StartMinimized", L"true");
  copy.WriteSetting(L"URL", settings.urls.empty() ? std::wstring() : settings.urls.front());
  copy.WriteSetting(L"restartapp", settings.restartApp);
  copy.WriteSetting(L"restartappcmd", settings.restartAppCmd);
  if (settings.startAppFirst) copy.WriteSetting(L"startappfirst", L"true");
  if (settings.noGui) copy.WriteSetting(L"NoGUI", L"true");
  if (settings.reducedGui) copy.WriteSetting(L"ReducedGUI", L"true");
  if (settings.forceMsiBasicUi) copy.WriteSetting(L"ForceMSIBasicUI", L"true");

  std::wstring credentials;
  if (!settings.userName.empty())
    credentials = EncodeCredentialsArgument(CredentialPair{settings.userName, settings.password});
  copy.AppendArgument(BuildInstallArguments(mode, copy.SettingsPath(), credentials), false);

  Result batch = copy.WriteBatchFile(TemporaryFolder() + settings.id + L".bat");
  if (batch != kOk) return batch;
  copy.WriteSetting(L"UninstallFilePath", copy.BatchPath());
  return copy.Start(true);
}

}  // namespace updater

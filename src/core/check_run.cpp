#include "core/check_run.h"

#include "config/settings_store.h"
#include "core/logger.h"
#include "core/string_table.h"
#include "resources/string_ids.h"
#include "transfer/async_download.h"
#include "transfer/credentials.h"

namespace updater {
namespace {

constexpr wchar_t kDefaultUpdatesFileName[] = L"updates.ini";

}  // namespace

std::wstring LocalUpdatesFilePath(const std::wstring& downloadsFolder, const std::wstring& url) {
  std::wstring path = url;
  size_t query = path.find_first_of(L"?#");
  if (query != std::wstring::npos) path.resize(query);
  // Only the path counts, never the host of "scheme://host".
  size_t scheme = path.find(L"://");
  if (scheme != std::wstring::npos) {
    size_t pathStart = path.find(L'/', scheme + 3);
    path = pathStart == std::wstring::npos ? std::wstring() : path.substr(pathStart);
  }
  size_t slash = path.find_last_of(L"/\\");
  std::wstring name = slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
  if (!IsPlainFileName(name)) name = kDefaultUpdatesFileName;
  std::wstring folder = downloadsFolder;
  if (!folder.empty() && folder.back() != L'\\') folder.push_back(L'\\');
  return folder + name;
}

SYSTEMTIME FileTimeToSystem(std::uint64_t fileTime) {
  FILETIME file{static_cast<DWORD>(fileTime & 0xFFFFFFFFu), static_cast<DWORD>(fileTime >> 32)};
  SYSTEMTIME system{};
  if (!::FileTimeToSystemTime(&file, &system)) system = SYSTEMTIME{};
  return system;
}

std::uint64_t SystemToFileTime(const SYSTEMTIME& time) {
  FILETIME file{};
  if (!::SystemTimeToFileTime(&time, &file)) return 0;
  return (static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

bool UseIfModifiedSince(bool localCopyExists, std::uint64_t localCopyWriteTime,
                        const std::optional<std::uint64_t>& storedLastModified) {
  return localCopyExists && storedLastModified.has_value() && localCopyWriteTime > *storedLastModified;
}

CheckRun::CheckRun(InstanceGuard& guard, AppSettings& settings, UpdateCatalogue& catalogue, RunMode mode)
    : guard_(guard), settings_(settings), catalogue_(catalogue), mode_(mode) {}

Result CheckRun::Fail(const CheckRunCallback& callback, Result code) const {
  if (callback) callback(LoadStringFilled(kStrErrorWithText, {MessageText(code)}), code);
  return code;
}

Result CheckRun::FetchUpdatesFile() {
  const std::wstring& url = settings_.urls.front();
  localCopy_ = LocalUpdatesFilePath(settings_.downloadsFolder, url);

  ServerCredentials credentials(HKEY_CURRENT_USER, settings_.id);
  credentials.LoadAtStart();
  AsyncDownloadThread engine(nullptr, &credentials);
  engine.SetRetryAttempts(settings_.retryAttempts);
  engine.SetProxy(settings_.proxy);
  engine.SetQueryLastModified(true);
  engine.SetFailOnCertificateErrors(true);
  engine.SetSecurePartFile(settings_.HasClientFlag(kClientPerMachine));

  WIN32_FILE_ATTRIBUTE_DATA local{};
  bool localExists = ::GetFileAttributesExW(localCopy_.c_str(), GetFileExInfoStandard, &local) != FALSE;
  std::uint64_t localWriteTime =
      (static_cast<std::uint64_t>(local.ftLastWriteTime.dwHighDateTime) << 32) | local.ftLastWriteTime.dwLowDateTime;
  std::optional<FileTime64> stored = settings_.Store().ReadTime(SettingsKey::kSettings, kValueLastModified);
  if (UseIfModifiedSince(localExists, localWriteTime, stored)) engine.SetIfModifiedSince(FileTimeToSystem(*stored));

  LogFormat(kLogDebug, L"Downloading the updates configuration file %ls to %ls", url.c_str(), localCopy_.c_str());
  Result result = engine.Download(url, localCopy_);
  if (result == E_UPD_NOT_MODIFIED) {
    Log(kLogDebug, L"The updates configuration file is not modified; using the local copy.");
    return kOk;
  }
  if (result != kOk) return result;
  SYSTEMTIME modified = engine.GetLastModified();
  if (modified.wYear != 0)
    settings_.Store().WriteTime(SettingsKey::kSettings, kValueLastModified, SystemToFileTime(modified));
  return kOk;
}

Result CheckRun::ReadUpdatesFile() {
  UpdatesFileReader reader(catalogue_, localCopy_);
  return reader.Load(true, true);
}

Result CheckRun::Run(const CheckRunCallback& callback) {
  if (settings_.urls.empty()) return Fail(callback, E_UPD_CLIENT_CONFIG);
  Result fetched = FetchUpdatesFile();
  if (fetched != kOk) return Fail(callback, fetched);
  Result read = ReadUpdatesFile();
  if (read != kOk) return Fail(callback, read);
  LogFormat(kLogInfo, L"The updates configuration file lists %u updates.", static_cast<unsigned>(catalogue_.Count()));

  // Detection of what is installed and the choice of what applies come with a later version.
  Log(kLogError, L"Detection of installed updates is not available yet in this build.");
  return kResultNotAvailable;
}

}  // namespace updater

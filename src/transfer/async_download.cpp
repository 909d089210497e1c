// The download engine: a download from its URLs into its part file, the observer and credentials it
// answers to, and the part file rules.
#include "transfer/async_download.h"

#include <shlobj.h>

#include "base/security.h"
#include "transfer/async_download_internal.h"
#include "transfer/download_rules.h"

namespace updater {

AsyncDownloadThread::AsyncDownloadThread(DownloadObserver* observer, CredentialsProvider* credentials,
                                         DownloadOptions options)
    : mObserver(observer), mCredentials(credentials), mCall(std::make_unique<AsyncCallState>()),
      mOptions(std::move(options)) {}

AsyncDownloadThread::~AsyncDownloadThread() {
  CloseTransferHandles();
  CloseInetConnection();
}

SYSTEMTIME AsyncDownloadThread::GetLastModified() const { return mLastModified; }
std::uint32_t AsyncDownloadThread::GetHttpStatus() const { return mHttpStatus; }
void AsyncDownloadThread::SetObserver(DownloadObserver* observer) { mObserver = observer; }
void AsyncDownloadThread::SetForcedCancel(bool cancel) { mForcedCancel = cancel; }

bool AsyncDownloadThread::IsCanceled() {
  if (mForcedCancel) {
    Log(kLogTrace, L"AsyncDownloadThread::IsCanceled() detected (mForcedCancel == TRUE)");
    mCancelSeen = true;
    return true;
  }
  bool cancelled = mObserver && mObserver->IsCanceled();
  if (cancelled) mCancelSeen = true;
  return cancelled;
}

bool AsyncDownloadThread::IsPaused() { return mObserver && mObserver->IsPaused(); }

// A failure whose outcome is decided: the observer hears of it (a window shows it, a host's
// callback reports it), and its answer does not change what happens next.
void AsyncDownloadThread::Report(const wchar_t* url, Result code) {
  LogFormat(kLogTrace, L"AsyncDownloadThread::Error(%ls,%ls)", url ? url : L"NULL", FormatResultForLog(code).c_str());
  if (mObserver) (void)mObserver->Error(url, code, nullptr);
}

Result AsyncDownloadThread::Ask(const wchar_t* url, Result code, void* context) {
  LogFormat(kLogTrace, L"AsyncDownloadThread::Error(%ls,%ls)", url ? url : L"NULL", FormatResultForLog(code).c_str());
  if (!mObserver) return code;
  return mObserver->Error(url, code, context);
}

void AsyncDownloadThread::WaitWhilePaused() {
  while (IsPaused() && !IsCanceled()) ::Sleep(kPollMilliseconds);
}

bool AsyncDownloadThread::SupplyCredentials(HINTERNET handle, const std::wstring& host, const std::wstring& realm,
                                            bool proxy, const std::wstring& proxyName, std::wstring& user,
                                            std::wstring& password) {
  if (!mCredentials) return false;
  if (mCredentials->GetStored(user, password)) {
    SetCredentialOptions(handle, proxy, user, password);
    mCredentials->Advance();
    return true;
  }
  mCredentials->SetHost(host);
  mCredentials->SetRealm(realm);
  mCredentials->SetProxyName(proxyName);
  if (Ask(host.c_str(), E_UPD_AUTH_REQUIRED, mCredentials) != kObserverRetry) return false;
  if (!mCredentials->GetEntered(user, password)) return false;
  SetCredentialOptions(handle, proxy, user, password);
  mCredentials->Advance();
  return true;
}

Result AsyncDownloadThread::Download(const std::wstring& url, const std::wstring& destination) {
  return Download(std::vector<std::wstring>{url}, destination);
}

Result AsyncDownloadThread::CrackUrl(const std::wstring& url, UrlParts& parts) const {
  size_t capacity = url.size() + MAX_PATH;
  std::vector<wchar_t> host(capacity), user(capacity), password(capacity), path(capacity), extra(capacity);
  URL_COMPONENTSW components{};
  components.dwStructSize = sizeof(components);
  components.lpszHostName = host.data();
  components.dwHostNameLength = static_cast<DWORD>(capacity);
  components.lpszUserName = user.data();
  components.dwUserNameLength = static_cast<DWORD>(capacity);
  components.lpszPassword = password.data();
  components.dwPasswordLength = static_cast<DWORD>(capacity);
  components.lpszUrlPath = path.data();
  components.dwUrlPathLength = static_cast<DWORD>(capacity);
  components.lpszExtraInfo = extra.data();
  components.dwExtraInfoLength = static_cast<DWORD>(capacity);
  if (!::InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &components)) return ::GetLastError();
  parts.scheme = components.nScheme;
  parts.host = host.data();
  parts.port = components.nPort;
  parts.user = user.data();
  parts.password = password.data();
  parts.path = std::wstring(path.data()) + extra.data();
  parts.text = url;
  return kOk;
}

Result AsyncDownloadThread::Download(const std::vector<std::wstring>& urls, const std::wstring& destination) {
  mUrls = urls;
  mDestination = destination;
  mPartPath = PartPathOf(destination);
  CloseTransferHandles();
  mCancelSeen = false;
  mReconnectAllowed = true;
  mHttpStatus = 0;
  mLastModified = SYSTEMTIME{};
  mETag.clear();
  mRetryAfter.clear();

  mCrackedUrls.clear();
  if (mUrls.empty()) {
    TraceCode(L"CheckURL() failed", kInetUnrecognizedScheme);
    Report(nullptr, kInetUnrecognizedScheme);
    return kInetUnrecognizedScheme;
  }
  for (const std::wstring& url : mUrls) {
    UrlParts parts;
    Result cracked = CrackUrl(url, parts);
    if (cracked == kOk && parts.scheme != INTERNET_SCHEME_FTP && parts.scheme != INTERNET_SCHEME_HTTP &&
        parts.scheme != INTERNET_SCHEME_HTTPS && parts.scheme != INTERNET_SCHEME_FILE)
      cracked = kInetUnrecognizedScheme;
    if (cracked != kOk) {
      TraceCode(L"CheckURL() failed", cracked);
      Report(nullptr, cracked);
      return cracked;
    }
    if (parts.scheme == INTERNET_SCHEME_FILE) mReconnectAllowed = false;
    mCrackedUrls.push_back(std::move(parts));
  }

  Result result = InitInetConnection();
  if (result != kOk) {
    TraceCode(L"InitInetConnection() failed", result);
    CloseInetConnection();
    return result;
  }
  result = DownloadOpened();
  CloseTransferHandles();
  CloseInetConnection();
  return result;
}

Result AsyncDownloadThread::DownloadOpened() {
  if (!IsAbsoluteDestination(mDestination)) {
    Report(nullptr, E_UPD_SAVE_FILE);
    return E_UPD_SAVE_FILE;
  }
  std::uint32_t offset = 0;
  if (mOptions.resume) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    bool exists = ::GetFileAttributesExW(mPartPath.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeHigh == 0;
    offset = ResumeOffset(mOptions.resume, exists, exists ? data.nFileSizeLow : 0);
  }
  std::uint32_t total = 0;
  bool local = false;
  Result result = OpenUrl(offset, total, local);
  if (IsCanceled()) {
    Log(kLogTrace, L"Download was canceled");
    return E_UPD_CANCELED;
  }
  if (result != kOk) {
    TraceCode(L"Connect() failed", result);
    if (result != E_UPD_NOT_MODIFIED && result != E_UPD_CANCELED)
      Report(FileNameOfPath(mDestination).c_str(), result);
    return result;
  }
  mBound = DownloadSizeBound(mOptions.expectedSize, mOptions.sizeLimit, mOptions.sizeLimitCode);
  if (mOptions.expectedSize != 0 && total != 0 && mOptions.expectedSize != total) {
    // Not the file the catalogue describes: a part file of it would only be resumed wrongly.
    CloseTransferHandles();
    ::DeleteFileW(mPartPath.c_str());
    LogFormat(kLogError, L"The server announces %u bytes for %ls; expected %u.", total, mDestination.c_str(),
              mOptions.expectedSize);
    Report(FileNameOfPath(mDestination).c_str(), E_UPD_WRONG_SIZE);
    return E_UPD_WRONG_SIZE;
  }
  if (ExceedsBound(mBound, 0, total)) {
    UniqueFile none;
    return StopAtBound(none, total);
  }
  return local ? CopyLocalFile(total) : TransferLoop(total, offset);
}

Result AsyncDownloadThread::OpenUrl(std::uint32_t& offset, std::uint32_t& total, bool& local) {
  int attemptsLeft = ConnectAttempts(mOptions.retryAttempts >= 0 ? mOptions.retryAttempts : kDefaultRetryAttempts, mUrls.size());
  const std::uint32_t requestedOffset = offset;
  mUrlIndex = 0;
  for (;;) {
    if (mCredentials) mCredentials->ResetCursor();
    offset = requestedOffset;
    total = 0;
    local = false;
    const UrlParts& url = mCrackedUrls[mUrlIndex];
    mHttpStatus = 0;
    Result result = kInetUnrecognizedScheme;
    switch (url.scheme) {
      case INTERNET_SCHEME_HTTP:
      case INTERNET_SCHEME_HTTPS:
        result = ConnectHttp(url, L"GET", offset, total);
        break;
      case INTERNET_SCHEME_FTP:
        result = ConnectFtp(url, offset, total);
        break;
      case INTERNET_SCHEME_FILE:
        local = true;
        result = ConnectLocal(url, total);
        break;
      default:
        break;
    }
    LogFormat(kLogTrace, L"OpenUrl() returned: %ls", FormatResultForLog(result).c_str());
    if (result == kOk) return kOk;
    CloseTransferHandles();
    if (result == E_UPD_CANCELED) return result;
    if (result != E_UPD_NOT_MODIFIED)
      LogFormat(kLogDebug, L"Download attempt failed: %ls (%ls).", UrlWithoutCredentials(url.text).c_str(),
                DescribeAttemptFailure(mHttpStatus, result).c_str());
    if (ClassifyConnectResult(result, mUrls.size()) == ConnectRetry::kReturn || attemptsLeft <= 0) return result;
    --attemptsLeft;
    if (mUrls.size() > 1) mUrlIndex = (mUrlIndex + 1) % mUrls.size();
  }
}

Result AsyncDownloadThread::CreateSubFolders(const std::wstring& folder) const {
  if (folder.empty()) return kOk;
  DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return kOk;
  int result = ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) return kOk;
  return static_cast<Result>(result);
}

HANDLE AsyncDownloadThread::CreatePartFile(DWORD disposition) const {
  if (!mOptions.securePartFile || disposition == OPEN_EXISTING)
    return ::CreateFileW(mPartPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  // Full access for Everyone and LocalSystem, so that another account can complete the file.
  UniqueLocalMem acl;
  Result built = BuildAccessList(
      {{WellKnownAccount::kEveryone, GENERIC_ALL}, {WellKnownAccount::kLocalSystem, GENERIC_ALL}}, nullptr, acl);
  if (built != kOk) {
    ::SetLastError(built);
    return INVALID_HANDLE_VALUE;
  }
  SecurityDescriptorFor descriptor(static_cast<PACL>(acl.Get()));
  return ::CreateFileW(mPartPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, descriptor.Attributes(), disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

Result AsyncDownloadThread::OpenPartFile(std::uint32_t offset, UniqueFile& file) {
  file.Reset(CreatePartFile(offset == 0 ? CREATE_ALWAYS : OPEN_EXISTING));
  if (!file) return ::GetLastError();
  if (offset != 0) {
    // Continue exactly where the server continues, even if the file grew meanwhile.
    LARGE_INTEGER position{};
    position.QuadPart = offset;
    if (!::SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.Get())) {
      Result error = ::GetLastError();
      file.Reset();
      return error;
    }
  }
  return kOk;
}

Result AsyncDownloadThread::FinishPartFile() {
  ::DeleteFileW(mDestination.c_str());
  if (mOptions.keepCompletePartFile) return kOk;
  if (::MoveFileW(mPartPath.c_str(), mDestination.c_str())) return kOk;
  if (!::CopyFileW(mPartPath.c_str(), mDestination.c_str(), FALSE)) {
    Result error = ::GetLastError();
    Report(nullptr, error);
    return error;
  }
  ::DeleteFileW(mPartPath.c_str());
  return kOk;
}

Result AsyncDownloadThread::StopAtBound(UniqueFile& file, std::uint64_t bytes) {
  file.Reset();
  CloseTransferHandles();
  ::DeleteFileW(mPartPath.c_str());
  LogError(L"The download of " + mDestination + L" stopped: " + std::to_wstring(bytes) +
               L" bytes would pass its bound of " + std::to_wstring(mBound.bytes) + L" bytes.",
           mBound.code);
  Report(FileNameOfPath(mDestination).c_str(), mBound.code);
  return mBound.code;
}

}  // namespace updater

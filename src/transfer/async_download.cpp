#include "transfer/async_download.h"

#include <aclapi.h>
#include <shlobj.h>
#include <winnetwk.h>

#include <algorithm>

#include "core/logger.h"
#include "transfer/download_rules.h"

namespace updater {
namespace {

constexpr wchar_t kAgentName[] = L"KestruneInstaller";
constexpr DWORD kReadBufferSize = 51200;
constexpr DWORD kPollMilliseconds = 10;
// Reload, no cache write, keep-alive, redirects between HTTP and HTTPS allowed without a warning
// (0x8440C000); and no automatic redirection, so that the engine counts the redirects it follows.
constexpr DWORD kRequestFlags = 0x8440C000 | INTERNET_FLAG_NO_AUTO_REDIRECT;
constexpr DWORD kIgnoreUpFrontFlags = 0x13380;
constexpr DWORD kAcceptCertificateFlags = 0x3F05 | SECURITY_FLAG_IGNORE_REVOCATION;
constexpr int kMaxCertificateResends = 4;
constexpr DWORD kHandleClosingWait = 30000;
constexpr DWORD kCopyReportInterval = 200;
constexpr DWORD kFtpTransferBinaryReload = 0x80000002;

void TraceCode(const wchar_t* text, Result code) {
  LogFormat(kLogTrace, L"%ls LastError: %ls", text, FormatResultForLog(code).c_str());
}

bool QueryNumber(HINTERNET request, DWORD query, DWORD& value) {
  DWORD size = sizeof(value);
  value = 0;
  return ::HttpQueryInfoW(request, query | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr) != FALSE;
}

std::wstring QueryText(HINTERNET request, DWORD query) {
  std::vector<wchar_t> buffer(260);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::HttpQueryInfoW(request, query, buffer.data(), &size, nullptr)) return std::wstring(buffer.data());
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.resize(size / sizeof(wchar_t) + 1);
  }
}

void AddSecurityFlags(HINTERNET request, DWORD flags) {
  DWORD current = 0;
  DWORD size = sizeof(current);
  ::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &current, &size);
  current |= flags;
  ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &current, sizeof(current));
}

void SetCredentialOptions(HINTERNET handle, bool proxy, const std::wstring& user, const std::wstring& password) {
  if (!handle) return;
  DWORD userOption = proxy ? INTERNET_OPTION_PROXY_USERNAME : INTERNET_OPTION_USERNAME;
  DWORD passwordOption = proxy ? INTERNET_OPTION_PROXY_PASSWORD : INTERNET_OPTION_PASSWORD;
  ::InternetSetOptionW(handle, userOption, const_cast<wchar_t*>(user.c_str()), static_cast<DWORD>(user.size() + 1));
  ::InternetSetOptionW(handle, passwordOption, const_cast<wchar_t*>(password.c_str()),
                       static_cast<DWORD>(password.size() + 1));
}

// The proxy server of the system configuration ("host:port" or a list), empty when none.
std::wstring SystemProxyServer() {
  INTERNET_PER_CONN_OPTIONW option{};
  option.dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof(list);
  list.dwOptionCount = 1;
  list.pOptions = &option;
  DWORD size = sizeof(list);
  if (!::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return {};
  std::wstring server = option.Value.pszValue ? option.Value.pszValue : L"";
  if (option.Value.pszValue) ::GlobalFree(option.Value.pszValue);
  return server;
}

std::uint32_t FileSizeOf(HANDLE file) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) return 0;
  return static_cast<std::uint32_t>(size.QuadPart);
}

}  // namespace

AsyncDownloadThread::AsyncDownloadThread(DownloadObserver* observer, CredentialsProvider* credentials)
    : mObserver(observer), mCredentials(credentials), mCall(std::make_unique<AsyncCallState>()) {}

AsyncDownloadThread::~AsyncDownloadThread() {
  CloseTransferHandles();
  CloseInetConnection();
}

void AsyncDownloadThread::SetProxy(const std::wstring& proxy) { mProxy = proxy; }
std::wstring AsyncDownloadThread::GetProxy() const { return mProxy; }
void AsyncDownloadThread::SetRetryAttempts(int attempts) {
  if (attempts >= 0) mRetryAttempts = attempts;
}
void AsyncDownloadThread::SetConnectTimeout(unsigned milliseconds) {
  if (milliseconds != 0) mConnectTimeout = milliseconds;
}
void AsyncDownloadThread::SetIfModifiedSince(const SYSTEMTIME& time) { mIfModifiedSince = time; }
void AsyncDownloadThread::SetQueryLastModified(bool query) { mQueryLastModified = query; }
void AsyncDownloadThread::SetSecurePartFile(bool secure) { mSecurePartFile = secure; }

void AsyncDownloadThread::SetKeepCompletePartFile(bool keep) { mKeepCompletePartFile = keep; }
SYSTEMTIME AsyncDownloadThread::GetLastModified() const { return mLastModified; }
void AsyncDownloadThread::SetAcceptCertificateErrors(bool accept) { mAcceptCertificateErrors = accept; }
void AsyncDownloadThread::SetResume(bool resume) { mResume = resume; }
void AsyncDownloadThread::SetExpectedSize(std::uint32_t size) { mExpectedSize = size; }

void AsyncDownloadThread::SetSizeLimit(std::uint32_t maxBytes, Result code) {
  mSizeLimit = maxBytes;
  mSizeLimitCode = code;
}
void AsyncDownloadThread::SetObserver(DownloadObserver* observer) { mObserver = observer; }
void AsyncDownloadThread::SetIgnoreCertificateErrors(bool ignore) { mIgnoreCertificateErrors = ignore; }
std::uint32_t AsyncDownloadThread::GetHttpStatus() const { return mHttpStatus; }
void AsyncDownloadThread::SetReceiveTimeout(unsigned milliseconds) { mReceiveTimeout = milliseconds; }
void AsyncDownloadThread::SetForcedCancel(bool cancel) { mForcedCancel = cancel; }
void AsyncDownloadThread::SetFailOnCertificateErrors(bool fail) { mFailOnCertificateErrors = fail; }

// ---------------------------------------------------------------------------------------------
// Observer relay

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

Result AsyncDownloadThread::Error(const wchar_t* url, Result code, void* context) {
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
  if (Error(host.c_str(), E_UPD_AUTH_REQUIRED, mCredentials) != kObserverRetry) return false;
  if (!mCredentials->GetEntered(user, password)) return false;
  SetCredentialOptions(handle, proxy, user, password);
  mCredentials->Advance();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Asynchronous pattern

static std::wstring ReadResponseText() {
  std::vector<wchar_t> buffer(1000);
  for (;;) {
    DWORD error = 0;
    DWORD length = static_cast<DWORD>(buffer.size());
    if (::InternetGetLastResponseInfoW(&error, buffer.data(), &length))
      return std::wstring(buffer.data(), std::min<size_t>(length, buffer.size()));
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return {};
    buffer.resize(std::max<size_t>(length + 1, buffer.size() * 2));
  }
}

struct AsyncDownloadThread::AsyncCallState {
  AsyncCallState()
      : completionEvent(::CreateEventW(nullptr, TRUE, TRUE, nullptr)),
        handleClosedEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  void OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD infoLength);
  // From here on the block belongs to the library's callbacks: it deletes itself once each of the
  // given handles (null ones left out) has reported closing. The caller closes them afterwards and
  // does not touch the block again.
  void FreeAfterClosing(HINTERNET request, HINTERNET connection);

  // Asynchronous-completion block.
  std::atomic<DWORD> asyncError{0};
  std::atomic<DWORD_PTR> asyncResult{0};
  std::atomic<int> pendingKind{0};
  std::atomic<bool> completed{true};
  std::wstring responseText;  // the FTP reply of the last command
  std::atomic<HINTERNET> currentHandle{nullptr};
  UniqueHandle completionEvent;
  UniqueHandle handleClosedEvent;

  // Buffers the library writes into while a call pends.
  std::vector<BYTE> readBuffer;
  DWORD bytesRead = 0;
  DWORD bytesAvailable = 0;
  std::wstring requestHeaders;

  // Abandoned: the handles whose closing is still awaited.
  std::atomic<bool> abandoned{false};
  std::atomic<HINTERNET> awaitedClosings[2] = {nullptr, nullptr};
  std::atomic<int> closingsLeft{0};
};

void AsyncDownloadThread::AsyncCallState::FreeAfterClosing(HINTERNET request, HINTERNET connection) {
  int count = 0;
  for (HINTERNET handle : {request, connection})
    if (handle) awaitedClosings[count++] = handle;
  closingsLeft = count;
  abandoned = true;
}

void CALLBACK AsyncDownloadThread::StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                                  DWORD infoLength) {
  auto* state = reinterpret_cast<AsyncCallState*>(context);
  if (state) state->OnStatus(handle, status, info, infoLength);
}

void AsyncDownloadThread::AsyncCallState::OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD infoLength) {
  switch (status) {
    case INTERNET_STATUS_HANDLE_CLOSING:
      if (abandoned) {
        // The last notification of a handle: once every awaited handle sent it, nothing of the
        // library refers to this block any more.
        for (auto& awaited : awaitedClosings) {
          HINTERNET expected = handle;
          if (handle && awaited.compare_exchange_strong(expected, nullptr)) {
            if (--closingsLeft == 0) delete this;
            return;
          }
        }
        return;
      }
      ::SetEvent(handleClosedEvent.Get());
      return;
    case INTERNET_STATUS_REQUEST_COMPLETE: {
      if (!info || infoLength < sizeof(INTERNET_ASYNC_RESULT)) return;
      const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
      asyncResult = result->dwResult;
      asyncError = result->dwError;
      switch (pendingKind.load()) {
        case kPendingFtpCommand:
          responseText = ReadResponseText();
          break;
        case kPendingConnect:
        case kPendingFtpOpenFile:
        case kPendingHttpOpenRequest:
          currentHandle = reinterpret_cast<HINTERNET>(result->dwResult);
          responseText = ReadResponseText();
          break;
        default:
          break;
      }
      completed = true;
      ::SetEvent(completionEvent.Get());
      return;
    }
    default:
      return;
  }
}

template <typename Call>
Result AsyncDownloadThread::RunAsync(PendingKind kind, Call call, DWORD_PTR& value) {
  mCall->pendingKind = kind;
  mCall->asyncResult = 0;
  mCall->asyncError = 0;
  mLastCallPended = false;
  // The completion event is signalled whenever no call is pending; it is reset only once a call
  // has pended (two server round trips saved on every call that completes at once, which is most
  // reads). mCall->completed decides: a completion that comes before the reset is seen through it.
  mCall->completed = false;
  ::SetLastError(0);
  value = call();
  DWORD error = value ? 0 : ::GetLastError();
  // FtpOpenFileW pends without saying so: no handle and no error.
  bool pending = !value && (error == ERROR_IO_PENDING || (kind == kPendingFtpOpenFile && error == 0));
  if (!pending) {
    if (kind == kPendingFtpCommand || kind == kPendingConnect || kind == kPendingFtpOpenFile)
      mCall->responseText = ReadResponseText();
    if (value && (kind == kPendingConnect || kind == kPendingFtpOpenFile || kind == kPendingHttpOpenRequest))
      mCall->currentHandle = reinterpret_cast<HINTERNET>(value);
    mCall->completed = true;
    if (value) return kOk;
    return error ? error : kResultFail;
  }
  mLastCallPended = true;
  ::ResetEvent(mCall->completionEvent.Get());
  if (mCall->completed) ::SetEvent(mCall->completionEvent.Get());  // completed before the reset
  Result waited = WaitForCompletion();
  if (waited != kOk) return waited;
  value = mCall->asyncResult;
  if (value) return kOk;
  return mCall->asyncError ? mCall->asyncError.load() : kResultFail;
}

Result AsyncDownloadThread::WaitForCompletion() {
  while (!mCall->completed) {
    if (IsCanceled()) return E_UPD_CANCELED;
    ::WaitForSingleObject(mCall->completionEvent.Get(), kPollMilliseconds);
  }
  return kOk;
}

Result AsyncDownloadThread::InitInetConnection() {
  if (!mCall->completionEvent) mCall->completionEvent.Reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
  if (!mCall->handleClosedEvent) mCall->handleClosedEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!mCall->completionEvent || !mCall->handleClosedEvent) return ::GetLastError();
  mCall->completed = true;
  ::SetEvent(mCall->completionEvent.Get());
  DWORD access = mProxy.empty() ? INTERNET_OPEN_TYPE_PRECONFIG : INTERNET_OPEN_TYPE_PROXY;
  mSession.Reset(::InternetOpenW(kAgentName, access, mProxy.empty() ? nullptr : mProxy.c_str(), nullptr,
                                 INTERNET_FLAG_ASYNC));
  if (!mSession) return ::GetLastError();
  if (::InternetSetStatusCallbackW(mSession.Get(), &AsyncDownloadThread::StatusCallback) ==
      INTERNET_INVALID_STATUS_CALLBACK) {
    Result error = ::GetLastError();
    mSession.Reset();
    return error;
  }
  if (mConnectTimeout != 0) {
    DWORD timeout = mConnectTimeout;
    ::InternetSetOptionW(mSession.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
  }
  return kOk;
}

void AsyncDownloadThread::CloseInternetHandle(UniqueInternetHandle& handle) {
  if (!handle) return;
  ::ResetEvent(mCall->handleClosedEvent.Get());
  ::InternetCloseHandle(handle.Release());
  // A call still pending on the handle keeps using the buffers and this object until it ends;
  // the receive time-out bounds that wait.
  ::WaitForSingleObject(mCall->completionEvent.Get(), INFINITE);
  ::WaitForSingleObject(mCall->handleClosedEvent.Get(), kHandleClosingWait);
}

void AsyncDownloadThread::CloseTransferHandles() {
  if ((mCancelSeen || !mCall->completed) && (mRequest || mConnection)) {
    CloseTransferHandlesInBackground();
    return;
  }
  CloseInternetHandle(mRequest);
  CloseInternetHandle(mConnection);
  mCall->currentHandle = nullptr;
}

namespace {

DWORD WINAPI CloseHandlesWork(LPVOID parameter) {
  std::unique_ptr<std::vector<HINTERNET>> handles(static_cast<std::vector<HINTERNET>*>(parameter));
  for (HINTERNET handle : *handles)
    if (handle) ::InternetCloseHandle(handle);
  return 0;
}

// Closes the handles, in order, on a pool thread (on this one when none can be had).
void CloseOnPoolThread(std::vector<HINTERNET> handles) {
  auto work = std::make_unique<std::vector<HINTERNET>>(std::move(handles));
  if (::QueueUserWorkItem(&CloseHandlesWork, work.get(), WT_EXECUTEDEFAULT))
    work.release();
  else
    CloseHandlesWork(work.release());
}

}  // namespace

void AsyncDownloadThread::CloseTransferHandlesInBackground() {
  // Under Wine, closing a request handle reads the rest of the response body first (to keep the
  // connection for reuse), and does not end a pending read or availability query, which runs
  // until the server sends something or the receive time-out passes. A cancel would wait for
  // either. The handles (and later the session) are closed on a pool thread instead, and the block the library still
  // writes into stays with them until they report closing.
  Log(kLogTrace, L"AsyncDownloadThread closes its handles in the background after the cancel.");
  AsyncCallState* released = mCall.release();
  mCall = std::make_unique<AsyncCallState>();
  HINTERNET request = mRequest.Release();
  HINTERNET connection = mConnection.Release();
  released->FreeAfterClosing(request, connection);
  CloseOnPoolThread({request, connection});
}

void AsyncDownloadThread::CloseInetConnection() {
  if (!mSession) return;
  ::InternetSetStatusCallbackW(mSession.Get(), nullptr);
  // Closing the session closes what is left under it, with the same waits as above.
  if (mCancelSeen)
    CloseOnPoolThread({mSession.Release()});
  else
    mSession.Reset();
}

void AsyncDownloadThread::ApplyReceiveTimeout(HINTERNET handle) const {
  if (!handle || mReceiveTimeout == 0) return;
  DWORD timeout = mReceiveTimeout;
  ::InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
}

// ---------------------------------------------------------------------------------------------
// Download

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

  mCrackedUrls.clear();
  if (mUrls.empty()) {
    TraceCode(L"CheckURL() failed", kInetUnrecognizedScheme);
    Error(nullptr, kInetUnrecognizedScheme, nullptr);
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
      Error(nullptr, cracked, nullptr);
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
    Error(nullptr, E_UPD_SAVE_FILE, nullptr);
    return E_UPD_SAVE_FILE;
  }
  std::uint32_t offset = 0;
  if (mResume) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    bool exists = ::GetFileAttributesExW(mPartPath.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeHigh == 0;
    offset = ResumeOffset(mResume, exists, exists ? data.nFileSizeLow : 0);
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
      Error(FileNameOfPath(mDestination).c_str(), result, nullptr);
    return result;
  }
  mBound = DownloadSizeBound(mExpectedSize, mSizeLimit, mSizeLimitCode);
  if (mExpectedSize != 0 && total != 0 && mExpectedSize != total) {
    // Not the file the catalogue describes: a part file of it would only be resumed wrongly.
    CloseTransferHandles();
    ::DeleteFileW(mPartPath.c_str());
    LogFormat(kLogError, L"The server announces %u bytes for %ls; expected %u.", total, mDestination.c_str(),
              mExpectedSize);
    Error(FileNameOfPath(mDestination).c_str(), E_UPD_WRONG_SIZE, nullptr);
    return E_UPD_WRONG_SIZE;
  }
  if (ExceedsBound(mBound, 0, total)) {
    UniqueFile none;
    return StopAtBound(none, total);
  }
  return local ? CopyLocalFile(total) : TransferLoop(total, offset);
}

Result AsyncDownloadThread::OpenUrl(std::uint32_t& offset, std::uint32_t& total, bool& local) {
  int attemptsLeft = ConnectAttempts(mRetryAttempts, mUrls.size());
  const std::uint32_t requestedOffset = offset;
  mUrlIndex = 0;
  for (;;) {
    if (mCredentials) mCredentials->ResetCursor();
    offset = requestedOffset;
    total = 0;
    local = false;
    const UrlParts& url = mCrackedUrls[mUrlIndex];
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
    if (ClassifyConnectResult(result, mUrls.size()) == ConnectRetry::kReturn || attemptsLeft <= 0) return result;
    --attemptsLeft;
    if (mUrls.size() > 1) mUrlIndex = (mUrlIndex + 1) % mUrls.size();
  }
}

Result AsyncDownloadThread::ConnectHttp(const UrlParts& firstUrl, const wchar_t* verb, std::uint32_t& offset,
                                        std::uint32_t& total) {
  const std::uint32_t requestedOffset = offset;
  UrlParts url = firstUrl;
  for (int redirects = 0;; ++redirects) {
    std::wstring location;
    Result result = OpenHttpRequest(url, verb, offset, total, location);
    if (result != kOk || location.empty()) return result;
    CloseTransferHandles();
    if (redirects == kMaxRedirects) {
      LogError(L"Stopped after " + std::to_wstring(kMaxRedirects) + L" redirects at " + url.host + url.path + L".",
               kHttpRedirectFailed);
      return kHttpRedirectFailed;
    }
    std::wstring next = ResolveRedirectLocation(url.text, location);
    UrlParts parts;
    if (next.empty() || CrackUrl(next, parts) != kOk ||
        (parts.scheme != INTERNET_SCHEME_HTTP && parts.scheme != INTERNET_SCHEME_HTTPS)) {
      LogError(L"Cannot follow the redirect from " + url.host + url.path + L" to " + location + L".",
               kHttpRedirectFailed);
      return kHttpRedirectFailed;
    }
    LogFormat(kLogTrace, L"Redirected to %ls%ls", parts.host.c_str(), parts.path.c_str());
    url = std::move(parts);
    offset = requestedOffset;
    total = 0;
  }
}

Result AsyncDownloadThread::OpenHttpRequest(const UrlParts& url, const wchar_t* verb, std::uint32_t& offset,
                                            std::uint32_t& total, std::wstring& redirectTo) {
  DWORD_PTR value = 0;
  Result result = RunAsync(
      kPendingConnect,
      [&] {
        return reinterpret_cast<DWORD_PTR>(::InternetConnectW(
            mSession.Get(), url.host.c_str(), url.port, url.user.empty() ? nullptr : url.user.c_str(),
            url.password.empty() ? nullptr : url.password.c_str(), INTERNET_SERVICE_HTTP, 0,
            CallContext()));
      },
      value);
  if (result != kOk) return result;
  mConnection.Reset(reinterpret_cast<HINTERNET>(value));

  const wchar_t* acceptTypes[] = {L"*/*", nullptr};
  DWORD flags = kRequestFlags | (url.scheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
  result = RunAsync(
      kPendingHttpOpenRequest,
      [&] {
        return reinterpret_cast<DWORD_PTR>(::HttpOpenRequestW(mConnection.Get(), verb, url.path.c_str(),
                                                              L"HTTP/1.0", nullptr, acceptTypes, flags,
                                                              CallContext()));
      },
      value);
  if (result != kOk) return result;
  mRequest.Reset(reinterpret_cast<HINTERNET>(value));
  if (url.scheme == INTERNET_SCHEME_HTTPS && mIgnoreCertificateErrors) AddSecurityFlags(mRequest.Get(), kIgnoreUpFrontFlags);
  ApplyReceiveTimeout(mRequest.Get());
  mCall->requestHeaders = BuildRequestHeaders(offset, mIfModifiedSince);
  result = SendHttpRequest(url, offset, total, redirectTo);
  if (result != kOk) CloseInternetHandle(mRequest);
  return result;
}

Result AsyncDownloadThread::SendHttpRequest(const UrlParts& url, std::uint32_t& offset, std::uint32_t& total,
                                            std::wstring& redirectTo) {
  int certificateResends = 0;
  bool restartedWithoutRange = false;
  for (;;) {
    DWORD_PTR sent = 0;
    Result sendResult = RunAsync(
        kPendingHttpSendRequest,
        [&] {
          return static_cast<DWORD_PTR>(::HttpSendRequestW(
              mRequest.Get(), mCall->requestHeaders.empty() ? nullptr : mCall->requestHeaders.c_str(),
              mCall->requestHeaders.empty() ? 0 : static_cast<DWORD>(-1L), nullptr, 0));
        },
        sent);
    if (sendResult == E_UPD_CANCELED) return sendResult;
    if (sendResult != kOk) {
      if (!IsCertificateError(sendResult) || mFailOnCertificateErrors) return sendResult;
      if (++certificateResends > kMaxCertificateResends) return sendResult;
      if (!mAcceptCertificateErrors) {
        if (Error(nullptr, sendResult, mRequest.Get()) != 0) return sendResult;
        // The headers stay attached to the request; the observer's "proceed" takes effect even
        // when it did not change the request's security flags itself.
        mCall->requestHeaders.clear();
      }
      AddSecurityFlags(mRequest.Get(), kAcceptCertificateFlags);
      continue;
    }

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!::HttpQueryInfoW(mRequest.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
      return ::GetLastError();
    mHttpStatus = status;
    DWORD contentLength = 0;
    QueryNumber(mRequest.Get(), HTTP_QUERY_CONTENT_LENGTH, contentLength);
    if (mQueryLastModified && status != HTTP_STATUS_NOT_MODIFIED) {
      SYSTEMTIME lastModified{};
      size = sizeof(lastModified);
      if (!::HttpQueryInfoW(mRequest.Get(), HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &lastModified,
                            &size, nullptr))
        lastModified = SYSTEMTIME{};
      mLastModified = lastModified;
    }
    if (IsRedirectStatus(status)) {
      redirectTo = QueryText(mRequest.Get(), HTTP_QUERY_LOCATION);
      if (!redirectTo.empty()) return kOk;
    }
    std::uint32_t rangeTotal = 0;
    if (status == 416) rangeTotal = ContentRangeTotal(QueryText(mRequest.Get(), HTTP_QUERY_CONTENT_RANGE));

    HttpDecision decision = DecideHttpStatus(status, contentLength, rangeTotal, offset);
    switch (decision.outcome) {
      case HttpOutcome::kTransfer:
        offset = decision.offset;
        total = decision.total;
        return kOk;
      case HttpOutcome::kFail:
        return decision.result;
      case HttpOutcome::kRestartWithoutRange:
        if (restartedWithoutRange) return kInetInvalidServerResponse;
        restartedWithoutRange = true;
        offset = 0;
        ::HttpAddRequestHeadersW(mRequest.Get(), L"Range:", static_cast<DWORD>(-1L), HTTP_ADDREQ_FLAG_REPLACE);
        mCall->requestHeaders = BuildRequestHeaders(0, mIfModifiedSince);
        continue;
      case HttpOutcome::kCredentials: {
        bool proxy = status == HTTP_STATUS_PROXY_AUTH_REQ;
        std::wstring realm = RealmFromAuthenticateHeader(
            QueryText(mRequest.Get(), proxy ? HTTP_QUERY_PROXY_AUTHENTICATE : HTTP_QUERY_WWW_AUTHENTICATE));
        std::wstring proxyName;
        if (proxy) proxyName = ProxyHostName(mProxy.empty() ? SystemProxyServer() : mProxy);
        std::wstring user, password;
        if (!SupplyCredentials(mRequest.Get(), url.host, realm, proxy, proxyName, user, password))
          return E_UPD_AUTH_REQUIRED;
        continue;
      }
    }
  }
}

Result AsyncDownloadThread::FtpCommand(const std::wstring& command) {
  DWORD_PTR value = 0;
  mCall->responseText.clear();
  return RunAsync(
      kPendingFtpCommand,
      [&] {
        return static_cast<DWORD_PTR>(::FtpCommandW(mConnection.Get(), FALSE, FTP_TRANSFER_TYPE_ASCII, command.c_str(),
                                                    CallContext(), nullptr));
      },
      value);
}

Result AsyncDownloadThread::ConnectFtp(const UrlParts& url, std::uint32_t& offset, std::uint32_t& total) {
  std::wstring user = url.user;
  std::wstring password = url.password;
  DWORD_PTR value = 0;
  for (;;) {
    Result result = RunAsync(
        kPendingConnect,
        [&] {
          return reinterpret_cast<DWORD_PTR>(::InternetConnectW(
              mSession.Get(), url.host.c_str(), url.port, user.empty() ? nullptr : user.c_str(),
              password.empty() ? nullptr : password.c_str(), INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE,
              CallContext()));
        },
        value);
    if (result == 12013 || result == 12014 || result == 12015) {
      if (!SupplyCredentials(nullptr, url.host, L"FTP Server", false, L"", user, password)) return result;
      continue;
    }
    if (result != kOk) return result;
    break;
  }
  mConnection.Reset(reinterpret_cast<HINTERNET>(value));
  ApplyReceiveTimeout(mConnection.Get());

  // Strict servers refuse REST and SIZE in ASCII mode.
  Result result = FtpCommand(L"TYPE I");
  if (result == E_UPD_CANCELED) return result;
  std::uint32_t announcedSize = 0;
  result = FtpCommand(L"SIZE " + url.path);
  if (result == E_UPD_CANCELED) return result;
  if (result == kOk) announcedSize = FtpSizeFromReply(mCall->responseText);
  if (mResume && offset > 0) {
    result = FtpCommand(L"REST " + std::to_wstring(offset));
    if (result == E_UPD_CANCELED) return result;
    if (result != kOk || FtpReplyCode(mCall->responseText) != 350) offset = 0;
  } else {
    offset = 0;
  }

  result = RunAsync(
      kPendingFtpOpenFile,
      [&] {
        return reinterpret_cast<DWORD_PTR>(::FtpOpenFileW(mConnection.Get(), url.path.c_str(), GENERIC_READ,
                                                          kFtpTransferBinaryReload, CallContext()));
      },
      value);
  if (result != kOk) return result;
  mRequest.Reset(reinterpret_cast<HINTERNET>(value));
  ApplyReceiveTimeout(mRequest.Get());
  DWORD high = 0;
  DWORD low = ::FtpGetFileSize(mRequest.Get(), &high);
  total = (low == INVALID_FILE_SIZE || low == 0) ? announcedSize : low;
  if (total != 0 && offset >= total) {
    CloseInternetHandle(mRequest);
    return E_UPD_PART_COMPLETE;
  }
  return kOk;
}

Result AsyncDownloadThread::ConnectLocal(const UrlParts& url, std::uint32_t& total) {
  mLocalSource = url.path;
  if (!url.user.empty()) {
    std::wstring folder = FolderOfPath(url.path);
    std::wstring user = url.user;
    std::wstring password = url.password;
    for (;;) {
      NETRESOURCEW resource{};
      resource.dwType = RESOURCETYPE_DISK;
      resource.lpRemoteName = folder.data();
      DWORD result = ::WNetAddConnection2W(&resource, password.c_str(), user.c_str(), 0);
      if (result == NO_ERROR) break;
      if (result != ERROR_INVALID_PASSWORD && result != ERROR_LOGON_FAILURE && result != 2202) return result;
      if (!SupplyCredentials(nullptr, url.path, L"Local Network Server", false, L"", user, password)) return result;
    }
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(mLocalSource.c_str(), GetFileExInfoStandard, &data)) return ::GetLastError();
  total = data.nFileSizeLow;
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Writing the part file

Result AsyncDownloadThread::CreateSubFolders(const std::wstring& folder) const {
  if (folder.empty()) return kOk;
  DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return kOk;
  int result = ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) return kOk;
  return static_cast<Result>(result);
}

HANDLE AsyncDownloadThread::CreatePartFile(DWORD disposition) const {
  if (!mSecurePartFile || disposition == OPEN_EXISTING)
    return ::CreateFileW(mPartPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  // Full access for Everyone and LocalSystem, so that another account can complete the file.
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UniqueSid everyone, system;
  if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.Put()) ||
      !::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, system.Put()))
    return INVALID_HANDLE_VALUE;
  EXPLICIT_ACCESSW access[2] = {};
  PSID sids[2] = {everyone.Get(), system.Get()};
  for (int i = 0; i < 2; ++i) {
    access[i].grfAccessPermissions = GENERIC_ALL;
    access[i].grfAccessMode = SET_ACCESS;
    access[i].grfInheritance = NO_INHERITANCE;
    access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_WELL_KNOWN_GROUP : TRUSTEE_IS_USER;
    access[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i]);
  }
  PACL rawAcl = nullptr;
  DWORD aclResult = ::SetEntriesInAclW(2, access, nullptr, &rawAcl);
  if (aclResult != ERROR_SUCCESS) {
    ::SetLastError(aclResult);
    return INVALID_HANDLE_VALUE;
  }
  UniqueLocalMem acl(rawAcl);
  SECURITY_DESCRIPTOR descriptor{};
  ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&descriptor, TRUE, rawAcl, FALSE);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  return ::CreateFileW(mPartPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, disposition,
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
  if (mKeepCompletePartFile) return kOk;
  if (::MoveFileW(mPartPath.c_str(), mDestination.c_str())) return kOk;
  if (!::CopyFileW(mPartPath.c_str(), mDestination.c_str(), FALSE)) {
    Result error = ::GetLastError();
    Error(nullptr, error, nullptr);
    return error;
  }
  ::DeleteFileW(mPartPath.c_str());
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Transfer loop

Result AsyncDownloadThread::QueryAvailable(DWORD& available) {
  mCall->bytesAvailable = 0;
  DWORD_PTR value = 0;
  Result result = RunAsync(
      kPendingQueryDataAvailable,
      [&] { return static_cast<DWORD_PTR>(::InternetQueryDataAvailable(mRequest.Get(), &mCall->bytesAvailable, 0, 0)); },
      value);
  // Completed later, the count comes in the completion's error field.
  available = (result == kOk && mLastCallPended && mCall->asyncError != 0) ? mCall->asyncError.load() : mCall->bytesAvailable;
  return result;
}

Result AsyncDownloadThread::ReadBlock(DWORD wanted, DWORD& read) {
  mCall->bytesRead = 0;
  DWORD_PTR value = 0;
  Result result = RunAsync(
      kPendingRead,
      [&] {
        return static_cast<DWORD_PTR>(::InternetReadFile(mRequest.Get(), mCall->readBuffer.data(), wanted, &mCall->bytesRead));
      },
      value);
  read = mCall->bytesRead;
  return result;
}

Result AsyncDownloadThread::StopAtBound(UniqueFile& file, std::uint64_t bytes) {
  file.Reset();
  CloseTransferHandles();
  ::DeleteFileW(mPartPath.c_str());
  LogError(L"The download of " + mDestination + L" stopped: " + std::to_wstring(bytes) +
               L" bytes would pass its bound of " + std::to_wstring(mBound.bytes) + L" bytes.",
           mBound.code);
  Error(FileNameOfPath(mDestination).c_str(), mBound.code, nullptr);
  return mBound.code;
}

Result AsyncDownloadThread::TransferLoop(std::uint32_t total, std::uint32_t offset) {
  if (mObserver) mObserver->BeginAction(PAID_DOWNLOAD_FILE, total, mDestination.c_str());
  if (IsCanceled()) return E_UPD_CANCELED;
  if (total != 0 && total == offset) {
    // The part file already holds the whole file: it only has to take its final name.
    CloseTransferHandles();
    Result finished = FinishPartFile();
    if (finished != kOk) return finished;
    if (mObserver) mObserver->EndAction(PAID_DOWNLOAD_FILE, kOk);
    return kOk;
  }
  Result result = CreateSubFolders(FolderOfPath(mPartPath));
  if (result != kOk) {
    TraceCode(L"CreateSubFolders() failed", result);
    Error(nullptr, result, nullptr);
    return result;
  }
  UniqueFile file;
  result = OpenPartFile(offset, file);
  if (result != kOk) {
    TraceCode(L"Creation of file to download on disk failed", result);
    if (IsCanceled()) return E_UPD_CANCELED;
    Error(nullptr, result, nullptr);
    return result;
  }
  if (mObserver) mObserver->SubActionPerform(offset);
  mCall->readBuffer.resize(kReadBufferSize);

  // Reconnections that bring no new byte are limited, so that a server that keeps failing at the
  // same place cannot hold the download for ever.
  std::uint32_t sizeAtLastReconnect = offset;
  int reconnectsWithoutProgress = 0;
  std::uint64_t partSize = offset;
  for (;;) {
    DWORD available = 0;
    DWORD read = 0;
    result = QueryAvailable(available);
    if (result == kOk && available != 0) result = ReadBlock(std::min<DWORD>(available, kReadBufferSize), read);
    if (result == E_UPD_CANCELED) return result;
    result = NormalizeReadError(result);

    Result reconnectReason = kOk;
    if (result != kOk) {
      if (!IsReconnectableReadError(result) || !mReconnectAllowed) {
        Error(nullptr, result, nullptr);
        return result;
      }
      reconnectReason = result;
    } else if (available == 0 || read == 0) {
      Log(kLogTrace, L"AsyncDownloadThread read 0 bytes.");
      if (IsTransferComplete(total, FileSizeOf(file.Get()))) break;
      if (!mReconnectAllowed) {
        Error(nullptr, E_UPD_TIMEOUT, nullptr);
        return E_UPD_TIMEOUT;
      }
      reconnectReason = E_UPD_TIMEOUT;
    } else {
      if (ExceedsBound(mBound, partSize, read)) return StopAtBound(file, partSize + read);
      DWORD written = 0;
      if (!::WriteFile(file.Get(), mCall->readBuffer.data(), read, &written, nullptr) || written != read) {
        Result error = ::GetLastError();
        if (error == kOk) error = ERROR_HANDLE_DISK_FULL;
        TraceCode(L"Failed to saved in file the bytes read", error);
        Error(nullptr, error, nullptr);
        return error;
      }
      partSize += written;
      if (mObserver) mObserver->SubActionPerform(written);
      WaitWhilePaused();
      if (IsCanceled()) return E_UPD_CANCELED;
      continue;
    }

    // Reconnect and continue where the part file ends.
    CloseTransferHandles();
    ::FlushFileBuffers(file.Get());
    std::uint32_t size = FileSizeOf(file.Get());
    partSize = size;
    if (size > sizeAtLastReconnect) {
      sizeAtLastReconnect = size;
      reconnectsWithoutProgress = 0;
    } else if (++reconnectsWithoutProgress > mRetryAttempts) {
      Error(nullptr, reconnectReason, nullptr);
      return reconnectReason;
    }
    mRestarting = true;
    std::uint32_t newOffset = mResume ? size : 0;
    std::uint32_t newTotal = 0;
    bool local = false;
    result = OpenUrl(newOffset, newTotal, local);
    mRestarting = false;
    if (result != kOk) {
      if (result != E_UPD_CANCELED && result != E_UPD_NOT_MODIFIED) Error(nullptr, result, nullptr);
      return result;
    }
    if (!ReconnectOffsetAccepted(size, newOffset)) {
      Error(nullptr, kInetTimeout, nullptr);
      return kInetTimeout;
    }
    total = newTotal;
  }

  file.Reset();
  CloseTransferHandles();
  result = FinishPartFile();
  if (result != kOk) return result;
  if (mObserver) mObserver->EndAction(PAID_DOWNLOAD_FILE, kOk);
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Local and UNC sources

DWORD CALLBACK AsyncDownloadThread::CopyProgress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER,
                                                 LARGE_INTEGER, DWORD, DWORD reason, HANDLE, HANDLE, LPVOID data) {
  auto* self = static_cast<AsyncDownloadThread*>(data);
  if (reason == CALLBACK_STREAM_SWITCH && !self->mCopyBegun) {
    self->mCopyBegun = true;
    if (self->mObserver) self->mObserver->BeginAction(PAID_DOWNLOAD_FILE, self->mCopyTotal, nullptr);
  }
  if (self->IsCanceled()) return PROGRESS_CANCEL;
  std::uint32_t done = static_cast<std::uint32_t>(transferred.QuadPart);
  DWORD now = ::GetTickCount();
  bool complete = done >= self->mCopyTotal;
  if (done > self->mCopyReported && (complete || now - self->mCopyLastReportTick >= kCopyReportInterval)) {
    if (self->mObserver) self->mObserver->SubActionPerform(done - self->mCopyReported);
    self->mCopyReported = done;
    self->mCopyLastReportTick = now;
  }
  return PROGRESS_CONTINUE;
}

Result AsyncDownloadThread::CopyLocalFile(std::uint32_t total) {
  if (mQueryLastModified || IsTimeSet(mIfModifiedSince)) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(mLocalSource.c_str(), GetFileExInfoStandard, &data)) {
      ::FileTimeToSystemTime(&data.ftLastWriteTime, &mLastModified);
      if (IsTimeSet(mIfModifiedSince) && CompareTimes(mIfModifiedSince, mLastModified) >= 0) return E_UPD_NOT_MODIFIED;
    }
  }
  Result result = CreateSubFolders(FolderOfPath(mPartPath));
  if (result != kOk) {
    Error(nullptr, result, nullptr);
    return result;
  }
  if (mSecurePartFile && ::GetFileAttributesW(mPartPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    UniqueFile created(CreatePartFile(CREATE_NEW));
  }
  mCopyBegun = false;
  mCopyReported = 0;
  mCopyLastReportTick = ::GetTickCount();
  mCopyTotal = total;
  if (IsCanceled()) return E_UPD_CANCELED;
  if (!::CopyFileExW(mLocalSource.c_str(), mPartPath.c_str(), &AsyncDownloadThread::CopyProgress, this, nullptr, 0)) {
    Result error = ::GetLastError();
    if (IsCanceled()) return E_UPD_CANCELED;
    Error(nullptr, error, nullptr);
    return error;
  }
  // Some platforms copy without ever calling the progress routine: report the copy as one step.
  if (!mCopyBegun && mObserver) mObserver->BeginAction(PAID_DOWNLOAD_FILE, total, nullptr);
  if (mCopyReported < total && mObserver) mObserver->SubActionPerform(total - mCopyReported);
  result = FinishPartFile();
  if (result != kOk) return result;
  if (mObserver) mObserver->EndAction(PAID_DOWNLOAD_FILE, kOk);
  return kOk;
}

}  // namespace updater
